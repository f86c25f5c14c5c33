"""Rotation algebra on arrays of quaternions.

Conventions (every function):

- A quaternion array is an (n, 4) float64 array in tarsk_py's own storage and
  sense, (w, i, j, k): row q turns vectors exactly as ``Quat(*q).rotate``
  does, which makes it the conjugate of the textbook (and scipy) quaternion of
  the same turn. Wherever a quaternion array is taken, a single ``Quat`` or a
  (4,) array-like is taken too; one rotation (or any argument of one row)
  broadcasts against n rows, with the bits of the tiled call. Only single
  rotations in give a single result out ((4,), (3, 3), (3,) or a float).
- Any nonzero finite multiple of a quaternion names the same rotation (from
  subnormal components to the largest double): conversions normalise first;
  ``compose`` and ``inverse`` are the exact Hamilton product and conjugate. A
  quaternion of zero norm, and a non-finite entry in any argument of any
  function, are refused (ValueError naming the argument and the first bad
  row).
- ``compose(p, q)`` applies q first, then p (scipy's ``p * q``).
- Matrices are (n, 3, 3) and map column vectors the way ``rotate`` turns
  them: ``m @ v == rotate(v, q)`` up to rounding. This is the transpose of
  ``Quat.to_rotation_matrix``, which reads the components the textbook way.
- Euler angles follow scipy's ``Rotation``: three letters, lowercase x/y/z
  extrinsic (fixed axes), uppercase intrinsic (moving axes), radians;
  ``degrees=True`` takes or gives degrees where scipy has the option.
- Inputs are never modified; views, Fortran order, float32 and read-only
  arrays give the bits of their float64 copy. Results are bit-identical for
  every worker count.
"""
from __future__ import annotations

import math
import operator
import sys
import warnings
from typing import Any

import numpy as np

from tarsk_py import Quat as _Quat

from . import _rotation  # type: ignore[attr-defined]
from ._arrays import _real_array

# The functions written out here; the package adds those of the table
# (TABLE below), which are made from its rows.
__all__ = ["align_vectors", "mean", "random"]

_F64 = np.dtype(np.float64)

GIMBAL_LOCK_WARNING = ("Gimbal lock detected. Setting third angle to zero since it is not possible "
                       "to uniquely determine all angles.")

_run = _rotation.run
_single = _rotation.single
_fast_call = _rotation.call
_rotation.bind(np.ndarray, np.empty, _F64, np.bool_, GIMBAL_LOCK_WARNING)
_empty = np.empty
_deg2rad = np.deg2rad
_rad2deg = np.rad2deg
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


def _matrices(m: Any, name: str) -> tuple[np.ndarray, bool]:
    arr = _real_array(m, name, "(3, 3) or (n, 3, 3)")
    if arr.ndim == 2 and arr.shape == (3, 3):
        return _f64(arr).reshape(1, 9), True
    if arr.ndim == 3 and arr.shape[1:] == (3, 3):
        return _f64(arr).reshape(arr.shape[0], 9), False
    raise ValueError(f"argument '{name}': expected an array of shape (3, 3) or (n, 3, 3), got shape {arr.shape}")


def _scalars(t: Any, name: str) -> tuple[np.ndarray, bool]:
    if isinstance(t, (str, bytes, bytearray, complex)) or t is None:
        raise TypeError(f"argument '{name}': expected a real number or an array of shape (n,), "
                        f"got '{type(t).__name__}'")
    arr = _real_array(t, name, "a number or (n,)")
    if arr.ndim == 0:
        return _f64(arr).reshape(1, 1), True
    if arr.ndim == 1:
        return _f64(arr).reshape(arr.shape[0], 1), False
    raise ValueError(f"argument '{name}': expected a number or an array of shape (n,), got shape {arr.shape}")


