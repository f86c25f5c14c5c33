"""The pipeline normalize, rotate, nearest point on a local Dask cluster:
tarsk_interop.dask against the same Dask graph written with numpy and scipy's
Rotation.apply, and against the same work in one process with tarsk_interop.

The points (20,000,000 by default, in chunks of 1,000,000 rows) are generated
on the workers and kept there (persisted) before anything is timed, so every
figure is the pipeline alone; the one-process run works on the same rows in
one numpy array. Each figure is the best of --repeat runs. Ratios are
tarsk time / peer time: below 1 means tarsk_interop.dask is faster.

    pip install '.[bench,dask]'
    python3 bench/dask_pipeline.py [--n 20000000] [--chunk 1000000] [--workers 2] [--repeat 3] [--check]

The thread budget follows docs/guide/dask.md: one Dask thread per worker
process and RAYON_NUM_THREADS = cores / workers for the workers' pools; the one-process
run uses every core.
"""
import argparse
import os
import time

import numpy as np
import dask
import dask.array as da
from distributed import Client, LocalCluster, wait
from scipy.spatial.transform import Rotation

import tarsk_interop
import tarsk_interop.dask as tid
from tarsk_py import AngleRadians, Quat, Vec3d

QUAT = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0).normalize(), AngleRadians(0.7))
TARGET = Vec3d(0.25, -0.5, 0.75)


def _chunk(seed, block_info=None):
    (lo, hi), _ = block_info[None]["array-location"]
    index = block_info[None]["chunk-location"][0]
    return np.random.default_rng([seed, index]).normal(scale=100.0, size=(hi - lo, 3))


def lazy_points(seed, n, chunk):
    sizes = (chunk,) * (n // chunk) + ((n % chunk,) if n % chunk else ())
    return da.map_blocks(_chunk, seed, chunks=(sizes, (3,)), dtype=np.float64, meta=np.empty((0, 3)))


# The numpy/scipy pipeline, block by block, as a numpy user writes it.

def _np_normalize(x):
    return x / np.sqrt(np.einsum("ij,ij->i", x, x))[:, None]


def _scipy_rotate(x, xyzw):
    return Rotation.from_quat(xyzw).apply(x)


def _np_distance_squared(x, o):
    d = x - o
    return np.einsum("ij,ij->i", d, d)


def numpy_pipeline(points, stride):
    # tarsk's rotate is the rotation by conjugate(q), which scipy writes as
    # the quaternion (-i, -j, -k, w); the work is the same either way.
    xyzw = np.array([-QUAT.i, -QUAT.j, -QUAT.k, QUAT.w])
    moved = points.map_blocks(_np_normalize, dtype=np.float64).map_blocks(
        _scipy_rotate, xyzw, dtype=np.float64)
    d2 = moved.map_blocks(_np_distance_squared, np.array([TARGET.x, TARGET.y, TARGET.z]),
                          drop_axis=1, dtype=np.float64)
    if stride != 1:
        d2 = d2[::stride]
    index = d2.argmin()
    return index, da.sqrt(d2[index])


def tarsk_pipeline(points, stride):
    return tid.minimum_distance_to(tid.rotate(tid.normalize(points), QUAT), TARGET, stride)


def best(fn, repeat):
    times = []
    for k in range(repeat):
        if k:
            # The client releases a finished graph's results in the background;
            # a run that starts before they are gone is answered from memory.
            time.sleep(1.0)
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=20_000_000)
    parser.add_argument("--chunk", type=int, default=1_000_000)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--stride", type=int, default=1,
                        help="stride of the search (1: every row, as numpy's argmin)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--check", action="store_true",
                        help="exit with status 1 when the ratio to numpy + scipy is above 0.5")
    args = parser.parse_args()
    cores = len(os.sched_getaffinity(0))
    pool = max(1, cores // args.workers)

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": str(pool)}) as cluster, \
            Client(cluster) as client:
        tid.register(client)
        points = client.persist(lazy_points(args.seed, args.n, args.chunk))
        wait(points)
        # Warm up both pipelines (imports, the workers' pools).
        small = points[:args.chunk]
        dask.compute(tarsk_pipeline(small, args.stride), *numpy_pipeline(small, args.stride))

        t_tarsk, (index, distance) = best(lambda: tarsk_pipeline(points, args.stride).compute(),
                                          args.repeat)
        t_numpy, (np_index, np_distance) = best(
            lambda: dask.compute(*numpy_pipeline(points, args.stride)), args.repeat)
        local = client.compute(points).result()

    # The same work in this process, on every core, with the rows in memory.
    def one_process():
        moved = tarsk_interop.rotate(tarsk_interop.normalize(local), QUAT)
        return tarsk_interop.minimum_distance_to(moved, TARGET, args.stride)

    t_local, local_result = best(one_process, args.repeat)
    assert (index, distance) == local_result, ((index, distance), local_result)

    print(f"{args.n:,} points in chunks of {args.chunk:,} rows, stride {args.stride}; "
          f"LocalCluster: {args.workers} workers x 1 Dask thread x {pool} pool threads; "
          f"one process: {cores} pool threads; best of {args.repeat}")
    print(f"nearest: tarsk row {index} at {distance!r}; numpy row {int(np_index)} at {float(np_distance)!r}")
    print()
    print("| pipeline | time | ratio (tarsk / other; below 1: tarsk faster) |")
    print("|---|---|---|")
    print(f"| tarsk_interop.dask on the cluster | {t_tarsk * 1e3:.0f} ms | |")
    print(f"| numpy + scipy Rotation.apply, same Dask graph | {t_numpy * 1e3:.0f} ms "
          f"| {t_tarsk / t_numpy:.2f} (target at most 0.5) |")
    print(f"| tarsk_interop in one process | {t_local * 1e3:.0f} ms "
          f"| {t_tarsk / t_local:.2f} (Dask's overhead) |")
    if args.check and t_tarsk / t_numpy > 0.5:
        raise SystemExit(f"ratio to numpy + scipy {t_tarsk / t_numpy:.2f} is above the target 0.5")


if __name__ == "__main__":
    main()
