"""The rotation algebra of tarsk_interop side by side with scipy's Rotation,
every function at n = 1, 1,000 and 1,000,000 rotations, in one process.

    python bench/rotation.py [--repeat 5] [--sizes 1,1000,1000000] [--clock wall|cpu] [--check]

Each row shows the time per call of both and

    ratio = tarsk time / scipy time    (below 1 means tarsk is faster)

n = 1 gives tarsk_interop a (4,) array (or a Quat where marked) and scipy a
single Rotation; larger n gives both arrays of n rows. The small array
kernels (add, normalize, magnitude of 16 rows) are compared with numpy's
nearest expression.

--check compares each ratio with its target and exits with status 1 when
one is missed: every function at n = 1 at most 0.2 of scipy's time;
to_euler at most 1.0 at n = 1,000 and 0.5 at n = 1,000,000; to_matrix and
to_scipy_quat at most 1.0 at n = 1,000; the kernels of 16 rows at most
numpy's time. Timings of a loaded machine miss targets: check on a quiet one.

--clock cpu times by the process's CPU time instead of the wall clock: on a
loaded machine it leaves out the time other processes take the cores, but
a call that runs on the worker pool counts the time of every core it uses
(tarsk at n = 1,000,000, and its costly functions from a few hundred rows).
"""
import argparse
import os
import sys
import time
import warnings

import numpy as np

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d
from scipy.spatial.transform import Rotation as R
from scipy.spatial.transform import Slerp

from timing import best_time

TARGETS = {("to_euler", 1000): 1.0, ("to_euler", 1_000_000): 0.5, ("to_matrix", 1000): 1.0,
           ("to_scipy_quat", 1000): 1.0}
SINGLE_TARGET = 0.2


def cases(n):
    """name -> (tarsk call, scipy call) for n rotations (n = 1: single ones)."""
    q = ti.random(max(n, 2), 1)
    p = ti.random(max(n, 2), 2)
    rq = R.from_quat(ti.to_scipy_quat(q))
    rp = R.from_quat(ti.to_scipy_quat(p))
    m = rq.as_matrix()
    euler = rq.as_euler("xyz")
    rotvec = rq.as_rotvec()
    sq = ti.to_scipy_quat(q)
    a = ti.to_matrix(q)[:, 0, :]
    b = a + 1e-3 * np.cos(np.arange(a.size)).reshape(a.shape)
    t = np.linspace(0.0, 1.0, len(q))
    if n == 1:
        q, p, m, euler, rotvec, sq, a, b = q[0], p[0], m[0], euler[0], rotvec[0], sq[0], a[:2], b[:2]
        rq, rp = rq[0], rp[0]
        key = Slerp([0.0, 1.0], R.concatenate([rp, rq]))
        qq, pq = Quat(*q.tolist()), Quat(*p.tolist())
        v = np.array([0.3, -1.2, 2.5])
        return {
            "compose (Quat)": (lambda: ti.compose(pq, qq), lambda: rp * rq),
            "compose": (lambda: ti.compose(p, q), lambda: rp * rq),
            "inverse": (lambda: ti.inverse(q), lambda: rq.inv()),
            "to_matrix": (lambda: ti.to_matrix(q), lambda: rq.as_matrix()),
            "from_matrix": (lambda: ti.from_matrix(m), lambda: R.from_matrix(m)),
            "from_scipy_quat": (lambda: ti.from_scipy_quat(sq), lambda: R.from_quat(sq)),
            "to_scipy_quat": (lambda: ti.to_scipy_quat(q), lambda: rq.as_quat()),
            "from_rotvec": (lambda: ti.from_rotvec(rotvec), lambda: R.from_rotvec(rotvec)),
            "to_rotvec": (lambda: ti.to_rotvec(q), lambda: rq.as_rotvec()),
            "magnitude_angle": (lambda: ti.magnitude_angle(q), lambda: rq.magnitude()),
            "slerp": (lambda: ti.slerp(p, q, 0.3), lambda: key(0.3)),
            "from_euler": (lambda: ti.from_euler("xyz", euler), lambda: R.from_euler("xyz", euler)),
            "to_euler": (lambda: ti.to_euler(q, "xyz"), lambda: rq.as_euler("xyz")),
            "random": (lambda: ti.random(1, 7), lambda: R.random(random_state=7)),
            "mean": (lambda: ti.mean(q), lambda: rq.mean()),
            "align_vectors (one pair)": (lambda: ti.align_vectors(a[0], b[0]), lambda: R.align_vectors(a[:1], b[:1])),
            "rotate": (lambda: ti.rotate(v, q), lambda: rq.apply(v)),
            "approx_equal": (lambda: ti.approx_equal(p, q, 1e-8), lambda: rp.approx_equal(rq, 1e-8)),
        }

    def scipy_slerp():
        # Rows of different pairs are interpolated through the rotation vector
        # of each pair's relative turn, as Slerp does inside.
        delta = rp.inv() * rq
        return rp * R.from_rotvec(delta.as_rotvec() * t[:, None])

    v = ti.to_matrix(p)[:, 1, :]
    return {
        "compose": (lambda: ti.compose(p, q), lambda: rp * rq),
        "inverse": (lambda: ti.inverse(q), lambda: rq.inv()),
        "to_matrix": (lambda: ti.to_matrix(q), lambda: rq.as_matrix()),
        "from_matrix": (lambda: ti.from_matrix(m), lambda: R.from_matrix(m)),
        "from_scipy_quat": (lambda: ti.from_scipy_quat(sq), lambda: R.from_quat(sq)),
        "to_scipy_quat": (lambda: ti.to_scipy_quat(q), lambda: rq.as_quat()),
        "from_rotvec": (lambda: ti.from_rotvec(rotvec), lambda: R.from_rotvec(rotvec)),
        "to_rotvec": (lambda: ti.to_rotvec(q), lambda: rq.as_rotvec()),
        "magnitude_angle": (lambda: ti.magnitude_angle(q), lambda: rq.magnitude()),
        "slerp": (lambda: ti.slerp(p, q, t), scipy_slerp),
        "from_euler": (lambda: ti.from_euler("xyz", euler), lambda: R.from_euler("xyz", euler)),
        "to_euler": (lambda: ti.to_euler(q, "xyz"), lambda: rq.as_euler("xyz")),
        "random": (lambda: ti.random(n, 7), lambda: R.random(n, random_state=7)),
        "mean": (lambda: ti.mean(q), lambda: rq.mean()),
        "align_vectors": (lambda: ti.align_vectors(a, b), lambda: R.align_vectors(a, b)),
        "rotate": (lambda: ti.rotate(v, q), lambda: rq.apply(v)),
        "approx_equal": (lambda: ti.approx_equal(p, q, 1e-8), lambda: rp.approx_equal(rq, 1e-8)),
    }


