# Dask and distributed are not annotated; strict type checking stops at their calls.
# mypy: disable-error-code="no-untyped-call,no-any-return"
"""Fifty million points on a local Dask cluster, bit for bit as one VecList.

The points are generated lazily from a seed, chunk by chunk on the workers
(never all in one process), then normalized, rotated, and searched for the
point nearest to a target. The first rows (a sample that fits in memory) are
then run through a plain VecList in this process, and the digests of both
runs are printed: they are the same bits.

    python3 examples/dask_points.py               # 50,000,000 points
    python3 examples/dask_points.py --n 2000000   # a quick run

Needs the dask extra: pip install '.[dask]'.
"""
import argparse
import hashlib
import os
import struct
import time
from typing import Any

import numpy as np
import dask.array as da
from distributed import Client, LocalCluster, progress

import tarsk_interop
import tarsk_interop.dask as tid
from tarsk_py import AngleRadians, Quat, Vec3d

# Rows are drawn in fixed blocks of this many, each from its own stream keyed
# by (seed, block number): the value of a row depends on the seed and its row
# number only, never on how the rows are chunked or where they are computed.
BLOCK = 100_000


def generate(seed: int, lo: int, hi: int) -> np.ndarray:
    """Rows lo to hi - 1 of the point cloud of `seed`, shape (hi - lo, 3)."""
    first, last = lo // BLOCK, (hi + BLOCK - 1) // BLOCK
    blocks = [np.random.default_rng([seed, b]).normal(scale=100.0, size=(BLOCK, 3))
              for b in range(first, last)]
    rows: np.ndarray = np.concatenate(blocks) if blocks else np.empty((0, 3))
    return rows[lo - first * BLOCK:hi - first * BLOCK]


def _chunk(seed: int, block_info: Any = None) -> np.ndarray:
    lo, hi = block_info[None]["array-location"][0]
    return generate(seed, lo, hi)


def lazy_points(seed: int, n: int, chunk: int) -> da.Array:
    sizes = (chunk,) * (n // chunk) + ((n % chunk,) if n % chunk else ())
    return da.map_blocks(_chunk, seed, chunks=(sizes, (3,)), dtype=np.float64,
                         meta=np.empty((0, 3)))


def digest(rows: np.ndarray, nearest: tuple[int, float]) -> str:
    h = hashlib.sha256(np.ascontiguousarray(rows, dtype=np.float64).tobytes())
    h.update(struct.pack("<qd", *nearest))
    return h.hexdigest()[:16]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=50_000_000, help="number of points")
    parser.add_argument("--chunk", type=int, default=1_000_000, help="rows per chunk")
    parser.add_argument("--sample", type=int, default=1_000_000, help="rows checked in memory")
    parser.add_argument("--workers", type=int, default=2, help="worker processes")
    parser.add_argument("--stride", type=int, default=1, help="stride of the nearest-point search")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    sample = min(args.sample, args.n)

    # Thread budget: one Dask thread per worker process (a kernel holds the
    # interpreter lock while its pool works, so more Dask threads would only
    # take turns), and the cores shared among the workers' pools.
    cores = len(os.sched_getaffinity(0))
    pool = max(1, cores // args.workers)
    quat = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0).normalize(), AngleRadians(0.7))
    target = Vec3d(0.25, -0.5, 0.75)

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": str(pool)}) as cluster, \
            Client(cluster) as client:
        tid.register(client)
        print(f"{args.n:,} points in chunks of {args.chunk:,} rows on {args.workers} workers "
              f"x 1 Dask thread x {pool} pool threads ({cores} cores)")
        moved = tid.rotate(tid.normalize(lazy_points(args.seed, args.n, args.chunk)), quat)
        start = time.perf_counter()
        # One graph, so the rows are generated once. The array comes first:
        # Dask 2026.8 returns the results of one call grouped by collection
        # type (arrays, then delayed values, in order of first appearance).
        futures = client.compute([moved[:sample],
                                  tid.minimum_distance_to(moved, target, args.stride),
                                  tid.minimum_distance_to(moved[:sample], target, args.stride)])
        progress(futures)
        sample_rows, nearest, sample_nearest = client.gather(futures)
        wall = time.perf_counter() - start
    print()
    print(f"nearest of all {args.n:,} points to {target}: row {nearest[0]}, distance {nearest[1]!r}")
    print(f"cluster wall time: {wall:.2f} s")

    # The same sample through one VecList in this process (the cluster is gone,
    # so this process's pool may use every core).
    start = time.perf_counter()
    points = tarsk_interop.to_veclist(generate(args.seed, 0, sample)).normalize()
    points.rotate(quat)
    local_nearest = points.minimum_distance_to(target, args.stride)
    local_rows = tarsk_interop.to_numpy(points)
    local_wall = time.perf_counter() - start

    cluster_digest = digest(sample_rows, sample_nearest)
    local_digest = digest(local_rows, local_nearest)
    print(f"digest of the first {sample:,} rows and their nearest point:")
    print(f"  Dask cluster:        {cluster_digest}")
    print(f"  VecList, in memory:  {local_digest}  ({local_wall:.2f} s)")
    if cluster_digest != local_digest:
        raise SystemExit("the digests differ")
    print("  the same bits")


if __name__ == "__main__":
    main()