# ---------------------------------------------------------------------------
# The table of the element-wise functions: the native module's table of
# operations (_rotation.ops()), one row per function, read here as
#
#   name: (arguments, result, degrees, summary)
#
# arguments: (parameter name, kind) in call order; an Euler sequence is the
#   parameter "seq" of kind "seq" (not a row argument). Kinds:
#     quat     a Quat, (4,) or (n, 4) in (w, i, j, k)       -> "the quaternion"
#     scipy    (4,) or (n, 4) scalar-last (x, y, z, w)       -> "the quaternion"
#     rotvec   (3,) or (n, 3) axis times angle               -> "the rotation vector"
#     angles   (3,) or (n, 3) Euler angles                   -> "the angles"
#     vector   (3,) or (n, 3) vectors                        -> "the vector"
#     matrix   (3, 3) or (n, 3, 3)                           -> "the matrix"
#     scalar   a number or (n,)                              -> the parameter's name
# result: the shape of one result row, () for a number, "bool" for a flag.
# degrees: None, "in" (angles given in degrees) or "out" (angles returned in
#   degrees) -- the function then takes degrees=False as scipy does.
#
# The wrappers below, the Dask wrappers (tarsk_interop.dask), the fault
# messages and the stubs' signatures (checked by the tests) follow from
# these rows. Operations without a summary (random, rotate) are written out.

_KIND_TYPE = {"quat": "Quat | npt.ArrayLike", "scipy": "npt.ArrayLike", "rotvec": "npt.ArrayLike", "angles": "npt.ArrayLike",
              "vector": "npt.ArrayLike", "matrix": "npt.ArrayLike", "scalar": "float | npt.ArrayLike", "seq": "str"}
_KIND_WHAT = {"quat": "quaternion", "scipy": "quaternion", "rotvec": "rotation vector", "angles": "angles",
              "vector": "vector", "matrix": "matrix"}
_KIND_EXPECTED = {"scipy": "an array of shape (4,) or (n, 4) in scipy's order (x, y, z, w)",
                  "rotvec": "an array of shape (3,) or (n, 3)", "angles": "an array of shape (3,) or (n, 3)",
                  "vector": "an array of shape (3,) or (n, 3)"}

_OPS = _rotation.ops()
# name -> (index, widths, out width, parameter kind) of every native operation.
_NATIVE = {row[0]: (k, row[6], row[3], row[7]) for k, row in enumerate(_OPS)}


def _result(kind: str, out_width: int) -> Any:
    return {"row": (out_width,), "matrix": (3, 3), "number": (), "flag": "bool"}[kind]


TABLE: dict[str, tuple[tuple[tuple[str, str], ...], Any, str | None, str]] = {
    name: (arguments, _result(result, out_width), degrees, summary)
    for name, arguments, result, out_width, degrees, summary, _, _ in _OPS if summary is not None
}

_CONVERT = {
    "quat": _quats,
    "matrix": _matrices,
    "scalar": _scalars,
}
for _kind, _expected in _KIND_EXPECTED.items():
    _CONVERT[_kind] = (lambda width, expected: lambda a, name: _rows(a, name, width, expected))(
        4 if _kind == "scipy" else 3, _expected)
del _kind, _expected


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


def _fault_message(fault: int, name: str, kind: str, where: str) -> str:
    """The message of a fault code of the native module: (code - 1) // 3 is
    what is wrong, (code - 1) % 3 the argument."""
    what = (fault - 1) // 3
    if kind == "scalar":
        return f"argument '{name}': {name}{where} is not finite"
    thing = _KIND_WHAT[kind]
    if what == 0:
        return f"argument '{name}': the {thing}{where} has zero norm and names no rotation"
    if what == 1:
        return f"argument '{name}': the {thing}{where} has a non-finite entry"
    if what == 2:
        return (f"argument '{name}': the matrix{where} has a negative determinant: its nearest orthogonal matrix "
                f"is a reflection, not a rotation")
    return f"argument '{name}': the matrix{where} has rank below two and is near no single rotation"


