from typing import Any

import dask.array as da
from dask.delayed import Delayed
from distributed.diagnostics.plugin import WorkerPlugin

from tarsk_py import Quat

__all__ = [
    "add", "collapse", "cross", "distance_squared", "distance_to", "divide", "dot", "is_unit",
    "magnitude", "minimum_distance_to", "multiply", "normalize", "register", "rotate", "subtract",
    "TarskWorkerPlugin",
    "compose", "from_euler", "from_matrix", "from_rotvec", "from_scipy_quat", "inverse", "magnitude_angle",
    "slerp", "to_euler", "to_matrix", "to_rotvec", "to_scipy_quat",
]

def normalize(a: Any) -> da.Array: ...
def cross(a: Any, v: Any) -> da.Array: ...
def add(a: Any, v: Any) -> da.Array: ...
def subtract(a: Any, v: Any) -> da.Array: ...
def multiply(a: Any, s: Any) -> da.Array: ...
def divide(a: Any, s: Any) -> da.Array: ...
def rotate(a: Any, q: Quat) -> da.Array: ...
def collapse(a: Any, axis: int) -> da.Array: ...
def dot(a: Any, v: Any) -> da.Array: ...
def magnitude(a: Any) -> da.Array: ...
def is_unit(a: Any) -> da.Array: ...
def distance_to(a: Any, v: Any) -> da.Array: ...
def distance_squared(a: Any, v: Any) -> da.Array: ...
def minimum_distance_to(a: Any, v: Any, stride: int) -> Delayed: ...

class TarskWorkerPlugin(WorkerPlugin):
    name: str
    def setup(self, worker: Any) -> None: ...

def register(client: Any) -> None: ...

# Rotation algebra over Dask arrays of rows chunked along the rows (tarsk_interop's conventions: quaternions (n, 4) as
# (w, i, j, k) in tarsk_py's sense, matrices mapping column vectors). A Quat, a (4,) row or a number broadcasts; every
# bit of the result is the in-memory function's for the whole arrays, whatever the chunking. Shapes, dtypes and seq are
# checked when the graph is built; value faults (zero-norm quaternion, bad matrix, non-finite t) raise at compute time.
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
def from_rotvec(r: Any) -> da.Array:
    """tarsk_interop.from_rotvec chunk by chunk: (n, 4) from (n, 3) rotation vectors."""
def to_rotvec(q: Any) -> da.Array:
    """tarsk_interop.to_rotvec chunk by chunk: (n, 3), angles in [0, pi]."""
def magnitude_angle(q: Any) -> da.Array:
    """tarsk_interop.magnitude_angle chunk by chunk: (n,), in [0, pi]."""
def slerp(p: Any, q: Any, t: Any) -> da.Array:
    """tarsk_interop.slerp chunk by chunk: (n, 4); t a number or an (n,) array (finite; extrapolates outside [0, 1])."""
def from_euler(seq: str, angles: Any) -> da.Array:
    """tarsk_interop.from_euler chunk by chunk: (n, 4) from (n, 3) angles in scipy's convention."""
def to_euler(q: Any, seq: str) -> da.Array:
    """tarsk_interop.to_euler chunk by chunk: (n, 3) in scipy's ranges; warns at gimbal lock once per chunk that has one."""
