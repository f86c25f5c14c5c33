"""tarsk_interop.KDTree side by side with scipy's cKDTree (workers=-1) and
pykdtree (and open3d's batch search, open3d.core.nns, where it is installed),
on the same data.

    python bench/index.py [--n 1000000] [--repeat 1] [--scaling]

Two clouds of n points: uniform in the unit cube, and sampled from a bumpy
sheet with noise; queries are drawn the same way. Rows (seconds per call):
build, query k = 1 and k = 8 (n queries), query_ball_point with a radius of
about 8 neighbours (n / 10 queries), query_pairs with the same radius on the
whole cloud. Every row shows

    ratio = tarsk time / peer time    (below 1 means tarsk is faster)

and the memory of each index beyond its points, in bytes per point (tarsk's
exactly from its arrays; the peers' as the growth of the process's resident
memory over the build). --scaling prints the time per k = 1 query as n grows
from 10k to 10M (--plot FILE draws it, as in docs/spatial-scaling.png). Timings of a loaded machine
are noisy: say so when quoting them.
"""
import argparse
import gc
import subprocess
import sys
import time

import numpy as np

import tarsk_interop as ti
from scipy.spatial import cKDTree

try:
    import pykdtree.kdtree as pykd
except ImportError:  # its columns stay empty
    pykd = None
try:
    import open3d as o3d  # open3d-cpu; needs the system's libusb-1.0
except (ImportError, OSError):
    o3d = None


def uniform(n, seed):
    return np.random.default_rng(seed).random((n, 3))


def surface(n, seed):
    rng = np.random.default_rng(seed)
    u, v = rng.random(n), rng.random(n)
    z = 0.1 * np.sin(7.0 * u) * np.cos(5.0 * v) + 0.002 * rng.standard_normal(n)
    return np.column_stack([u, v, z])


