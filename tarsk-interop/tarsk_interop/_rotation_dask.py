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
the values show (a quaternion of zero norm, a non-finite entry, a matrix
that is a reflection or of rank below two) raise the in-memory
ValueError when the graph is computed, with the row counted within its chunk;
``to_euler`` warns at gimbal lock once per chunk that has one.
"""
from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import dask.array as da

import tarsk_interop as _ti
from tarsk_py import Quat

from ._rotation_algebra import TABLE as _TABLE

# The functions are made from the rows of the rotation table (see _make);
# tarsk_interop.dask exports them by the table's names.
__all__: list[str] = []

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


def _block_call(name: str, order: tuple[int, ...], extra: tuple[Any, ...], kwargs: dict[str, Any],
                *blocks: Any) -> np.ndarray:
    args = list(blocks) + list(extra)
    result: np.ndarray = getattr(_ti, name)(*[args[k] for k in order], **kwargs)
    return result


def _elementwise(name: str, tail: tuple[int, ...], args: list[tuple[Any, str, tuple[int, ...], np.ndarray]],
                 extra: tuple[Any, ...] = (), order: tuple[int, ...] | None = None,
                 kwargs: dict[str, Any] | None = None, dtype: Any = np.float64) -> da.Array:
    """The in-memory function `name` over the row chunks of its arguments
    (value, name, row width, probe row); `extra` arguments (an Euler
    sequence) go where `order` places them."""
    order = order if order is not None else tuple(range(len(args) + len(extra)))
    values, probes = [], []
    for x, arg_name, width, probe_row in args:
        value, probe = _argument(x, arg_name, width, probe_row)
        values.append(value)
        probes.append(probe)
    kwargs = kwargs or {}
    call_args = probes + list(extra)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a probe row at gimbal lock is no row of the caller's
        getattr(_ti, name)(*[call_args[k] for k in order], **kwargs)
    arrays = [v for v in values if isinstance(v, da.Array)]
    if not arrays:
        return da.from_array(np.asarray(getattr(_ti, name)(*[(values + list(extra))[k] for k in order], **kwargs)))
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
    meta = np.empty((0,) + tail, dtype=dtype)
    return da.blockwise(_block_call, out_ind, name, None, order, None, tuple(extra), None, kwargs, None, *pairs,
                        new_axes={out_ind[1 + d]: n for d, n in enumerate(tail)}, concatenate=True,
                        dtype=dtype, meta=meta, token=f"tarsk-rotation-{name}")


# Per argument kind of the table: the row shape and the probe row that the
# in-memory function checks the shapes, dtypes and the sequence with.
_KIND_ROW: dict[str, tuple[tuple[int, ...], np.ndarray]] = {
    "quat": ((4,), _IDENTITY),
    "scipy": ((4,), np.array([0.0, 0.0, 0.0, 1.0])),
    "rotvec": ((3,), np.zeros(3)),
    "angles": ((3,), np.zeros(3)),
    "vector": ((3,), np.zeros(3)),
    "matrix": ((3, 3), np.eye(3)),
    "scalar": ((), np.zeros(())),
}


def _make(name: str) -> Any:
    """The Dask wrapper of a row of the rotation table: the in-memory function
    chunk by chunk, with the same parameters."""
    arguments, result, degrees, summary = _TABLE[name]
    rows = [(a, k) for a, k in arguments if k != "seq"]
    seq_at = [n for n, (_, k) in enumerate(arguments) if k == "seq"]
    # The in-memory call takes the row arguments and then the sequence; order
    # puts the sequence back in its place.
    order = tuple(range(len(rows)))
    if seq_at:
        order = order[:seq_at[0]] + (len(rows),) + order[seq_at[0]:]
    tail = () if result == "bool" else result
    dtype = np.bool_ if result == "bool" else np.float64

    def body(values: tuple[Any, ...], seq: Any, in_degrees: bool) -> da.Array:
        args = []
        for (arg_name, kind), x in zip(rows, values):
            if type(x) is Quat:
                x = np.array([x.w, x.i, x.j, x.k])
            width, probe = _KIND_ROW[kind]
            args.append((x, arg_name, width, probe))
        extra = (seq,) if seq_at else ()
        kwargs = {"degrees": True} if in_degrees else {}
        return _elementwise(name, tail, args, extra, order, kwargs, dtype)

    params = [a for a, _ in arguments]
    signature = ", ".join(params) + (", *, degrees=False" if degrees else "")
    values = "(" + ", ".join(a for a, _ in rows) + ",)"
    source = (f"def {name}({signature}):\n"
              f"    return body({values}, {'seq' if seq_at else 'None'}, {'degrees' if degrees else 'False'})\n")
    scope: dict[str, Any] = {"body": body}
    exec(source, scope)
    fn = scope[name]
    fn.__module__ = "tarsk_interop.dask"
    fn.__doc__ = f"tarsk_interop.{name} chunk by chunk. {summary}"
    return fn


for _name in _TABLE:
    globals()[_name] = _make(_name)
del _name
