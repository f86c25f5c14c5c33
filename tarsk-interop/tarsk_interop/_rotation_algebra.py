"""Rotation algebra on arrays of quaternions.

Conventions (every function):

- A quaternion array is an (n, 4) float64 array in tarsk_py's own storage and
  sense, (w, i, j, k): row q turns vectors exactly as ``Quat(*q).rotate``
  does, which makes it the conjugate of the textbook (and scipy) quaternion of
  the same turn. Wherever a quaternion array is taken, a single ``Quat`` or a
  (4,) array-like is taken too; one rotation (or any argument of one row)
  broadcasts against n rows, with the bits of the tiled call. Only single
  rotations in give a single result out ((4,), (3, 3), (3,) or a float).
- Any nonzero multiple of a quaternion names the same rotation: conversions
  normalise first; ``compose`` and ``inverse`` are the exact Hamilton product
  and conjugate. A quaternion of zero norm is refused (ValueError).
- ``compose(p, q)`` applies q first, then p (scipy's ``p * q``).
- Matrices are (n, 3, 3) and map column vectors the way ``rotate`` turns
  them: ``m @ v == rotate(v, q)`` up to rounding. This is the transpose of
  ``Quat.to_rotation_matrix``, which reads the components the textbook way.
- Euler angles follow scipy's ``Rotation``: three letters, lowercase x/y/z
  extrinsic (fixed axes), uppercase intrinsic (moving axes), radians.
- Inputs are never modified; views, Fortran order, float32 and read-only
  arrays give the bits of their float64 copy. Results are bit-identical for
  every worker count.
"""
from __future__ import annotations

import operator
import sys
import warnings
from typing import Any

import numpy as np

from tarsk_py import Quat as _Quat

from . import _rotation  # type: ignore[attr-defined]
from ._arrays import _real_array

__all__ = [
    "align_vectors", "compose", "from_euler", "from_matrix", "from_rotvec", "from_scipy_quat", "inverse",
    "magnitude_angle", "mean", "random", "slerp", "to_euler", "to_matrix", "to_rotvec", "to_scipy_quat",
]

_F64 = np.dtype(np.float64)

# Operation codes of the native element loops.
_COMPOSE, _INVERSE, _TO_MATRIX, _FROM_MATRIX, _FROM_SCIPY, _TO_SCIPY = 0, 1, 2, 3, 4, 5
_FROM_ROTVEC, _TO_ROTVEC, _MAGNITUDE, _SLERP, _FROM_EULER, _TO_EULER, _RANDOM = 6, 7, 8, 9, 10, 11, 12

GIMBAL_LOCK_WARNING = ("Gimbal lock detected. Setting third angle to zero since it is not possible "
                       "to uniquely determine all angles.")

_run = _rotation.run
_single = _rotation.single
_empty = np.empty
# Argument types that the path of single calls may take as they are (it
# hands anything it does not take, and every fault, to the general path).
_ONE: tuple[type, ...] = (_Quat, np.ndarray)
_NUMBER: tuple[type, ...] = (float, int)


def _f64(arr: np.ndarray) -> np.ndarray:
    if arr.dtype is not _F64 or not arr.flags.c_contiguous or not arr.flags.aligned:
        arr = np.ascontiguousarray(arr, dtype=np.float64)
        if not arr.flags.aligned:
            arr = arr.copy()
    return arr


def _rows(a: Any, name: str, width: int, expected: str) -> tuple[np.ndarray, bool]:
    """`a` as float64 rows of `width` and whether it was a single row: shape
    (width,) is one row, (n, width) is n rows."""
    arr = _real_array(a, name, expected)
    if arr.ndim == 1 and arr.shape[0] == width:
        return _f64(arr).reshape(1, width), True
    if arr.ndim == 2 and arr.shape[1] == width:
        return _f64(arr), False
    raise ValueError(f"argument '{name}': expected {expected}, got shape {arr.shape}")


