"""numpy arrays in and out of tarsk_py's objects, the VecList operations as array kernels, the
rotation algebra on arrays of quaternions, and (registered at import) pickling and copying of
tarsk_py's objects and classes.

Conventions of the rotation algebra (compose, inverse, the conversions, slerp, mean,
align_vectors, random, approx_equal, rotate by rows of quaternions):

- A quaternion argument (typed ``Quat | npt.ArrayLike``) is a Quat, a (4,) array-like or an
  (n, 4) float64 array in tarsk_py's own storage and sense, (w, i, j, k): row q turns vectors
  as ``Quat(*q).rotate`` does, the conjugate of the textbook (scipy, PyGLM) quaternion of the
  same turn. Never negate by hand: ``from_scipy_quat``/``to_scipy_quat`` convert from and to
  scipy's (x, y, z, w), ``to_quat``/``to_numpy`` between a Quat and its row.
- One row broadcasts against n (the bits of the tiled call); single rotations in give single
  results out.
- Any nonzero finite multiple of a quaternion names the same rotation; a quaternion of zero norm
  and a non-finite entry in any argument raise ValueError naming the argument and the first
  bad row.
- Matrices map column vectors as rotate does (the transpose of Quat.to_rotation_matrix).
- degrees=True takes or gives angles in degrees, as scipy does.
- Inputs are never modified; results are bit-identical for every worker count.
"""
from typing import Any

import numpy as np
import numpy.typing as npt

from tarsk_py import Quat, Vec3d, VecList
from tarsk_py.geometry import Circle, Plane

__version__: str

__all__ = [
    "IcpResult",
    "KDTree",
    "add",
    "align_vectors",
    "approx_equal",
    "apply_transform",
    "as_numpy",
    "collapse",
    "compose",
    "cross",
    "distance_squared",
    "distance_to",
    "divide",
    "dot",
    "estimate_normals",
    "fit_circle",
    "fit_line",
    "fit_plane",
    "fit_sphere",
    "from_euler",
    "from_matrix",
    "from_rotvec",
    "from_scipy_quat",
    "icp",
    "inverse",
    "is_unit",
    "magnitude",
    "magnitude_angle",
    "mean",
    "minimum_distance_to",
    "multiply",
    "normalize",
    "random",
    "ransac_plane",
    "residuals",
    "rotate",
    "slerp",
    "subtract",
    "to_euler",
    "to_matrix",
    "to_numpy",
    "to_quat",
    "to_rotvec",
    "to_scipy_quat",
    "to_vec3d",
    "to_veclist",
]

def to_numpy(obj: Vec3d | Quat | VecList) -> npt.NDArray[np.float64]:
    """A new float64 array: Vec3d -> (3,), Quat -> (4,) as (w, i, j, k), VecList -> (n, 3); bit-exact. Raises TypeError for any other type."""
def as_numpy(veclist: VecList) -> npt.NDArray[np.float64]:
    """A read-only (n, 3) view of the list's memory; the list cannot change while a view is alive. While a view is alive, append, extend and rotate on the list raise RuntimeError "Already borrowed". Raises TypeError when veclist is not a VecList."""
