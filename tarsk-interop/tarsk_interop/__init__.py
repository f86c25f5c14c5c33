"""numpy arrays in and out of tarsk_py's objects, array kernels, pickling and
copying.

Arrays go in as any array-like of real numbers (bool, integer or floating
dtypes in any byte order and memory layout, or nested sequences of Python
numbers), converted to float64 as numpy converts them. Every kernel gives,
bit for bit, what the VecList method of the same name gives for
``to_veclist(a)``: vector results as new (n, 3) float64 arrays, scalar results
as (n,) float64 arrays, ``is_unit`` as an (n,) bool array.

Importing this package registers pickling (every protocol, a VecList's
elements out of band under protocol 5) and ``copy``/``deepcopy`` support for
Vec3d, VecList, AngleRadians, AngleDegrees, Quat, Plane and Circle, and lets
pickle find the classes themselves by name (see ``_classes`` for exactly what
that changes in the interpreter).
"""
from __future__ import annotations

import copyreg
import importlib.metadata
import pickle
import struct
from typing import Any

import numpy as np

import tarsk_py as _tarsk_py
from tarsk_py import AngleDegrees as _AngleDegrees
from tarsk_py import AngleRadians as _AngleRadians
from tarsk_py import Quat as _Quat
from tarsk_py import Vec3d as _Vec3d
from tarsk_py import VecList as _VecList

from . import _classes, _native

_Plane = _tarsk_py.geometry.Plane
_Circle = _tarsk_py.geometry.Circle
_VecListIterator = type(iter(_VecList.empty()))

__all__ = [
    "add",
    "as_numpy",
    "collapse",
    "cross",
    "distance_squared",
    "distance_to",
    "divide",
    "dot",
    "is_unit",
    "magnitude",
    "minimum_distance_to",
    "multiply",
    "normalize",
    "rotate",
    "subtract",
    "to_numpy",
    "to_quat",
    "to_vec3d",
    "to_veclist",
]


# ---------------------------------------------------------------------------
# The installed tarsk_py must be the one this package was built with: the
# native part reads its objects through their instance layout.

def _check_build(layout: dict[str, int], built_for: str) -> None:
    """Refuses (ImportError) a tarsk_py whose instance sizes differ from
    `layout` or whose distribution version is not `built_for`."""
    classes = {
        "Vec3d": _Vec3d,
        "VecList": _VecList,
        "VecListIterator": _VecListIterator,
        "AngleRadians": _AngleRadians,
        "AngleDegrees": _AngleDegrees,
        "Quat": _Quat,
        "Plane": _Plane,
        "Circle": _Circle,
    }
    for name, size in layout.items():
        actual = classes[name].__basicsize__
        if actual != size:
            raise ImportError(
                f"tarsk_interop was built for another tarsk_py: {name} instances are {actual} bytes, "
                f"expected {size}; reinstall both from the same source")
    try:
        installed = importlib.metadata.version("tarsk_py")
    except importlib.metadata.PackageNotFoundError:
        return  # a source tree without distribution metadata
    if installed != built_for:
        raise ImportError(
            f"tarsk_interop was built for tarsk_py {built_for}, but tarsk_py {installed} is installed; "
            f"reinstall both from the same source")


_check_build(_native.layout(), _native.built_for)
_native.bind(_tarsk_py)

#: The version of tarsk_py (and so of this package) that this package was built with.
__version__: str = _native.built_for


# ---------------------------------------------------------------------------
# Argument conversion

_REAL_OBJECTS = (bool, int, float, np.bool_, np.integer, np.floating)
_F64 = np.dtype(np.float64)


def _real_array(a: Any, name: str, expected: str) -> np.ndarray:
    """`a` as an ndarray of a real (bool, integer or floating) dtype."""
    if isinstance(a, np.ndarray):
        arr = a
    else:
        if a is None or isinstance(a, (str, bytes, bytearray)):
            raise TypeError(f"argument '{name}': expected an array of shape {expected}, got '{type(a).__name__}'")
        try:
            arr = np.asarray(a)
        except ValueError as exc:
            raise ValueError(f"argument '{name}': expected an array of shape {expected}: {exc}") from None
    kind = arr.dtype.kind
    if kind in "biuf":
        return arr
    if kind == "O":
        for item in arr.flat:
            if not isinstance(item, _REAL_OBJECTS):
                raise TypeError(f"argument '{name}': expected an array of real numbers of shape {expected}, "
                                f"got {_what(a, item)}")
        return arr.astype(np.float64)
    raise TypeError(f"argument '{name}': expected an array of real numbers of shape {expected}, "
                    f"got dtype {arr.dtype}")


