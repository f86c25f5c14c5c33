"""Bulk VecList operations side by side with numpy on an (n, 3) float64 array,
in one process, with the pool's default worker count.

Every ratio is tarsk_py time / numpy time: below 1 means tarsk_py is faster.

Two states of the worker pool are measured, and every figure says which:
- warm: calls back to back, so the workers are still awake from the previous
  call; the best per-call time of several batches.
- after idle: before each call the caller busy-waits a few milliseconds (no
  sleep, so only the workers go to sleep), as in a program that does some
  Python work between bulk calls; the median of single calls. numpy is timed
  the same way, interleaved with tarsk_py.

Sections: the operations on n = 1,000,000 (warm); the sweep of n from 1 to
10,000,000 for normalize, + and dot (warm and after idle); normalize on
n = 10,000,000 against a plain copy of the array. The sweep is plotted to
bench/results/bulk.png and all figures are saved to bench/results/bulk.json
(git-ignored); --update-docs also writes the plot shown in the benchmarks guide
(docs/bulk.png). --check compares the figures with the project's performance
targets; --check-file does that for a saved JSON file without measuring.

    python bench/bulk.py [--quick] [--repeat 5] [--idle-ms 3] [--update-docs] [--markdown] [--check]
    python bench/bulk.py --check-file bench/results/bulk.json
"""
import argparse
import gc
import json
import math
import os
import pathlib
import statistics
import sys
import time

import numpy as np

from timing import best_time

import tarsk_py
from tarsk_py import Quat, Vec3d, VecList

try:
    from scipy.spatial.transform import Rotation
except ImportError:  # the scipy row is skipped without it
    Rotation = None

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"
DOCS_PLOT = HERE.parent / "docs" / "bulk.png"

RATIO_NOTE = "ratio = tarsk_py time / numpy time, below 1 means tarsk_py is faster"


# ---------------------------------------------------------------------------
# Timing

def busy_wait(seconds):
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


def idle_times(fns, idle, samples):
    """Median seconds of single calls of each fn, each call preceded by a
    busy wait of `idle` seconds; the fns take turns, so that they share the
    machine's conditions."""
    times = [[] for _ in fns]
    for fn in fns:
        fn()
    for _ in range(samples):
        for k, fn in enumerate(fns):
            busy_wait(idle)
            t0 = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - t0)
    return [statistics.median(t) for t in times]


# ---------------------------------------------------------------------------
# Data

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


def np_strided_nearest(a, o, stride):
    """minimum_distance_to's two-level search written in numpy: the nearest of
    every stride-th element, then the nearest within stride positions of it
    (the same keys, ((dx*dx + dy*dy) + dz*dz), and the earliest of equals)."""
    n = len(a)
    d = a[::stride] - o
    keys = (d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]) + d[:, 2] * d[:, 2]
    p = int(np.argmin(keys)) * stride
    start = p - stride if p >= stride else 0
    end = min(p + stride, n)
    w = a[start:end] - o
    k = (w[:, 0] * w[:, 0] + w[:, 1] * w[:, 1]) + w[:, 2] * w[:, 2]
    q = int(np.argmin(k))
    return start + q, math.sqrt(k[q])


# ---------------------------------------------------------------------------
# Sections

