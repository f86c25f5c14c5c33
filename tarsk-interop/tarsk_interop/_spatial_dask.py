"""Searches of a KDTree over Dask arrays of query points.

``query(tree, x, k=1, *, distance_upper_bound=inf)`` and
``query_ball_point(tree, x, r, *, return_length=False)`` take a Dask array of
shape (m, 3) chunked along the rows and give Dask arrays chunked like x,
whose every bit is what the in-memory method gives for the whole array: each
row's answer is computed on its own, so no chunking and no worker count
changes it.

The tree enters the graph once, as one key: a distributed scheduler sends it
to each worker that runs a chunk once (its three arrays travel as
out-of-band buffers) and keeps it there for every chunk of that worker.

Shapes, dtypes, k, the distance bound and r are checked when the graph is
built, with the in-memory method's exceptions; a NaN or infinite query row
raises the in-memory ValueError when the graph is computed, naming the row
of the whole array.
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np
import dask
import dask.array as da

from ._arrays import _integer
from ._spatial import KDTree, _distance

__all__ = ["query", "query_ball_point"]


def _tree(tree: Any) -> Any:
    if type(tree) is not KDTree:
        raise TypeError(f"argument 'tree': expected KDTree, got '{type(tree).__name__}'")
    return dask.delayed(tree, pure=True, traverse=False)


def _points(x: Any, name: str = "x", rows: str = "m") -> da.Array:
    """`x` as a Dask array of (rows, 3) real numbers, whole along the last
    axis; errors name argument `name`."""
    if not isinstance(x, da.Array):
        x = da.from_array(np.asarray(x))
    if x.dtype.kind not in "biuf":
        raise TypeError(f"argument '{name}': expected a Dask array of real numbers, got dtype {x.dtype}")
    if x.ndim != 2 or x.shape[1] != 3:
        raise ValueError(f"argument '{name}': expected a Dask array of shape ({rows}, 3), got shape {x.shape}")
    if len(x.chunks[1]) != 1:
        x = x.rechunk({1: -1})
    return x


def _first_row(block_info: Any) -> int:
    return int(block_info[0]["array-location"][0][0]) if block_info else 0


def _renamed(exc: ValueError, first: int) -> ValueError:
    """The in-memory error of a chunk, with the row counted in the whole array."""
    text = str(exc)
    marker = "the point at row "
    if first and marker in text:
        head, tail = text.split(marker, 1)
        row, rest = tail.split(" ", 1)
        return ValueError(f"{head}{marker}{int(row) + first} {rest}")
    return exc


def _query_block(block: np.ndarray, tree: KDTree, k: int, bound: float, block_info: Any = None) -> np.ndarray:
    """Distances and rows of one chunk side by side: (rows, 2k) float64
    (row numbers below 2^32 are exact as doubles)."""
    try:
        d, i = tree.query(block.reshape(-1, 3), k=k, distance_upper_bound=bound)
    except ValueError as exc:
        raise _renamed(exc, _first_row(block_info)) from None
    d, i = np.asarray(d).reshape(-1, k), np.asarray(i).reshape(-1, k)
    return np.concatenate([d, i.astype(np.float64)], axis=1)


def _ball_block(block: np.ndarray, tree: KDTree, r: float, length: bool, block_info: Any = None) -> np.ndarray:
    try:
        found = tree.query_ball_point(block.reshape(-1, 3), r, return_length=length)
    except ValueError as exc:
        raise _renamed(exc, _first_row(block_info)) from None
    if length:
        return np.asarray(found, dtype=np.int64)
    out = np.empty(len(found), dtype=object)
    out[:] = found
    return out


def query(tree: KDTree, x: Any, k: int = 1, *, distance_upper_bound: float = math.inf) -> tuple[da.Array, da.Array]:
    """The lazy ``tree.query(x, k)`` of every row of x: ``(d, i)``, Dask
    arrays of shape (m,) for k = 1, else (m, k), chunked like x's rows."""
    t = _tree(tree)
    x = _points(x)
    k = _integer(k, "k", 1)
    bound = _distance(distance_upper_bound, "distance_upper_bound")
    packed = da.map_blocks(_query_block, x, t, k, bound, dtype=np.float64,
                           chunks=(x.chunks[0], (2 * k,)), token="kdtree-query")
    if k == 1:
        return packed[:, 0], packed[:, 1].astype(np.int64)
    return packed[:, :k], packed[:, k:].astype(np.int64)


def query_ball_point(tree: KDTree, x: Any, r: float, *, return_length: bool = False) -> da.Array:
    """The lazy ``tree.query_ball_point(x, r)`` of every row of x: a Dask
    array of shape (m,), chunked like x's rows, of int64 index arrays (dtype
    object), or with ``return_length`` of their int64 counts."""
    t = _tree(tree)
    x = _points(x)
    radius = _distance(r, "r")
    length = bool(return_length)
    return da.map_blocks(_ball_block, x, t, radius, length, dtype=np.int64 if length else object,
                         chunks=(x.chunks[0],), drop_axis=1, token="kdtree-ball-count" if length else "kdtree-ball")
