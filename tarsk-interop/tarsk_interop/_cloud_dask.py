"""Point clouds over Dask arrays: ``fit_plane`` as a reduction with the bits
of the in-memory fit, ``residuals`` and ``estimate_normals`` chunk-wise.

``fit_plane(x, weights=None, *, return_rms=False)`` reduces a Dask array of
shape (n, 3) in the in-memory fit's own fixed blocks of 4096 rows: x is
rechunked so that every chunk but the last holds a multiple of 4096 rows,
each chunk gives the partial sums of its blocks (each block summed row after
row from zero, as one process sums it), and the partials are added in block
order, so the plane and its rms are the bits ``tarsk_interop.fit_plane``
gives for the whole array, whatever the chunking and the worker count. Each
of its passes (centroid, scatter, residuals) computes the tiny array of
partials, a few floats per 4096 rows.

``residuals(x, *, plane=..., ...)`` and ``estimate_normals(tree, x, k=16,
*, viewpoint=None)`` give Dask arrays chunked like x's rows, each row computed
on its own: the normal of row q of x is that of its k nearest points of the
tree, so for x holding the tree's own points it is what
``tarsk_interop.estimate_normals(tree.data, k, tree=tree)`` gives. The tree
enters the graph once, as one key.

Shapes, k, the viewpoint and the shape arguments are checked when the graph is
built; a NaN or infinite row raises the in-memory ValueError when the graph
is computed, naming the row of the whole array.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import dask
import dask.array as da

from . import _cloud  # type: ignore[attr-defined]
from . import _index  # type: ignore[attr-defined]
from ._arrays import _integer
from ._point_cloud import (BLOCK_ROWS, _WIDTH, _F64, _make_plane, _plane_pipeline, _primitive,
                           _residual_parts, _rms, _total, _vector)
from ._spatial import KDTree
from ._spatial_dask import _first_row, _points

__all__ = ["fit_plane", "residuals", "estimate_normals"]


def _rows_array(x: Any, name: str = "x") -> da.Array:
    return _points(x, name, "n")


def _chunk_rows(block: np.ndarray, first: int, name: str) -> np.ndarray:
    rows = np.ascontiguousarray(block, dtype=_F64)
    bad = _index.first_non_finite(rows)
    if bad >= 0:
        raise ValueError(f"argument '{name}': the point at row {first + bad} has a NaN or infinite coordinate")
    return rows


def _aligned(x: da.Array) -> da.Array:
    """x with every chunk but the last a multiple of BLOCK_ROWS rows."""
    chunks = x.chunks[0]
    if all(c % BLOCK_ROWS == 0 for c in chunks[:-1]):
        return x
    size = max(BLOCK_ROWS, (max(chunks) // BLOCK_ROWS) * BLOCK_ROWS)
    return x.rechunk({0: size})


def _parts_block(block: np.ndarray, *rest: Any, kind: str, params: tuple, prim: tuple | None,
                 block_info: Any = None) -> np.ndarray:
    weights = None
    if rest:
        w = np.ascontiguousarray(rest[0], dtype=_F64).reshape(-1)
        if not np.all(np.isfinite(w)) or np.any(w < 0):
            raise ValueError("argument 'weights': expected finite weights of at least 0")
        weights = w
    rows = _chunk_rows(block, _first_row(block_info), "x")
    if prim is not None:
        return _residual_parts(kind, prim, rows, weights)
    out = np.empty((-(-rows.shape[0] // BLOCK_ROWS), _WIDTH[kind]), dtype=_F64)
    _cloud.blocks(kind, rows, weights, params, out)
    return out


def _block_sums(x: da.Array, w: da.Array | None, kind: str, params: tuple, prim: tuple | None = None) -> tuple:
    width = 2 if prim is not None else _WIDTH[kind]
    counts = tuple(-(-c // BLOCK_ROWS) for c in x.chunks[0])
    args = [x] if w is None else [x, w]
    parts = da.map_blocks(_parts_block, *args, kind=kind, params=tuple(params), prim=prim, dtype=_F64,
                          chunks=(counts, (width,)), token=f"cloud-{kind}")
    return _total(np.asarray(parts.compute()), width)


def fit_plane(x: Any, weights: Any = None, *, return_rms: bool = False) -> Any:
    """The lazy input's ``tarsk_interop.fit_plane``, computed now: a Plane
    (or ``(plane, rms)``) with the in-memory bits."""
    rows = _aligned(_rows_array(x))
    n = rows.shape[0]
    if n < 3:
        raise ValueError(f"argument 'x': a plane needs at least 3 points, got {n}")
    w = None
    if weights is not None:
        w = weights if isinstance(weights, da.Array) else da.from_array(np.asarray(weights))
        if w.dtype.kind not in "biuf" or w.shape != (n,):
            raise ValueError(f"argument 'weights': expected an array of real numbers of shape ({n},)")
        w = w.rechunk({0: rows.chunks[0]})[:, None]  # (n, 1): blocks line up with x's rows

    def sums(kind: str, params: Any) -> tuple:
        return _block_sums(rows, w, kind, tuple(params))

    first = sums("first", ())
    if w is not None and not first[0] > 0.0:
        raise ValueError("argument 'weights': at least one weight must be positive")
    out = _plane_pipeline(lambda kind, params: first if kind == "first" else sums(kind, params), name="x")
    plane = _make_plane(out[1:4], out[4])
    if not return_rms:
        return plane
    return plane, _rms(_block_sums(rows, w, "plane", (), (out[1:4], (0.0, 0.0, 0.0), out[4])))


def _residuals_block(block: np.ndarray, kind: str, prim: tuple, block_info: Any = None) -> np.ndarray:
    rows = _chunk_rows(block, _first_row(block_info), "x")
    out = np.empty(rows.shape[0], dtype=_F64)
    _cloud.residuals(kind, *prim, rows, out)
    return out


def residuals(x: Any, *, plane: Any = None, line: Any = None, sphere: Any = None, circle: Any = None) -> da.Array:
    """The lazy ``tarsk_interop.residuals`` of every row of x: a Dask array of
    shape (n,) chunked like x's rows."""
    kind, prim = _primitive(plane, line, sphere, circle)
    rows = _rows_array(x)
    return da.map_blocks(_residuals_block, rows, kind, prim, dtype=_F64, chunks=(rows.chunks[0],), drop_axis=1,
                         token="cloud-residuals")


