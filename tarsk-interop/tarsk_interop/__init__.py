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

# The functions besides the element-wise kernels, which the table adds below.
__all__ = [
    "as_numpy",
    "minimum_distance_to",
    "to_numpy",
    "to_quat",
    "to_vec3d",
    "to_veclist",
]


# ---------------------------------------------------------------------------
# The version of the tarsk_py distribution that ships both packages, read on
# first use so that importing the package does not read its metadata.

def __getattr__(name: str) -> Any:
    if name == "__version__":
        import importlib.metadata

        version = importlib.metadata.version("tarsk_py")
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


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
# The element-wise kernels follow from tarsk_py's table of element-wise
# operations (name, VecList face, argument kind, result kind), read through
# its C ABI: one function per row, with the argument conversion of its kind.

_ARG_NONE, _ARG_VEC3D, _ARG_QUAT, _ARG_FLOAT, _ARG_AXIS = range(5)
_RESULT_ROWS, _RESULT_DOUBLE, _RESULT_BOOL = range(3)

# One kernel maker per argument kind: the kernel's parameters and the
# conversion of its argument (a class argument as the other functions of
# this package convert it, an axis as the VecList method converts it).
def _kernel_none(index: int) -> Any:
    def kernel(a: Any) -> np.ndarray:
        return _asarray(_apply(index, _rows(a), None))
    return kernel


def _kernel_vec3d(index: int) -> Any:
    def kernel(a: Any, v: Any) -> np.ndarray:
        rows = _rows(a)
        return _asarray(_apply(index, rows, _vec(v)))
    return kernel


def _kernel_quat(index: int) -> Any:
    def kernel(a: Any, q: _Quat) -> np.ndarray:
        rows = _rows(a)
        return _asarray(_apply(index, rows, _quat(q)))
    return kernel


def _kernel_float(index: int) -> Any:
    def kernel(a: Any, s: Any) -> np.ndarray:
        rows = _rows(a)
        return _asarray(_apply(index, rows, _scalar(s)))
    return kernel


def _kernel_axis(index: int) -> Any:
    def kernel(a: Any, axis: int) -> np.ndarray:
        return _asarray(_apply(index, _rows(a), axis))
    return kernel


_KERNEL_MAKERS = {_ARG_NONE: _kernel_none, _ARG_VEC3D: _kernel_vec3d, _ARG_QUAT: _kernel_quat,
                  _ARG_FLOAT: _kernel_float, _ARG_AXIS: _kernel_axis}
_RESULT_TEXT = {_RESULT_ROWS: "an (n, 3) array", _RESULT_DOUBLE: "an (n,) array", _RESULT_BOOL: "an (n,) bool array"}
_FACE_TEXT = {"__add__": "VecList + Vec3d", "__sub__": "VecList - Vec3d", "__mul__": "VecList * s",
              "__truediv__": "VecList / s", "rotate": "The rows rotated by `q` (VecList.rotate)"}

# The table: (name, VecList face, parameter name, argument kind, result kind).
_OPS: tuple[tuple[str, str, str, int, int], ...] = _native.ops()
_apply = _native.apply


def _make_kernel(index: int, name: str, face: str, arg: int, result: int) -> Any:
    kernel = _KERNEL_MAKERS[arg](index)
    kernel.__name__ = kernel.__qualname__ = name
    subject = _FACE_TEXT.get(face, f"VecList.{face}")
    kernel.__doc__ = f"{subject} as {_RESULT_TEXT[result]}" + ("; `a` is left alone." if face == "rotate" else ".")
    return kernel


for _index, (_name, _face, _param, _arg, _result) in enumerate(_OPS):
    globals()[_name] = _make_kernel(_index, _name, _face, _arg, _result)
    __all__.append(_name)
__all__.sort()
del _index, _name, _face, _param, _arg, _result


def minimum_distance_to(a: Any, v: Any, stride: int) -> tuple[int, float]:
    """VecList.minimum_distance_to: the (index, distance) tuple."""
    rows = _rows(a)
    result: tuple[int, float] = _native.minimum_distance_to(rows, _vec(v), stride)
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
    out-of-band buffer, typed as raw bytes or native float64). Bytes nobody
    can change (a bytes object, the shared elements a list pickled) are read
    in place until the list's first change; any other buffer is copied."""
    try:
        return _native.veclist_from_buffer(data)
    except (TypeError, BufferError, ValueError) as exc:
        raise pickle.UnpicklingError(f"corrupted VecList data: {exc}") from None


class _VecListElements:
    """The elements of a VecList on their way into a pickle or a copy. It
    holds the list, not a borrow of it: the pickler's memo keeps this object
    as long as the pickler lives, and the list must stay free to change.

    Under protocol 5 the elements go out as one buffer of memory that never
    changes: the list hands its storage over to the buffer's owner (reading
    it from there, copying it on its own next change). Below protocol 5 they
    go as bytes."""

    __slots__ = ("veclist",)

    def __init__(self, veclist: _VecList) -> None:
        self.veclist = veclist

    def __reduce_ex__(self, protocol: Any) -> Any:
        if isinstance(protocol, int) and protocol >= 5:
            return _veclist_from_buffer, (pickle.PickleBuffer(_asarray(_native.share_rows(self.veclist))),)
        return _veclist_from_buffer, (_native.rows_bytes(self.veclist),)

    def __deepcopy__(self, memo: Any) -> _VecListElements:
        return self


def _veclist(elements: Any) -> _VecList:
    """The list of a pickle or a copy: unpickling has already rebuilt it;
    copy and deepcopy hand over the elements."""
    if type(elements) is _VecList:
        return elements
    if type(elements) is _VecListElements:
        return _native.copy_list(elements.veclist)
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


# ---------------------------------------------------------------------------
# Rotation algebra on arrays of quaternions (compose, slerp, conversions).

from . import _rotation_algebra  # noqa: E402
from ._rotation_algebra import *  # noqa: E402,F401,F403

__all__ += _rotation_algebra.__all__

# ---------------------------------------------------------------------------
# The spatial index (nearest neighbours, balls, pairs).

from ._spatial import KDTree  # noqa: E402

__all__.append("KDTree")

# ---------------------------------------------------------------------------
# Point clouds on the index (fits, RANSAC, normals, ICP).

from . import _point_cloud  # noqa: E402
from ._point_cloud import *  # noqa: E402,F401,F403

__all__ += _point_cloud.__all__

_classes.install()  # the classes themselves pickle by name (see _classes)
