"""The rotation algebra of tarsk_interop side by side with scipy's Rotation
(and PyGLM for composition and slerp of single rotations), in one process.

    python bench/rotation.py [--repeat 5] [--n 1000000] [--check]

Two tables: single rotations (nanoseconds per call; tarsk_interop given a
Quat or (4,) arrays, scipy single Rotation objects, PyGLM glm.quat) and bulk
arrays of n rotations (milliseconds per call). Every row shows

    ratio = tarsk time / peer time    (below 1 means tarsk is faster)

--check compares each ratio with its target (single calls at most 0.2 of
scipy's time, bulk calls at most 0.5) and exits with status 1 when one is
missed. Timings of a loaded machine miss targets: check on a quiet one.
"""
import argparse
import math
import sys
import warnings

import numpy as np

import tarsk_interop as ti
from tarsk_py import Quat
from scipy.spatial.transform import Rotation as R
from scipy.spatial.transform import Slerp

from timing import best_time

try:
    import glm
except ImportError:  # PyGLM is optional: its columns stay empty
    glm = None

SINGLE_TARGET = 0.2
BULK_TARGET = 0.5


def single_cases():
    p, q = ti.random(2, 5)
    qp, qq = Quat(*p.tolist()), Quat(*q.tolist())
    rp, rq = R.from_quat(ti.to_scipy_quat(p)), R.from_quat(ti.to_scipy_quat(q))
    angles = np.array([0.3, -1.1, 2.0])
    pair = R.concatenate([rp, rq])
    cases = {
        "compose (Quat)": (lambda: ti.compose(qp, qq), lambda: rp * rq),
        "compose ((4,) arrays)": (lambda: ti.compose(p, q), lambda: rp * rq),
        "inverse": (lambda: ti.inverse(q), lambda: rq.inv()),
        "to_matrix": (lambda: ti.to_matrix(q), lambda: rq.as_matrix()),
        "from_euler": (lambda: ti.from_euler("xyz", angles), lambda: R.from_euler("xyz", angles)),
        "slerp": (lambda: ti.slerp(p, q, 0.3), lambda: Slerp([0.0, 1.0], pair)(0.3)),
    }
    glm_cases = {}
    if glm is not None:
        gp = glm.quat(*(ti.to_scipy_quat(p)[[3, 0, 1, 2]]).tolist())
        gq = glm.quat(*(ti.to_scipy_quat(q)[[3, 0, 1, 2]]).tolist())
        glm_cases = {
            "compose (Quat)": lambda: gp * gq,
            "compose ((4,) arrays)": lambda: gp * gq,
            "slerp": lambda: glm.slerp(gp, gq, 0.3),
        }
    return cases, glm_cases


def bulk_cases(n):
    q = ti.random(n, 1)
    p = ti.random(n, 2)
    t = np.linspace(0.0, 1.0, n)
    rq = R.from_quat(ti.to_scipy_quat(q))
    rp = R.from_quat(ti.to_scipy_quat(p))
    m = rq.as_matrix()
    euler = rq.as_euler("xyz")
    rotvec = rq.as_rotvec()
    a = ti.to_matrix(q)[:, 0, :]
    b = a + 1e-3 * np.cos(np.arange(3 * n)).reshape(n, 3)
    # scipy slerps one pair of key rotations at many times; rows of
    # different pairs are interpolated through the rotation vector of each
    # pair's relative turn, as Slerp does inside.
    def scipy_slerp():
        delta = rp.inv() * rq
        return rp * R.from_rotvec(delta.as_rotvec() * t[:, None])
    return {
        "compose": (lambda: ti.compose(p, q), lambda: rp * rq),
        "from_euler": (lambda: ti.from_euler("xyz", euler), lambda: R.from_euler("xyz", euler)),
        "to_euler": (lambda: ti.to_euler(q, "xyz"), lambda: rq.as_euler("xyz")),
        "from_rotvec": (lambda: ti.from_rotvec(rotvec), lambda: R.from_rotvec(rotvec)),
        "to_rotvec": (lambda: ti.to_rotvec(q), lambda: rq.as_rotvec()),
        "from_matrix": (lambda: ti.from_matrix(m), lambda: R.from_matrix(m)),
        "to_matrix": (lambda: ti.to_matrix(q), lambda: rq.as_matrix()),
        "slerp": (lambda: ti.slerp(p, q, t), scipy_slerp),
        "mean": (lambda: ti.mean(q), lambda: rq.mean()),
        "align_vectors": (lambda: ti.align_vectors(a, b), lambda: R.align_vectors(a, b)),
    }


def ratio_text(r):
    return f"{r:.2f}" if r >= 0.01 else f"{r:.1e}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    missed = []

    cases, glm_cases = single_cases()
    print("Single rotations: nanoseconds per call, best of", args.repeat,
          "repeats; ratio = tarsk time / peer time")
    print(f"{'operation':<24}{'tarsk ns':>10}{'scipy ns':>11}{'ratio':>8}{'PyGLM ns':>10}{'ratio':>8}")
    for name, (ours, theirs) in cases.items():
        t_ours = best_time(ours, args.repeat) * 1e9
        t_scipy = best_time(theirs, args.repeat) * 1e9
        ratio = t_ours / t_scipy
        line = f"{name:<24}{t_ours:>10.0f}{t_scipy:>11.0f}{ratio_text(ratio):>8}"
        if name in glm_cases:
            t_glm = best_time(glm_cases[name], args.repeat) * 1e9
            line += f"{t_glm:>10.0f}{ratio_text(t_ours / t_glm):>8}"
        print(line)
        if ratio > SINGLE_TARGET:
            missed.append((name, ratio, SINGLE_TARGET))

    print()
    print(f"{args.n:,} rotations: milliseconds per call, best of", args.repeat,
          "repeats; ratio = tarsk time / scipy time")
    print(f"{'operation':<24}{'tarsk ms':>10}{'scipy ms':>11}{'ratio':>8}")
    for name, (ours, theirs) in bulk_cases(args.n).items():
        t_ours = best_time(ours, args.repeat, min_total=0.5) * 1e3
        t_scipy = best_time(theirs, args.repeat, min_total=0.5) * 1e3
        ratio = t_ours / t_scipy
        print(f"{name:<24}{t_ours:>10.1f}{t_scipy:>11.1f}{ratio_text(ratio):>8}")
        if ratio > BULK_TARGET:
            missed.append((name + " (bulk)", ratio, BULK_TARGET))

    if args.check:
        for name, ratio, target in missed:
            print(f"missed: {name}: ratio {ratio_text(ratio)} > {target}")
        sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
