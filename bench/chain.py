"""The chained path users take, side by side with its own steps and with
scipy + numpy in one process: one million points through to_veclist,
rotate, normalize and to_numpy; rotate against a plain copy of the same
bytes; a protocol-5 pickle round trip against the ndarray's; and the scalar
kernels at 1M.

Every statement is timed with the best of several repeats; the table shows
both times and the ratio (first / second, below 1.0 = first faster).
`--check` compares the ratios with their targets and exits with status 1
when one is missed.

    python bench/chain.py [--repeat 7] [--n 1000000] [--check]
"""
import argparse
import os
import pickle
import sys

import numpy as np

from timing import best_time

import tarsk_interop as ti
from tarsk_py import Quat

try:
    from scipy.spatial.transform import Rotation
except ImportError:  # the scipy rows are skipped without it
    Rotation = None


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e3:.3f} ms"


class Table:
    def __init__(self):
        self.rows = []

    def add(self, what, first, against, second, target=None):
        self.rows.append((what, first, against, second, target))
        print(f"{what:40s} {fmt(first):>11s}  {against:40s} {fmt(second):>11s} {first / second:8.3f}"
              + (f"  (<= {target:g})" if target else ""), flush=True)

    def check(self):
        missed = [(what, first / second, target) for what, first, _, second, target in self.rows
                  if target is not None and first / second > target]
        for what, ratio, target in missed:
            print(f"MISSED: {what}: {ratio:.3f} > {target:g}")
        return not missed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    repeat, n = args.repeat, args.n
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, load {os.getloadavg()[0]:.2f}, "
          f"cpus {len(os.sched_getaffinity(0))}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '')}")
    print(f"{'tarsk':40s} {'time':>11s}  {'against':40s} {'time':>11s} {'ratio':>8s}")
    table = Table()
    rng = np.random.default_rng(1)
    a = rng.uniform(-100.0, 100.0, size=(n, 3))
    q = Quat(0.9, 0.1, -0.3, 0.2).normalize()

    # -- the chain and its steps alone
    def chain():
        lst = ti.to_veclist(a)
        lst.rotate(q)
        return ti.to_numpy(lst.normalize())

    lst = ti.to_veclist(a)
    normalized = lst.normalize()
    steps = {
        "to_veclist": best_time(lambda: ti.to_veclist(a), repeat),
        "rotate": best_time(lambda: lst.rotate(q), repeat),
        "normalize": best_time(lambda: lst.normalize(), repeat),
        "to_numpy": best_time(lambda: ti.to_numpy(normalized), repeat),
    }
    print("steps alone: " + ", ".join(f"{k} {fmt(v)}" for k, v in steps.items()))
    chained = best_time(chain, repeat)
    table.add("chain (4 steps)", chained, "sum of the steps alone", sum(steps.values()), 1.3)
    if Rotation is not None:
        rotation = Rotation.from_quat([q.i, q.j, q.k, q.w])  # scipy's order is (x, y, z, w)

        def peers():
            r = rotation.apply(a)
            return r / np.linalg.norm(r, axis=1)[:, None]

        table.add("chain (4 steps)", chained, "scipy apply + numpy normalize", best_time(peers, repeat), 0.5)

    # -- rotate against a copy of the same bytes
    copy = best_time(a.copy, repeat)
    table.add("ti.rotate(a, q)", best_time(lambda: ti.rotate(a, q), repeat), "a.copy()", copy, 1.15)
    table.add("VecList.rotate(q) (in place)", steps["rotate"], "a.copy()", copy)

    # -- protocol-5 round trip, buffers handed back in one process
    def round_trip(obj):
        buffers = []
        stream = pickle.dumps(obj, protocol=5, buffer_callback=buffers.append)
        return pickle.loads(stream, buffers=buffers)

    table.add("pickle round trip VecList (protocol 5)", best_time(lambda: round_trip(lst), repeat),
              "pickle round trip ndarray (protocol 5)", best_time(lambda: round_trip(a), repeat), 1.3)

    # -- scalar kernels
    v = np.array([0.3, -1.2, 2.5])
    scalar = [
        ("dot", lambda: ti.dot(a, v), "a @ v", lambda: a @ v),
        ("magnitude", lambda: ti.magnitude(a), "sqrt(einsum(a, a))", lambda: np.sqrt(np.einsum("ij,ij->i", a, a))),
        ("is_unit", lambda: ti.is_unit(a), "abs(norm - 1) < eps",
         lambda: np.abs(np.linalg.norm(a, axis=1) - 1.0) < 2.0 ** -52),
        ("distance_to", lambda: ti.distance_to(a, v), "norm(a - v, axis=1)", lambda: np.linalg.norm(a - v, axis=1)),
        ("distance_squared", lambda: ti.distance_squared(a, v), "einsum(d, d)",
         lambda: np.einsum("ij,ij->i", a - v, a - v)),
    ]
    for name, fn, peer_name, peer in scalar:
        table.add(f"ti.{name}(a)", best_time(fn, repeat), "numpy " + peer_name, best_time(peer, repeat))

    print(f"load at the end: {os.getloadavg()[0]:.2f}")
    if args.check and not table.check():
        sys.exit(1)


if __name__ == "__main__":
    main()
