# Type stubs of tarsk_interop: numpy arrays in and out of tarsk_py's objects,
# array kernels, and (registered at import) pickling and copying support.
import numpy as np
import numpy.typing as npt

from tarsk_py import Quat, Vec3d, VecList

__all__ = [
    "add",
    "as_numpy",
    "collapse",
    "cross",
    "distance_squared",
    "distance_to",
    "divide",
    "dot",
    "is_unit",
    "magnitude",
    "minimum_distance_to",
    "multiply",
    "normalize",
    "rotate",
    "subtract",
    "to_numpy",
    "to_quat",
    "to_vec3d",
    "to_veclist",
]

# A new float64 array: Vec3d -> (3,), Quat -> (4,) as (w, i, j, k), VecList -> (n, 3); bit-exact.
def to_numpy(obj: Vec3d | Quat | VecList) -> npt.NDArray[np.float64]: ...
# A read-only (n, 3) view of the list's memory; the list cannot change while a view is alive.
def as_numpy(veclist: VecList) -> npt.NDArray[np.float64]: ...
# A new VecList from an (n, 3) array-like of real numbers.
def to_veclist(a: npt.ArrayLike) -> VecList: ...
# A new Vec3d from a (3,) array-like.
def to_vec3d(a: npt.ArrayLike) -> Vec3d: ...
# A new Quat from a (4,) array-like in the order (w, i, j, k).
def to_quat(a: npt.ArrayLike) -> Quat: ...
# VecList.normalize of to_veclist(a), as a new (n, 3) array.
def normalize(a: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.cross; v is a Vec3d or a (3,) array-like.
def cross(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.dot, as an (n,) array.
def dot(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.magnitude, as an (n,) array.
def magnitude(a: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.is_unit, as an (n,) bool array.
def is_unit(a: npt.ArrayLike) -> npt.NDArray[np.bool_]: ...
# VecList.distance_to, as an (n,) array.
def distance_to(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.distance_squared, as an (n,) array.
def distance_squared(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList.rotate applied to a copy: a new (n, 3) array; a is left alone.
def rotate(a: npt.ArrayLike, q: Quat) -> npt.NDArray[np.float64]: ...
# VecList.collapse: coordinate axis (0, 1 or 2) set to +0.0.
def collapse(a: npt.ArrayLike, axis: int) -> npt.NDArray[np.float64]: ...
# VecList + Vec3d.
def add(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList - Vec3d.
def subtract(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]: ...
# VecList * s.
def multiply(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]: ...
# VecList / s (true division, never a multiplication by 1/s).
def divide(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]: ...
# VecList.minimum_distance_to: the (index, distance) of the nearest row within the strided search.
def minimum_distance_to(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike, stride: int) -> tuple[int, float]: ...