def table_1m(R, results):
    n = 1_000_000
    print(f"\n== n = {n:,}, pool warm (calls back to back); times per call ({RATIO_NOTE})")
    print(f"{'operation':40s} {'tarsk_py':>11s} {'numpy':>11s} {'ratio':>7s}  numpy expression")
    rows = results["n_1e6"] = []

    def row(name, t_fn, n_fn, peer):
        t = best_time(t_fn, R)
        p = best_time(n_fn, R)
        rows.append({"operation": name, "tarsk_s": t, "numpy_s": p, "ratio": t / p, "peer": peer})
        print(f"{name:40s} {t * 1e3:8.3f} ms {p * 1e3:8.3f} ms {t / p:7.3f}  {peer}", flush=True)

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

    def np_collapse():
        b = a.copy()
        b[:, 1] = 0.0
        return b

    vr = vl * 1.0  # rotated in place again and again: a copy, so that vl stays equal to a

    def tarsk_rotate():
        vr.rotate(q)

    def np_distance_squared():
        d = a - on
        return np.einsum("ij,ij->i", d, d).tolist()

    row("normalize()", vl.normalize, lambda: a / np.sqrt((a * a).sum(axis=1))[:, None],
        "a / np.sqrt((a*a).sum(axis=1))[:, None]")
    row("cross(v)", lambda: vl.cross(o), lambda: np.cross(a, on), "np.cross(a, v)")
    row("+ v", lambda: vl + o, lambda: a + on, "a + v")
    row("* 1.7", lambda: vl * s, lambda: a * s, "a * 1.7")
    row("/ 1.7", lambda: vl / s, lambda: a / s, "a / 1.7")
    row("rotate(q)", tarsk_rotate, np_rotate, "a + w t + cross(u, t), t = 2 cross(u, a)")
    if Rotation is not None:
        rot = Rotation.from_quat([cv[0], cv[1], cv[2], cw])
        t_rot = best_time(tarsk_rotate, R)
        p_rot = best_time(lambda: rot.apply(a), R)
        rows.append({"operation": "rotate(q) vs scipy", "tarsk_s": t_rot, "numpy_s": p_rot, "ratio": t_rot / p_rot,
                     "peer": "scipy Rotation.apply(a)"})
        print(f"{'rotate(q) vs scipy':40s} {t_rot * 1e3:8.3f} ms {p_rot * 1e3:8.3f} ms {t_rot / p_rot:7.3f}"
              f"  scipy Rotation.apply(a) (scipy in the numpy column)", flush=True)
    row("collapse(1)", lambda: vl.collapse(1), np_collapse, "b = a.copy(); b[:, 1] = 0")
    row("dot(v) -> list", lambda: vl.dot(o), lambda: (a @ on).tolist(), "(a @ v).tolist()")
    row("magnitude() -> list", vl.magnitude, lambda: np.linalg.norm(a, axis=1).tolist(),
        "np.linalg.norm(a, axis=1).tolist()")
    row("distance_to(v) -> list", lambda: vl.distance_to(o), lambda: np.linalg.norm(a - on, axis=1).tolist(),
        "np.linalg.norm(a - v, axis=1).tolist()")
    row("distance_squared(v) -> list", lambda: vl.distance_squared(o), np_distance_squared,
        "einsum of (a - v) with itself, .tolist()")
    eps = np.finfo(np.float64).eps
    row("is_unit() -> list", vl.is_unit, lambda: (np.abs(np.linalg.norm(a, axis=1) - 1.0) < eps).tolist(),
        "(abs(norm(a, axis=1) - 1) < eps).tolist()")

    # The same two-level search on both sides: the same answer.
    stride = 1000
    got = vl.minimum_distance_to(o, stride)
    want = np_strided_nearest(a, on, stride)
    assert got == want, (got, want)
    row(f"minimum_distance_to(v, {stride})", lambda: vl.minimum_distance_to(o, stride),
        lambda: np_strided_nearest(a, on, stride), "the same strided search in numpy")

    def np_argmin():
        d = a - on
        return int(np.argmin(np.einsum("ij,ij->i", d, d)))

    row(f"  (different answer) vs exact argmin", lambda: vl.minimum_distance_to(o, stride), np_argmin,
        "argmin over all n: the exact nearest, not the same search")

    vs = [Vec3d(*r) for r in a.tolist()]
    row("VecList(list of Vec3d)", lambda: VecList(vs), lambda: np.array([(v.x, v.y, v.z) for v in vs]),
        "np.array([(v.x, v.y, v.z) for v in vs])")
    del vs

    # Memory: the bytes a new list of n elements adds, and Python objects.
    gc.collect()
    blocks0, heap0 = sys.getallocatedblocks(), heap_bytes()
    extra = vl.normalize()
    blocks1, heap1 = sys.getallocatedblocks(), heap_bytes()
    results["bytes_per_element"] = (heap1 - heap0) / n
    print(f"memory per element: {(heap1 - heap0) / n:.2f} bytes (allocated for a new list of {n:,});"
          f" Python objects added: {blocks1 - blocks0} allocator blocks")
    del extra


OPS = {
    "normalize": ("VecList.normalize()", "a / np.sqrt((a*a).sum(axis=1))[:, None]"),
    "add": ("VecList + Vec3d", "a + v"),
    "dot": ("VecList.dot(v) -> list", "(a @ v).tolist()"),
}


