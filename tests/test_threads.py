"""Thread stress: eight Python threads mixing VecList bulk operations,
append/extend, iteration and Vec3d work for a bounded time. No deadlock
(every test runs under a watchdog that dumps all stacks and ends the process),
and every result is bit for bit what the same work gives on one thread.

TARSK_THREAD_SECONDS sets the time each stress test runs (default 2.5).
"""
import hashlib
import os
import random
import struct
import sysconfig
import threading
import time

import pytest

from tarsk_py import AngleRadians, Quat, Vec3d, VecList

import concurrency
from concurrency import vec_bits

THREADS = 8
SECONDS = float(os.environ.get("TARSK_THREAD_SECONDS", "2.5"))
WATCHDOG = 120.0  # seconds before a hung test is dumped and the process ends


@pytest.fixture(autouse=True)
def watchdog():
    with concurrency.watchdog(WATCHDOG):
        yield


def bits(x):
    return struct.pack("<d", x)



def list_bits(vl):
    return b"".join(vec_bits(e) for e in vl)


def values(rng, n):
    pool = [0.0, -0.0, 1.0, -1.5, 1e-310, 3.25, 1e300, float("inf"), float("nan"), 0.1, 7.0]
    return [Vec3d(rng.choice(pool) if rng.random() < 0.2 else rng.uniform(-10, 10),
                  rng.uniform(-1e3, 1e3), rng.gauss(0.0, 1.0)) for _ in range(n)]


def step(worker, i, digest):
    """The i-th unit of work of a worker, on its own objects: every result is
    fed to `digest`. Deterministic in (worker, i)."""
    rng = random.Random(worker * 1_000_003 + i)
    kind = i % 6
    items = values(rng, rng.choice([0, 1, 2, 3, 17, 200, 2500]))
    vl = VecList(items)
    o = Vec3d(rng.uniform(-5, 5), rng.uniform(-5, 5), rng.uniform(-5, 5))
    q = Quat(rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1))
    if kind == 0:  # bulk operations
        digest.update(list_bits(vl.normalize()))
        digest.update(list_bits(vl.cross(o)))
        digest.update(b"".join(bits(x) for x in vl.dot(o)))
        digest.update(b"".join(bits(x) for x in vl.distance_to(o)))
        digest.update(bytes(vl.is_unit()))
        digest.update(list_bits(vl * 0.5))
        digest.update(list_bits(vl / 3.0))
        digest.update(list_bits(vl - o))
        digest.update(repr(vl).encode())
        if len(vl):
            idx, d = vl.minimum_distance_to(o, 1 + i % 7)
            digest.update(struct.pack("<Qd", idx, d))
    elif kind == 1:  # append and extend, then bulk work on the grown list
        for e in values(rng, 5):
            vl.append(e)
        vl.extend(VecList(values(rng, 9)))
        vl.extend(vl.normalize())
        digest.update(list_bits(vl))
        digest.update(b"".join(bits(x) for x in vl.magnitude()))
    elif kind == 2:  # rotation in place
        vl.rotate(q)
        vl.rotate(q.normalize())
        digest.update(list_bits(vl))
        digest.update(list_bits(vl.collapse(i % 3)))
    elif kind == 3:  # iteration, interleaved with appends to the same list
        it = iter(vl)
        vl.append(o)
        total = Vec3d(0.0, 0.0, 0.0)
        for e in it:
            total = total + e
        digest.update(vec_bits(total))
        digest.update(struct.pack("<Q", len(vl)))
        digest.update(b"".join(bits(x) for row in vl.to_array() for x in row))
    elif kind == 4:  # Vec3d work
        acc = o
        for e in items[:300]:
            acc = (acc.cross(e) + e.normalize() * 0.25 - e / 7.0)
            digest.update(bits(acc.dot(e)))
            digest.update(bits(e.angle_to(o).angle))
            digest.update(vec_bits(q.rotate(e)))
            digest.update(struct.pack("<q", hash(e)))
        digest.update(vec_bits(acc))
    else:  # angles and quaternions
        a = AngleRadians(rng.uniform(-7, 7))
        digest.update(bits((a * 3.0).sin()) + bits(a.cos()) + bits(a.to_degrees().angle))
        axis, ang = q.to_axis_angle()
        digest.update(vec_bits(axis) + bits(ang.angle))
        digest.update(b"".join(bits(x) for row in q.to_rotation_matrix() for x in row))


