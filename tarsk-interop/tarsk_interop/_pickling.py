"""Pickling and copying of tarsk_py's objects. Doubles travel as their IEEE
bytes (every protocol, NaN payloads and -0.0 included); a VecList travels as
one buffer of its elements, out of band under protocol 5.

The functions that rebuild objects are found by pickle as attributes of the
package itself (``tarsk_interop._veclist`` ...), as they always have been, so
pickles written by earlier releases load and new ones read the same."""
from __future__ import annotations

import copyreg
import pickle
import struct
from typing import Any

import tarsk_py as _tarsk_py
from tarsk_py import AngleDegrees as _AngleDegrees
from tarsk_py import AngleRadians as _AngleRadians
from tarsk_py import Quat as _Quat
from tarsk_py import Vec3d as _Vec3d
from tarsk_py import VecList as _VecList

from . import _native  # type: ignore[attr-defined]
from ._arrays import _asarray

_Plane = _tarsk_py.geometry.Plane
_Circle = _tarsk_py.geometry.Circle
_VecListIterator = type(iter(_VecList.empty()))

_D1 = struct.Struct("<d")
_D3 = struct.Struct("<3d")
_D4 = struct.Struct("<4d")
_D7 = struct.Struct("<7d")


def _unpack(layout: struct.Struct, data: Any, what: str) -> tuple[float, ...]:
    if not isinstance(data, bytes) or len(data) != layout.size:
        raise pickle.UnpicklingError(f"corrupted {what} data: expected {layout.size} bytes")
    return layout.unpack(data)


def _vec3d_from_bytes(data: bytes) -> _Vec3d:
    return _Vec3d(*_unpack(_D3, data, "Vec3d"))


def _angle_radians_from_bytes(data: bytes) -> _AngleRadians:
    return _AngleRadians(*_unpack(_D1, data, "AngleRadians"))


def _angle_degrees_from_bytes(data: bytes) -> _AngleDegrees:
    return _AngleDegrees(*_unpack(_D1, data, "AngleDegrees"))


def _quat_from_bytes(data: bytes) -> _Quat:
    return _Quat(*_unpack(_D4, data, "Quat"))


def _plane_from_bytes(data: bytes) -> Any:
    nx, ny, nz, distance = _unpack(_D4, data, "Plane")
    plane = _Plane.xy()
    plane.normal = _Vec3d(nx, ny, nz)  # the setters store values unchanged
    plane.distance = distance
    return plane


def _circle_from_bytes(data: bytes) -> Any:
    cx, cy, cz, radius, nx, ny, nz = _unpack(_D7, data, "Circle")
    circle = _Circle.none()
    circle.center = _Vec3d(cx, cy, cz)  # the setters store values unchanged
    circle.radius = radius
    circle.normal = _Vec3d(nx, ny, nz)
    return circle


def _veclist_from_buffer(data: Any) -> _VecList:
    """A VecList from the raw bytes of its elements (bytes, a bytearray or an
    out-of-band buffer, typed as raw bytes or native float64). Bytes nobody
    can change (a bytes object, the shared elements a list pickled) are read
    in place until the list's first change; any other buffer is copied."""
    try:
        return _native.veclist_from_buffer(data)
    except (TypeError, BufferError, ValueError) as exc:
        raise pickle.UnpicklingError(f"corrupted VecList data: {exc}") from None


class _VecListElements:
    """The elements of a VecList on their way into a pickle or a copy. It
    holds the list, not a borrow of it: the pickler's memo keeps this object
    as long as the pickler lives, and the list must stay free to change.

    Under protocol 5 the elements go out as one buffer of memory that never
    changes: the list hands its storage over to the buffer's owner (reading
    it from there, copying it on its own next change). Below protocol 5 they
    go as bytes."""

    __slots__ = ("veclist",)

    def __init__(self, veclist: _VecList) -> None:
        self.veclist = veclist

    def __reduce_ex__(self, protocol: Any) -> Any:
        if isinstance(protocol, int) and protocol >= 5:
            shared = _asarray(_native.share_rows(self.veclist))
            return _veclist_from_buffer, (pickle.PickleBuffer(shared),)  # type: ignore[arg-type]
        return _veclist_from_buffer, (_native.rows_bytes(self.veclist),)

    def __deepcopy__(self, memo: Any) -> _VecListElements:
        return self


def _veclist(elements: Any) -> _VecList:
    """The list of a pickle or a copy: unpickling has already rebuilt it;
    copy and deepcopy hand over the elements."""
    if type(elements) is _VecList:
        return elements
    if type(elements) is _VecListElements:
        return _native.copy_list(elements.veclist)
    raise pickle.UnpicklingError(f"corrupted VecList data: got '{type(elements).__name__}'")


def _reduce_vec3d(v: _Vec3d) -> Any:
    return _vec3d_from_bytes, (_D3.pack(v.x, v.y, v.z),)


def _reduce_angle_radians(a: _AngleRadians) -> Any:
    return _angle_radians_from_bytes, (_D1.pack(a.angle),)


def _reduce_angle_degrees(a: _AngleDegrees) -> Any:
    return _angle_degrees_from_bytes, (_D1.pack(a.angle),)


def _reduce_quat(q: _Quat) -> Any:
    return _quat_from_bytes, (_D4.pack(q.w, q.i, q.j, q.k),)


def _reduce_plane(p: Any) -> Any:
    n = p.normal
    return _plane_from_bytes, (_D4.pack(n.x, n.y, n.z, p.distance),)


def _reduce_circle(c: Any) -> Any:
    center, normal = c.center, c.normal
    return _circle_from_bytes, (_D7.pack(center.x, center.y, center.z, c.radius, normal.x, normal.y, normal.z),)


def _reduce_veclist(v: _VecList) -> Any:
    return _veclist, (_VecListElements(v),)


def _reduce_iterator(it: Any) -> Any:
    raise TypeError("cannot pickle 'VecListIterator' object: an iterator's position is not kept; "
                    "pickle the VecList instead")


copyreg.pickle(_Vec3d, _reduce_vec3d)
copyreg.pickle(_VecList, _reduce_veclist)
copyreg.pickle(_AngleRadians, _reduce_angle_radians)
copyreg.pickle(_AngleDegrees, _reduce_angle_degrees)
copyreg.pickle(_Quat, _reduce_quat)
copyreg.pickle(_Plane, _reduce_plane)
copyreg.pickle(_Circle, _reduce_circle)
copyreg.pickle(_VecListIterator, _reduce_iterator)

# The names pickles refer to: attributes of the package.
REBUILDERS = (_vec3d_from_bytes, _angle_radians_from_bytes, _angle_degrees_from_bytes, _quat_from_bytes,
              _plane_from_bytes, _circle_from_bytes, _veclist_from_buffer, _veclist)
for _rebuild in REBUILDERS:
    _rebuild.__module__ = "tarsk_interop"
del _rebuild
