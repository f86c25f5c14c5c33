"""Pickling and copying through tarsk_interop's reducers: every class, every
protocol, bit-exact; a VecList out of band under protocol 5; damaged
pickles; a round trip through a spawned process."""
import copy
import multiprocessing
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarsk_interop as ti
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

from floats import SPECIALS, doubles

Plane, Circle = geometry.Plane, geometry.Circle
NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]
component = st.one_of(doubles, st.sampled_from(SPECIALS + [NAN_PAYLOAD]))
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def bits(*values):
    return struct.pack(f"<{len(values)}d", *values)


def state(obj):
    """The exact bits of an object's value."""
    t = type(obj)
    if t is Vec3d:
        return bits(obj.x, obj.y, obj.z)
    if t in (AngleRadians, AngleDegrees):
        return bits(obj.angle)
    if t is Quat:
        return bits(obj.w, obj.i, obj.j, obj.k)
    if t is Plane:
        return state(obj.normal) + bits(obj.distance)
    if t is Circle:
        return state(obj.center) + bits(obj.radius) + state(obj.normal)
    if t is VecList:
        return ti.to_numpy(obj).tobytes()
    raise AssertionError(t)


def make_objects(c):
    """One object of every class from the doubles c[0..6], stored unchanged."""
    plane = Plane.xy()
    plane.normal = Vec3d(c[0], c[1], c[2])
    plane.distance = c[3]
    circle = Circle.none()
    circle.center = Vec3d(c[4], c[5], c[6])
    circle.radius = c[0]
    circle.normal = Vec3d(c[1], c[2], c[3])
    return [Vec3d(c[0], c[1], c[2]), AngleRadians(c[3]), AngleDegrees(c[4]), Quat(c[5], c[6], c[0], c[1]),
            plane, circle, VecList([Vec3d(c[k], c[k + 1], c[k + 2]) for k in range(5)])]


@settings(max_examples=60, deadline=None)
@given(st.lists(component, min_size=7, max_size=7))
def test_every_class_every_protocol_and_copy_bit_exact(c):
    for obj in make_objects(c):
        for protocol in PROTOCOLS:
            back = pickle.loads(pickle.dumps(obj, protocol=protocol))
            assert type(back) is type(obj) and back is not obj
            assert state(back) == state(obj), (type(obj), protocol)
        for copier in (copy.copy, copy.deepcopy):
            dup = copier(obj)
            assert type(dup) is type(obj) and dup is not obj and state(dup) == state(obj)


def test_copies_are_independent_and_source_free_again():
    lst = ti.to_veclist(np.arange(12.0).reshape(4, 3))
    for dup in (copy.copy(lst), copy.deepcopy(lst), pickle.loads(pickle.dumps(lst))):
        dup.append(Vec3d(0, 0, 0))
        assert len(lst) == 4
    lst.append(Vec3d(1, 1, 1))  # no borrow left behind
    shared = [lst, lst]
    back = copy.deepcopy(shared)
    assert back[0] is back[1]
    back = pickle.loads(pickle.dumps(shared, protocol=5))
    assert back[0] is back[1]


def test_veclist_goes_out_of_band_under_protocol_5():
    data = np.random.default_rng(3).normal(size=(10000, 3))
    lst = ti.to_veclist(data)
    buffers = []
    stream = pickle.dumps(lst, protocol=5, buffer_callback=buffers.append)
    assert len(stream) < 200 and len(buffers) == 1
    assert buffers[0].raw().nbytes == data.nbytes
    # The buffer holds the list's elements, handed over to memory that never
    # changes: the list is free to change, and copies them first.
    lst.append(Vec3d(0, 0, 0))
    assert bytes(buffers[0].raw()) == data.tobytes()
    back = pickle.loads(stream, buffers=buffers)
    assert ti.to_numpy(back).tobytes() == data.tobytes()
    # Buffers may come back as any bytes-like object, e.g. from another process.
    back = pickle.loads(stream, buffers=[bytes(buffers[0].raw())])
    assert ti.to_numpy(back).tobytes() == data.tobytes()
    del buffers
    # In band under protocol 5 without a callback; one copy of the bytes.
    stream = pickle.dumps(lst, protocol=5)
    assert data.nbytes < len(stream) < data.nbytes + 300
    assert ti.to_numpy(pickle.loads(stream))[:-1].tobytes() == data.tobytes()


