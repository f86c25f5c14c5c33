"""tarsk_interop's array kernels over Dask arrays of points.

Every function takes a Dask array of shape (n, 3) chunked along the rows and
returns a lazy result whose every bit is what the in-memory kernel of the same
name gives for the whole array at once, whatever the chunking, the number of
Dask workers and the cluster:

- ``normalize``, ``cross``, ``rotate``, ``collapse``, ``add``, ``subtract``,
  ``multiply``, ``divide``: a Dask array of shape (n, 3), float64, with the
  input's row chunks;
- ``dot``, ``magnitude``, ``distance_to``, ``distance_squared``: a Dask array of
  shape (n,), float64; ``is_unit``: the same with dtype bool;
- ``minimum_distance_to``: a ``dask.delayed`` value that computes to the
  ``(index, distance)`` pair of the nearest-element search over all n rows,
  found by a tree reduction over the chunks: no machine ever holds more than
  its own chunks.

An array chunked along the columns is rechunked to whole rows first. Bad input
(a wrong shape, a dtype that is not bool, integer or floating, a bad vector,
quaternion, scalar, axis or stride) raises the in-memory kernel's own
exception when the graph is built, never inside a worker.

On a ``distributed`` cluster, call ``register(client)`` once: every worker,
including workers that join later, then imports ``tarsk_interop``, which
installs the pickling support that results of type ``Vec3d``, ``Quat`` or
``VecList`` need to travel back.

Thread budget: each worker process runs its own tarsk worker pool, whose size
is fixed by ``RAYON_NUM_THREADS`` when the process first uses it. A kernel
holds the interpreter lock while its pool works, so Dask threads of one
process take turns; keep (Dask threads per worker) x (pool threads per worker
process) x (worker processes per machine) at most the machine's cores, for
example one Dask thread per worker and ``RAYON_NUM_THREADS`` = cores / worker
processes.
"""
from __future__ import annotations

import math
import operator
from typing import Any

import numpy as np
import dask
import dask.array as da
from dask.delayed import Delayed

import tarsk_interop as _ti
from tarsk_py import Quat, Vec3d

# The functions besides the element-wise kernels, which the table adds below.
__all__ = ["minimum_distance_to", "register", "TarskWorkerPlugin"]

# Chunk results combined per node of the reduction tree of minimum_distance_to.
_SPLIT_EVERY = 8


# ---------------------------------------------------------------------------
# Checking and preparing the input when the graph is built

def _as_dask(a: Any) -> da.Array:
    return a if isinstance(a, da.Array) else da.asarray(a)


def _probe(a: da.Array) -> np.ndarray:
    """A small numpy array that the in-memory kernels judge as they would
    judge the whole of `a`: the same dtype, and the same shape where the shape
    is wrong (a zero-strided view, no memory), or at most one row of it."""
    shape = tuple(1 if math.isnan(d) else int(d) for d in a.shape)
    if a.dtype.kind not in "biuf":
        return np.zeros(tuple(min(d, 1) for d in shape), dtype=a.dtype)
    if a.ndim == 2 and shape[1] == 3:
        return np.zeros((min(shape[0], 1), 3), dtype=a.dtype)
    return np.broadcast_to(np.zeros((), dtype=a.dtype), shape)


def _checked(a: Any, kernel: Any, *args: Any) -> da.Array:
    """`a` as a Dask array of whole rows, after the in-memory kernel has
    accepted a probe of it together with the other arguments."""
    a = _as_dask(a)
    if a.dtype.kind == "O":
        # An object array is acceptable only for what it holds, which is not
        # known before it is computed.
        raise TypeError("argument 'a': a Dask array of dtype object cannot be checked before it is "
                        "computed; convert it to a numeric dtype first (a.astype(float))")
    kernel(_probe(a), *args)
    if a.ndim != 2 or a.shape[1] != 3:
        # The kernels refuse every other shape; never run the graph on one.
        raise ValueError(f"argument 'a': expected an array of shape (n, 3), got shape {a.shape}")
    if a.numblocks[1] != 1:
        a = a.rechunk({1: -1})
    return a


def _vector(v: Any) -> np.ndarray:
    """The exact components of a vector argument the kernels accepted."""
    v = _ti._vec(v)
    return np.array([v.x, v.y, v.z], dtype=np.float64)


def _number(s: Any) -> np.ndarray:
    """The exact value of a scalar argument the kernels accepted."""
    return np.array([_ti._scalar(s)], dtype=np.float64)


# The per-chunk calls. Arguments travel as float64 arrays: Dask names tasks by
# hashing their arguments, and an array hashes by its bytes, so two graphs
# that differ only in a zero's sign or a NaN's payload never share a name.

