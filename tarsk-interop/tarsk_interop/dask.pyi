"""tarsk_interop's array kernels over Dask arrays of points.

Every function takes a Dask array (or array-like) of shape (n, 3) chunked
along the rows and returns a lazy result whose every bit is what the
in-memory kernel of the same name gives for the whole array at once,
whatever the chunking, the number of Dask workers and the cluster. Bad input
raises the in-memory kernel's own exception when the graph is built."""
from typing import Any

import dask.array as da
from dask.delayed import Delayed
from distributed.diagnostics.plugin import WorkerPlugin

from tarsk_py import Quat

from tarsk_interop import KDTree
from tarsk_py.geometry import Circle, Plane

__all__ = [
    "add", "collapse", "cross", "distance_squared", "distance_to", "divide", "dot", "is_unit",
    "magnitude", "minimum_distance_to", "multiply", "normalize", "register", "rotate", "subtract",
    "TarskWorkerPlugin",
    "approx_equal", "compose", "from_euler", "from_matrix", "from_rotvec", "from_scipy_quat", "inverse", "magnitude_angle",
    "slerp", "to_euler", "to_matrix", "to_rotvec", "to_scipy_quat",
    "query", "query_ball_point",
    "fit_plane", "residuals", "estimate_normals",
]

def normalize(a: Any) -> da.Array:
    """tarsk_interop.normalize per chunk: an (n, 3) float64 Dask array with the input's row chunks."""
def cross(a: Any, v: Any) -> da.Array:
    """tarsk_interop.cross per chunk; v is a Vec3d or a (3,) array-like. An (n, 3) Dask array."""
def add(a: Any, v: Any) -> da.Array:
    """Each row plus v (a Vec3d or a (3,) array-like), as an (n, 3) Dask array."""
def subtract(a: Any, v: Any) -> da.Array:
    """Each row minus v (a Vec3d or a (3,) array-like), as an (n, 3) Dask array."""
def multiply(a: Any, s: Any) -> da.Array:
    """Each row times the real number s, as an (n, 3) Dask array."""
def divide(a: Any, s: Any) -> da.Array:
    """Each row divided by the real number s (a true division), as an (n, 3) Dask array."""
def rotate(a: Any, q: Quat) -> da.Array:
    """The rows rotated by q as by VecList.rotate, as a new (n, 3) Dask array; a is left alone."""
def collapse(a: Any, axis: int) -> da.Array:
    """The rows with coordinate axis (0, 1 or 2) set to +0.0, as an (n, 3) Dask array."""
def dot(a: Any, v: Any) -> da.Array:
    """The dot product of each row with v, as an (n,) float64 Dask array."""
def magnitude(a: Any) -> da.Array:
    """The length of each row, as an (n,) float64 Dask array."""
def is_unit(a: Any) -> da.Array:
    """Whether each row has length 1 within the tolerance 2^-52, as an (n,) bool Dask array."""
def distance_to(a: Any, v: Any) -> da.Array:
    """The distance of each row from v, as an (n,) float64 Dask array."""
def distance_squared(a: Any, v: Any) -> da.Array:
    """The squared distance of each row from v, as an (n,) float64 Dask array."""
def minimum_distance_to(a: Any, v: Any, stride: int) -> Delayed:
    """A dask.delayed value that computes to VecList.minimum_distance_to's (index, distance) over
    all n rows, found by a tree reduction over the chunks; needs known chunk sizes."""

class TarskWorkerPlugin(WorkerPlugin):
    """Imports tarsk_interop and tarsk_interop.dask in a worker process: the pickling of
    tarsk_py's objects, the classes found by name, and the size of a VecList for the worker's
    memory accounting."""
    name: str
    def setup(self, worker: Any) -> None:
        """Runs the imports in the worker."""

def register(client: Any) -> None:
    """Registers TarskWorkerPlugin with the cluster of a distributed Client: every worker,
    present and future, then sends and receives Vec3d, Quat, VecList and the other objects and
    classes of tarsk_py. Raises ImportError without the distributed package."""

# Rotation algebra over Dask arrays of rows chunked along the rows (tarsk_interop's conventions: quaternions (n, 4) as
# (w, i, j, k) in tarsk_py's sense, matrices mapping column vectors). A Quat, a (4,) row or a number broadcasts; every
# bit of the result is the in-memory function's for the whole arrays, whatever the chunking. Shapes, dtypes and seq are
# checked when the graph is built; value faults (zero-norm or non-finite rows, bad matrices, non-finite t) raise at compute time.
# degrees=True takes or gives angles in degrees, as scipy does.
def compose(p: Any, q: Any) -> da.Array:
    """tarsk_interop.compose (q first, then p) chunk by chunk: (n, 4)."""