def _quats(q: Any, name: str) -> tuple[np.ndarray, bool]:
    """A quaternion argument: a Quat, a (4,) or an (n, 4) array-like."""
    if type(q) is _Quat:
        return np.array([[q.w, q.i, q.j, q.k]]), True
    return _rows(q, name, 4, "a Quat or an array of shape (4,) or (n, 4)")


def _count(args: list[tuple[str, np.ndarray, bool]]) -> int:
    """The row count of a call: every argument has n rows or one."""
    n = 1
    first = ""
    for name, arr, _ in args:
        m = arr.shape[0]
        if m == 1:
            continue
        if n == 1:
            n, first = m, name
        elif m != n:
            raise ValueError(f"argument '{name}': expected 1 or {n} rows to match argument '{first}', got {m}")
    return n


_FAULTS = {
    3: "the matrix{where} has a non-finite entry",
    4: "the matrix{where} has a determinant that is not positive (a reflection or a singular matrix)",
    5: "t{where} is not finite",
}


# The argument each fault is found in.
_FAULT_ARGUMENT = {1: 0, 2: 1, 3: 0, 4: 0, 5: 2}


def _fail(fault: int, row: int, args: list[tuple[str, np.ndarray, bool]]) -> None:
    name, arr, single = args[_FAULT_ARGUMENT[fault]]
    where = "" if single else f" at row {row if arr.shape[0] != 1 else 0}"
    if fault in (1, 2):
        raise ValueError(f"argument '{name}': the quaternion{where} has zero norm and names no rotation")
    raise ValueError(f"argument '{name}': " + _FAULTS[fault].format(where=where))


def _call(op: int, width: int, args: list[tuple[str, np.ndarray, bool]], param: int = 0,
          shape: tuple[int, ...] = ()) -> np.ndarray:
    """The element loop `op` over the arguments (name, rows, single); a
    single result when every argument is single."""
    n = _count(args)
    out = _empty((n, width) if not shape else (n,) + shape)
    arrays = [arr for _, arr, _ in args] + [None] * (3 - len(args))
    fault, row, warned = _run(op, out, arrays[0], arrays[1], arrays[2], param)
    if fault:
        _fail(fault, row, args)
    if warned:
        warnings.warn(GIMBAL_LOCK_WARNING, UserWarning, stacklevel=3)
    if width == 1 and not shape:
        out = out.reshape(n)
    return out[0] if all(single for _, _, single in args) else out


# ---------------------------------------------------------------------------
# Element-wise functions


def compose(p: Any, q: Any) -> np.ndarray:
    if type(p) in _ONE and type(q) in _ONE:
        out = _empty(4)
        if not _single(_COMPOSE, out, p, q, None, 0):
            return out
    return _call(_COMPOSE, 4, [("p",) + _quats(p, "p"), ("q",) + _quats(q, "q")])


def inverse(q: Any) -> np.ndarray:
    if type(q) in _ONE:
        out = _empty(4)
        if not _single(_INVERSE, out, q, None, None, 0):
            return out
    return _call(_INVERSE, 4, [("q",) + _quats(q, "q")])


def to_matrix(q: Any) -> np.ndarray:
    if type(q) in _ONE:
        out = _empty((3, 3))
        if not _single(_TO_MATRIX, out, q, None, None, 0):
            return out
    return _call(_TO_MATRIX, 9, [("q",) + _quats(q, "q")], shape=(3, 3))


def from_matrix(m: Any) -> np.ndarray:
    if type(m) is np.ndarray:
        out = _empty(4)
        if not _single(_FROM_MATRIX, out, m, None, None, 0):
            return out
    arr = _real_array(m, "m", "(3, 3) or (n, 3, 3)")
    if arr.ndim == 2 and arr.shape == (3, 3):
        rows, single = _f64(arr).reshape(1, 9), True
    elif arr.ndim == 3 and arr.shape[1:] == (3, 3):
        rows, single = _f64(arr).reshape(arr.shape[0], 9), False
    else:
        raise ValueError(f"argument 'm': expected an array of shape (3, 3) or (n, 3, 3), got shape {arr.shape}")
    return _call(_FROM_MATRIX, 4, [("m", rows, single)])