def _what(a: Any, item: Any) -> str:
    """The offending element of an object array, and the conversion that
    gives the array the caller meant when the argument holds tarsk_py objects."""
    if type(a) is _VecList:
        return "a VecList (pass tarsk_interop.as_numpy(lst) for a view of it or to_numpy(lst) for a copy)"
    text = f"an element of type '{type(item).__name__}'"
    if type(item) is _Vec3d:
        return text + " (Vec3d objects: pass tarsk_interop.to_numpy(VecList(vectors)) for an (n, 3) array)"
    if type(item) is _Quat:
        return text + " (a Quat: tarsk_interop.rotate(a, q) rotates by it, to_numpy(q) gives its (w, i, j, k) array)"
    return text


def _rows(a: Any, name: str = "a") -> np.ndarray:
    """`a` as a C-contiguous, aligned, native float64 array of shape (n, 3)."""
    arr = a if type(a) is np.ndarray else _real_array(a, name, "(n, 3)")
    if arr.ndim != 2 or arr.shape[1] != 3:
        if arr is a:
            arr = _real_array(a, name, "(n, 3)")
        if arr.ndim != 2 or arr.shape[1] != 3:
            raise ValueError(f"argument '{name}': expected an array of shape (n, 3), got shape {arr.shape}")
    if arr.dtype is not _F64 or not arr.flags.c_contiguous or not arr.flags.aligned:
        if arr.dtype.kind not in "biuf":
            arr = _real_array(arr, name, "(n, 3)")
        arr = np.ascontiguousarray(arr, dtype=np.float64)
        if not arr.flags.aligned:
            arr = arr.copy()
    return arr


def _values(a: Any, name: str, shape: tuple[int, ...], expected: str) -> list[float]:
    arr = _real_array(a, name, expected)
    if arr.shape != shape:
        raise ValueError(f"argument '{name}': expected {expected}, got shape {arr.shape}")
    values: list[float] = arr.astype(np.float64).tolist()
    return values


def _vec(v: Any, name: str = "v") -> _Vec3d:
    if type(v) is _Vec3d:
        return v
    x, y, z = _values(v, name, (3,), "a Vec3d or an array of shape (3,)")
    return _Vec3d(x, y, z)


def _scalar(s: Any, name: str = "s") -> float:
    if isinstance(s, (str, bytes, bytearray, complex)) or s is None:
        raise TypeError(f"argument '{name}': expected a real number, got '{type(s).__name__}'")
    try:
        value: float = _native.real(s)
    except TypeError:
        raise TypeError(f"argument '{name}': expected a real number, got '{type(s).__name__}'") from None
    return value


def _quat(q: Any, name: str = "q") -> _Quat:
    if type(q) is not _Quat:
        hint = ""
        if isinstance(q, (np.ndarray, list, tuple)):
            hint = "; tarsk_interop.to_quat(a) makes a Quat from a (w, i, j, k) array-like"
        raise TypeError(f"argument '{name}': expected Quat, got '{type(q).__name__}'{hint}")
    return q


_asarray = np.asarray


# ---------------------------------------------------------------------------
# Arrays in and out

def to_numpy(obj: _Vec3d | _Quat | _VecList) -> np.ndarray:
    """A new float64 array of the values of `obj`: Vec3d -> (3,), Quat ->
    (4,) as (w, i, j, k), VecList -> (n, 3). Bit-exact."""
    t = type(obj)
    if t is _VecList:
        return _asarray(_native.copy_rows(obj))
    if t is _Vec3d:
        return np.array([obj.x, obj.y, obj.z], dtype=np.float64)
    if t is _Quat:
        return np.array([obj.w, obj.i, obj.j, obj.k], dtype=np.float64)
    hint = ""
    if isinstance(obj, (list, tuple)) and obj and all(type(v) is _Vec3d for v in obj):
        hint = "; make a VecList of the vectors first: to_numpy(VecList(vectors))"
    raise TypeError(f"argument 'obj': expected Vec3d, Quat or VecList, got '{t.__name__}'{hint}")


def as_numpy(veclist: _VecList) -> np.ndarray:
    """A read-only (n, 3) float64 view of the list's own memory, no copy.

    While any such view is alive the list cannot change (append, extend and
    rotate raise RuntimeError "Already borrowed"); the view keeps the list
    alive."""
    try:
        return _asarray(_native.view_rows(veclist))
    except TypeError:
        if type(veclist) is _VecList:
            raise
        hint = ""
        if isinstance(veclist, np.ndarray):
            hint = " (an array is its own view; tarsk_interop.to_veclist(a) makes a VecList of its rows)"
        raise TypeError(f"argument 'veclist': expected VecList, got '{type(veclist).__name__}'{hint}") from None