def sweep(sizes, R, idle, results, quick):
    print(f"\n== n from {sizes[0]:,} to {sizes[-1]:,}: times per call in microseconds; warm = calls back to back "
          f"(best of batches), idle = {idle * 1e3:g} ms busy-wait before each call (median of single calls); "
          f"{RATIO_NOTE}")
    print(f"{'op':9s} {'n':>10s} {'tarsk warm':>11s} {'numpy warm':>11s} {'ratio warm':>10s} "
          f"{'tarsk idle':>11s} {'numpy idle':>11s} {'ratio idle':>10s}")
    o = Vec3d(0.25, -3.5, 7.0)
    on = np.array([0.25, -3.5, 7.0])
    rows = results["sweep"] = []
    for n in sizes:
        a, vl = make(n)
        fns = {
            "normalize": (vl.normalize, lambda: a / np.sqrt((a * a).sum(axis=1))[:, None]),
            "add": (lambda: vl + o, lambda: a + on),
            "dot": (lambda: vl.dot(o), lambda: (a @ on).tolist()),
        }
        for op, (t_fn, n_fn) in fns.items():
            tw = best_time(t_fn, R, min_total=0.05 if quick else 0.2)
            nw = best_time(n_fn, R, min_total=0.05 if quick else 0.2)
            # As many idle samples as fit in about a second (fewer in quick
            # mode), at least 5.
            per_call = 2 * idle + tw + nw
            budget = 0.4 if quick else 1.5
            samples = max(5, min(60, int(budget / per_call)))
            ti, ni = idle_times([t_fn, n_fn], idle, samples)
            rows.append({"op": op, "n": n, "tarsk_warm_s": tw, "numpy_warm_s": nw, "ratio_warm": tw / nw,
                         "tarsk_idle_s": ti, "numpy_idle_s": ni, "ratio_idle": ti / ni, "idle_samples": samples})
            print(f"{op:9s} {n:>10,} {tw * 1e6:11.2f} {nw * 1e6:11.2f} {tw / nw:10.3f} "
                  f"{ti * 1e6:11.2f} {ni * 1e6:11.2f} {ti / ni:10.3f}", flush=True)
        del a, vl
        gc.collect()


def copy_floor(R, results):
    n = 10_000_000
    print(f"\n== n = {n:,}, pool warm: normalize against a plain copy of the array ({RATIO_NOTE.replace('numpy', 'copy')})")
    a, vl = make(n)
    t = best_time(vl.normalize, R, min_total=1.0)
    c = best_time(a.copy, R, min_total=1.0)
    results["normalize_1e7_vs_copy"] = {"tarsk_s": t, "copy_s": c, "ratio": t / c}
    print(f"{'normalize() vs a.copy()':40s} {t * 1e3:8.3f} ms {c * 1e3:8.3f} ms {t / c:7.3f}", flush=True)
    del a, vl
    gc.collect()


def plot(results, paths):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    meta = results["meta"]
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.8), sharey=False)
    for ax, op in zip(axes, OPS):
        rows = [r for r in results["sweep"] if r["op"] == op]
        ns = [r["n"] for r in rows]
        ax.loglog(ns, [r["tarsk_warm_s"] for r in rows], "o-", color="C0", label="tarsk_py, pool warm")
        ax.loglog(ns, [r["tarsk_idle_s"] for r in rows], "o--", color="C0", mfc="none",
                  label=f"tarsk_py, after {meta['idle_ms']:g} ms idle")
        ax.loglog(ns, [r["numpy_warm_s"] for r in rows], "s-", color="C1", label="numpy, back to back")
        ax.loglog(ns, [r["numpy_idle_s"] for r in rows], "s--", color="C1", mfc="none",
                  label=f"numpy, after {meta['idle_ms']:g} ms idle")
        ax.set_title(f"{OPS[op][0]}\nnumpy: {OPS[op][1]}", fontsize=10)
        ax.set_xlabel("n (vectors)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("seconds per call")
    axes[0].legend(fontsize=8)
    fig.suptitle(f"VecList against numpy, {meta['cpus']} CPUs, {meta['workers']} workers "
                 f"(warm: best of back-to-back batches; idle: median of single calls)", fontsize=10)
    fig.tight_layout()
    for path in paths:
        path.parent.mkdir(parents=True, exist_ok=True)
        fig.savefig(path, dpi=100)
        print(f"plot written to {path}")


def fmt_time(seconds):
    if seconds >= 1:
        return f"{seconds:.3g} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.3g} us"
    return f"{seconds * 1e9:.3g} ns"


def markdown(results):
    """The benchmarks guide's tables, from the figures of this run."""
    print("\n| `VecList`, n = 1,000,000, pool warm | tarsk_py | numpy | ratio (below 1: tarsk_py faster) |")
    print("|---|---|---|---|")
    for r in results["n_1e6"]:
        print(f"| `{r['operation'].strip()}` | {fmt_time(r['tarsk_s'])} | {fmt_time(r['numpy_s'])} ({r['peer']}) "
              f"| {r['ratio']:.3g} |")
    floor = results.get("normalize_1e7_vs_copy")
    if floor:
        print(f"| `normalize()`, n = 10,000,000 | {fmt_time(floor['tarsk_s'])} | `a.copy()`: "
              f"{fmt_time(floor['copy_s'])} | {floor['ratio']:.3g} |")
    idle_ms = results["meta"]["idle_ms"]
    print(f"\n| op | n | warm: tarsk_py / numpy | ratio | after {idle_ms:g} ms idle: tarsk_py / numpy | ratio |")
    print("|---|---|---|---|---|---|")
    for r in results["sweep"]:
        print(f"| {r['op']} | {r['n']:,} | {fmt_time(r['tarsk_warm_s'])} / {fmt_time(r['numpy_warm_s'])} "
              f"| {r['ratio_warm']:.3g} | {fmt_time(r['tarsk_idle_s'])} / {fmt_time(r['numpy_idle_s'])} "
              f"| {r['ratio_idle']:.3g} |")


# ---------------------------------------------------------------------------
# Targets: checked on request only, never part of the report above.

def check_targets(results):
    """The project's performance targets against measured figures; returns
    the number of failures."""
    checks = []
    for r in results.get("sweep", []):
        limit = 0.5 if r["op"] == "normalize" else 1.0
        checks.append((f"after idle, {r['op']} n = {r['n']:,}: ratio <= {limit}", r["ratio_idle"], limit))
        if r["n"] == 16:
            checks.append((f"warm, {r['op']} n = 16: ratio <= 0.5", r["ratio_warm"], 0.5))
    # No worse than before the pool kept small work on the calling thread
    # (figures from one run on the 2-core development machine).
    before = {"normalize()": 0.82 / 22.5, "+ v": 0.65 / 6.4, "dot(v) -> list": 26 / 29}
    for r in results.get("n_1e6", []):
        if r["operation"] in before:
            checks.append((f"warm, {r['operation']} n = 1,000,000: ratio <= {before[r['operation']]:.3f}",
                           r["ratio"], before[r["operation"]]))
    floor = results.get("normalize_1e7_vs_copy")
    if floor:
        checks.append(("normalize n = 10,000,000: time <= 0.95 of a.copy()", floor["ratio"], 0.95))
    failures = 0
    print(f"\n== targets ({RATIO_NOTE})")
    for name, value, limit in checks:
        ok = value <= limit
        failures += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name:60s} measured {value:.3f}")
    print(f"{len(checks) - failures} of {len(checks)} targets met")
    return failures