def to_veclist(a: npt.ArrayLike) -> VecList:
    """A new VecList from an (n, 3) array-like of real numbers. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def to_vec3d(a: npt.ArrayLike) -> Vec3d:
    """A new Vec3d from a (3,) array-like. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def to_quat(a: npt.ArrayLike) -> Quat:
    """A new Quat from a (4,) array-like in the order (w, i, j, k). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def normalize(a: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.normalize of to_veclist(a), as a new (n, 3) array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def cross(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.cross; v is a Vec3d or a (3,) array-like. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def dot(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.dot, as an (n,) array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def magnitude(a: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.magnitude, as an (n,) array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def is_unit(a: npt.ArrayLike) -> npt.NDArray[np.bool_]:
    """VecList.is_unit, as an (n,) bool array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def distance_to(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.distance_to, as an (n,) array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def distance_squared(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList.distance_squared, as an (n,) array. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def rotate(a: npt.ArrayLike, q: Quat | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The rows of a rotated, as a new array; a is left alone. q a Quat: VecList.rotate applied to a copy of the (n, 3) a. q an (n, 4) or (4,) array in (w, i, j, k): row i of a ((n, 3) or (3,)) turned by row i of q, one row of either broadcasting against n (scipy's apply of n rotations), with the bits of Quat(*q_i).rotate (q is not normalised, so a non-unit row also scales). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def collapse(a: npt.ArrayLike, axis: int) -> npt.NDArray[np.float64]:
    """VecList.collapse: coordinate axis (0, 1 or 2) set to +0.0. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': ". An axis above 2 raises ValueError (a negative one OverflowError)."""
def add(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList + Vec3d. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def subtract(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList - Vec3d. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def multiply(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]:
    """VecList * s. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def divide(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]:
    """VecList / s (true division, never a multiplication by 1/s). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def minimum_distance_to(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike, stride: int) -> tuple[int, float]:
    """VecList.minimum_distance_to of to_veclist(a): the (row index, distance) of the nearest row found by the two-level strided search (exact for stride 1 or a stride of at least n). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': ". Stride 0 or an empty array raise ValueError (where the VecList method raises pyo3_runtime.PanicException); nothing is printed."""


def compose(p: Quat | npt.ArrayLike, q: Quat | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The rotation that applies q first, then p (scipy's p * q): rotate(rotate(v, q), p) equals rotate(v, compose(p, q)) up to rounding. The exact Hamilton product q * p of the stored components, not normalised. Raises ValueError for a zero-norm quaternion or row counts that differ (other than 1 against n)."""
def inverse(q: Quat | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The opposite rotation: the conjugate (w, -i, -j, -k), exact. Raises ValueError for a zero-norm quaternion."""
def to_matrix(q: Quat | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """(n, 3, 3) (or (3, 3)) matrices of the normalised q that map column vectors as rotate does: m @ v equals rotate(v, q) up to rounding; the transpose of Quat.to_rotation_matrix. Same matrix as scipy's Rotation.as_matrix of to_scipy_quat(q)."""
def from_matrix(m: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The rotations of (n, 3, 3) (or (3, 3)) matrices that map column vectors; a matrix that is not orthogonal within 1e-12 is replaced by its nearest rotation (Frobenius norm), as scipy's Rotation.from_matrix does, at any scale and down to rank two. Raises ValueError "argument 'm': ..." for a non-finite entry, a negative determinant (the nearest orthogonal matrix is a reflection) or rank below two, the sign and the rank decided exactly."""
def from_scipy_quat(a: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """scipy's scalar-last quaternions (x, y, z, w) as this module's (w, -x, -y, -z): the same rotation, exact, not normalised. Raises ValueError for a zero-norm quaternion."""
def to_scipy_quat(q: Quat | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The scalar-last quaternions (x, y, z, w) = (-i, -j, -k, w) of the same rotation, for scipy's Rotation.from_quat; exact, the inverse of from_scipy_quat."""
def from_rotvec(r: npt.ArrayLike, *, degrees: bool = False) -> npt.NDArray[np.float64]:
    """Rotations from (n, 3) (or (3,)) rotation vectors: axis times angle in radians, counter-clockwise seen from the axis tip, as scipy's Rotation.from_rotvec."""
def to_rotvec(q: Quat | npt.ArrayLike, *, degrees: bool = False) -> npt.NDArray[np.float64]:
    """Rotation vectors (axis times angle, radians) with the angle in [0, pi], as scipy's Rotation.as_rotvec."""
def magnitude_angle(q: Quat | npt.ArrayLike, *, degrees: bool = False) -> Any:
    """The rotation angle in [0, pi] (radians): an (n,) array, or a float for a single rotation; as scipy's Rotation.magnitude."""
def slerp(p: Quat | npt.ArrayLike, q: Quat | npt.ArrayLike, t: float | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Spherical linear interpolation on the shortest path: t = 0 gives p's rotation, t = 1 q's (t a number or an (n,) array). A finite t outside [0, 1] extrapolates along the same great circle; a non-finite t raises ValueError."""
def from_euler(seq: str, angles: npt.ArrayLike, *, degrees: bool = False) -> npt.NDArray[np.float64]:
    """Rotations from (n, 3) (or (3,)) Euler angles in radians, as scipy's Rotation.from_euler(seq, angles): seq is three of x, y, z, lowercase extrinsic (fixed axes) or uppercase intrinsic (moving axes), no two neighbours equal. A bad seq raises ValueError (TypeError when not a str)."""
def to_euler(q: Quat | npt.ArrayLike, seq: str, *, degrees: bool = False) -> npt.NDArray[np.float64]:
    """Euler angles (radians) as Rotation.as_euler(seq) gives them, to the bit: every angle in [-pi, pi] (a half turn keeps the sign it is computed with, +pi or -pi as scipy), the middle one in [0, pi] for a sequence whose first and last axes are equal and in [-pi/2, pi/2] otherwise; at gimbal lock (the middle angle within 1e-7 of its ends, decided on the normalised quaternion as scipy decides it) the third angle is zero; warns UserWarning "Gimbal lock detected. ..." once per call where scipy does."""
def random(n: int, seed: int) -> npt.NDArray[np.float64]:
    """n uniformly distributed rotations, (n, 4): row k depends only on (seed, k), made with integer hashing and + - * / sqrt only, so the same seed gives the same bits on every machine and worker count. seed is an int in [0, 2**64)."""
def mean(q: Quat | npt.ArrayLike, weights: npt.ArrayLike | None = None) -> npt.NDArray[np.float64]:
    """The chordal L2 mean rotation (4,) of n rotations, as scipy's Rotation.mean, with optional non-negative finite (n,) weights; sums over fixed blocks in a fixed order, so the bits do not depend on the workers. Raises ValueError for no rotations, a zero-norm quaternion or bad weights."""
def align_vectors(a: npt.ArrayLike, b: npt.ArrayLike, weights: npt.ArrayLike | None = None) -> tuple[npt.NDArray[np.float64], float]:
    """(q, rssd): the rotation q (4,) that best maps the vectors b onto a (rotate(b, q) close to a) and the root of the weighted sum of squared distances left, as scipy's Rotation.align_vectors. a and b are (n, 3) or (3,) of one shape; weights (n,) non-negative and finite (scipy's infinite weight is not taken). One pair gives the smallest turning rotation; a zero vector in it raises ValueError."""
def approx_equal(p: Quat | npt.ArrayLike, q: Quat | npt.ArrayLike, atol: float | npt.ArrayLike) -> Any:
    """Whether p and q name rotations at most atol radians apart (the angle of the turn between them): an (n,) bool array, or a bool for single rotations. Any nonzero multiples compare equal. Raises ValueError for zero-norm or non-finite quaternions and a non-finite atol."""

# The spatial index. Distances are exactly Vec3d(*x).distance_to(Vec3d(*p)) of the query x and the stored row p (the
# same bits); equal distances are ordered by ascending row; ball and pair searches include distance == r. The answers
# are exactly a brute-force scan's, and identical for every worker count.
class KDTree:
    """An index over n points in three dimensions for nearest-neighbour, ball and pair searches, with the method names, argument names and result shapes of scipy's cKDTree. KDTree(points, *, leafsize=None) takes an (n, 3) array-like of real numbers or a VecList and keeps its own copy, stored once in tree order with the permutation to the original rows (the index beyond the points takes 4 to 7 bytes per point). leafsize (default 32) bounds the points per leaf. Raises ValueError "argument 'points': the point at row i has a NaN or infinite coordinate" for the first such row, ValueError for a wrong shape or a leafsize below 1, TypeError for a non-numeric argument. Pickles (protocol 5 sends its three arrays out of band and reads read-only buffers in place), copies and deep copies share its arrays, which never change."""
    def __init__(self, points: npt.ArrayLike | VecList, *, leafsize: int | None = None) -> None:
        """Builds the index on tarsk_py's worker pool."""
    @property
    def n(self) -> int:
        """The number of points."""
    @property
    def m(self) -> int:
        """The dimension of the points: 3."""
    @property
    def leafsize(self) -> int:
        """The most points a leaf holds."""
    @property
    def data(self) -> npt.NDArray[np.float64]:
        """The points as a read-only (n, 3) float64 array in their original order (bit for bit the input's float64 values); made from the tree's own store on first use, then kept."""
    def query(self, x: npt.ArrayLike, k: int = 1, *, distance_upper_bound: float = ...) -> tuple[Any, Any]:
        """(d, i): the k nearest points of each query point, nearest first, equal distances by ascending row. x of shape (3,) with k = 1 gives a float and an int; (m, 3) with k = 1 arrays of shape (m,); k > 1 arrays of shape (m, k) (or (k,) for one point); d float64, i int64. Only points at a distance below distance_upper_bound (default inf: every point) count; missing neighbours get d = inf and i = n. Raises ValueError for a NaN or infinite query row (naming it), k below 1, a negative or NaN bound, a wrong shape; TypeError for a non-integer k."""
    def query_ball_point(self, x: npt.ArrayLike, r: float, *, return_length: bool = False) -> Any:
        """The rows of the points within distance r (distance <= r) of each query point, ascending: an int64 array for x of shape (3,), a list of m int64 arrays for (m, 3). With return_length, their counts (an int, or an (m,) int64 array). Raises ValueError for a NaN or infinite query row, a negative or NaN r, a wrong shape."""
    def query_pairs(self, r: float) -> npt.NDArray[np.int64]:
        """Every pair (i, j), i < j, of rows whose points are within distance r of each other (distance_to(row i, row j) <= r), as a (p, 2) int64 array in lexicographic order (scipy's output_type="ndarray", sorted). Raises ValueError for a negative or NaN r."""
    def __copy__(self) -> KDTree:
        """A tree sharing this one's arrays (they never change)."""
    def __deepcopy__(self, memo: Any) -> KDTree:
        """A tree sharing this one's arrays (they never change, so even a deep copy can share them)."""
    def __dask_tokenize__(self) -> Any:
        """Dask's token of the tree: made once at the build and kept by copies and pickles."""

# Point clouds on the index: fits, residuals, RANSAC planes, normals, ICP. Every sum over the points runs in fixed
# blocks of 4096 rows added in block order, so results are the same bits for every worker count (and under Dask).
def fit_plane(points: npt.ArrayLike, weights: npt.ArrayLike | None = None, *, return_rms: bool = False) -> Any:
    """The least-squares plane of (n, 3) points (n >= 3): a tarsk_py.geometry.Plane through the (weighted) centroid, its normal the smallest eigenvector of the points' scatter (3x3, by the rotation module's Jacobi solver), turned so that its largest-magnitude component is positive; distance = -(normal . centroid), stored unchanged. weights: (n,), finite, at least 0, not all 0. With return_rms: (plane, rms) of the points' distances. Raises ValueError "argument 'points': ..." for fewer than 3 points, a NaN or infinite row (named), all points the same (spread at most 1e-14 of the centroid's largest coordinate), points on one line (middle eigenvalue at most 1e-14 of the largest) or sums that overflow."""
def fit_line(points: npt.ArrayLike, *, return_rms: bool = False) -> Any:
    """The least-squares line of (n, 3) points (n >= 2): (point, direction), (3,) arrays: the centroid and the unit largest eigenvector of the scatter (largest-magnitude component positive); with return_rms also the rms of the distances from the line. ValueError for too few, non-finite or identical points."""
def fit_sphere(points: npt.ArrayLike, *, return_rms: bool = False) -> Any:
    """The algebraic least-squares sphere of (n, 3) points (n >= 4), in coordinates about the centroid: (center, radius), a (3,) array and a float; with return_rms also the rms of |p - c| - r. ValueError for too few, non-finite or identical points, or points in one plane."""
def fit_circle(points: npt.ArrayLike, *, return_rms: bool = False) -> Any:
    """The circle of (n, 3) points (n >= 3): the least-squares plane, then the algebraic least-squares circle of the points' coordinates in it. A tarsk_py.geometry.Circle with the plane's normal (fields stored unchanged); with return_rms (circle, rms) of the distances from the circle in space. ValueError as fit_plane."""
def residuals(points: npt.ArrayLike, *, plane: Plane | None = None, line: tuple[Any, Any] | None = None,
              sphere: tuple[Any, float] | None = None, circle: Circle | None = None) -> npt.NDArray[np.float64]:
    """The residual of each (n, 3) point against exactly one shape: plane, the signed normal . p + distance; line (point, direction), the distance from it; sphere (center, radius), the signed |p - c| - r; circle, the distance from the circle in space. (n,) float64. TypeError unless exactly one shape is given."""
def ransac_plane(points: npt.ArrayLike, threshold: float, *, iterations: int = 1000, seed: int = 0,
                 probability: float = 0.99999999) -> tuple[Plane, npt.NDArray[np.int64]]:
    """A plane among outliers: (plane, inliers). Iteration i draws three distinct rows from a counter-based hash of (seed, i), the same on every machine and worker count, and counts the points within threshold of their plane; the first sample with the most wins. Iterations run in batches of 32, and the search stops after a batch once (1 - w**3)**t <= 1 - probability (w the best inlier share so far, t the iterations run; probability=1.0 runs them all), a rule that depends only on the counts. inliers: the ascending rows within threshold of that sampled plane; plane: the least-squares plane through them (the sampled plane when they admit none). ValueError for threshold not above 0 or not finite, iterations below 1, seed outside [0, 2**64), fewer than 3 points, non-finite rows, or only collinear samples."""
def estimate_normals(points: npt.ArrayLike, k: int = 16, *, viewpoint: npt.ArrayLike | None = None,
                     tree: KDTree | None = None) -> npt.NDArray[np.float64]:
    """Unit normals of (n, 3) points, (n, 3) float64: for each point the smallest eigenvector of the scatter of its k nearest points (itself included, ties by lower row) about their centroid. Oriented toward viewpoint when given (normal . (viewpoint - p) >= 0), else with the largest-magnitude component positive (the first of equal ones). A neighbourhood without spread in two directions gives a deterministic unit vector, never NaN. tree: a KDTree over the same points to reuse. ValueError unless 3 <= k <= n, for a non-finite row or viewpoint, or a tree over other points."""
class IcpResult:
    """The outcome of icp(): the rigid transform y = rotate(p, rotation) + translation and its measures."""
    def __init__(self, rotation: npt.NDArray[np.float64], translation: npt.NDArray[np.float64], rmse: float,
                 fitness: float, iterations: int, converged: bool) -> None:
        """A result from its parts (icp() makes them)."""
    @property
    def rotation(self) -> npt.NDArray[np.float64]:
        """The unit quaternion (w, i, j, k) in this module's storage sense (as Quat.rotate turns vectors), (4,), read-only."""
    @property
    def translation(self) -> npt.NDArray[np.float64]:
        """The translation, (3,), read-only."""
    @property
    def rmse(self) -> float:
        """The root mean square of the matched distances under the transform (0.0 when none match)."""
    @property
    def fitness(self) -> float:
        """The share of source points matched within max_distance under the transform."""
    @property
    def iterations(self) -> int:
        """The steps taken."""
    @property
    def converged(self) -> bool:
        """Whether the last step changed the fitness by at most tolerance and the rmse by at most tolerance * rmse."""
    def apply(self, points: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """The points moved by this transform (apply_transform)."""
def icp(source: npt.ArrayLike, target: npt.ArrayLike, max_distance: float, *, max_iterations: int = 30,
        tolerance: float = 1e-9, initial: IcpResult | tuple[Any, Any] | None = None,
        tree: KDTree | None = None, target_normals: npt.ArrayLike | None = None) -> IcpResult:
    """Point-to-point ICP moving the (m, 3) source onto the (n, 3) target. Each evaluation moves every source point, takes its nearest target point by the index (ties by lower row) and keeps the pair when their distance is at most max_distance; each step maps the centred moved points onto their centred matches by the best rotation (align_vectors' solver) and composes it with the transform. Stops after max_iterations steps, when fewer than 3 points match, or when a step changes the fitness by at most tolerance and the rmse by at most tolerance * rmse (converged). initial: (rotation, translation) or an IcpResult; tree: a KDTree over the target to reuse. target_normals: (n, 3) unit normals of the target, which make each step point to plane (the small motion about the matched centroid from its 6x6 normal equations, the turn as the normalised quaternion of half its rotation vector; a step whose equations are singular, as on a flat target, is point to point). ValueError for max_distance not above 0 or not finite, max_iterations below 0, tolerance below 0, fewer than 3 points, non-finite rows, a zero quaternion, or a tree over other points."""
def apply_transform(points: npt.ArrayLike, rotation: npt.ArrayLike, translation: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """(n, 3) points moved by y = rotate(p, rotation) + translation, a new float64 array; rotation, a (w, i, j, k) quaternion in this module's storage sense, is normalised first (four true divisions by its magnitude). ValueError for a zero quaternion or wrong shapes."""