def small_kernels():
    a = np.random.default_rng(1).uniform(-100.0, 100.0, size=(16, 3))
    v = np.array([0.3, -1.2, 2.5])
    vt = Vec3d(0.3, -1.2, 2.5)
    return {
        "add (16 rows)": (lambda: ti.add(a, vt), "a + v", lambda: a + v),
        "normalize (16 rows)": (lambda: ti.normalize(a), "a / sqrt(einsum(a, a))[:, None]",
                                lambda: a / np.sqrt(np.einsum("ij,ij->i", a, a))[:, None]),
        "magnitude (16 rows)": (lambda: ti.magnitude(a), "sqrt(einsum(a, a))",
                                lambda: np.sqrt(np.einsum("ij,ij->i", a, a))),
    }


def unit(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:9.2f} us"
    return f"{seconds * 1e3:9.2f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--sizes", default="1,1000,1000000")
    parser.add_argument("--clock", choices=("wall", "cpu"), default="wall")
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    clock = time.perf_counter if args.clock == "wall" else time.process_time
    warnings.simplefilter("ignore")
    missed = []
    print(f"load {os.getloadavg()[0]:.2f}, cpus {len(os.sched_getaffinity(0))}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '')}; best of {args.repeat} repeats, "
          f"{args.clock} clock")
    print(f"{'operation':<28}{'n':>10}{'tarsk':>13}{'scipy':>13}{'ratio':>8}")
    for n in (int(x) for x in args.sizes.split(",")):
        for name, (ours, theirs) in cases(n).items():
            t_ours = best_time(ours, args.repeat, clock=clock)
            t_theirs = best_time(theirs, args.repeat, clock=clock)
            ratio = t_ours / t_theirs
            print(f"{name:<28}{n:>10,}{unit(t_ours):>13}{unit(t_theirs):>13}{ratio:>8.2f}")
            target = SINGLE_TARGET if n == 1 else TARGETS.get((name, n))
            if target is not None and ratio > target:
                missed.append((f"{name} at n = {n:,}", ratio, target))
    print()
    print(f"{'kernel':<28}{'tarsk':>13}  {'numpy':<34}{'numpy time':>11}{'ratio':>8}")
    for name, (ours, peer_name, peer) in small_kernels().items():
        t_ours = best_time(ours, args.repeat, clock=clock)
        t_peer = best_time(peer, args.repeat, clock=clock)
        ratio = t_ours / t_peer
        print(f"{name:<28}{unit(t_ours):>13}  {peer_name:<34}{unit(t_peer):>11}{ratio:>8.2f}")
        if ratio > 1.0:
            missed.append((name, ratio, 1.0))
    if args.check:
        for name, ratio, target in missed:
            print(f"missed: {name}: ratio {ratio:.2f} > {target}")
        sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
