"""Argument conversion shared by the companion's functions: array-likes of
real numbers to float64 rows, vectors, quaternions and scalars, with errors
that name the argument."""
from __future__ import annotations

import operator
from typing import Any

import numpy as np

from tarsk_py import Quat as _Quat
from tarsk_py import Vec3d as _Vec3d
from tarsk_py import VecList as _VecList

from . import _native  # type: ignore[attr-defined]

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


def _integer(value: Any, name: str, least: int, most: int | None = None) -> int:
    """An integer argument (operator.index, not bool) from least to most."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"argument '{name}': expected an integer, got 'bool'")
    try:
        k = operator.index(value)
    except TypeError:
        raise TypeError(f"argument '{name}': expected an integer, got '{type(value).__name__}'") from None
    if k < least or (most is not None and k > most):
        bound = f"from {least} to {most}" if most is not None else f"of at least {least}"
        raise ValueError(f"argument '{name}': expected an integer {bound}, got {k}")
    return k


def _quat(q: Any, name: str = "q") -> _Quat:
    if type(q) is not _Quat:
        hint = ""
        if isinstance(q, (np.ndarray, list, tuple)):
            hint = "; tarsk_interop.to_quat(a) makes a Quat from a (w, i, j, k) array-like"
        raise TypeError(f"argument '{name}': expected Quat, got '{type(q).__name__}'{hint}")
    return q


_asarray = np.asarray