def run_worker(worker, deadline, done, errors):
    digest = hashlib.sha256()
    i = 0
    try:
        while time.monotonic() < deadline:
            step(worker, i, digest)
            i += 1
    except BaseException as e:  # noqa: BLE001 - reported by the test
        errors.append((worker, i, e))
    done[worker] = (i, digest.hexdigest())


def run_threads(target):
    """Runs target(w) on THREADS threads at once; every thread must end
    within the watchdog time."""
    threads = [threading.Thread(target=target, args=(w,), daemon=True) for w in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=WATCHDOG)
        assert not t.is_alive(), "a worker thread hangs"


def test_eight_threads_match_one_thread():
    deadline = time.monotonic() + SECONDS
    done, errors = {}, []
    run_threads(lambda w: run_worker(w, deadline, done, errors))
    assert not errors, errors
    assert sum(n for n, _ in done.values()) >= THREADS  # every thread did some work
    # The same work, one worker after the other on this thread.
    for worker in range(THREADS):
        n, expected = done[worker]
        digest = hashlib.sha256()
        for i in range(n):
            step(worker, i, digest)
        assert digest.hexdigest() == expected, f"worker {worker}: results differ from one thread"


class SlowFloat:
    """A float whose conversion gives other threads a chance to run while the
    call that converts it holds its receiver."""

    def __float__(self):
        time.sleep(0)
        return 2.0


def test_shared_list_under_contention():
    """Threads append to, extend, iterate and compute over one shared list.
    Appends only ever add at the end, so every snapshot an iterator or a bulk
    operation sees is a prefix of the final list, and its results are exactly
    those of that prefix. A conversion that lets another thread run while it
    holds the list makes a concurrent append fail with a borrow error, which
    is retried; without the GIL the append waits for that call instead."""
    shared = VecList.empty()
    deadline = time.monotonic() + SECONDS
    errors, snapshots, borrow_errors = [], [], [0]
    appended = {w: [] for w in range(THREADS)}
    lock = threading.Lock()

    def worker(w):
        rng = random.Random(w)
        try:
            while time.monotonic() < deadline:
                r = rng.random()
                if r < 0.4:
                    e = Vec3d(float(w), rng.uniform(-1, 1), float(len(appended[w])))
                    while True:
                        try:
                            if rng.random() < 0.5:
                                shared.append(e)
                            else:
                                shared.extend(VecList([e]))
                            break
                        except RuntimeError as exc:
                            assert str(exc) == "Already borrowed", exc
                            with lock:
                                borrow_errors[0] += 1
                            time.sleep(0)
                    appended[w].append(e)
                elif r < 0.6:
                    snap = [vec_bits(e) for e in shared]
                    with lock:
                        snapshots.append(("iter", snap, None))
                elif r < 0.8:
                    n = len(shared)
                    res = shared.normalize()
                    with lock:
                        snapshots.append(("normalize", list_bits(res), len(res)))
                    assert len(res) >= n
                else:
                    res = shared * SlowFloat()  # holds the list while the float converts
                    with lock:
                        snapshots.append(("scale", list_bits(res), len(res)))
        except BaseException as exc:  # noqa: BLE001
            errors.append((w, exc))

    run_threads(worker)
    assert not errors, errors

    final = list(shared)
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        assert borrow_errors[0] == 0  # every append waited for the call holding the list
    else:
        assert borrow_errors[0] > 0 or len(final) < 10  # the conflict was reached
    # Every append landed once, and each thread's appends kept their order.
    assert len(final) == sum(len(a) for a in appended.values())
    for w in range(THREADS):
        mine = [vec_bits(e) for e in final if e.x == float(w)]
        assert mine == [vec_bits(e) for e in appended[w]]
    final_bits = [vec_bits(e) for e in final]
    for kind, snap, n in snapshots:
        if kind == "iter":
            assert snap == final_bits[:len(snap)]
        elif kind == "normalize":
            assert snap == b"".join(vec_bits(e.normalize()) for e in final[:n])
        else:
            assert snap == b"".join(vec_bits(e * 2.0) for e in final[:n])