def _block_unary(block: np.ndarray, name: str) -> np.ndarray:
    return getattr(_ti, name)(block)


def _block_vector(block: np.ndarray, name: str, v: np.ndarray) -> np.ndarray:
    return getattr(_ti, name)(block, v)


def _block_scalar(block: np.ndarray, name: str, s: np.ndarray) -> np.ndarray:
    return getattr(_ti, name)(block, float(s[0]))


def _block_quat(block: np.ndarray, name: str, q: np.ndarray) -> np.ndarray:
    w, i, j, k = q.tolist()
    return getattr(_ti, name)(block, Quat(w, i, j, k))


def _block_axis(block: np.ndarray, name: str, axis: int) -> np.ndarray:
    return getattr(_ti, name)(block, axis)


def _quaternion(q: Any) -> np.ndarray:
    """The exact components of a quaternion argument the kernels accepted."""
    return np.array([q.w, q.i, q.j, q.k], dtype=np.float64)


_VECTOR_META = np.empty((0, 3), dtype=np.float64)


def _rows(a: da.Array, name: str, func: Any, *args: Any) -> da.Array:
    return a.map_blocks(func, *args, dtype=np.float64, meta=_VECTOR_META, token=f"tarsk-{name}")


def _values(a: da.Array, name: str, dtype: Any, func: Any, *args: Any) -> da.Array:
    return a.map_blocks(func, *args, drop_axis=1, dtype=dtype, meta=np.empty((0,), dtype=dtype),
                        token=f"tarsk-{name}")


# ---------------------------------------------------------------------------
# Element-wise kernels: one per row of tarsk_py's table of element-wise
# operations, as the in-memory kernels are. Per argument kind: the per-chunk
# call and how the argument travels (see above).

_BLOCK_CALLS: dict[int, tuple[Any, Any]] = {
    _ti._ARG_NONE: (_block_unary, None),
    _ti._ARG_VEC3D: (_block_vector, _vector),
    _ti._ARG_QUAT: (_block_quat, _quaternion),
    _ti._ARG_FLOAT: (_block_scalar, _number),
    _ti._ARG_AXIS: (_block_axis, operator.index),
}


def _graph(name: str, arg: int, result: int, a: da.Array, *given: Any) -> da.Array:
    block_call, travel = _BLOCK_CALLS[arg]
    args = (name,) if travel is None else (name, travel(given[0]))
    if result == _ti._RESULT_ROWS:
        return _rows(a, name, block_call, *args)
    dtype = np.bool_ if result == _ti._RESULT_BOOL else np.float64
    return _values(a, name, dtype, block_call, *args)


def _make_kernel(name: str, arg: int, result: int) -> Any:
    in_memory = getattr(_ti, name)

    def graph(a: Any, *given: Any) -> da.Array:
        return _graph(name, arg, result, _checked(a, in_memory, *given), *given)

    # The in-memory kernel's parameters, by position or keyword.
    if arg == _ti._ARG_NONE:
        def kernel(a: Any) -> da.Array:
            return graph(a)
    elif arg == _ti._ARG_VEC3D:
        def kernel(a: Any, v: Any) -> da.Array:  # type: ignore[misc]
            return graph(a, v)
    elif arg == _ti._ARG_QUAT:
        def kernel(a: Any, q: Quat) -> da.Array:  # type: ignore[misc]
            return graph(a, q)
    elif arg == _ti._ARG_FLOAT:
        def kernel(a: Any, s: Any) -> da.Array:  # type: ignore[misc]
            return graph(a, s)
    else:
        def kernel(a: Any, axis: int) -> da.Array:  # type: ignore[misc]
            return graph(a, axis)
    kernel.__name__ = kernel.__qualname__ = name
    kernel.__doc__ = f"tarsk_interop.{name} over a Dask array of rows, chunk by chunk."
    return kernel


for _name, _face, _param, _arg, _result in _ti._OPS:
    globals()[_name] = _make_kernel(_name, _arg, _result)
    __all__.append(_name)
del _name, _face, _param, _arg, _result