def inverse(q: Any) -> da.Array:
    """tarsk_interop.inverse chunk by chunk: (n, 4)."""
def to_matrix(q: Any) -> da.Array:
    """tarsk_interop.to_matrix chunk by chunk: (n, 3, 3), mapping column vectors as rotate does."""
def from_matrix(m: Any) -> da.Array:
    """tarsk_interop.from_matrix chunk by chunk: (n, 4) from (n, 3, 3)."""
def from_scipy_quat(a: Any) -> da.Array:
    """tarsk_interop.from_scipy_quat chunk by chunk: (n, 4) from scalar-last (x, y, z, w)."""
def to_scipy_quat(q: Any) -> da.Array:
    """tarsk_interop.to_scipy_quat chunk by chunk: (n, 4) scalar-last (x, y, z, w)."""
def from_rotvec(r: Any, *, degrees: bool = False) -> da.Array:
    """tarsk_interop.from_rotvec chunk by chunk: (n, 4) from (n, 3) rotation vectors."""
def to_rotvec(q: Any, *, degrees: bool = False) -> da.Array:
    """tarsk_interop.to_rotvec chunk by chunk: (n, 3), angles in [0, pi]."""
def magnitude_angle(q: Any, *, degrees: bool = False) -> da.Array:
    """tarsk_interop.magnitude_angle chunk by chunk: (n,), in [0, pi]."""
def slerp(p: Any, q: Any, t: Any) -> da.Array:
    """tarsk_interop.slerp chunk by chunk: (n, 4); t a number or an (n,) array (finite; extrapolates outside [0, 1])."""
def from_euler(seq: str, angles: Any, *, degrees: bool = False) -> da.Array:
    """tarsk_interop.from_euler chunk by chunk: (n, 4) from (n, 3) angles in scipy's convention."""
def to_euler(q: Any, seq: str, *, degrees: bool = False) -> da.Array:
    """tarsk_interop.to_euler chunk by chunk: (n, 3) in scipy's ranges; warns at gimbal lock once per chunk that has one."""
def approx_equal(p: Any, q: Any, atol: Any) -> da.Array:
    """tarsk_interop.approx_equal chunk by chunk: (n,) bool."""

# The spatial index over chunked query points: the tree enters the graph as one key, so a cluster sends it to each
# worker once; results are chunked like x's rows and have the in-memory method's bits for every chunking.
def query(tree: KDTree, x: Any, k: int = 1, *, distance_upper_bound: float = ...) -> tuple[da.Array, da.Array]:
    """tree.query of every row of the (m, 3) Dask array x: (d, i), Dask arrays of shape (m,) for k = 1, else (m, k), float64 and int64. Bad arguments raise the in-memory exceptions when the graph is built; a NaN or infinite row raises ValueError naming its row in x when computed."""
def query_ball_point(tree: KDTree, x: Any, r: float, *, return_length: bool = False) -> da.Array:
    """tree.query_ball_point of every row of the (m, 3) Dask array x: an (m,) Dask array of int64 index arrays (dtype object), or with return_length their int64 counts."""

# Point clouds: fit_plane reduced in the in-memory fit's fixed blocks of 4096 rows (x rechunked to multiples of
# them), so the plane has the in-memory bits for every chunking; residuals and normals row by row, chunked like x.
def fit_plane(x: Any, weights: Any = None, *, return_rms: bool = False) -> Any:
    """tarsk_interop.fit_plane of the (n, 3) Dask array x (weights an (n,) array or None), computed now: each chunk gives the partial sums of its blocks and they are added in block order, so the Plane (and rms) have the in-memory bits. Raises the in-memory ValueError, naming x's row for a NaN or infinite one."""
def residuals(x: Any, *, plane: Plane | None = None, line: tuple[Any, Any] | None = None,
              sphere: tuple[Any, float] | None = None, circle: Circle | None = None) -> da.Array:
    """tarsk_interop.residuals of every row of the (n, 3) Dask array x: an (n,) float64 Dask array chunked like x's rows."""
def estimate_normals(tree: KDTree, x: Any, k: int = 16, *, viewpoint: Any = None) -> da.Array:
    """The unit normals of the rows of the (n, 3) Dask array x from their k nearest points of the tree (3 <= k <= tree.n), oriented as tarsk_interop.estimate_normals orients them: (n, 3) float64 chunked like x's rows; for x holding the tree's own points, the in-memory bits. The tree enters the graph once, as one key."""
