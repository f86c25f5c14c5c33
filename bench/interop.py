"""tarsk_interop side by side with numpy and scipy in one process: arrays in
and out, the array kernels, the whole path from an array through a rotation
back to an array, and pickling.

Every statement is timed with the best of several repeats. The table shows
the time of each side and the ratio tarsk time / peer time: below 1.0 means
tarsk is faster. For the kernels the peer is the fastest of several numpy
formulas for the same values (its name is shown). `--check` compares every
ratio with its target afterwards and exits with status 1 when one is missed.

    python bench/interop.py [--repeat 5] [--quick] [--check]
"""
import argparse
import os
import pickle
import sys
import time

import numpy as np

from timing import best_time

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d, VecList

try:
    from scipy.spatial.transform import Rotation
except ImportError:  # the scipy rows are skipped without it
    Rotation = None


def fastest(candidates, repeat):
    """(name, seconds) of the fastest candidate formula."""
    timed = [(name, best_time(fn, repeat)) for name, fn in candidates]
    return min(timed, key=lambda item: item[1])


class Table:
    def __init__(self):
        self.rows = []  # (operation, n, tarsk s, peer name, peer s, target ratio or None)

    def add(self, operation, n, tarsk, peer_name, peer, target=None):
        self.rows.append((operation, n, tarsk, peer_name, peer, target))
        ratio = tarsk / peer
        print(f"{operation:36s} {n:>11,} {fmt(tarsk):>11s}  {peer_name:38s} {fmt(peer):>11s} {ratio:8.3f}",
              flush=True)

    def check(self):
        """Every target against its ratio; True when all are met."""
        print()
        print(f"{'targets (ratio = tarsk / peer)':48s} {'ratio':>8s} {'target':>8s}")
        ok = True
        for operation, n, tarsk, peer_name, peer, target in self.rows:
            if target is None:
                continue
            ratio = tarsk / peer
            met = ratio <= target
            ok &= met
            print(f"{operation + ' n=' + format(n, ','):48s} {ratio:8.3f} {'<= ' + format(target, 'g'):>8s}"
                  f"  {'met' if met else 'MISSED'}")
        return ok


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e3:.3f} ms"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="skip n = 10,000,000 and the path through Vec3d objects")
    parser.add_argument("--check", action="store_true", help="compare the ratios with the targets afterwards")
    args = parser.parse_args()
    repeat = args.repeat
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, load {os.getloadavg()[0]:.2f}, "
          f"cpus {len(os.sched_getaffinity(0))}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '')}")
    print(f"{'operation':36s} {'n':>11s} {'tarsk':>11s}  {'peer':38s} {'peer time':>11s} "
          f"{'ratio (tarsk/peer, <1 = tarsk faster)'}")
    table = Table()
    rng = np.random.default_rng(1)

    # -- arrays in and out
    for n in (1_000_000,) if args.quick else (1_000_000, 10_000_000):
        a = rng.uniform(-100.0, 100.0, size=(n, 3))
        lst = ti.to_veclist(a)
        copy = best_time(a.copy, repeat)
        table.add("to_numpy(VecList)", n, best_time(lambda: ti.to_numpy(lst), repeat), "a.copy()", copy, 1.5)
        table.add("to_veclist(a)", n, best_time(lambda: ti.to_veclist(a), repeat), "a.copy()", copy, 1.5)
        del lst, a
    for n in (10, 1_000_000):
        lst = ti.to_veclist(rng.uniform(size=(n, 3)))
        # Target in absolute time: 2 us whatever n (the peer column is 1 us).
        table.add("as_numpy(VecList) vs 1 us", n, best_time(lambda: ti.as_numpy(lst), repeat), "(1 us)", 1e-6, 2.0)

    # -- kernels at 1M against numpy's fastest formula
    n = 1_000_000
    a = rng.uniform(-100.0, 100.0, size=(n, 3))
    v = np.array([0.3, -1.2, 2.5])
    vt = Vec3d(0.3, -1.2, 2.5)
    s = 1.7
    x, y, z = a[:, 0], a[:, 1], a[:, 2]

    def np_cross_columns():
        out = np.empty_like(a)
        np.subtract(y * v[2], z * v[1], out=out[:, 0])
        np.subtract(z * v[0], x * v[2], out=out[:, 1])
        np.subtract(x * v[1], y * v[0], out=out[:, 2])
        return out

    def np_collapse():
        out = a.copy()
        out[:, 1] = 0.0
        return out

    def np_distance_einsum():
        d = a - v
        return np.sqrt(np.einsum("ij,ij->i", d, d))

    kernels = [
        ("normalize", lambda: ti.normalize(a), 0.25, [
            ("a / norm(a, axis=1)[:, None]", lambda: a / np.linalg.norm(a, axis=1)[:, None]),
            ("a / sqrt(einsum(a, a))[:, None]", lambda: a / np.sqrt(np.einsum("ij,ij->i", a, a))[:, None]),
        ]),
        ("cross", lambda: ti.cross(a, vt), 0.25, [
            ("np.cross(a, v)", lambda: np.cross(a, v)),
            ("column formula", np_cross_columns),
        ]),
        ("dot", lambda: ti.dot(a, vt), 0.5, [
            ("a @ v", lambda: a @ v),
            ("einsum('ij,j->i', a, v)", lambda: np.einsum("ij,j->i", a, v)),
            ("x*v0 + y*v1 + z*v2", lambda: x * v[0] + y * v[1] + z * v[2]),
        ]),
        ("magnitude", lambda: ti.magnitude(a), 0.5, [
            ("norm(a, axis=1)", lambda: np.linalg.norm(a, axis=1)),
            ("sqrt(einsum(a, a))", lambda: np.sqrt(np.einsum("ij,ij->i", a, a))),
        ]),
        ("distance_to", lambda: ti.distance_to(a, vt), 0.5, [
            ("norm(a - v, axis=1)", lambda: np.linalg.norm(a - v, axis=1)),
            ("sqrt(einsum(d, d))", np_distance_einsum),
        ]),
        ("add", lambda: ti.add(a, vt), 1.0, [("a + v", lambda: a + v)]),
        ("multiply", lambda: ti.multiply(a, s), 1.0, [("a * s", lambda: a * s)]),
        ("divide", lambda: ti.divide(a, s), 1.0, [("a / s", lambda: a / s)]),
        # Without a target: shown for completeness.
        ("subtract", lambda: ti.subtract(a, vt), None, [("a - v", lambda: a - v)]),
        ("distance_squared", lambda: ti.distance_squared(a, vt), None, [
            ("einsum(d, d)", lambda: np.einsum("ij,ij->i", a - v, a - v))]),
        ("is_unit", lambda: ti.is_unit(a), None, [
            ("abs(norm - 1) < eps", lambda: np.abs(np.linalg.norm(a, axis=1) - 1.0) < 2.0 ** -52)]),
        ("collapse(a, 1)", lambda: ti.collapse(a, 1), None, [("copy, column 1 = 0", np_collapse)]),
    ]
    for name, fn, target, candidates in kernels:
        peer_name, peer = fastest(candidates, repeat)
        table.add(name, n, best_time(fn, repeat), "numpy " + peer_name, peer, target)

    q = Quat(0.9, 0.1, -0.3, 0.2).normalize()
    if Rotation is not None:
        rotation = Rotation.from_quat([q.i, q.j, q.k, q.w])  # scipy's order is (x, y, z, w)
        apply = best_time(lambda: rotation.apply(a), repeat)
        table.add("rotate", n, best_time(lambda: ti.rotate(a, q), repeat), "scipy Rotation.apply", apply, 0.5)

        # The whole user path: 1M points from an array, rotated, back to an
        # array; in one call, and through a VecList that keeps the points.
        def through_list():
            lst = ti.to_veclist(a)
            lst.rotate(q)
            return ti.to_numpy(lst)

        one_call = best_time(lambda: ti.rotate(a, q), repeat)
        via_list = best_time(through_list, repeat)
        table.add("path: ti.rotate(a, q)", n, one_call, "scipy Rotation.apply", apply, 0.5)
        table.add("path: to_veclist, rotate, to_numpy", n, via_list, "scipy Rotation.apply", apply, 0.5)
        if not args.quick:
            def through_objects():
                lst = VecList([Vec3d(*row) for row in a.tolist()])
                lst.rotate(q)
                return np.array(lst.to_array())

            old = best_time(through_objects, 2, min_total=0.0)
            table.add("path: ti.rotate(a, q)", n, one_call, "path through Vec3d objects", old, 0.01)
            table.add("path: to_veclist, rotate, to_numpy", n, via_list, "path through Vec3d objects", old, 0.01)

    # -- pickling a 1M-point list, protocol 5 with out-of-band buffers
    lst = ti.to_veclist(a)

    def dumps(obj):
        buffers = []
        return pickle.dumps(obj, protocol=5, buffer_callback=buffers.append), buffers

    table.add("pickle VecList (protocol 5, buffers)", n, best_time(lambda: dumps(lst), repeat),
              "pickle ndarray (protocol 5, buffers)", best_time(lambda: dumps(a), repeat), 2.0)
    stream, buffers = dumps(lst)
    array_stream, array_buffers = dumps(a)
    table.add("unpickle VecList (protocol 5)", n, best_time(lambda: pickle.loads(stream, buffers=buffers), repeat),
              "unpickle ndarray (protocol 5)",
              best_time(lambda: pickle.loads(array_stream, buffers=array_buffers), repeat))
    del buffers

    print(f"load at the end: {os.getloadavg()[0]:.2f}")
    if args.check and not table.check():
        sys.exit(1)


if __name__ == "__main__":
    main()