# ---------------------------------------------------------------------------
# Nearest-element search as a reduction over chunks
#
# The in-memory search finds the best candidate p among the rows 0, s, 2s, ...
# (s the stride), then the best row of the window [p - s, p + s) clipped to
# the array, "best" meaning the smallest squared distance under IEEE
# totalOrder, the earliest row among equal keys. Number the stride-aligned
# blocks of rows [b*s, (b+1)*s): the candidate p = b*s opens block b, and its
# window is exactly block b - 1 followed by block b. So the whole search is
# a fold of per-segment summaries over consecutive segments of rows:
#
#   rows     the segment [lo, hi)
#   best     the best candidate of the segment, or None
#   blocks   for each kept block index, the best row of that block's part
#            inside the segment
#
# where the kept blocks are the first and last block the segment touches and
# the two blocks of the window of its best candidate. Joining two adjacent
# segments keeps these complete: the winner's window blocks reach into the
# other segment only through that segment's first or last block, which it
# keeps. Every choice keeps the left row unless the right one is strictly
# better, so the fold gives the earliest best row as one left-to-right pass
# would, however the rows are cut into chunks and however the tree is shaped.
#
# A best row is kept as its row number and its three coordinates, and every
# choice is made by the in-memory search itself (over a run of rows, or over
# the two rows being compared, with stride 1): the squared distances are
# computed and ordered by the code that one list's search runs.
#
# One limit: where a row's squared distance meets two different NaNs (say a
# NaN x and a NaN y of opposite signs), IEEE arithmetic leaves open which of
# them the sum keeps, and the search's own passes can keep different ones;
# such a row can rank differently here than in one list. A row with one NaN
# coordinate has a NaN distance of that NaN's sign and payload everywhere.

Best = tuple[int, tuple[float, float, float]]


def _best_of(rows: np.ndarray, first: int, step: int, v: np.ndarray) -> Best:
    """The best of `rows` (at least one), whose i-th is row first + i * step."""
    i, _ = _ti.minimum_distance_to(rows, v, 1)
    x, y, z = np.asarray(rows[i], dtype=np.float64).tolist()
    return first + i * step, (x, y, z)


def _better(left: Best | None, right: Best | None, v: np.ndarray) -> Best | None:
    if left is None:
        return right
    if right is None:
        return left
    i, _ = _ti.minimum_distance_to(np.array([left[1], right[1]]), v, 1)
    return right if i else left


