"""Point clouds on the spatial index: least-squares fits of planes, lines,
spheres and circles, a seeded RANSAC plane search, surface normals from k
nearest neighbours, and point-to-point ICP.

Every result is the same bits on every IEEE-754 machine and for every worker
count: the arithmetic is only + - * / and sqrt, each operation rounded on its
own, and every sum over the points runs in fixed blocks of 4096 rows whose
partials are added in block order (so a Dask reduction over chunks cut at
multiples of 4096 rows reproduces them exactly).

Fits work about the centroid with 3x3 scatter matrices (never an n x n
matrix); their eigenvectors come from the rotation module's Jacobi solver.
Fitted directions (plane normals, line directions, circle normals) are
turned so that their component of largest magnitude is positive (the first of
equal ones).

Points come as an (n, 3) array-like of real numbers or a VecList (read
through a view, without a copy).

Degenerate input: too few points, NaN or infinite coordinates, all points the
same (their spread along the best line at most 1e-14 times their largest
centroid coordinate) raise ValueError naming the argument; so do points on
one line given to a plane or circle fit (the middle eigenvalue of their
scatter at most 1e-14 times the largest), and points in one plane given to a
sphere fit.
"""
from __future__ import annotations

import math
from typing import Any, Callable, Sequence

import numpy as np

import tarsk_py as _tarsk_py
from tarsk_py import Vec3d as _Vec3d
from tarsk_py import VecList as _VecList

from . import _cloud  # type: ignore[attr-defined]
from . import _index  # type: ignore[attr-defined]
from ._arrays import _integer, _real_array, _rows
from ._spatial import KDTree

__all__ = [
    "IcpResult",
    "apply_transform",
    "estimate_normals",
    "fit_circle",
    "fit_line",
    "fit_plane",
    "fit_sphere",
    "icp",
    "ransac_plane",
    "residuals",
]

_Plane = _tarsk_py.geometry.Plane
_Circle = _tarsk_py.geometry.Circle
_F64 = np.dtype(np.float64)

BLOCK_ROWS = 4096  # rows of one block of the fixed-block sums
_WIDTH = {"first": 4, "second": 6, "sphere": 14, "circle": 9}
_FAULTS = {
    1: "all points are the same, so no {what} fits them",
    2: "the points lie on one line, so no single {what} fits them",
    3: "the points lie in one plane, so no single {what} fits them",
    4: "the coordinates are too large to fit (their sums overflow)",
}

# A provider of fixed-block totals: sums(kind, params) -> the totals of that
# kind over the whole cloud, as a tuple of floats.
Sums = Callable[[str, Sequence[float]], tuple]


# ---------------------------------------------------------------------------
# Arguments

def _points(points: Any, name: str = "points") -> np.ndarray:
    if type(points) is _VecList:
        from . import as_numpy
        rows = as_numpy(points)  # a view, which keeps the list unchanged while it is alive
    else:
        rows = _rows(points, name)
    row = _index.first_non_finite(rows)
    if row >= 0:
        raise ValueError(f"argument '{name}': the point at row {row} has a NaN or infinite coordinate")
    return rows


def _least(rows: np.ndarray, least: int, what: str, name: str = "points") -> None:
    if rows.shape[0] < least:
        raise ValueError(f"argument '{name}': {what} needs at least {least} points, got {rows.shape[0]}")


def _weights(weights: Any, n: int) -> np.ndarray | None:
    if weights is None:
        return None
    w = _real_array(weights, "weights", "(n,)")
    if w.shape != (n,):
        raise ValueError(f"argument 'weights': expected an array of shape ({n},), got shape {w.shape}")
    w = np.ascontiguousarray(w, dtype=np.float64)
    if not np.all(np.isfinite(w)) or np.any(w < 0):
        raise ValueError("argument 'weights': expected finite weights of at least 0")
    if not np.any(w > 0):
        raise ValueError("argument 'weights': at least one weight must be positive")
    return w