# ---------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument("--repeat", type=int, default=5, help="batches per warm figure (best is kept)")
    parser.add_argument("--idle-ms", type=float, default=3.0, help="busy wait before each idle call")
    parser.add_argument("--quick", action="store_true",
                        help="decades of n only, shorter timing (about two minutes)")
    parser.add_argument("--out", default=str(RESULTS), help="folder for bulk.json and bulk.png")
    parser.add_argument("--update-docs", action="store_true", help=f"also write the guide's plot ({DOCS_PLOT})")
    parser.add_argument("--markdown", action="store_true", help="also print the benchmarks guide's tables")
    parser.add_argument("--check", action="store_true", help="check the figures against the targets")
    parser.add_argument("--check-file", help="check a saved bulk.json against the targets, measure nothing")
    args = parser.parse_args()

    if args.check_file:
        with open(args.check_file) as f:
            sys.exit(1 if check_targets(json.load(f)) else 0)

    R = args.repeat
    idle = args.idle_ms / 1e3
    VecList.empty().normalize()  # starts the pool
    meta = {
        "python": sys.version.split()[0], "numpy": np.__version__, "cpus": len(os.sched_getaffinity(0)),
        "workers": os.environ.get("RAYON_NUM_THREADS") or "default", "idle_ms": args.idle_ms,
        "load_start": os.getloadavg()[0], "quick": args.quick,
    }
    results = {"meta": meta}
    print(f"python {meta['python']}, numpy {meta['numpy']}, load {meta['load_start']:.2f}, cpus {meta['cpus']}, "
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '')!r}")

    table_1m(R, results)
    if args.quick:
        sizes = [1, 16, 100, 1_000, 10_000, 100_000, 1_000_000, 10_000_000]
    else:
        sizes = sorted({int(round(x)) for x in np.logspace(0, 7, 15)} | {16})
    sweep(sizes, R, idle, results, args.quick)
    copy_floor(R, results)

    meta["load_end"] = os.getloadavg()[0]
    print(f"\nload at the end: {meta['load_end']:.2f}")
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    with open(out / "bulk.json", "w") as f:
        json.dump(results, f, indent=1)
    print(f"figures written to {out / 'bulk.json'}")
    plot(results, [out / "bulk.png"] + ([DOCS_PLOT] if args.update_docs else []))
    if args.markdown:
        markdown(results)
    if args.check:
        sys.exit(1 if check_targets(results) else 0)


if __name__ == "__main__":
    main()
