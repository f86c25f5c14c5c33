"""Bulk VecList operations side by side with numpy on an (n, 3) float64 array,
in one process, with the pool's default worker count.

Every statement is timed with the best of several repeats; the table shows
milliseconds per call for both sides and the speed ratio (numpy time divided
by tarsk_py time: above 1.0 means tarsk_py is faster), next to the target.
A plot of time against n for normalize is written beside this file.

    python bench/bulk.py [--repeat 5] [--plot bench/normalize.png] [--quick]
"""
import argparse
import gc
import os
import pathlib
import sys
import time

import numpy as np

import tarsk_py
from tarsk_py import Quat, Vec3d, VecList

try:
    from scipy.spatial.transform import Rotation
except ImportError:  # the scipy column is skipped without it
    Rotation = None


def best_time(fn, repeat, min_total=0.2):
    """Best seconds per call: calls are batched so that one batch takes at
    least min_total / repeat seconds."""
    fn()  # warm up (and start the pool)
    number = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        elapsed = time.perf_counter() - t0
        if elapsed >= min_total / repeat or number >= 1 << 20:
            break
        number *= 2
    best = elapsed / number
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def make(n, seed=1):
    rng = np.random.default_rng(seed)
    a = rng.uniform(-100.0, 100.0, size=(n, 3))
    vl = VecList.empty()
    # Built through the list constructor in slices, to keep the Python list small.
    step = 1 << 20
    for lo in range(0, n, step):
        vl.extend(VecList([Vec3d(*row) for row in a[lo:lo + step].tolist()]))
    return a, vl