def _real(value: Any, name: str) -> float:
    if isinstance(value, (str, bytes, bytearray, complex, bool, np.bool_)) or value is None or \
            isinstance(value, np.ndarray) and value.ndim != 0:
        raise TypeError(f"argument '{name}': expected a real number, got '{type(value).__name__}'")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise TypeError(f"argument '{name}': expected a real number, got '{type(value).__name__}'") from None


def _positive(value: Any, name: str) -> float:
    v = _real(value, name)
    if not (v > 0.0 and math.isfinite(v)):
        raise ValueError(f"argument '{name}': expected a finite number above 0, got {v!r}")
    return v


def _vector(value: Any, name: str, size: int) -> list[float]:
    arr = _real_array(value, name, f"({size},)")
    if arr.shape != (size,):
        raise ValueError(f"argument '{name}': expected an array of shape ({size},), got shape {arr.shape}")
    out = [float(v) for v in arr.astype(np.float64)]
    if not all(math.isfinite(v) for v in out):
        raise ValueError(f"argument '{name}': expected finite values")
    return out


def _rotation(value: Any, name: str) -> list[float]:
    q = _vector(value, name, 4)
    if ((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3] == 0.0:
        raise ValueError(f"argument '{name}': a quaternion of zero norm names no rotation")
    return q


def _fault(code: float, what: str, name: str = "points") -> None:
    c = int(code)
    if c:
        raise ValueError(f"argument '{name}': {_FAULTS[c].format(what=what)}")


# ---------------------------------------------------------------------------
# Fixed-block sums

def _block_parts(kind: str, rows: np.ndarray, weights: np.ndarray | None, params: Sequence[float]) -> np.ndarray:
    """The per-block partials of one kind of sum: (blocks, width) float64."""
    width = _WIDTH[kind]
    out = np.empty((-(-rows.shape[0] // BLOCK_ROWS), width), dtype=_F64)
    _cloud.blocks(kind, rows, weights, tuple(params), out)
    return out


def _total(parts: np.ndarray, width: int) -> tuple:
    """Partials added in block order."""
    return tuple(_cloud.sum_blocks(np.ascontiguousarray(parts, dtype=_F64), width))


def _residual_parts(shape: str, prim: tuple, rows: np.ndarray, weights: np.ndarray | None) -> np.ndarray:
    out = np.empty((-(-rows.shape[0] // BLOCK_ROWS), 2), dtype=_F64)
    _cloud.residual_blocks(shape, *prim, rows, weights, out)
    return out


def _rms(total: tuple) -> float:
    return math.sqrt(total[1] / total[0])


def _memory_sums(rows: np.ndarray, weights: np.ndarray | None) -> Sums:
    def sums(kind: str, params: Sequence[float]) -> tuple:
        return _total(_block_parts(kind, rows, weights if kind in ("first", "second") else None, params),
                      _WIDTH[kind])
    return sums


# The fits as pipelines over a sums provider, shared with the Dask module.

def _plane_pipeline(sums: Sums, what: str = "plane", name: str = "points") -> tuple:
    first = sums("first", ())
    centroid = (first[1] / first[0], first[2] / first[0], first[3] / first[0])
    second = sums("second", centroid)
    out = _cloud.plane(first, second)
    _fault(out[0], what, name)
    return out


def _line_pipeline(sums: Sums) -> tuple:
    first = sums("first", ())
    centroid = (first[1] / first[0], first[2] / first[0], first[3] / first[0])
    out = _cloud.line(first, sums("second", centroid))
    _fault(out[0], "line")
    return out


def _sphere_pipeline(sums: Sums) -> tuple:
    first = sums("first", ())
    centroid = (first[1] / first[0], first[2] / first[0], first[3] / first[0])
    out = _cloud.sphere(centroid, sums("sphere", centroid))
    _fault(out[0], "sphere")
    return out


def _circle_pipeline(sums: Sums) -> tuple[tuple, tuple]:
    plane = _plane_pipeline(sums, "circle")
    normal = plane[1:4]
    params = tuple(plane[5:8]) + tuple(_cloud.basis(normal))
    out = _cloud.circle(params, sums("circle", params))
    _fault(out[0], "circle")
    return out, normal


def _make_plane(normal: Sequence[float], distance: float) -> Any:
    v = _Vec3d(*normal)
    plane = _Plane(v, 0.0)
    plane.normal = v  # the setters store the fitted bits unchanged
    plane.distance = distance
    return plane


def _make_circle(centre: Sequence[float], radius: float, normal: Sequence[float]) -> Any:
    c, n = _Vec3d(*centre), _Vec3d(*normal)
    circle = _Circle(c, radius, n)
    circle.center = c
    circle.radius = radius
    circle.normal = n
    return circle


# ---------------------------------------------------------------------------
# Fits

def fit_plane(points: Any, weights: Any = None, *, return_rms: bool = False) -> Any:
    """The least-squares plane of (n, 3) points (n >= 3): a
    ``tarsk_py.geometry.Plane`` through the (weighted) centroid whose normal
    is the smallest eigenvector of the points' scatter, turned so that its
    largest-magnitude component is positive; distance = -(normal . centroid).
    ``weights`` (n,), finite, not negative, weight each point. With
    ``return_rms``: ``(plane, rms)``, rms the (weighted) root mean square of
    the points' distances from the plane."""
    rows = _points(points)
    _least(rows, 3, "a plane")
    w = _weights(weights, rows.shape[0])
    out = _plane_pipeline(_memory_sums(rows, w))
    plane = _make_plane(out[1:4], out[4])
    if not return_rms:
        return plane
    return plane, _rms(_total(_residual_parts("plane", (out[1:4], (0.0, 0.0, 0.0), out[4]), rows, w), 2))


def fit_line(points: Any, *, return_rms: bool = False) -> Any:
    """The least-squares line of (n, 3) points (n >= 2): ``(point,
    direction)``, (3,) arrays: the centroid and the unit largest eigenvector
    of the scatter (largest-magnitude component positive). With
    ``return_rms``: ``(point, direction, rms)`` of the distances from the
    line."""
    rows = _points(points)
    _least(rows, 2, "a line")
    out = _line_pipeline(_memory_sums(rows, None))
    point, direction = np.array(out[1:4]), np.array(out[4:7])
    if not return_rms:
        return point, direction
    return point, direction, _rms(_total(_residual_parts("line", (out[1:4], out[4:7], 0.0), rows, None), 2))


def fit_sphere(points: Any, *, return_rms: bool = False) -> Any:
    """The sphere of (n, 3) points (n >= 4) by the algebraic least-squares
    fit |p - c|^2 = r^2 in coordinates about the centroid: ``(center,
    radius)``, a (3,) array and a float. Points in one plane raise
    ValueError. With ``return_rms``: ``(center, radius, rms)`` of |p - c| - r."""
    rows = _points(points)
    _least(rows, 4, "a sphere")
    out = _sphere_pipeline(_memory_sums(rows, None))
    centre, radius = np.array(out[1:4]), out[4]
    if not return_rms:
        return centre, radius
    return centre, radius, _rms(_total(_residual_parts("sphere", (out[1:4], (0.0, 0.0, 0.0), radius), rows,
                                                       None), 2))


def fit_circle(points: Any, *, return_rms: bool = False) -> Any:
    """The circle of (n, 3) points (n >= 3): the least-squares plane
    (fit_plane), then the algebraic least-squares circle of the points'
    coordinates in that plane. A ``tarsk_py.geometry.Circle`` whose normal is
    the plane's. With ``return_rms``: ``(circle, rms)`` of the points'
    distances from the circle in space."""
    rows = _points(points)
    _least(rows, 3, "a circle")
    out, normal = _circle_pipeline(_memory_sums(rows, None))
    circle = _make_circle(out[1:4], out[4], normal)
    if not return_rms:
        return circle
    return circle, _rms(_total(_residual_parts("circle", (out[1:4], normal, out[4]), rows, None), 2))


def _primitive(plane: Any, line: Any, sphere: Any, circle: Any) -> tuple[str, tuple]:
    given = [(k, v) for k, v in (("plane", plane), ("line", line), ("sphere", sphere), ("circle", circle))
             if v is not None]
    if len(given) != 1:
        raise TypeError("residuals() takes exactly one of plane=, line=, sphere=, circle=")
    kind, value = given[0]
    if kind == "plane":
        if type(value) is not _Plane:
            raise TypeError(f"argument 'plane': expected Plane, got '{type(value).__name__}'")
        n = value.normal
        return kind, ((n.x, n.y, n.z), (0.0, 0.0, 0.0), float(value.distance))
    if kind == "circle":
        if type(value) is not _Circle:
            raise TypeError(f"argument 'circle': expected Circle, got '{type(value).__name__}'")
        c, n = value.center, value.normal
        length = math.sqrt((n.x * n.x + n.y * n.y) + n.z * n.z)
        if not length > 0.0:
            raise ValueError("argument 'circle': its normal has no direction")
        return kind, ((c.x, c.y, c.z), (n.x / length, n.y / length, n.z / length), float(value.radius))
    try:
        a, b = value
    except (TypeError, ValueError):
        raise TypeError(f"argument '{kind}': expected a pair "
                        f"{'(point, direction)' if kind == 'line' else '(center, radius)'}") from None
    if kind == "line":
        p, d = _vector(a, "line", 3), _vector(b, "line", 3)
        length = math.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])
        if not length > 0.0:
            raise ValueError("argument 'line': its direction is zero")
        return kind, (tuple(p), (d[0] / length, d[1] / length, d[2] / length), 0.0)
    return kind, (tuple(_vector(a, "sphere", 3)), (0.0, 0.0, 0.0), _real(b, "sphere"))


def residuals(points: Any, *, plane: Any = None, line: Any = None, sphere: Any = None,
              circle: Any = None) -> np.ndarray:
    """The residual of each of the (n, 3) points against exactly one shape:
    ``plane`` (a Plane): the signed normal . p + distance; ``line`` (point,
    direction): the distance from the line; ``sphere`` (center, radius): the
    signed |p - c| - r; ``circle`` (a Circle): the distance from the circle
    in space. An (n,) float64 array."""
    kind, prim = _primitive(plane, line, sphere, circle)
    rows = _points(points)
    out = np.empty(rows.shape[0], dtype=_F64)
    _cloud.residuals(kind, *prim, rows, out)
    return out


# ---------------------------------------------------------------------------
# RANSAC

def _make_int64(count: int) -> np.ndarray:
    return np.empty(count, dtype=np.int64)


_RANSAC_BATCH = 32  # iterations evaluated between two looks at the stopping rule


def _miss_power(q: float, e: int) -> float:
    """q ** e by squaring, each product rounded on its own (no libm)."""
    result, base = 1.0, q
    while e:
        if e & 1:
            result = result * base
        base = base * base
        e >>= 1
    return result


def ransac_plane(points: Any, threshold: float, *, iterations: int = 1000, seed: int = 0,
                 probability: float = 0.99999999) -> tuple[Any, np.ndarray]:
    """A plane among outliers: ``(plane, inliers)``.

    Iteration i draws three distinct rows from a counter-based hash of
    (seed, i) (the same draws on every machine and worker count) and counts
    the points within ``threshold`` of their plane; the sample with the most
    (the first of equal ones) wins. Iterations run in batches of 32; after
    each batch the search stops early once the chance of never having drawn
    three inliers, (1 - w^3)^t with w the best inlier share so far and t the
    iterations run, is at most 1 - ``probability`` (1.0 runs all
    ``iterations``). The stop depends only on the counts, so it too is the
    same everywhere. ``inliers`` are the ascending rows within threshold of
    the winning sampled plane, and the plane returned is the least-squares
    plane through them (the sampled plane itself when they admit no single
    least-squares plane)."""
    rows = _points(points)
    _least(rows, 3, "a plane")
    n = rows.shape[0]
    limit = _positive(threshold, "threshold")
    count = _integer(iterations, "iterations", 1)
    s = _integer(seed, "seed", 0, 2**64 - 1)
    p = _real(probability, "probability")
    if not 0.0 <= p <= 1.0:
        raise ValueError(f"argument 'probability': expected a number from 0 to 1, got {p!r}")
    best, best_count, done = 0, -1, 0
    while done < count:
        size = min(_RANSAC_BATCH, count - done)
        counts = np.empty(size, dtype=np.int64)
        _cloud.ransac_counts(rows, limit, s, done, counts)
        top = int(np.argmax(counts))
        if int(counts[top]) > best_count:
            best, best_count = done + top, int(counts[top])
        done += size
        w = best_count / n
        if p < 1.0 and best_count > 0 and _miss_power(1.0 - (w * w) * w, done) <= 1.0 - p:
            break
    if best_count == 0:
        raise ValueError("argument 'points': every sampled triple of points was collinear")
    sampled = _cloud.sample_plane(rows, s, best)
    inliers = _cloud.inliers(rows, sampled[1:4], sampled[4], limit, _make_int64)
    try:
        out = _plane_pipeline(_memory_sums(np.ascontiguousarray(rows[inliers]), None))
        plane = _make_plane(out[1:4], out[4])
    except ValueError:
        plane = _make_plane(sampled[1:4], sampled[4])
    return plane, inliers


# ---------------------------------------------------------------------------
# Normals

def _tree_for(tree: Any, rows: np.ndarray, name: str) -> KDTree:
    if tree is None:
        return KDTree(rows)
    if type(tree) is not KDTree:
        raise TypeError(f"argument 'tree': expected KDTree, got '{type(tree).__name__}'")
    if tree.n != rows.shape[0] or not np.array_equal(tree.data, rows):
        raise ValueError(f"argument 'tree': an index over other points than '{name}'")
    return tree


def estimate_normals(points: Any, k: int = 16, *, viewpoint: Any = None, tree: KDTree | None = None) -> np.ndarray:
    """Unit normals of (n, 3) points, (n, 3) float64: for each point the
    smallest eigenvector of the scatter of its k nearest points (itself
    included; ties by lower row) about their centroid.

    Oriented toward ``viewpoint`` ((3,)) when it is given (normal . (v - p)
    >= 0), else with the component of largest magnitude positive (the first
    of equal ones). A neighbourhood without spread in two directions (all k
    points the same or on one line) gives the solver's deterministic choice
    among the directions it cannot tell apart. ``tree``: a KDTree over the
    same points, to reuse (else one is built). 3 <= k <= n."""
    rows = _points(points)
    n = rows.shape[0]
    _least(rows, 3, "a normal")
    kk = _integer(k, "k", 3, n)
    vp = None if viewpoint is None else tuple(_vector(viewpoint, "viewpoint", 3))
    t = _tree_for(tree, rows, "points")
    out = np.empty((n, 3), dtype=_F64)
    _cloud.normals(*t._tree(), t.data, kk, vp, out)
    return out


# ---------------------------------------------------------------------------
# ICP

class IcpResult:
    """The outcome of icp(): the transform y = rotate(p, rotation) +
    translation (rotation a unit (w, i, j, k) quaternion in this module's
    storage sense, as Quat.rotate turns vectors), and its measures."""

    __slots__ = ("_rotation", "_translation", "_rmse", "_fitness", "_iterations", "_converged")

    def __init__(self, rotation: np.ndarray, translation: np.ndarray, rmse: float, fitness: float,
                 iterations: int, converged: bool) -> None:
        self._rotation = rotation
        self._translation = translation
        self._rmse = rmse
        self._fitness = fitness
        self._iterations = iterations
        self._converged = converged
        rotation.flags.writeable = False
        translation.flags.writeable = False

    @property
    def rotation(self) -> np.ndarray:
        """The unit quaternion (w, i, j, k), (4,) float64, read-only."""
        return self._rotation

    @property
    def translation(self) -> np.ndarray:
        """The translation, (3,) float64, read-only."""
        return self._translation

    @property
    def rmse(self) -> float:
        """The root mean square of the matched distances under the transform (0.0 when none match)."""
        return self._rmse

    @property
    def fitness(self) -> float:
        """The share of source points matched within max_distance under the transform."""
        return self._fitness

    @property
    def iterations(self) -> int:
        """The steps taken."""
        return self._iterations

    @property
    def converged(self) -> bool:
        """Whether the last step changed fitness and rmse by at most the tolerance."""
        return self._converged

    def apply(self, points: Any) -> np.ndarray:
        """The points moved by this transform (apply_transform)."""
        return apply_transform(points, self._rotation, self._translation)

    def __repr__(self) -> str:
        return (f"IcpResult(rotation={self._rotation.tolist()}, translation={self._translation.tolist()}, "
                f"rmse={self._rmse!r}, fitness={self._fitness!r}, iterations={self._iterations}, "
                f"converged={self._converged})")


def _initial(initial: Any) -> tuple[list[float], list[float]]:
    if initial is None:
        return [1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
    if type(initial) is IcpResult:
        return initial.rotation.tolist(), initial.translation.tolist()
    try:
        rotation, translation = initial[0], initial[1]
    except (TypeError, IndexError, KeyError):
        raise TypeError("argument 'initial': expected (rotation, translation) or an IcpResult") from None
    return _rotation(rotation, "initial"), _vector(translation, "initial", 3)


def icp(source: Any, target: Any, max_distance: float, *, max_iterations: int = 30, tolerance: float = 1e-9,
        initial: Any = None, tree: KDTree | None = None, target_normals: Any = None) -> IcpResult:
    """Point-to-point ICP: the rigid transform that moves the (m, 3)
    ``source`` points onto the (n, 3) ``target`` points.

    Each evaluation moves every source point, finds its nearest target point
    by the index (ties by lower row) and keeps the pair when their distance
    is at most ``max_distance``. Each step maps the centred moved points onto
    their centred matches by the best rotation (align_vectors' solver) and
    composes that with the transform. It stops after ``max_iterations``
    steps, when fewer than three points match, or when a step changes the
    fitness by at most ``tolerance`` and the rmse by at most ``tolerance``
    times the rmse (``converged``). ``initial``: a (rotation, translation)
    pair (or an IcpResult) to start from; ``tree``: a KDTree over the target,
    to reuse.

    ``target_normals`` ((n, 3) unit normals of the target, e.g. from
    estimate_normals) make each step point to plane: the small motion about
    the matched points' centroid that minimises the squared distances of the
    moved points from their partners' tangent planes, from its 6x6 normal
    equations, the turn taken as the normalised quaternion of half its
    rotation vector; a step whose equations are singular (a flat target
    leaves sliding along it free) is point to point.

    Returns an IcpResult: ``rotation`` (4,), ``translation`` (3,), and
    ``rmse`` (of the matched distances under that transform; 0.0 when none
    match), ``fitness`` (the share of source points matched),
    ``iterations`` (the steps taken), ``converged``."""
    src = _points(source, "source")
    tgt = _points(target, "target")
    _least(tgt, 3, "ICP", "target")
    _least(src, 3, "ICP", "source")
    limit = _positive(max_distance, "max_distance")
    steps = _integer(max_iterations, "max_iterations", 0)
    tol = _real(tolerance, "tolerance")
    if not (tol >= 0.0 and math.isfinite(tol)):
        raise ValueError(f"argument 'tolerance': expected a finite number of at least 0, got {tol!r}")
    q0, t0 = _initial(initial)
    t = _tree_for(tree, tgt, "target")
    normals = None
    if target_normals is not None:
        normals = _points(target_normals, "target_normals")
        if normals.shape != tgt.shape:
            raise ValueError(f"argument 'target_normals': expected an array of shape {tgt.shape}, "
                             f"got shape {normals.shape}")
    out = _cloud.icp(*t._tree(), t.data, src, limit, steps, tol, q0, t0, normals)
    return IcpResult(np.array(out[0:4]), np.array(out[4:7]), out[7], out[8], int(out[9]), bool(out[10]))


def apply_transform(points: Any, rotation: Any, translation: Any) -> np.ndarray:
    """(n, 3) points moved by y = rotate(p, rotation) + translation: a new
    float64 array. ``rotation``: a (w, i, j, k) quaternion in this module's
    storage sense (normalised first: four true divisions by its magnitude);
    ``translation``: (3,)."""
    rows = _rows(points, "points")
    q = _rotation(rotation, "rotation")
    t = _vector(translation, "translation", 3)
    out = np.empty(rows.shape, dtype=_F64)
    _cloud.transform(rows, q, t, out)
    return out