def seconds(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def radius_for(tree, x, neighbours):
    """The radius with about `neighbours` points per query (bisection)."""
    lo, hi = 0.0, 1.0
    for _ in range(40):
        r = 0.5 * (lo + hi)
        if tree.query_ball_point(x, r, return_length=True).mean() < neighbours:
            lo = r
        else:
            hi = r
    return hi


def ratio(ours, peer):
    return f"{ours / peer:6.3f}" if peer else "     -"


def row(name, ours, peers):
    cells = "  ".join(f"{(p if p else float('nan')):8.3f}s {ratio(ours, p)}" for p in peers)
    print(f"  {name:26s} {ours:8.3f}s   {cells}")


def bench_cloud(name, points, x, repeat):
    n = len(points)
    print(f"\n{name}: {n} points, {len(x)} queries")
    print(f"  {'':26s} {'tarsk':>9s}   {'cKDTree':>9s} {'ratio':>6s}  {'pykdtree':>9s} {'ratio':>6s}  "
          f"{'open3d':>9s} {'ratio':>6s}")
    ours = seconds(lambda: ti.KDTree(points), repeat)
    ck = seconds(lambda: cKDTree(points), repeat)
    pk = seconds(lambda: pykd.KDTree(points), repeat) if pykd else None
    o3 = None
    if o3d:
        # open3d's batch search (core.nns): the index is built per search kind.
        o3_points = o3d.core.Tensor(points)
        o3_x = o3d.core.Tensor(x)
        nns = o3d.core.nns.NearestNeighborSearch(o3_points)
        o3 = seconds(nns.knn_index, repeat)
    row("build", ours, [ck, pk, o3])

    tree, ctree = ti.KDTree(points), cKDTree(points)
    ptree = pykd.KDTree(points) if pykd else None
    for k in (1, 8):
        ours = seconds(lambda: tree.query(x, k=k), repeat)
        ck = seconds(lambda: ctree.query(x, k=k, workers=-1), repeat)
        pk = seconds(lambda: ptree.query(x, k=k), repeat) if ptree else None
        o3 = seconds(lambda: nns.knn_search(o3_x, k), repeat) if o3d else None
        row(f"query k={k}", ours, [ck, pk, o3])

    xb = x[: max(1, len(x) // 10)]
    r = radius_for(tree, xb[:2000], 8.0)
    counts = tree.query_ball_point(xb, r, return_length=True)
    ours = seconds(lambda: tree.query_ball_point(xb, r), repeat)
    ck = seconds(lambda: ctree.query_ball_point(xb, r, workers=-1, return_sorted=True), repeat)
    o3 = None
    if o3d:
        nns.fixed_radius_index(r)
        o3_xb = o3d.core.Tensor(xb)
        o3 = seconds(lambda: nns.fixed_radius_search(o3_xb, r, sort=True), repeat)
    row(f"ball ({counts.mean():.1f} per query)", ours, [ck, None, o3])
    pairs = tree.query_pairs(r)
    ours = seconds(lambda: tree.query_pairs(r), repeat)
    ck = seconds(lambda: ctree.query_pairs(r, output_type="ndarray"), repeat)
    row(f"pairs ({len(pairs)} pairs)", ours, [ck, None, None])

    index = tree._perm.nbytes + tree._boxes.nbytes
    print(f"  memory beyond the points: tarsk {index / n:.1f} B/point (permutation {tree._perm.nbytes / n:.0f}, "
          f"boxes {tree._boxes.nbytes / n:.1f}; the sorted points themselves {tree._points.nbytes / n:.0f})")
    del tree, ctree, ptree
    for label in ("tarsk", "cKDTree", "pykdtree"):
        if label == "pykdtree" and not pykd:
            continue
        r = subprocess.run([sys.executable, __file__, "--memory-child", label, name, str(n)],
                           capture_output=True, text=True, check=True)
        grown = float(r.stdout)
        print(f"  resident growth over the build, {label}: {grown / n:.1f} B/point "
              f"(with any copy of the points it keeps, 24 B/point)")


def memory_child(label, cloud, n):
    """Prints the growth of this process's resident memory over one build."""
    points = (uniform if cloud == "uniform" else surface)(n, 1 if cloud == "uniform" else 3)
    gc.collect()
    before = resident()
    if label == "tarsk":
        tree = ti.KDTree(points)
    elif label == "cKDTree":
        tree = cKDTree(points)
    else:
        tree = pykd.KDTree(points)
    gc.collect()
    print(resident() - before)
    del tree


def scaling(repeat, plot):
    print("\nper-query time, k = 1, as n grows (uniform cloud, 200k queries)")
    x = uniform(200_000, 99)
    sizes = (10_000, 31_623, 100_000, 316_228, 1_000_000, 3_162_278, 10_000_000)
    times = {"tarsk_interop.KDTree": [], "scipy cKDTree(workers=-1)": [], "pykdtree": []}
    for n in sizes:
        points = uniform(n, 1)
        tree, ctree = ti.KDTree(points), cKDTree(points)
        ours = seconds(lambda: tree.query(x), repeat) / len(x)
        ck = seconds(lambda: ctree.query(x, workers=-1), repeat) / len(x)
        times["tarsk_interop.KDTree"].append(ours)
        times["scipy cKDTree(workers=-1)"].append(ck)
        pk = None
        if pykd:
            ptree = pykd.KDTree(points)
            pk = seconds(lambda: ptree.query(x), repeat) / len(x)
            times["pykdtree"].append(pk)
            del ptree
        print(f"  n = {n:>9d}: tarsk {ours * 1e9:7.1f} ns, cKDTree {ck * 1e9:7.1f} ns, "
              f"pykdtree {pk * 1e9 if pk else float('nan'):7.1f} ns per query")
        del tree, ctree, points
    if plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(6.5, 4))
        for label, values in times.items():
            if values:
                ax.loglog(sizes, [v * 1e9 for v in values], "o-", label=label)
        ax.set_xlabel("points in the cloud (uniform in a cube)")
        ax.set_ylabel("wall time per query, ns (k = 1, 200k queries)")
        ax.set_title("Time per nearest-neighbour query, both cores")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        fig.tight_layout()
        fig.savefig(plot, dpi=90)
        print(f"  plot written to {plot}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--scaling", action="store_true")
    parser.add_argument("--plot", help="with --scaling: write the plot of the scaling to this PNG file")
    parser.add_argument("--skip-clouds", action="store_true", help="only the scaling")
    parser.add_argument("--memory-child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        label, cloud, n = args.memory_child
        memory_child(label, cloud, int(n))
        return 0
    if not args.skip_clouds:
        bench_cloud("uniform", uniform(args.n, 1), uniform(args.n, 2), args.repeat)
        bench_cloud("surface", surface(args.n, 3), surface(args.n, 4), args.repeat)
    if args.scaling:
        scaling(args.repeat, args.plot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