def from_scipy_quat(a: Any) -> np.ndarray:
    rows = _rows(a, "a", 4, "an array of shape (4,) or (n, 4) in scipy's order (x, y, z, w)")
    return _call(_FROM_SCIPY, 4, [("a",) + rows])


def to_scipy_quat(q: Any) -> np.ndarray:
    if type(q) in _ONE:
        out = _empty(4)
        if not _single(_TO_SCIPY, out, q, None, None, 0):
            return out
    return _call(_TO_SCIPY, 4, [("q",) + _quats(q, "q")])


def from_rotvec(r: Any) -> np.ndarray:
    if type(r) is np.ndarray:
        out = _empty(4)
        if not _single(_FROM_ROTVEC, out, r, None, None, 0):
            return out
    return _call(_FROM_ROTVEC, 4, [("r",) + _rows(r, "r", 3, "an array of shape (3,) or (n, 3)")])


def to_rotvec(q: Any) -> np.ndarray:
    if type(q) in _ONE:
        out = _empty(3)
        if not _single(_TO_ROTVEC, out, q, None, None, 0):
            return out
    return _call(_TO_ROTVEC, 3, [("q",) + _quats(q, "q")])


def magnitude_angle(q: Any) -> Any:
    args = [("q",) + _quats(q, "q")]
    out = _call(_MAGNITUDE, 1, args)
    return float(out) if args[0][2] else out


def _times(t: Any) -> tuple[np.ndarray, bool]:
    if isinstance(t, (str, bytes, bytearray, complex)) or t is None:
        raise TypeError(f"argument 't': expected a real number or an array of shape (n,), got '{type(t).__name__}'")
    arr = _real_array(t, "t", "a number or (n,)")
    if arr.ndim == 0:
        return _f64(arr).reshape(1, 1), True
    if arr.ndim == 1:
        return _f64(arr).reshape(arr.shape[0], 1), False
    raise ValueError(f"argument 't': expected a number or an array of shape (n,), got shape {arr.shape}")


def slerp(p: Any, q: Any, t: Any) -> np.ndarray:
    if type(p) in _ONE and type(q) in _ONE and type(t) in _NUMBER:
        out = _empty(4)
        if not _single(_SLERP, out, p, q, t, 0):
            return out
    return _call(_SLERP, 4, [("p",) + _quats(p, "p"), ("q",) + _quats(q, "q"), ("t",) + _times(t)])


_AXES = {"x": 0, "y": 1, "z": 2}


def _seq_code(seq: Any) -> int:
    """Three axes in two bits each (first lowest), bit 6 for intrinsic."""
    if not isinstance(seq, str):
        raise TypeError(f"argument 'seq': expected a str of three axes, got '{type(seq).__name__}'")
    if len(seq) != 3 or not (set(seq) <= set("xyz") or set(seq) <= set("XYZ")):
        raise ValueError(f"argument 'seq': expected three axes from 'xyz' (extrinsic) or from 'XYZ' "
                         f"(intrinsic), not mixed, got {seq!r}")
    if seq[0] == seq[1] or seq[1] == seq[2]:
        raise ValueError(f"argument 'seq': expected consecutive axes to be different, got {seq!r}")
    axes = [_AXES[c] for c in seq.lower()]
    return axes[0] | axes[1] << 2 | axes[2] << 4 | (64 if seq.isupper() else 0)


_SEQ_CODES = {a + b + c: _seq_code(a + b + c) for axes in ("xyz", "XYZ") for a in axes for b in axes for c in axes
              if a != b and b != c}