def _normals_block(block: np.ndarray, tree: KDTree, k: int, viewpoint: Any, block_info: Any = None) -> np.ndarray:
    rows = _chunk_rows(block, _first_row(block_info), "x")
    out = np.empty(rows.shape, dtype=_F64)
    _cloud.normals_at(*tree._tree(), tree.data, rows, k, viewpoint, out)
    return out


def estimate_normals(tree: KDTree, x: Any, k: int = 16, *, viewpoint: Any = None) -> da.Array:
    """The lazy unit normals of x's rows from their k nearest points of the
    tree (3 <= k <= tree.n): a Dask array of shape (n, 3) chunked like x's
    rows, oriented as ``tarsk_interop.estimate_normals`` orients them."""
    if type(tree) is not KDTree:
        raise TypeError(f"argument 'tree': expected KDTree, got '{type(tree).__name__}'")
    rows = _rows_array(x)
    kk = _integer(k, "k", 3, max(3, tree.n))
    if kk > tree.n:
        raise ValueError(f"argument 'k': expected an integer from 3 to {tree.n}, got {kk}")
    vp = None if viewpoint is None else tuple(_vector(viewpoint, "viewpoint", 3))
    t = dask.delayed(tree, pure=True, traverse=False)
    return da.map_blocks(_normals_block, rows, t, kk, vp, dtype=_F64, chunks=(rows.chunks[0], (3,)),
                         token="cloud-normals")
