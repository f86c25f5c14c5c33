"""Shared objects under truly concurrent calls.

On a free-threaded interpreter the modules run without the GIL, so calls on
one object from several threads overlap for real: every call must hold its
borrow, a reader must see a list wholly before or wholly after a change, and
a change that the GIL would have serialised must wait rather than fail. On
the GIL build the same tests check that nothing of this depends on how the
interpreter switches threads.

TARSK_THREAD_SECONDS sets the time each race runs (default 2.5).
"""
import array
import hashlib
import os
import random
import struct
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

from tarsk_py import Quat, Vec3d, VecList

import concurrency
from concurrency import vec_bits

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SECONDS = float(os.environ.get("TARSK_THREAD_SECONDS", "2.5"))
WATCHDOG = 240.0  # seconds before a hung test is dumped and the process ends


@pytest.fixture(autouse=True)
def watchdog():
    with concurrency.watchdog(WATCHDOG):
        yield


def run_threads(targets):
    concurrency.run_threads(targets, WATCHDOG)



def float_digest(values):
    return hashlib.sha256(array.array("d", values).tobytes()).digest()


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL build has no GIL to keep off")
def test_importing_keeps_the_gil_off():
    # The interpreter warns (an error here) and turns the GIL on for a module
    # that does not declare that it runs without it.
    code = ("import sys, tarsk_py, tarsk_interop, tarsk_interop._native; "
            "assert not sys._is_gil_enabled(), 'the GIL was enabled'")
    result = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", code],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("n", [2_000, 20_000, 300_000])
def test_readers_see_whole_states_while_a_writer_rotates(n):
    """One thread rotates a shared list in place, three read it. Every read
    must be the read of one state the list had: the start or the result of
    some number of rotations, each computed beforehand on one thread."""
    rng = random.Random(n)
    start = [Vec3d(rng.uniform(-9, 9), rng.uniform(-9, 9), rng.uniform(-9, 9)) for _ in range(n)]
    q = Quat(0.9, 0.1, -0.3, 0.2).normalize()
    o = Vec3d(0.25, -1.5, 3.0)
    rotations = 60 if n < 100_000 else 12

    # Every state's reads, from one thread.
    model = VecList(start)
    dots, magnitudes = {}, {}
    for k in range(rotations + 1):
        dots[float_digest(model.dot(o))] = k
        magnitudes[float_digest(model.magnitude())] = k
        if k < rotations:
            model.rotate(q)
    assert len(dots) == rotations + 1  # states tell apart

    shared = VecList(start)
    done = threading.Event()
    wrong, reads = [0], [0]
    lock = threading.Lock()
    deadline = time.monotonic() + SECONDS

    def writer():
        try:
            for _ in range(rotations):
                shared.rotate(q)
                if time.monotonic() > deadline:
                    break
                time.sleep(0)
        finally:
            done.set()

    def reader(r):
        def read():
            local_wrong = local_reads = 0
            last = 0
            while not done.is_set() or local_reads == 0:
                if (local_reads + r) % 2:
                    k = dots.get(float_digest(shared.dot(o)))
                else:
                    k = magnitudes.get(float_digest(shared.magnitude()))
                local_reads += 1
                if k is None or k < last:  # a state never had, or time ran backwards
                    local_wrong += 1
                else:
                    last = k
                n_now = len(shared)
                if n_now != n:
                    local_wrong += 1
            with lock:
                wrong[0] += local_wrong
                reads[0] += local_reads
        return read

    run_threads([writer, reader(0), reader(1), reader(2)])
    assert reads[0] >= 3
    assert wrong[0] == 0, f"{wrong[0]} of {reads[0]} reads saw a state the list never had"
    # The list ends in the state of as many rotations as the writer made.
    assert dots.get(float_digest(shared.dot(o))) is not None


def test_concurrent_appends_are_serialised():
    """Four threads append to one list: none is refused (the GIL build never
    refuses them either), every element lands once, and each thread's
    elements keep its order."""
    shared = VecList.empty()
    per_thread = 20_000 if FREE_THREADED else 5_000

    def appender(w):
        def run():
            for i in range(per_thread):
                if i % 50 == 0:
                    shared.extend(VecList([Vec3d(float(w), float(i), -1.0)]))
                else:
                    shared.append(Vec3d(float(w), float(i), 1.0))
        return run

    run_threads([appender(w) for w in range(4)])
    final = list(shared)
    assert len(final) == 4 * per_thread
    for w in range(4):
        assert [int(e.y) for e in final if e.x == float(w)] == list(range(per_thread))


def test_one_iterator_shared_by_threads_yields_each_element_once():
    items = [Vec3d(float(i), 0.5, -float(i)) for i in range(40_000)]
    it = iter(VecList(items))
    seen = [[] for _ in range(4)]

    def consumer(w):
        def run():
            for e in it:
                seen[w].append(e.x)
        return run

    run_threads([consumer(w) for w in range(4)])
    got = sorted(x for s in seen for x in s)
    assert got == [float(i) for i in range(40_000)]
    for s in seen:  # each thread met the elements in list order
        assert s == sorted(s)


