"""The element-wise rotation algebra over Dask arrays of rows.

Each function takes what its in-memory namesake takes, where any argument of
n rows may be a Dask array chunked along the rows (the chunks of several
such arguments are unified), and a single rotation (a Quat or a (4,)
array-like) or a plain number broadcasts against every chunk. The result is
a Dask array of the in-memory result's shape and the input's row chunks,
whose every bit is what the in-memory function gives for the whole arrays,
whatever the chunking and the workers.

Shapes, dtypes, the Euler sequence and the row counts are checked when the
graph is built, with the in-memory function's exceptions. Faults that only
the values show (a quaternion of zero norm, a matrix with a non-finite entry
or a determinant that is not positive, a non-finite t) raise the in-memory
ValueError when the graph is computed, with the row counted within its chunk;
``to_euler`` warns at gimbal lock once per chunk that has one.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import dask.array as da

import tarsk_interop as _ti
from tarsk_py import Quat

__all__ = [
    "compose", "from_euler", "from_matrix", "from_rotvec", "from_scipy_quat", "inverse", "magnitude_angle",
    "slerp", "to_euler", "to_matrix", "to_rotvec", "to_scipy_quat",
]

_IDENTITY = np.array([1.0, 0.0, 0.0, 0.0])


def _argument(x: Any, name: str, width: tuple[int, ...], probe_row: np.ndarray) -> tuple[Any, Any]:
    """(value for the graph, probe for the in-memory check). Rows (a Dask
    array, or an array-like of n rows, made one) are rechunked to whole
    rows; a single row or number is used as it is, and is its own probe."""
    if not isinstance(x, da.Array):
        if type(x) is Quat or isinstance(x, (str, bytes, bytearray)) or np.ndim(x) != 1 + len(width):
            return x, x
        x = da.from_array(np.asarray(x))
    if x.dtype.kind not in "biuf":
        raise TypeError(f"argument '{name}': expected a Dask array of real numbers, got dtype {x.dtype}")
    if x.ndim != 1 + len(width) or tuple(x.shape[1:]) != width:
        expected = ", ".join(["n"] + [str(w) for w in width])
        raise ValueError(f"argument '{name}': expected a Dask array of shape ({expected}), got shape {x.shape}")
    if any(len(c) != 1 for c in x.chunks[1:]):
        x = x.rechunk({d: -1 for d in range(1, x.ndim)})
    return x, np.broadcast_to(probe_row.astype(x.dtype), (1,) + width)


def _block_call(name: str, order: tuple[int, ...], extra: tuple[Any, ...], *blocks: Any) -> np.ndarray:
    args = list(blocks) + list(extra)
    result: np.ndarray = getattr(_ti, name)(*[args[k] for k in order])
    return result


def _elementwise(name: str, tail: tuple[int, ...], args: list[tuple[Any, str, tuple[int, ...], np.ndarray]],
                 extra: tuple[Any, ...] = (), order: tuple[int, ...] | None = None) -> da.Array:
    """The in-memory function `name` over the row chunks of its arguments
    (value, name, row width, probe row); `extra` arguments (an Euler
    sequence) go where `order` places them."""
    order = order if order is not None else tuple(range(len(args) + len(extra)))
    values, probes = [], []
    for x, arg_name, width, probe_row in args:
        value, probe = _argument(x, arg_name, width, probe_row)
        values.append(value)
        probes.append(probe)
    call_args = probes + list(extra)
    getattr(_ti, name)(*[call_args[k] for k in order])
    arrays = [v for v in values if isinstance(v, da.Array)]
    if not arrays:
        return da.from_array(np.asarray(getattr(_ti, name)(*[(values + list(extra))[k] for k in order])))
    rows = {int(a.shape[0]) for a in arrays if not math.isnan(a.shape[0])}
    if len(rows) > 1:
        raise ValueError(f"argument '{args[-1][1]}': the Dask arrays have different row counts {sorted(rows)}")
    pairs: list[Any] = []
    for v, (_, _, width, _) in zip(values, args):
        if isinstance(v, da.Array):
            # Row index "r"; the other axes are contracted away inside a
            # block (each is one chunk).
            pairs += [v, "r" + "abc"[:len(width)]]
        else:
            pairs += [v, None]
    out_ind = "r" + "xyz"[:len(tail)]
    meta = np.empty((0,) + tail, dtype=np.float64)
    return da.blockwise(_block_call, out_ind, name, None, order, None, tuple(extra), None, *pairs,
                        new_axes={out_ind[1 + d]: n for d, n in enumerate(tail)}, concatenate=True,
                        dtype=np.float64, meta=meta, token=f"tarsk-rotation-{name}")


def _quat(x: Any, name: str) -> tuple[Any, str, tuple[int, ...], np.ndarray]:
    if type(x) is Quat:
        x = np.array([x.w, x.i, x.j, x.k])
    return x, name, (4,), _IDENTITY


def compose(p: Any, q: Any) -> da.Array:
    return _elementwise("compose", (4,), [_quat(p, "p"), _quat(q, "q")])


def inverse(q: Any) -> da.Array:
    return _elementwise("inverse", (4,), [_quat(q, "q")])


def to_matrix(q: Any) -> da.Array:
    return _elementwise("to_matrix", (3, 3), [_quat(q, "q")])


def from_matrix(m: Any) -> da.Array:
    return _elementwise("from_matrix", (4,), [(m, "m", (3, 3), np.eye(3))])


def from_scipy_quat(a: Any) -> da.Array:
    return _elementwise("from_scipy_quat", (4,), [(a, "a", (4,), np.array([0.0, 0.0, 0.0, 1.0]))])


def to_scipy_quat(q: Any) -> da.Array:
    return _elementwise("to_scipy_quat", (4,), [_quat(q, "q")])


def from_rotvec(r: Any) -> da.Array:
    return _elementwise("from_rotvec", (4,), [(r, "r", (3,), np.zeros(3))])


def to_rotvec(q: Any) -> da.Array:
    return _elementwise("to_rotvec", (3,), [_quat(q, "q")])


def magnitude_angle(q: Any) -> da.Array:
    return _elementwise("magnitude_angle", (), [_quat(q, "q")])


def slerp(p: Any, q: Any, t: Any) -> da.Array:
    return _elementwise("slerp", (4,), [_quat(p, "p"), _quat(q, "q"), (t, "t", (), np.zeros(()))])


def from_euler(seq: str, angles: Any) -> da.Array:
    return _elementwise("from_euler", (4,), [(angles, "angles", (3,), np.zeros(3))], (seq,), order=(1, 0))


def to_euler(q: Any, seq: str) -> da.Array:
    return _elementwise("to_euler", (3,), [_quat(q, "q")], (seq,))