def to_veclist(a: Any) -> _VecList:
    """A new VecList of the rows of an (n, 3) array-like."""
    return _native.veclist_from_rows(_rows(a))


def to_vec3d(a: Any) -> _Vec3d:
    """A new Vec3d from a (3,) array-like."""
    x, y, z = _values(a, "a", (3,), "an array of shape (3,)")
    return _Vec3d(x, y, z)


def to_quat(a: Any) -> _Quat:
    """A new Quat from a (4,) array-like in the order (w, i, j, k)."""
    w, i, j, k = _values(a, "a", (4,), "an array of shape (4,)")
    return _Quat(w, i, j, k)


# ---------------------------------------------------------------------------
# Kernels: each result is bit for bit the VecList method's for to_veclist(a).

_call = _native.call_list


def normalize(a: Any) -> np.ndarray:
    """VecList.normalize as an (n, 3) array."""
    return _asarray(_call(_rows(a), "normalize"))


def cross(a: Any, v: Any) -> np.ndarray:
    """VecList.cross as an (n, 3) array."""
    rows = _rows(a)
    return _asarray(_call(rows, "cross", _vec(v)))


def dot(a: Any, v: Any) -> np.ndarray:
    """VecList.dot as an (n,) array."""
    rows = _rows(a)
    return _asarray(_native.dot(rows, _vec(v)))


def magnitude(a: Any) -> np.ndarray:
    """VecList.magnitude as an (n,) array."""
    return _asarray(_native.magnitude(_rows(a)))


def is_unit(a: Any) -> np.ndarray:
    """VecList.is_unit as an (n,) bool array."""
    return _asarray(_native.is_unit(_rows(a)))


def distance_to(a: Any, v: Any) -> np.ndarray:
    """VecList.distance_to as an (n,) array."""
    rows = _rows(a)
    return _asarray(_native.distance_to(rows, _vec(v)))


def distance_squared(a: Any, v: Any) -> np.ndarray:
    """VecList.distance_squared as an (n,) array."""
    rows = _rows(a)
    return _asarray(_native.distance_squared(rows, _vec(v)))


def rotate(a: Any, q: _Quat) -> np.ndarray:
    """The rows rotated by `q` (VecList.rotate) as a new (n, 3) array; `a`
    is left alone."""
    rows = _rows(a)
    return _asarray(_call(rows, "rotate", _quat(q)))


def collapse(a: Any, axis: int) -> np.ndarray:
    """VecList.collapse as an (n, 3) array."""
    return _asarray(_call(_rows(a), "collapse", axis))


def add(a: Any, v: Any) -> np.ndarray:
    """VecList + Vec3d as an (n, 3) array."""
    rows = _rows(a)
    return _asarray(_call(rows, "__add__", _vec(v)))


def subtract(a: Any, v: Any) -> np.ndarray:
    """VecList - Vec3d as an (n, 3) array."""
    rows = _rows(a)
    return _asarray(_call(rows, "__sub__", _vec(v)))


def multiply(a: Any, s: Any) -> np.ndarray:
    """VecList * s as an (n, 3) array."""
    rows = _rows(a)
    return _asarray(_call(rows, "__mul__", _scalar(s)))


def divide(a: Any, s: Any) -> np.ndarray:
    """VecList / s as an (n, 3) array."""
    rows = _rows(a)
    return _asarray(_call(rows, "__truediv__", _scalar(s)))


def minimum_distance_to(a: Any, v: Any, stride: int) -> tuple[int, float]:
    """VecList.minimum_distance_to: the (index, distance) tuple."""
    rows = _rows(a)
    result: tuple[int, float] = _call(rows, "minimum_distance_to", _vec(v), stride)
    return result


# ---------------------------------------------------------------------------
# Pickling and copying. Doubles travel as their IEEE bytes (every protocol,
# NaN payloads and -0.0 included); a VecList travels as one buffer of its
# elements, out of band under protocol 5.

_D1 = struct.Struct("<d")
_D3 = struct.Struct("<3d")
_D4 = struct.Struct("<4d")
_D7 = struct.Struct("<7d")


def _unpack(layout: struct.Struct, data: Any, what: str) -> tuple[float, ...]:
    if not isinstance(data, bytes) or len(data) != layout.size:
        raise pickle.UnpicklingError(f"corrupted {what} data: expected {layout.size} bytes")
    return layout.unpack(data)