def heap_bytes():
    """Bytes allocated through malloc (glibc's mallinfo2: arena plus mmapped
    blocks in use), or the resident size where that is unavailable."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = MallInfo2
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd
    except (AttributeError, OSError):
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--plot", default=str(pathlib.Path(__file__).with_name("normalize.png")))
    parser.add_argument("--quick", action="store_true", help="skip n = 10,000,000 and the plot's largest sizes")
    args = parser.parse_args()
    R = args.repeat

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, load {os.getloadavg()[0]:.2f}, "
          f"cpus {len(os.sched_getaffinity(0))}, RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '')!r}")

    rows = []  # (name, tarsk seconds, numpy seconds, target ratio)

    def row(name, t_fn, n_fn, target):
        t = best_time(t_fn, R)
        n = best_time(n_fn, R)
        rows.append((name, t, n, target))
        print(f"{name:44s} {t * 1e3:10.3f} ms {n * 1e3:10.3f} ms {n / t:8.2f}x  (target >= {target}x)"
              f"{'' if n / t >= target else '   BELOW TARGET'}", flush=True)

    print(f"{'operation':44s} {'tarsk_py':>13s} {'numpy':>13s} {'ratio':>9s}")

    n = 1_000_000
    a, vl = make(n)
    o = Vec3d(0.25, -3.5, 7.0)
    on = np.array([0.25, -3.5, 7.0])
    s = 1.7
    # A unit quaternion (w, i, j, k), and its scipy (x, y, z, w) counterpart
    # for the same rotation of vectors.
    q = Quat.from_axis_angle(Vec3d(0.48, 0.64, 0.6), tarsk_py.AngleRadians(0.9))
    qw, qv = q.w, np.array([q.i, q.j, q.k])
    # tarsk's rotate applies the conjugate on the left: v' = q* v q, which is
    # the textbook rotation by the conjugate (w, -i, -j, -k).
    cw, cv = qw, -qv
    check = VecList([Vec3d(1.0, 2.0, 3.0)])
    check.rotate(q)
    t = 2.0 * np.cross(cv, [1.0, 2.0, 3.0])
    assert np.allclose([check[0].x, check[0].y, check[0].z], np.array([1.0, 2.0, 3.0]) + cw * t + np.cross(cv, t))

    def np_rotate():
        t = 2.0 * np.cross(cv, a)
        return a + cw * t + np.cross(cv, t)

    def np_normalize():
        return a / np.linalg.norm(a, axis=1)[:, None]

    def np_collapse():
        b = a.copy()
        b[:, 1] = 0.0
        return b

    def tarsk_rotate():
        vl.rotate(q)

    print(f"-- n = {n:,}")
    row("normalize", vl.normalize, np_normalize, 2)
    row("cross", lambda: vl.cross(o), lambda: np.cross(a, on), 2)
    row("+ Vec3d", lambda: vl + o, lambda: a + on, 2)
    row("* float", lambda: vl * s, lambda: a * s, 2)
    row("/ float", lambda: vl / s, lambda: a / s, 2)
    row("rotate (numpy formula)", tarsk_rotate, np_rotate, 2)
    if Rotation is not None:
        rot = Rotation.from_quat([cv[0], cv[1], cv[2], cw])
        row("rotate (scipy Rotation.apply)", tarsk_rotate, lambda: rot.apply(a), 2)
    row("collapse(1)", lambda: vl.collapse(1), np_collapse, 2)
    row("dot -> list", lambda: vl.dot(o), lambda: (a @ on).tolist(), 1)
    row("magnitude -> list", vl.magnitude, lambda: np.linalg.norm(a, axis=1).tolist(), 1)
    row("distance_to -> list", lambda: vl.distance_to(o), lambda: np.linalg.norm(a - on, axis=1).tolist(), 1)

    def np_distance_squared():
        d = a - on
        return np.einsum("ij,ij->i", d, d).tolist()

    row("distance_squared -> list", lambda: vl.distance_squared(o), np_distance_squared, 1)
    eps = np.finfo(np.float64).eps
    row("is_unit -> list", vl.is_unit, lambda: (np.abs(np.linalg.norm(a, axis=1) - 1.0) < eps).tolist(), 1)

    def np_argmin():
        d = a - on
        i = int(np.argmin(np.einsum("ij,ij->i", d, d)))
        return i

    row("minimum_distance_to(stride 1000)", lambda: vl.minimum_distance_to(o, 1000), np_argmin, 100)

    vs = [Vec3d(*r) for r in a.tolist()]
    row("VecList(list of Vec3d)", lambda: VecList(vs),
        lambda: np.array([(v.x, v.y, v.z) for v in vs]), 3)
    del vs

    # Memory: the bytes a new list of n elements adds, and Python objects.
    gc.collect()
    blocks0, heap0 = sys.getallocatedblocks(), heap_bytes()
    extra = vl.normalize()
    blocks1, heap1 = sys.getallocatedblocks(), heap_bytes()
    print(f"memory per element: {(heap1 - heap0) / n:.2f} bytes (allocated for a new list of {n:,});"
          f" Python objects added: {blocks1 - blocks0} allocator blocks")
    del extra

    print("-- n = 16")
    a16, vl16 = make(16)
    row("normalize (n = 16)", vl16.normalize, lambda: a16 / np.linalg.norm(a16, axis=1)[:, None], 1)

    if not args.quick:
        print("-- n = 10,000,000")
        del a, vl
        gc.collect()
        a7, vl7 = make(10_000_000)
        t = best_time(vl7.normalize, R, min_total=1.0)
        c = best_time(a7.copy, R, min_total=1.0)
        rows.append(("normalize vs a.copy() (n = 1e7)", t, c, 1 / 1.5))
        print(f"{'normalize vs a.copy() (n = 1e7)':44s} {t * 1e3:10.3f} ms {c * 1e3:10.3f} ms {c / t:8.2f}x"
              f"  (target: time within 1.5x of the copy, ratio >= 0.67){'' if t <= 1.5 * c else '   BELOW TARGET'}")
        del a7, vl7
        gc.collect()

    if args.plot:
        sizes = [16, 100, 1_000, 10_000, 100_000, 1_000_000] + ([] if args.quick else [10_000_000])
        ts, ns = [], []
        for size in sizes:
            ap, vp = make(size)
            ts.append(best_time(vp.normalize, R))
            ns.append(best_time(lambda: ap / np.linalg.norm(ap, axis=1)[:, None], R))
            del ap, vp
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(7, 4.5))
        ax.loglog(sizes, ts, "o-", label="VecList.normalize()")
        ax.loglog(sizes, ns, "s-", label="numpy a / norm(a, axis=1)")
        ax.set_xlabel("n (vectors)")
        ax.set_ylabel("seconds per call (best)")
        ax.set_title(f"normalize, {len(os.sched_getaffinity(0))} CPUs, default worker count")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(args.plot, dpi=110)
        print(f"plot written to {args.plot}")
        for size, t, nn in zip(sizes, ts, ns):
            print(f"  n = {size:>10,}: tarsk_py {t * 1e6:12.1f} us  numpy {nn * 1e6:12.1f} us  ratio {nn / t:6.2f}x")

    print(f"load at the end: {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