def test_vec3d_setters_race_with_readers():
    """One thread sets a shared vector's coordinates one at a time, x, then y,
    then z, always to larger values; readers copy it in one call and must
    see a state it had: x >= y >= z >= x - 1."""
    v = Vec3d(0.0, 0.0, 0.0)
    done = threading.Event()
    bad = []

    def writer():
        try:
            for i in range(1, 30_000):
                v.x = float(i)
                v.y = float(i)
                v.z = float(i)
        finally:
            done.set()

    def reader():
        while not done.is_set():
            c = v * 1.0
            if not (c.x >= c.y >= c.z >= c.x - 1.0):
                bad.append(vec_bits(c))

    run_threads([writer, reader, reader])
    assert not bad, bad[:5]
    assert vec_bits(v) == struct.pack("<3d", 29_999.0, 29_999.0, 29_999.0)


# ---------------------------------------------------------------------------
# Four threads, every operation, against a replay on one thread

def _values(rng, n):
    pool = [0.0, -0.0, 1.0, -1.5, 1e-310, 3.25, 1e300, float("inf"), float("nan"), 0.1]
    return [Vec3d(rng.choice(pool) if rng.random() < 0.2 else rng.uniform(-10, 10),
                  rng.uniform(-1e3, 1e3), rng.gauss(0.0, 1.0)) for _ in range(n)]


def _bits(x):
    return struct.pack("<d", x)


def _list_bits(vl):
    return b"".join(vec_bits(e) for e in vl)


def _mixed_step(w, i, mine, shared_items, shared_vec, digest, out):
    """The i-th unit of work of thread w: every VecList and Vec3d operation
    on its own list `mine`, on the shared read-only list and vector, and an
    append of a marked element to the shared growing list (returned in
    `out`). Results go to `digest`; deterministic in (w, i) and the state
    of `mine`."""
    rng = random.Random(w * 1_000_003 + i)
    o = Vec3d(rng.uniform(-5, 5), rng.uniform(-5, 5), rng.uniform(-5, 5))
    q = Quat(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1))
    kind = i % 5
    if kind == 0:
        mine.extend(VecList(_values(rng, 7)))
        mine.append(o)
        mine.rotate(q)
        if len(mine) > 3000:
            mine = VecList(list(mine)[-200:])
    for source in (mine, shared_items):
        if kind == 1:
            digest.update(_list_bits(source.normalize()))
            digest.update(_list_bits(source.cross(shared_vec)))
            digest.update(b"".join(_bits(x) for x in source.dot(o)))
        elif kind == 2:
            digest.update(b"".join(_bits(x) for x in source.distance_to(shared_vec)))
            digest.update(b"".join(_bits(x) for x in source.distance_squared(o)))
            digest.update(b"".join(_bits(x) for x in source.magnitude()))
            digest.update(bytes(source.is_unit()))
        elif kind == 3:
            digest.update(_list_bits(source * 0.5) + _list_bits(2.0 * source) + _list_bits(source / 3.0))
            digest.update(_list_bits(source + shared_vec) + _list_bits(source - o))
            digest.update(_list_bits(source.collapse(i % 3)))
            if len(source):
                idx, d = source.minimum_distance_to(shared_vec, 1 + i % 5)
                digest.update(struct.pack("<Qd", idx, d))
                digest.update(vec_bits(source[i % len(source)]))
        elif kind == 4:
            digest.update(repr(source).encode())
            digest.update(b"".join(_bits(x) for row in source.to_array() for x in row))
            digest.update(struct.pack("<Q", len(source)) + _list_bits(source.list))
    digest.update(_bits(shared_vec.dot(o)) + vec_bits(shared_vec.cross(o)) + vec_bits(q.rotate(shared_vec)))
    out.append(Vec3d(float(w), float(i), o.z))
    return mine


def test_four_threads_mixing_operations_match_a_replay():
    rng = random.Random(7)
    shared_items = VecList(_values(rng, 2_500))
    shared_vec = Vec3d(0.5, -2.0, 4.0)
    grown = VecList.empty()
    deadline = time.monotonic() + SECONDS
    counts, digests = {}, {}

    def worker(w):
        def run():
            mine = VecList(_values(random.Random(w), 50))
            digest = hashlib.sha256()
            i = 0
            out = []
            while time.monotonic() < deadline:
                mine = _mixed_step(w, i, mine, shared_items, shared_vec, digest, out)
                grown.append(out.pop())
                i += 1
            counts[w] = i
            digests[w] = digest.hexdigest()
        return run

    run_threads([worker(w) for w in range(4)])
    assert all(counts[w] > 0 for w in range(4))
    for w in range(4):
        mine = VecList(_values(random.Random(w), 50))
        digest = hashlib.sha256()
        for i in range(counts[w]):
            mine = _mixed_step(w, i, mine, shared_items, shared_vec, digest, [])
        assert digest.hexdigest() == digests[w], f"thread {w}: results differ from one thread"
    final = list(grown)
    assert len(final) == sum(counts.values())
    for w in range(4):
        assert [e.y for e in final if e.x == float(w)] == [float(i) for i in range(counts[w])]
