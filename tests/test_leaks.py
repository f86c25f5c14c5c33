"""Every member called many times leaves the interpreter's allocated blocks
and the process's resident memory flat, on its success paths and its error
paths (argument errors, NotImplemented operators, borrow errors, internal
failures, exceptions of the arguments' own conversions).

Each case runs TARSK_LEAK_CALLS times (default 100000; cases that run on the
worker pool a fifth of that). The bounds are a twentieth of one block per call
and a few bytes of resident memory per call: a leak of one object per call
exceeds both.
"""
import gc
import itertools
import os
import re
import shutil
import subprocess
import sys

import pytest

import tarsk_py
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList

geometry = tarsk_py.geometry
Plane, Circle = geometry.Plane, geometry.Circle

CALLS = int(os.environ.get("TARSK_LEAK_CALLS", "100000"))
POOL_CALLS = max(1000, CALLS // 5)
# Under the sanitizers the allocator keeps freed memory in quarantine and the
# interpreter's own allocator is bypassed: only the block count is meaningful
# there, and it is trivially flat, so the run is shortened.
SANITIZED = (os.environ.get("TARSK_SANITIZED") == "1"
             or os.environ.get("TARSK_UNDER_VALGRIND") == "1")
if SANITIZED:
    CALLS, POOL_CALLS = max(1000, CALLS // 20), max(1000, POOL_CALLS // 20)
# With PYTHONMALLOC=malloc the interpreter counts no blocks.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def panic_type():
    try:
        VecList.empty().collapse(5)
    except BaseException as e:  # noqa: BLE001
        return type(e)


PanicException = panic_type()


class RaisingFloat:
    def __float__(self):
        raise KeyError("float")


class PanickingFloat:
    def __float__(self):
        raise PanicException("from Python")


class MutatingFloat:
    """Sets the `x` of its target while a call converts it."""

    def __init__(self):
        self.target = None

    def __float__(self):
        self.target.x = 1.0  # the call holds the target: Already borrowed
        return 1.0


class AppendingFloat:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.append(Vec3d(1, 1, 1))
        return 2.0


class LyingSequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        return self.items[i]


class RaisingIter:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise KeyError(i)


v = Vec3d(1.0, 2.0, 3.0)
w = Vec3d(-0.5, 4.0, 0.25)
q = Quat(0.5, 0.5, 0.5, 0.5)
ar = AngleRadians(0.75)
ad = AngleDegrees(30.0)
plane = Plane(Vec3d(0.0, 0.0, 1.0), 2.0)
circle = Circle(Vec3d(0.0, 0.0, 1.0), 2.0, Vec3d(0.0, 1.0, 1.0))
circle2 = Circle(Vec3d(1.0, 0.0, 1.0), 2.0, Vec3d(0.0, 1.0, 1.0))
small = VecList([v, w, Vec3d(0.0, 0.0, 0.0), Vec3d(3.0, -1.0, 2.0)])
growing = VecList.empty()
mutating = MutatingFloat()
mutating.target = v


def raises(exc, fn, *args, **kwargs):
    """A call that must fail with `exc`; the failure is the path measured."""
    def call():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn} did not raise {exc}")
    return call


def setter(obj, name, value):
    return lambda: setattr(obj, name, value)


def deleter(obj, name):
    def call():
        try:
            delattr(obj, name)
        except AttributeError:
            return
        raise AssertionError("deleted")
    return call


def grow_and_trim():
    growing.append(v)
    if len(growing) > 64:
        trim()


def trim():
    global growing
    growing = VecList.empty()


CASES = {
    # Vec3d
    "Vec3d()": lambda: Vec3d(1.0, 2, 3.5),
    "Vec3d(keywords)": lambda: Vec3d(x=1.0, y=2.0, z=3.0),
    "Vec3d get x": lambda: v.x,
    "Vec3d set x": setter(w, "x", -0.5),
    "Vec3d static": lambda: (Vec3d.zero(), Vec3d.i(), Vec3d.j(), Vec3d.k()),
    "Vec3d.new_from_to": lambda: Vec3d.new_from_to(v, w),
    "Vec3d methods": lambda: (v.to_array(), v.magnitude(), v.is_unit(), v.normalize(), v.dot(w),
                              v.cross(w), v.scalar_triple_product(w, v), v.distance_to(w),
                              v.distance_squared(w), v.distance_to_line(w, v),
                              v.project_onto_plane(w), v.project_onto_line(w, v), v.angle_to(w),
                              v.to_quat()),
    "Vec3d operators": lambda: (v + w, v - w, v * 2.0, 2.0 * v, v / 3.0, -v, v == w, v != w,
                                hash(v), v[1], repr(v), str(v)),
    "Vec3d missing argument": raises(TypeError, Vec3d, 1.0, 2.0),
    "Vec3d unexpected keyword": raises(TypeError, Vec3d, 1.0, 2.0, 3.0, w=1.0),
    "Vec3d str argument": raises(TypeError, Vec3d, "a", 1.0, 1.0),
    "Vec3d int too large": raises(OverflowError, Vec3d, 10 ** 400, 1.0, 1.0),
    "Vec3d raising __float__": raises(KeyError, Vec3d, RaisingFloat(), 1.0, 1.0),
    "Vec3d.dot wrong type": raises(TypeError, v.dot, 1),
    "Vec3d + int (NotImplemented)": raises(TypeError, lambda: v + 1),
    "int / Vec3d (NotImplemented)": raises(TypeError, lambda: 1 / v),
    "Vec3d * str (both forms refused)": raises(TypeError, lambda: v * "a"),
    "Vec3d * raising __float__": raises(TypeError, lambda: v * RaisingFloat()),
    "Vec3d < Vec3d": raises(TypeError, lambda: v < w),
    "Vec3d index too large": raises(IndexError, lambda: v[3]),
    "Vec3d negative index": raises(OverflowError, lambda: v[-1]),
    "Vec3d set x str": raises(TypeError, setattr, w, "x", "a"),
    "Vec3d delete x": deleter(w, "x"),
    "Vec3d * mutating __float__ (discarded borrow error)": raises(TypeError, lambda: v * mutating),
    "Plane(v, mutating __float__) (borrow error)": raises(RuntimeError, Plane, v, mutating),
    "Vec3d * panicking __float__": raises(PanicException, lambda: v * PanickingFloat()),
    # VecList outside the pool
    "VecList.empty": VecList.empty,
    "VecList len/getitem/iter": lambda: (len(small), small[2], list(iter(small))),
    "VecList.list": lambda: small.list,
    "VecList.append": grow_and_trim,
    "VecList.extend": lambda: VecList.empty().extend(small),
    "VecList extend itself (borrow error)": raises(RuntimeError, small.extend, small),
    "VecList index too large": raises(IndexError, lambda: small[10]),
    "VecList(str)": raises(TypeError, VecList, "abc"),
    "VecList(int)": raises(TypeError, VecList, 5),
    "VecList wrong item": raises(TypeError, VecList, [v, 1.0]),
    "VecList iteration raising": raises(KeyError, VecList, RaisingIter()),
    "VecList * appending __float__ (discarded borrow error)":
        raises(TypeError, lambda: small * AppendingFloat(small)),
    "VecList + int (NotImplemented)": raises(TypeError, lambda: small + 1),
    "VecListIterator next": lambda: next(iter(small)),
    "VecListIterator exhausted": raises(StopIteration, next, iter(VecList.empty())),
    "VecList.collapse bad axis (internal failure)": raises(PanicException, small.collapse, 3),
    # Angles and quaternions
    "AngleRadians": lambda: (AngleRadians(0.5), ar.sin(), ar.cos(), ar.tan(), ar.sec(), ar.csc(),
                             ar.cot(), ar.to_degrees(), ar + ar, ar - ar, ar * 2.0, ar / 2.0, -ar,
                             ar < ar, ar == ar, ar != ar, repr(ar), AngleRadians.pi()),
    "AngleRadians set angle": setter(ar, "angle", 0.75),
    "AngleDegrees": lambda: (AngleDegrees(3.0), ad.to_radians(), -ad, ad <= ad, ad == ad,
                             repr(ad), ad.angle),
    "AngleRadians + float (NotImplemented)": raises(TypeError, lambda: ar + 1.0),
    "AngleDegrees hash (unhashable)": raises(TypeError, hash, ad),
    "Quat": lambda: (Quat(1.0, 0.0, 0.0, 0.0), q.conjugate(), q.magnitude(), q.normalize(),
                     q.is_unit(), q.rotate(v), q.to_vec3d(), q.to_axis_angle(),
                     q.to_rotation_matrix(), q == q, q != q, repr(q), Quat.identity(),
                     Quat.from_axis_angle(v, ar)),
    "Quat set k": setter(q, "k", 0.5),
    "Quat.rotate wrong type": raises(TypeError, q.rotate, ar),
    "Quat.from_axis_angle wrong type": raises(TypeError, Quat.from_axis_angle, v, ad),
    # Geometry
    "Plane": lambda: (Plane(v, 1.0), Plane.xy(), Plane.from_point(v, w),
                      Plane.from_points(v, w, Vec3d.k()), plane.distance_to_point(v),
                      plane.contains_point(v), plane.normal, plane.distance),
    "Plane set normal": setter(plane, "normal", Vec3d(0.0, 0.0, 1.0)),
    "Plane wrong type": raises(TypeError, Plane, 1.0, 1.0),
    "Circle": lambda: (Circle(v, 1.0, w), Circle.none(), circle.center, circle.radius,
                       circle.normal, circle.area, circle.get_plane(), circle.in_same_plane(circle2),
                       circle.is_degenerate(), circle == circle2, circle != circle2),
    "Circle set center": setter(circle, "center", Vec3d(0.0, 0.0, 1.0)),
    "geometry functions": lambda: (geometry.plane_line(plane, v, w),
                                   geometry.circle_point(circle, v, True),
                                   geometry.circle_point_unchecked(circle, v, False),
                                   geometry.circle_circle(circle, circle2)),
    "circle_point int for bool": raises(TypeError, geometry.circle_point, circle, v, 1),
    "plane_line missing arguments": raises(TypeError, geometry.plane_line, plane),
}

# Cases that run on the worker pool: fewer calls (each is a pool round trip).
POOL_CASES = {
    "VecList()": lambda: VecList([v, w, v]),
    "VecList(sequence without length)": lambda: VecList(LyingSequence([v, w])),
    "VecList element-wise": lambda: (small.dot(v), small.cross(v), small.magnitude(),
                                     small.normalize(), small.is_unit(), small.distance_to(v),
                                     small.distance_squared(v), small.to_array(), small.collapse(1),
                                     small.minimum_distance_to(v, 2)),
    "VecList operators": lambda: (small + v, small - v, small * 2.0, 2.0 * small, small / 2.0,
                                  repr(small)),
    "VecList.rotate": lambda: small.rotate(Quat.identity()),
    "VecList.minimum_distance_to empty (internal failure)":
        raises(PanicException, VecList.empty().minimum_distance_to, v, 1),
    "VecList.minimum_distance_to stride 0 (internal failure)":
        raises(PanicException, small.minimum_distance_to, v, 0),
    "VecList.dot wrong type": raises(TypeError, small.dot, 1.0),
}


def measure(fn, n):
    for _ in itertools.repeat(None, 200):
        fn()  # warm caches, free lists and the pool
    trim()
    gc.collect()
    blocks0, rss0 = sys.getallocatedblocks(), rss()
    for _ in itertools.repeat(None, n):
        fn()
    trim()
    gc.collect()
    return sys.getallocatedblocks() - blocks0, rss() - rss0


@pytest.fixture
def quiet_stderr():
    """Internal failures write a diagnostic line each; keep them out of the log."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def check_flat(name, fn, n):
    blocks, grown = measure(fn, n)
    # One leaked object per call would be n blocks and at least 16n bytes.
    assert blocks < n // 20, f"{name}: {blocks} blocks more after {n} calls"
    if not SANITIZED:
        assert grown < max(4 * n, 1 << 20), f"{name}: resident memory grew by {grown} bytes"


@pytest.mark.parametrize("name", list(CASES))
def test_member_does_not_leak(name, quiet_stderr):
    check_flat(name, CASES[name], CALLS)


@pytest.mark.parametrize("name", list(POOL_CASES))
def test_pool_member_does_not_leak(name, quiet_stderr):
    check_flat(name, POOL_CASES[name], POOL_CALLS)


@pytest.mark.skipif(not COUNTS_BLOCKS, reason="the interpreter's allocator is bypassed")
def test_the_bound_catches_a_leak():
    """The measurement sees a leak of one object per call."""
    kept = []
    blocks, _ = measure(lambda: kept.append(Vec3d(1.0, 2.0, 3.0)), 20000)
    assert blocks >= 20000


@pytest.mark.skipif(SANITIZED, reason="freed memory is held by the checking allocator")
def test_large_lists_are_freed():
    """Arrays of the worker pool's size class (huge-page path included) are
    returned when their lists die."""
    big = VecList([v] * 100_000)
    for _ in range(3):
        big.normalize()  # warm up the allocator
    rss0 = rss()
    for _ in range(40):
        r = big.normalize()
        del r
        r = big * 2.0
        del r
    assert rss() - rss0 < 16 << 20


VALGRIND_SCRIPT = r"""
import tarsk_py
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
g = tarsk_py.geometry
v = Vec3d(1.0, 2.0, 3.0)
vl = VecList([v, v, v])
next(iter(vl))
for _ in range(3):
    vl.normalize(); vl * 2.0; repr(vl); vl.minimum_distance_to(v, 1)
    Quat.identity().rotate(v); AngleRadians.pi().sin(); AngleDegrees(1.0).to_radians()
    g.circle_circle(g.Circle(v, 1.0, v), g.Circle.none()); g.Plane.xy().distance_to_point(v)
    try:
        vl.collapse(3)
    except BaseException:
        pass
"""


@pytest.mark.skipif(SANITIZED or shutil.which("valgrind") is None,
                    reason="needs valgrind, and no other checking runtime")
def test_no_definite_leak_from_the_module_under_valgrind(tmp_path):
    """The tables that type creation hands to the interpreter stay reachable
    for the life of the process; memcheck finds no definite leak whose stack
    passes through the module (a short run: import, every class, the pool)."""
    log = tmp_path / "memcheck.log"
    env = dict(os.environ, PYTHONMALLOC="malloc", RAYON_NUM_THREADS="2")
    out = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite",
         "--num-callers=30", f"--log-file={log}", sys.executable, "-c", VALGRIND_SCRIPT],
        env=env, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    text = log.read_text(errors="replace")
    blocks = [b for b in re.split(r"\n==\d+== \n", text) if "definitely lost in loss record" in b]
    ours = [b for b in blocks if "tarsk" in b]
    assert not ours, "\n\n".join(ours)
    assert "LEAK SUMMARY" in text or "All heap blocks were freed" in text
