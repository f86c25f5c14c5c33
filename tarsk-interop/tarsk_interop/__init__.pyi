"""numpy arrays in and out of tarsk_py's objects, the VecList operations as array kernels, and
(registered at import) pickling and copying of tarsk_py's objects and classes."""
import numpy as np
import numpy.typing as npt

from tarsk_py import Quat, Vec3d, VecList

__version__: str

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
def rotate(a: npt.ArrayLike, q: Quat) -> npt.NDArray[np.float64]:
    """VecList.rotate applied to a copy: a new (n, 3) array; a is left alone. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def collapse(a: npt.ArrayLike, axis: int) -> npt.NDArray[np.float64]:
    """VecList.collapse: coordinate axis (0, 1 or 2) set to +0.0. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': ". An axis above 2 raises pyo3_runtime.PanicException "assertion failed: axis <= 2"."""
def add(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList + Vec3d. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def subtract(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike) -> npt.NDArray[np.float64]:
    """VecList - Vec3d. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def multiply(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]:
    """VecList * s. Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def divide(a: npt.ArrayLike, s: float) -> npt.NDArray[np.float64]:
    """VecList / s (true division, never a multiplication by 1/s). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': "."""
def minimum_distance_to(a: npt.ArrayLike, v: Vec3d | npt.ArrayLike, stride: int) -> tuple[int, float]:
    """VecList.minimum_distance_to of to_veclist(a): the (row index, distance) of the nearest row found by the two-level strided search (exact for stride 1 or a stride of at least n). Raises TypeError for an argument that is not an array-like of real numbers (or a Vec3d/Quat where one is expected) and ValueError for a wrong shape; messages start "argument '<name>': ". Stride 0 or an empty array raise pyo3_runtime.PanicException as the VecList method does."""