def _kept(lo: int, hi: int, best: Best | None, stride: int) -> set[int]:
    kept = {lo // stride, (hi - 1) // stride}
    if best is not None:
        b = best[0] // stride
        kept.update((b - 1, b) if b > 0 else (b,))
    return kept


def _leaf(block: np.ndarray, lo: int, v: np.ndarray, stride: int) -> tuple:
    """The summary of one chunk, whose first row is row `lo` of the array."""
    hi = lo + block.shape[0]
    if hi == lo:
        return lo, hi, None, {}
    first = -(-lo // stride) * stride
    candidates = np.ascontiguousarray(block[first - lo::stride])
    best = _best_of(candidates, first, stride, v) if len(candidates) else None
    blocks = {}
    for b in _kept(lo, hi, best, stride):
        start, end = max(b * stride, lo), min((b + 1) * stride, hi)
        if start < end:
            blocks[b] = _best_of(block[start - lo:end - lo], start, 1, v)
    return lo, hi, best, blocks


def _join(v: np.ndarray, stride: int, *parts: tuple) -> tuple:
    """The summary of consecutive segments, from their summaries in row order."""
    lo, hi, best, blocks = parts[0]
    for part in parts[1:]:
        rlo, rhi, rbest, rblocks = part
        if rlo == rhi:
            continue
        if lo == hi:
            lo, hi, best, blocks = part
            continue
        merged = dict(blocks)
        for b, found in rblocks.items():
            merged[b] = _better(merged.get(b), found, v)
        hi = rhi
        best = _better(best, rbest, v)
        blocks = {b: merged[b] for b in _kept(lo, hi, best, stride) if b in merged}
    return lo, hi, best, blocks


def _finish(summary: tuple, v: np.ndarray, stride: int) -> tuple[int, float]:
    _, _, best, blocks = summary
    b = best[0] // stride
    index, row = _better(blocks.get(b - 1), blocks[b], v)
    _, distance = _ti.minimum_distance_to(np.array([row]), v, 1)
    return index, distance


def minimum_distance_to(a: Any, v: Any, stride: int) -> Delayed:
    """A lazy ``(index, distance)``: the in-memory ``minimum_distance_to`` of
    all rows of `a`, computed chunk by chunk."""
    a = _checked(a, _ti.minimum_distance_to, v, stride)
    if any(math.isnan(c) for c in a.chunks[0]):
        raise ValueError("argument 'a': the nearest-element search needs the chunk sizes along the "
                         "rows (global row numbers); call a.compute_chunk_sizes() first")
    stride = operator.index(stride)
    target = _vector(v)
    offsets = np.concatenate(([0], np.cumsum(a.chunks[0])[:-1])).tolist()
    leaf = dask.delayed(_leaf, pure=True)
    join = dask.delayed(_join, pure=True)
    level = [leaf(block, lo, target, stride)
             for block, lo in zip(a.to_delayed().ravel(), offsets)]
    while len(level) > 1:
        level = [join(target, stride, *level[i:i + _SPLIT_EVERY])
                 for i in range(0, len(level), _SPLIT_EVERY)]
    return dask.delayed(_finish, pure=True)(level[0], target, stride)


# ---------------------------------------------------------------------------
# Making the workers of a distributed cluster ready

# The instances of tarsk_py's classes pickle through the reducers that
# importing tarsk_interop installs, and the classes by name once tarsk_interop
# has made them found in "builtins" (tarsk_interop._classes). Where a class
# reaches distributed's own serialization first (a worker sends the type of
# every result it holds) it goes by name here too. Its fallback pickler asks the "dask"
# serialization registry first, by the type of the object, which for a class
# is its metaclass `type`: so `type` gets an entry that serializes tarsk_py's
# classes by name and declines every other class, with an error that both
# callers of the registry read as "not handled here" (the pickler catches
# TypeError, the "dask" family NotImplementedError).

def _tarsk_classes() -> dict[str, type]:
    from tarsk_py import AngleDegrees, AngleRadians, VecList, geometry
    classes = [AngleDegrees, AngleRadians, Quat, VecList, Vec3d, geometry.Plane, geometry.Circle,
               type(iter(VecList.empty()))]
    return {cls.__name__: cls for cls in classes}


_CLASSES = _tarsk_classes()


class _NotTarskClass(TypeError, NotImplementedError):
    pass


def _serialize_class(cls: type) -> tuple[dict[str, str], list[bytes]]:
    if _CLASSES.get(getattr(cls, "__name__", None)) is not cls:
        raise _NotTarskClass(f"{cls!r} is not a class of tarsk_py")
    return {"tarsk_py-class": cls.__name__}, []


def _deserialize_class(header: dict[str, str], frames: list[bytes]) -> type:
    return _CLASSES[header["tarsk_py-class"]]


def _sizeof_veclist(lst: Any) -> int:
    # The elements live outside the object (three doubles each).
    return object.__sizeof__(lst) + 24 * len(lst)


try:
    from distributed.diagnostics.plugin import WorkerPlugin as _WorkerPlugin
    from distributed.protocol.serialize import dask_deserialize, dask_serialize
except ImportError:  # dask without distributed: everything but register works
    _WorkerPlugin = object
else:
    dask_serialize.register(type)(_serialize_class)
    dask_deserialize.register(type)(_deserialize_class)

from dask.sizeof import sizeof as _sizeof  # noqa: E402

_sizeof.register(_CLASSES["VecList"])(_sizeof_veclist)


class TarskWorkerPlugin(_WorkerPlugin):  # type: ignore[misc, valid-type]
    """Imports tarsk_interop and this module in a worker process: the pickling
    support of tarsk_py's objects, the serialization of its classes and the
    size of a VecList for the worker's memory accounting."""

    name = "tarsk_interop"

    def setup(self, worker: Any) -> None:
        import tarsk_interop.dask  # noqa: F401 - imported for its registrations


def register(client: Any) -> None:
    """Makes every worker of `client`'s cluster, present and future, able to
    send and receive Vec3d, Quat, VecList and the other tarsk_py objects."""
    if _WorkerPlugin is object:
        raise ImportError("tarsk_interop.dask.register needs the 'distributed' package "
                          "(pip install 'tarsk_py[dask]')")
    plugin = TarskWorkerPlugin()
    if hasattr(client, "register_plugin"):
        client.register_plugin(plugin, name=plugin.name)
    else:
        client.register_worker_plugin(plugin, name=plugin.name)


# ---------------------------------------------------------------------------
# The element-wise rotation algebra (compose, slerp, conversions).

from . import _rotation_dask  # noqa: E402
from ._rotation_algebra import TABLE as _TABLE  # noqa: E402

for _name in _TABLE:
    globals()[_name] = getattr(_rotation_dask, _name)
    __all__.append(_name)
del _name

from . import _spatial_dask  # noqa: E402
from ._spatial_dask import query, query_ball_point  # noqa: E402,F401

__all__ += _spatial_dask.__all__

from . import _cloud_dask  # noqa: E402
from ._cloud_dask import estimate_normals, fit_plane, residuals  # noqa: E402,F401

__all__ += _cloud_dask.__all__