def from_euler(seq: str, angles: Any) -> np.ndarray:
    code = _SEQ_CODES.get(seq) if type(seq) is str else None
    if code is None:
        code = _seq_code(seq)
    elif type(angles) is np.ndarray:
        out = _empty(4)
        if not _single(_FROM_EULER, out, angles, None, None, code):
            return out
    rows = _rows(angles, "angles", 3, "an array of shape (3,) or (n, 3)")
    return _call(_FROM_EULER, 4, [("angles",) + rows], code)


def to_euler(q: Any, seq: str) -> np.ndarray:
    code = _SEQ_CODES.get(seq) if type(seq) is str else None
    if code is not None and type(q) in _ONE:
        out = _empty(3)
        done = _single(_TO_EULER, out, q, None, None, code)
        if done <= 0:
            if done:
                warnings.warn(GIMBAL_LOCK_WARNING, UserWarning, stacklevel=2)
            return out
    rows = _quats(q, "q")
    code = _seq_code(seq)
    return _call(_TO_EULER, 3, [("q",) + rows], code)


# ---------------------------------------------------------------------------
# Generated rotations and reductions

# The most rows of four doubles an array can have (its bytes must fit in a
# Py_ssize_t).
_MAX_ROWS = sys.maxsize // 32


def random(n: int, seed: int) -> np.ndarray:
    try:
        count = operator.index(n)
    except TypeError:
        raise TypeError(f"argument 'n': expected an int, got '{type(n).__name__}'") from None
    try:
        key = operator.index(seed)
    except TypeError:
        raise TypeError(f"argument 'seed': expected an int, got '{type(seed).__name__}'") from None
    if count < 0:
        raise ValueError(f"argument 'n': expected a count of at least 0, got {count}")
    if count > _MAX_ROWS:
        raise ValueError(f"argument 'n': expected a count of at most {_MAX_ROWS}, got {count}")
    if not 0 <= key < 2**64:
        raise ValueError(f"argument 'seed': expected an int in [0, 2**64), got {key}")
    out = _empty((count, 4))
    _run(_RANDOM, out, None, None, None, key)
    return out


def _weights(weights: Any, n: int) -> np.ndarray | None:
    if weights is None:
        return None
    arr = _real_array(weights, "weights", "(n,)")
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"argument 'weights': expected an array of shape ({n},), got shape {arr.shape}")
    arr = _f64(arr)
    if not np.isfinite(arr).all():
        raise ValueError("argument 'weights': expected finite weights")
    if (arr < 0).any():
        raise ValueError("argument 'weights': expected non-negative weights")
    return arr


def mean(q: Any, weights: Any = None) -> np.ndarray:
    rows, _ = _quats(q, "q")
    n = rows.shape[0]
    if n == 0:
        raise ValueError("argument 'q': the mean of no rotations is undefined")
    w = _weights(weights, n)
    out = _empty((1, 4))
    fault, row = _rotation.mean(out, rows, w)
    if fault:
        _fail(fault, row, [("q", rows, False)])
    return out[0]


def align_vectors(a: Any, b: Any, weights: Any = None) -> tuple[np.ndarray, float]:
    a_rows, a_single = _rows(a, "a", 3, "an array of shape (3,) or (n, 3)")
    b_rows, b_single = _rows(b, "b", 3, "an array of shape (3,) or (n, 3)")
    if a_rows.shape != b_rows.shape or a_single != b_single:
        raise ValueError(f"argument 'b': expected the shape of 'a', {np.shape(a)}, got {np.shape(b)}")
    n = a_rows.shape[0]
    if n == 0:
        raise ValueError("argument 'a': expected at least one pair of vectors")
    w = _weights(weights, n)
    out = _empty((1, 4))
    fault, rssd = _rotation.align(out, a_rows, b_rows, w)
    if fault:
        raise ValueError("argument 'a': cannot align a single pair of vectors when one of them has zero length")
    return out[0], rssd
