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

import operator
from typing import Any

import numpy as np

from tarsk_py import Quat as _Quat
from tarsk_py import Vec3d as _Vec3d
from tarsk_py import VecList as _VecList

from . import _classes, _native, _rotation, _rotation_algebra  # type: ignore[attr-defined]
from ._arrays import _asarray, _quat, _real_array, _rows, _scalar, _values, _vec  # noqa: F401
from ._pickling import (  # noqa: F401  (the names pickles refer to)
    _angle_degrees_from_bytes, _angle_radians_from_bytes, _circle_from_bytes, _plane_from_bytes,
    _quat_from_bytes, _vec3d_from_bytes, _veclist, _veclist_from_buffer)
from ._rotation_algebra import *  # noqa: F401,F403

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
#
# Small float64 (n, 3) arrays with an argument of the exact type the list
# method takes go straight to the native loop into an array made here (one
# call, the checks in native code); anything else takes the general path
# below, which converts and then hands a block of the pool's memory to numpy.

_F64 = np.dtype(np.float64)
_into = _rotation.kernel_into
_SMALL = 4096
_ndarray = np.ndarray
_empty = np.empty


def _small(a: Any) -> bool:
    return type(a) is _ndarray and a.dtype is _F64 and a.ndim == 2 and a.shape[1] == 3 and a.shape[0] <= _SMALL


def _out(result: int, n: int) -> np.ndarray:
    if result == _RESULT_ROWS:
        return _empty((n, 3))
    return _empty(n) if result == _RESULT_DOUBLE else _empty(n, dtype=np.bool_)


def _fast(index: int, result: int, a: np.ndarray, arg: Any) -> np.ndarray | None:
    """The result through kernel_into, or None where the array's layout is
    not the native loop's (the general path then copies it)."""
    out = _out(result, a.shape[0])
    try:
        _into(index, out, a, arg)
    except (BufferError, ValueError) as exc:
        if "axis" in str(exc):
            raise
        return None
    return out


def _kernel_none(index: int, result: int) -> Any:
    def kernel(a: Any) -> np.ndarray:
        if _small(a):
            out = _fast(index, result, a, None)
            if out is not None:
                return out
        return _asarray(_apply(index, _rows(a), None))
    return kernel


def _kernel_vec3d(index: int, result: int) -> Any:
    def kernel(a: Any, v: Any) -> np.ndarray:
        if type(v) is _Vec3d and _small(a):
            out = _fast(index, result, a, v)
            if out is not None:
                return out
        rows = _rows(a)
        return _asarray(_apply(index, rows, _vec(v)))
    return kernel


def _kernel_quat(index: int, result: int) -> Any:
    def kernel(a: Any, q: _Quat) -> np.ndarray:
        if type(q) is _Quat and _small(a):
            out = _fast(index, result, a, q)
            if out is not None:
                return out
        rows = _rows(a)
        return _asarray(_apply(index, rows, _quat(q)))
    return kernel


def _kernel_float(index: int, result: int) -> Any:
    def kernel(a: Any, s: Any) -> np.ndarray:
        if type(s) is float and _small(a):
            out = _fast(index, result, a, s)
            if out is not None:
                return out
        rows = _rows(a)
        return _asarray(_apply(index, rows, _scalar(s)))
    return kernel


def _index_value(x: Any) -> int | None:
    """x as an int when it is one (operator.index), else None (the native
    conversion then raises its own TypeError)."""
    try:
        return operator.index(x)
    except TypeError:
        return None


def _kernel_axis(index: int, result: int) -> Any:
    def kernel(a: Any, axis: int) -> np.ndarray:
        if type(axis) is int and 0 <= axis <= 2 and _small(a):
            out = _fast(index, result, a, axis)
            if out is not None:
                return out
        rows = _rows(a)
        value = _index_value(axis)
        if value is not None and value > 2:
            # Refused here: the list method's own refusal is an internal
            # failure (PanicException), not an ordinary exception.
            raise ValueError(f"argument 'axis': expected 0, 1 or 2, got {value}")
        return _asarray(_apply(index, rows, axis))
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
    kernel = _KERNEL_MAKERS[arg](index, result)
    kernel.__name__ = kernel.__qualname__ = name
    subject = _FACE_TEXT.get(face, f"VecList.{face}")
    kernel.__doc__ = f"{subject} as {_RESULT_TEXT[result]}" + ("; `a` is left alone." if face == "rotate" else ".")
    return kernel


for _index, (_name, _face, _param, _arg, _result) in enumerate(_OPS):
    globals()[_name] = _make_kernel(_index, _name, _face, _arg, _result)
    __all__.append(_name)
__all__.sort()
del _index, _name, _face, _param, _arg, _result

_rotate_by_one = globals()["rotate"]
_rotate_rows = _rotation_algebra._rotate_rows


def rotate(a: Any, q: Any) -> np.ndarray:
    """The rows of `a` rotated: by one Quat (VecList.rotate of a copy), or
    row i of a by row i of an (n, 4) array q in (w, i, j, k), one row of
    either broadcasting against n, with the bits of Quat(*q_i).rotate."""
    if type(q) is _Quat:
        if type(a) is not np.ndarray or a.ndim == 2:
            return _rotate_by_one(a, q)
        q = np.array([q.w, q.i, q.j, q.k])
    return _rotate_rows(a, q)


def minimum_distance_to(a: Any, v: Any, stride: int) -> tuple[int, float]:
    """VecList.minimum_distance_to: the (index, distance) tuple."""
    rows = _rows(a)
    vec = _vec(v)
    # Refused here with ordinary exceptions; the list method treats both as
    # internal failures (PanicException).
    if rows.shape[0] == 0:
        raise ValueError("argument 'a': expected at least one row to search")
    if _index_value(stride) == 0:
        raise ValueError("argument 'stride': expected a stride of at least 1, got 0")
    result: tuple[int, float] = _native.minimum_distance_to(rows, vec, stride)
    return result


# ---------------------------------------------------------------------------
# Rotation algebra on arrays of quaternions (compose, slerp, conversions).

__all__ += _rotation_algebra.__all__
for _name in _rotation_algebra.TABLE:
    globals()[_name] = getattr(_rotation_algebra, _name)
    __all__.append(_name)
__all__.sort()
del _name

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
