"""A spatial index over points in three dimensions, with scipy's
``cKDTree`` names and shapes and exact answers.

Exactness is the contract: the neighbours are exactly those a brute-force
scan finds, the distance of stored row p from a query x has the bits of
``Vec3d(*x).distance_to(Vec3d(*p))``, equal distances are ordered by
ascending row, and ball and pair searches include the points at distance
exactly r. The answers do not depend on the worker count.

The tree stores its points once, sorted along a Z-order curve, with the
permutation to the original rows and a box per node (six float32, rounded
outward); ``data`` gives the points back in their original order.
"""
from __future__ import annotations

import math
import pickle
import uuid
from typing import Any, cast

import numpy as np

from tarsk_py import VecList as _VecList

from . import _index  # type: ignore[attr-defined]
from ._arrays import _integer, _real_array, _rows

__all__ = ["KDTree"]

_DEFAULT_LEAFSIZE = 32
_FORMAT = 1  # the layout version of a pickled tree
_INT64 = np.dtype(np.int64)
_F64 = np.dtype(np.float64)


def _make_int64(count: int) -> np.ndarray:
    return np.empty(count, dtype=_INT64)


def _read_only(a: np.ndarray) -> np.ndarray:
    a.flags.writeable = False
    return a


def _check_finite(rows: np.ndarray, name: str, single: bool) -> None:
    row = _index.first_non_finite(rows)
    if row >= 0:
        where = "" if single else f" at row {row}"
        raise ValueError(f"argument '{name}': the point{where} has a NaN or infinite coordinate")


def _queries(x: Any) -> tuple[np.ndarray, bool]:
    """The query points as (m, 3) float64 rows, and whether x was one point."""
    arr = _real_array(x, "x", "(3,) or (m, 3)")
    if arr.ndim == 1 and arr.shape[0] == 3:
        rows, single = _rows(arr.reshape(1, 3), "x"), True
    elif arr.ndim == 2 and arr.shape[1] == 3:
        rows, single = _rows(arr, "x"), False
    else:
        raise ValueError(f"argument 'x': expected an array of shape (3,) or (m, 3), got shape {arr.shape}")
    _check_finite(rows, "x", single)
    return rows, single


def _distance(value: Any, name: str) -> float:
    """A distance argument: a real number, not negative, not NaN (+inf allowed)."""
    if isinstance(value, (str, bytes, bytearray, complex)) or value is None or isinstance(value, np.ndarray) and \
            value.ndim != 0:
        raise TypeError(f"argument '{name}': expected a real number, got '{type(value).__name__}'")
    try:
        r = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected a real number, got '{type(value).__name__}'") from None
    if not r >= 0.0:
        raise ValueError(f"argument '{name}': expected a distance of at least 0, got {r!r}")
    return r