def test_iterator_stays_unpicklable():
    it = iter(VecList([Vec3d(1, 2, 3)]))
    for protocol in PROTOCOLS:
        with pytest.raises(TypeError, match="VecListIterator"):
            pickle.dumps(it, protocol=protocol)
    with pytest.raises(TypeError, match="VecListIterator"):
        copy.copy(it)


class Forged:
    """Pickles as a call of `func` with `args`: a damaged pickle of the
    real reconstructors."""

    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


DAMAGED = [
    Forged(ti._vec3d_from_bytes, b"\0" * 23),
    Forged(ti._vec3d_from_bytes, "not bytes"),
    Forged(ti._angle_radians_from_bytes, b""),
    Forged(ti._angle_degrees_from_bytes, b"\0" * 16),
    Forged(ti._quat_from_bytes, b"\0" * 24),
    Forged(ti._plane_from_bytes, b"\0" * 33),
    Forged(ti._circle_from_bytes, None),
    Forged(ti._veclist_from_buffer, b"\0" * 25),
    Forged(ti._veclist_from_buffer, 12),
    Forged(ti._veclist, "junk"),
]


@pytest.mark.parametrize("forged", DAMAGED, ids=lambda f: f.func.__name__)
def test_damaged_payload_raises_unpickling_error(forged):
    stream = pickle.dumps(forged, protocol=4)
    with pytest.raises(pickle.UnpicklingError, match="corrupted"):
        pickle.loads(stream)


def test_wrong_out_of_band_buffer_raises_unpickling_error():
    buffers = []
    stream = pickle.dumps(VecList([Vec3d(1, 2, 3)]), protocol=5, buffer_callback=buffers.append)
    with pytest.raises(pickle.UnpicklingError, match="corrupted"):
        pickle.loads(stream, buffers=[b"12345"])


def test_truncated_pickles_fail_cleanly():
    # In a child: a crash would end it without the final line.
    code = """
import pickle, tarsk_interop as ti
from tarsk_py import Vec3d, VecList, Quat
objs = [VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)]), Quat(1, 2, 3, 4), Vec3d(1, 2, 3)]
count = 0
for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
    for obj in objs:
        stream = pickle.dumps(obj, protocol=protocol)
        for cut in range(len(stream)):
            try:
                pickle.loads(stream[:cut])
            except Exception:
                count += 1
            else:
                raise AssertionError((protocol, cut))
print('done', count)
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("done ")


def test_round_trip_through_a_spawned_process():
    objects = make_objects([1.5, -0.0, float("inf"), NAN_PAYLOAD, 5e-324, -2.0, 3.25])
    objects.append(ti.to_veclist(np.random.default_rng(5).normal(size=(5000, 3))))
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        back = pool.map(copy.copy, objects)  # pickled there and back
        arrays = pool.map(ti.to_numpy, [objects[0], objects[-1]])
    for a, b in zip(objects, back):
        assert type(a) is type(b) and state(a) == state(b)
    assert arrays[1].tobytes() == ti.to_numpy(objects[-1]).tobytes()


def test_importing_tarsk_py_alone_registers_nothing():
    code = """
import copyreg, pickle
import tarsk_py
assert not any(getattr(t, '__module__', '') == 'builtins' and t.__name__ in
               ('Vec3d', 'VecList', 'Quat') for t in copyreg.dispatch_table), 'registered'
try:
    pickle.dumps(tarsk_py.Vec3d(1, 2, 3))
except TypeError:
    print('refused')
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "refused"