def _vec3d_from_bytes(data: bytes) -> _Vec3d:
    return _Vec3d(*_unpack(_D3, data, "Vec3d"))


def _angle_radians_from_bytes(data: bytes) -> _AngleRadians:
    return _AngleRadians(*_unpack(_D1, data, "AngleRadians"))


def _angle_degrees_from_bytes(data: bytes) -> _AngleDegrees:
    return _AngleDegrees(*_unpack(_D1, data, "AngleDegrees"))


def _quat_from_bytes(data: bytes) -> _Quat:
    return _Quat(*_unpack(_D4, data, "Quat"))


def _plane_from_bytes(data: bytes) -> Any:
    nx, ny, nz, distance = _unpack(_D4, data, "Plane")
    plane = _Plane.xy()
    plane.normal = _Vec3d(nx, ny, nz)  # the setters store values unchanged
    plane.distance = distance
    return plane


def _circle_from_bytes(data: bytes) -> Any:
    cx, cy, cz, radius, nx, ny, nz = _unpack(_D7, data, "Circle")
    circle = _Circle.none()
    circle.center = _Vec3d(cx, cy, cz)  # the setters store values unchanged
    circle.radius = radius
    circle.normal = _Vec3d(nx, ny, nz)
    return circle


def _veclist_from_buffer(data: Any) -> _VecList:
    """A VecList from the raw bytes of its elements (bytes, a bytearray or an
    out-of-band buffer)."""
    try:
        return _native.veclist_from_bytes(data)
    except (TypeError, BufferError) as exc:
        raise pickle.UnpicklingError(f"corrupted VecList data: {exc}") from None


class _VecListElements:
    """The elements of a VecList on their way into a pickle: one buffer
    viewing the list's memory (the list stays borrowed while it exists)."""

    __slots__ = ("block",)

    def __init__(self, veclist: _VecList) -> None:
        self.block = _native.view_rows(veclist)

    def __reduce_ex__(self, protocol: Any) -> Any:
        if isinstance(protocol, int) and protocol >= 5:
            return _veclist_from_buffer, (pickle.PickleBuffer(self.block),)
        return _veclist_from_buffer, (memoryview(self.block).tobytes(),)

    def __deepcopy__(self, memo: Any) -> _VecListElements:
        return self


def _veclist(elements: Any) -> _VecList:
    """The list of a pickle or a copy: unpickling has already rebuilt it;
    copy and deepcopy hand over the elements."""
    if type(elements) is _VecList:
        return elements
    if type(elements) is _VecListElements:
        return _native.veclist_from_bytes(elements.block)
    raise pickle.UnpicklingError(f"corrupted VecList data: got '{type(elements).__name__}'")


def _reduce_vec3d(v: _Vec3d) -> Any:
    return _vec3d_from_bytes, (_D3.pack(v.x, v.y, v.z),)


def _reduce_angle_radians(a: _AngleRadians) -> Any:
    return _angle_radians_from_bytes, (_D1.pack(a.angle),)


def _reduce_angle_degrees(a: _AngleDegrees) -> Any:
    return _angle_degrees_from_bytes, (_D1.pack(a.angle),)


def _reduce_quat(q: _Quat) -> Any:
    return _quat_from_bytes, (_D4.pack(q.w, q.i, q.j, q.k),)


def _reduce_plane(p: Any) -> Any:
    n = p.normal
    return _plane_from_bytes, (_D4.pack(n.x, n.y, n.z, p.distance),)


def _reduce_circle(c: Any) -> Any:
    center, normal = c.center, c.normal
    return _circle_from_bytes, (_D7.pack(center.x, center.y, center.z, c.radius, normal.x, normal.y, normal.z),)


def _reduce_veclist(v: _VecList) -> Any:
    return _veclist, (_VecListElements(v),)


def _reduce_iterator(it: Any) -> Any:
    raise TypeError("cannot pickle 'VecListIterator' object: an iterator's position is not kept; "
                    "pickle the VecList instead")


copyreg.pickle(_Vec3d, _reduce_vec3d)
copyreg.pickle(_VecList, _reduce_veclist)
copyreg.pickle(_AngleRadians, _reduce_angle_radians)
copyreg.pickle(_AngleDegrees, _reduce_angle_degrees)
copyreg.pickle(_Quat, _reduce_quat)
copyreg.pickle(_Plane, _reduce_plane)
copyreg.pickle(_Circle, _reduce_circle)
copyreg.pickle(_VecListIterator, _reduce_iterator)

_classes.install()  # the classes themselves pickle by name (see _classes)