def _fail(fault: int, row: int, args: list[tuple[str, np.ndarray, bool]], kinds: tuple[str, ...]) -> None:
    position = (fault - 1) % 3
    name, arr, single = args[position]
    where = "" if single else f" at row {row if arr.shape[0] != 1 else 0}"
    raise ValueError(_fault_message(fault, name, kinds[position], where))


def _call(op: int, width: int, args: list[tuple[str, np.ndarray, bool]], kinds: tuple[str, ...], param: int = 0,
          shape: tuple[int, ...] = ()) -> np.ndarray:
    """The element loop `op` over the arguments (name, rows, single); a
    single result when every argument is single."""
    n = _count(args)
    out = _empty((n, width) if not shape else (n,) + shape)
    arrays = [arr for _, arr, _ in args] + [None] * (3 - len(args))
    fault, row, warned = _run(op, out, arrays[0], arrays[1], arrays[2], param)
    if fault:
        _fail(fault, row, args, kinds)
    if warned:
        warnings.warn(GIMBAL_LOCK_WARNING, UserWarning, stacklevel=4)
    if width == 1 and not shape:
        out = out.reshape(n)
    return out[0] if all(single for _, _, single in args) else out


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


def _singles(kinds: tuple[str, ...]) -> tuple[tuple[type, ...], ...]:
    """The argument types the single path takes for each row argument."""
    return tuple(_NUMBER if k == "scalar" else (np.ndarray,) if k in ("matrix", "scipy", "rotvec", "angles",
                                                                       "vector") else _ONE for k in kinds)


def _make(name: str) -> Any:
    """The wrapper of a table row: its parameters in order, degrees=False
    where the row has angles, the single path for single rows, the general
    path (conversions, broadcasting, faults) otherwise."""
    arguments, result, degrees, summary = TABLE[name]
    op, widths, out_width, _ = _NATIVE[name]
    names = tuple(a for a, k in arguments if k != "seq")
    kinds = tuple(k for a, k in arguments if k != "seq")
    has_seq = any(k == "seq" for _, k in arguments)
    shape = result if isinstance(result, tuple) and len(result) > 1 else ()
    out_shape = (out_width,) if result != () and result != "bool" else ()
    single_shape = shape or out_shape
    single_types = _singles(kinds)
    converts = tuple(_CONVERT[k] for k in kinds)
    boolean = result == "bool"
    number = result == ()
    to_degrees = degrees == "out"
    from_degrees = degrees == "in"

    def body(values: tuple[Any, ...], seq: Any, in_degrees: bool) -> Any:
        code = 0
        if has_seq:
            known = _SEQ_CODES.get(seq) if type(seq) is str else None
            code = known if known is not None else _seq_code(seq)
        if from_degrees and in_degrees:
            values = (_deg2rad(_real_array(values[0], names[0], "an array of shape (3,) or (n, 3)")),)
        if all(type(v) in t for v, t in zip(values, single_types)):
            out = _empty(single_shape)
            done = _single(op, out, *values, *([None] * (3 - len(values))), code)
            if done <= 0:
                if done:
                    warnings.warn(GIMBAL_LOCK_WARNING, UserWarning, stacklevel=3)
                if boolean:
                    return bool(out)
                if to_degrees and in_degrees:
                    out = _rad2deg(out)
                return float(out) if number else out
        args = [(n,) + convert(v, n) for n, convert, v in zip(names, converts, values)]
        out = _call(op, out_width, args, kinds, code, shape)
        if boolean:
            return bool(out) if args and all(s for _, _, s in args) else out.astype(bool)
        if to_degrees and in_degrees:
            out = _rad2deg(out)
        if number and all(s for _, _, s in args):
            return float(out)
        return out

    # The wrapper itself, written out for this row: the native call path
    # first (single rows, or whole float64 arrays of n rows, as they are;
    # None for anything else and for any fault), then the general path,
    # which converts, broadcasts, checks and reports.
    params = [a for a, _ in arguments]
    signature = ", ".join(params) + (", *, degrees=False" if degrees else "")
    values = "(" + ", ".join(names) + ",)"
    fast = f"_call({op}, {'seq' if has_seq else 'None'}, {', '.join(names)})"
    lines = [f"def {name}({signature}):"]
    indent = "    "
    if degrees:
        lines.append("    if not degrees:")
        indent = "        "
    lines.append(f"{indent}out = {fast}")
    lines.append(f"{indent}if out is not None:")
    lines.append(f"{indent}    return out")
    lines.append(f"    return body({values}, {'seq' if has_seq else 'None'}, {'degrees' if degrees else 'False'})")
    source = "\n".join(lines) + "\n"
    scope: dict[str, Any] = {"body": body, "_call": _fast_call}
    exec(source, scope)  # a real signature for each row, checked against the stubs by the tests
    fn = scope[name]
    fn.__module__ = "tarsk_interop"
    fn.__doc__ = summary
    # The function itself is native: a call of its parameters by position
    # takes the call path there, any other call (and any call the path
    # leaves) this wrapper.
    return _rotation.function(op, fn)