class KDTree:
    """An index over n points for nearest-neighbour, ball and pair searches.

    ``KDTree(points, *, leafsize=None)`` takes an (n, 3) array-like of real
    numbers or a ``VecList``; the points are copied into the tree (whose
    memory never changes again), so later changes of the source do not
    reach it. ``leafsize`` bounds the points per leaf (default 32)."""

    __slots__ = ("_points", "_perm", "_boxes", "_depth", "_leafsize", "_data", "_token", "__weakref__")

    def __init__(self, points: Any, *, leafsize: int | None = None) -> None:
        leaf = _DEFAULT_LEAFSIZE if leafsize is None else _integer(leafsize, "leafsize", 1)
        if type(points) is _VecList:
            from . import as_numpy
            rows = as_numpy(points)  # a view, which keeps the list unchanged while the tree is built
        else:
            rows = _rows(points, "points")
        n = rows.shape[0]
        if n > 0xFFFFFFFE:
            raise ValueError(f"argument 'points': at most 4294967294 points, got {n}")
        _check_finite(rows, "points", False)
        depth = _index.depth(n, leaf)
        sorted_points = np.empty((n, 3), dtype=_F64)
        perm = np.empty(n, dtype=np.uint32)
        boxes = np.empty(((2 << depth) - 1, 6), dtype=np.float32)
        _index.build(rows, sorted_points, perm, boxes, depth)
        self._points = _read_only(sorted_points)
        self._perm = _read_only(perm)
        self._boxes = _read_only(boxes)
        self._depth = depth
        self._leafsize = leaf
        self._data: np.ndarray | None = None
        self._token = uuid.uuid4().hex

    # -- properties ---------------------------------------------------------

    @property
    def n(self) -> int:
        """The number of points."""
        return int(self._points.shape[0])

    @property
    def m(self) -> int:
        """The dimension of the points: 3."""
        return 3

    @property
    def leafsize(self) -> int:
        """The most points a leaf holds."""
        return self._leafsize

    @property
    def data(self) -> np.ndarray:
        """The points as a read-only (n, 3) float64 array in their original
        row order (made from the tree's own store on first use, then kept)."""
        data = self._data
        if data is None:
            data = np.empty((self.n, 3), dtype=_F64)
            _index.unpermute(self._points, self._perm, self._boxes, self._depth, data)
            data = self._data = _read_only(data)
        return data

    def __repr__(self) -> str:
        return f"KDTree(n={self.n}, leafsize={self._leafsize})"

    # -- searches -----------------------------------------------------------

    def _tree(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, int]:
        return self._points, self._perm, self._boxes, self._depth

    def query(self, x: Any, k: int = 1, *, distance_upper_bound: float = math.inf) -> tuple[Any, Any]:
        """The k nearest points of each query point: ``(d, i)``, nearest
        first, ties by ascending row.

        For x of shape (3,) and k = 1 a float and an int; for (m, 3) and
        k = 1 arrays of shape (m,); for k > 1 arrays of shape (m, k) (or
        (k,) for one point). Only points at a distance below
        ``distance_upper_bound`` count; missing neighbours get d = inf and
        i = n."""
        rows, single = _queries(x)
        k = _integer(k, "k", 1)
        bound = _distance(distance_upper_bound, "distance_upper_bound")
        m = rows.shape[0]
        d = np.empty((m, k), dtype=_F64)
        i = np.empty((m, k), dtype=_INT64)
        _index.query(*self._tree(), rows, k, bound, d, i)
        if k == 1:
            if single:
                return float(d[0, 0]), int(i[0, 0])
            return d.reshape(m), i.reshape(m)
        if single:
            return d[0], i[0]
        return d, i

    def query_ball_point(self, x: Any, r: float, *, return_length: bool = False) -> Any:
        """The rows of the points within distance r (distance <= r) of each
        query point, ascending: one int64 array for x of shape (3,), a list
        of m arrays for (m, 3). With ``return_length`` only their counts
        (an int, or an int64 array of shape (m,))."""
        rows, single = _queries(x)
        radius = _distance(r, "r")
        if return_length:
            count = np.empty(rows.shape[0], dtype=_INT64)
            _index.ball_count(*self._tree(), rows, radius, count)
            return int(count[0]) if single else count
        flat, offsets = _index.ball(*self._tree(), rows, radius, _make_int64)
        if single:
            return flat
        parts: list[np.ndarray] = _index.split(flat, offsets)
        return parts

    def query_pairs(self, r: float) -> np.ndarray:
        """Every pair (i, j), i < j, of rows whose points lie within distance
        r of each other, as an (p, 2) int64 array in lexicographic order."""
        radius = _distance(r, "r")
        flat = _index.pairs(*self._tree(), radius, _make_int64)
        return flat.reshape(-1, 2)

    # -- copies and pickling -----------------------------------------------

    def __copy__(self) -> KDTree:
        return self._share()

    def __deepcopy__(self, memo: Any) -> KDTree:
        # The stores never change, so even a deep copy can share them.
        return self._share()

    def _share(self) -> KDTree:
        other = KDTree.__new__(KDTree)
        for name in KDTree.__slots__[:-1]:
            setattr(other, name, getattr(self, name))
        return other

    def __reduce_ex__(self, protocol: Any) -> Any:
        if isinstance(protocol, int) and protocol >= 5:
            arrays = (self._points, self._perm, self._boxes)
            stores: tuple[Any, ...] = tuple(pickle.PickleBuffer(cast(Any, a)) for a in arrays)
        else:
            stores = tuple(a.tobytes() for a in (self._points, self._perm, self._boxes))
        return _rebuild, (_FORMAT, self.n, self._leafsize, self._depth, self._token) + stores

    def __dask_tokenize__(self) -> Any:
        return ("tarsk_interop.KDTree", self._token)


def _unchangeable(view: memoryview) -> bool:
    """Whether nobody can change the memory: a read-only view of an object
    whose own buffer is read-only too (the unpickler hands a read-only view
    of any out-of-band buffer, writable or not)."""
    if not view.readonly:
        return False
    source = view.obj
    if source is None or source is view:
        return True
    try:
        with memoryview(source) as inner:
            return inner.readonly
    except TypeError:
        return False


def _store(data: Any, dtype: Any, shape: tuple[int, ...], what: str) -> np.ndarray:
    """A store of an unpickled tree: the buffer itself when nobody can
    change it, else a copy."""
    try:
        view = memoryview(data)
    except TypeError:
        raise pickle.UnpicklingError(f"corrupted KDTree data: {what} is not a buffer") from None
    if view.nbytes != math.prod(shape) * np.dtype(dtype).itemsize:
        raise pickle.UnpicklingError(f"corrupted KDTree data: {what} has {view.nbytes} bytes")
    a = np.frombuffer(view if view.c_contiguous else view.tobytes(), dtype=np.uint8)
    if not a.flags.c_contiguous or not _unchangeable(view) or a.ctypes.data % np.dtype(dtype).itemsize:
        a = a.copy()
    return _read_only(a.view(dtype).reshape(shape))


def _rebuild(version: int, n: int, leafsize: int, depth: int, token: str, points: Any, perm: Any,
             boxes: Any) -> KDTree:
    if version != _FORMAT:
        raise pickle.UnpicklingError(f"KDTree data of layout {version} cannot be read here (layout {_FORMAT})")
    if not (isinstance(n, int) and isinstance(leafsize, int) and 0 <= n <= 0xFFFFFFFE and leafsize >= 1
            and depth == _index.depth(n, leafsize)):
        raise pickle.UnpicklingError("corrupted KDTree data: inconsistent sizes")
    tree = KDTree.__new__(KDTree)
    tree._points = _store(points, _F64, (n, 3), "points")
    tree._perm = _store(perm, np.uint32, (n,), "perm")
    tree._boxes = _store(boxes, np.float32, ((2 << depth) - 1, 6), "boxes")
    if not _index.is_permutation(tree._perm):
        raise pickle.UnpicklingError("corrupted KDTree data: the permutation")
    tree._depth = depth
    tree._leafsize = leafsize
    tree._data = None
    tree._token = str(token)
    return tree