_pi = np.pi

for _name in TABLE:
    globals()[_name] = _make(_name)
del _name


def _rotate_rows(a: Any, q: Any) -> np.ndarray:
    """rotate(a, q) for q an (n, 4) or (4,) array: row i of a turned by row i
    of q (one row of either broadcasts), the bits of Quat(*q_i).rotate."""
    out = _fast_call(_ROTATE, None, a, q)
    if out is not None:
        return out
    args = [("a",) + _rows(a, "a", 3, "an array of shape (3,) or (n, 3)"), ("q",) + _quats(q, "q")]
    return _call(_ROTATE, 3, args, ("vector", "quat"))


_ROTATE = _NATIVE["rotate"][0]


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
    _run(_NATIVE["random"][0], out, None, None, None, key)
    return out


def _weights(weights: Any, n: int, scale: bool = False) -> np.ndarray | None:
    if weights is None:
        return None
    arr = _real_array(weights, "weights", "(n,)")
    if arr.ndim != 1 or arr.shape[0] != n:
        raise ValueError(f"argument 'weights': expected an array of shape ({n},), got shape {arr.shape}")
    arr = _f64(arr)
    finite = np.isfinite(arr)
    if not finite.all():
        row = int(np.flatnonzero(~finite)[0])
        raise ValueError(f"argument 'weights': expected finite weights, the weight at row {row} is {float(arr[row])}")
    if (arr < 0).any():
        raise ValueError("argument 'weights': expected non-negative weights")
    if scale and n:
        # Weights whose largest is outside [2^-300, 2^300] are multiplied by a
        # power of two (exact): the sums neither overflow nor vanish, and a
        # mean does not depend on the scale of its weights.
        largest = float(arr.max())
        if largest > 0.0 and not 2.0**-300 <= largest <= 2.0**300:
            arr = np.ldexp(arr, -math.frexp(largest)[1])
    return arr


def mean(q: Any, weights: Any = None) -> np.ndarray:
    rows, _ = _quats(q, "q")
    n = rows.shape[0]
    if n == 0:
        raise ValueError("argument 'q': the mean of no rotations is undefined")
    w = _weights(weights, n, scale=True)
    out = _empty((1, 4))
    fault, row = _rotation.mean(out, rows, w)
    if fault:
        _fail(fault, row, [("q", rows, False)], ("quat",))
    return out[0]


_ZERO_PAIR = 1  # the native fault code of a zero norm in the first argument


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
    fault, row, rssd = _rotation.align(out, a_rows, b_rows, w)
    if fault == _ZERO_PAIR:
        raise ValueError("argument 'a': cannot align a single pair of vectors when one of them has zero length")
    if fault:
        _fail(fault, row, [("a", a_rows, a_single), ("b", b_rows, b_single)], ("vector", "vector"))
    return out[0], rssd
