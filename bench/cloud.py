"""tarsk_interop's point-cloud functions side by side with open3d (CPU
build) and scikit-spatial, on the same data.

    python bench/cloud.py [--n 200000] [--big 1000000] [--repeat 1]

Data: n points sampled from a bumpy surface with noise (z = 0.1 sin(7u)
cos(5v) over the unit square); the ICP source is the cloud moved by a known
rigid motion (about 4 degrees and 2 % of its size) with fresh noise. Rows
(seconds per call):

- icp: 30 iterations or converged, point to point, max distance 0.05; the
  rotation error of each result against the known motion is printed beside;
  then point to plane with the target's normals (estimated once, untimed);
- estimate_normals, k = 16;
- ransac_plane, 1,000 iterations, threshold 0.01 (open3d's segment_plane
  with 3 points per sample);
- fit_plane and fit_sphere on --big points, against scikit-spatial's
  Plane.best_fit (with full_matrices=False, without which its SVD asks for
  an n x n matrix) and Sphere.best_fit.

Every row shows ratio = tarsk time / peer time (below 1 means tarsk is
faster). A peer that is not installed leaves its columns empty. Timings of a
loaded machine are noisy: say so when quoting them.
"""
import argparse
import gc
import math
import time

import numpy as np

import tarsk_interop as ti

try:
    import open3d as o3d
except ImportError:
    o3d = None
try:
    import skspatial.objects as sk
except ImportError:
    sk = None


def surface(n, seed, noise=0.002):
    rng = np.random.default_rng(seed)
    u, v = rng.random(n), rng.random(n)
    z = 0.1 * np.sin(7.0 * u) * np.cos(5.0 * v) + noise * rng.standard_normal(n)
    return np.column_stack([u, v, z])


def seconds(fn, repeat):
    best, out = float("inf"), None
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def textbook_matrix(q):
    """The rotation matrix (column vectors) of a textbook unit quaternion (w, x, y, z)."""
    w, x, y, z = q
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)],
        [2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)],
        [2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)]])


def rotation_error_deg(r_found, r_true):
    c = (np.trace(r_found.T @ r_true) - 1.0) / 2.0
    return math.degrees(math.acos(max(-1.0, min(1.0, c))))


def row(name, mine, peer, note=""):
    ratio = f"{mine / peer:7.3f}" if peer else "      -"
    peer_s = f"{peer:9.3f}" if peer else "        -"
    print(f"{name:28s} {mine:9.3f} {peer_s} {ratio}  {note}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--big", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=1)
    a = ap.parse_args()

    target = surface(a.n, 1)
    # The known motion: a textbook quaternion about a tilted axis, ~4 degrees.
    axis = np.array([0.3, -0.5, 0.8]) / np.linalg.norm([0.3, -0.5, 0.8])
    half = math.radians(4.0) / 2.0
    qt = np.concatenate([[math.cos(half)], math.sin(half) * axis])
    r_true = textbook_matrix(qt)
    t_true = np.array([0.02, -0.01, 0.015])
    # source = R^-1 (target - t) + noise, so the motion that maps source onto target is (R, t).
    rng = np.random.default_rng(2)
    source = (target - t_true) @ r_true + 0.002 * rng.standard_normal(target.shape)
    tree = ti.KDTree(target)

    print(f"n = {a.n}, big = {a.big}; seconds per call (best of {a.repeat}); ratio = tarsk / peer")
    print(f"{'':28s} {'tarsk':>9s} {'peer':>9s} {'ratio':>7s}")

    # ICP
    t_mine, res = seconds(lambda: ti.icp(source, target, 0.05, max_iterations=30, tree=tree), a.repeat)
    w, i, j, k = res.rotation  # storage sense: the textbook quaternion is (w, -i, -j, -k)
    err_mine = rotation_error_deg(textbook_matrix((w, -i, -j, -k)), r_true)
    t_peer, note = None, f"rot err tarsk {err_mine:.4f} deg, {res.iterations} it"
    if o3d is not None:
        src = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(source))
        tgt = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(target))
        est = o3d.pipelines.registration.TransformationEstimationPointToPoint()
        crit = o3d.pipelines.registration.ICPConvergenceCriteria(max_iteration=30)
        t_peer, reg = seconds(lambda: o3d.pipelines.registration.registration_icp(
            src, tgt, 0.05, np.eye(4), est, crit), a.repeat)
        err_peer = rotation_error_deg(np.asarray(reg.transformation)[:3, :3], r_true)
        note += f"; open3d {err_peer:.4f} deg"
    row("icp (200k, 30 it)" if a.n == 200_000 else "icp", t_mine, t_peer, note)

    # ICP point to plane, the target's normals given (estimated beforehand, not timed)
    normals = ti.estimate_normals(target, 16, tree=tree)
    t_mine, res = seconds(lambda: ti.icp(source, target, 0.05, max_iterations=30, tree=tree,
                                         target_normals=normals), a.repeat)
    w, i, j, k = res.rotation
    err_mine = rotation_error_deg(textbook_matrix((w, -i, -j, -k)), r_true)
    t_peer, note = None, f"rot err tarsk {err_mine:.4f} deg, {res.iterations} it"
    if o3d is not None:
        tgt.normals = o3d.utility.Vector3dVector(normals)
        est = o3d.pipelines.registration.TransformationEstimationPointToPlane()
        t_peer, reg = seconds(lambda: o3d.pipelines.registration.registration_icp(
            src, tgt, 0.05, np.eye(4), est, crit), a.repeat)
        err_peer = rotation_error_deg(np.asarray(reg.transformation)[:3, :3], r_true)
        note += f"; open3d {err_peer:.4f} deg"
    row("icp point to plane", t_mine, t_peer, note)

    # Normals
    t_mine, _ = seconds(lambda: ti.estimate_normals(target, 16, tree=tree), a.repeat)
    t_peer = None
    if o3d is not None:
        def o3d_normals():
            pc = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(target))
            pc.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(16))
            return pc
        t_peer, _ = seconds(o3d_normals, a.repeat)
    row("estimate_normals k=16", t_mine, t_peer)

    # RANSAC: half the points on a plane, half outliers
    half_n = a.n // 2
    plane_pts = np.column_stack([rng.random((half_n, 2)), 0.3 + 0.003 * rng.standard_normal(half_n)])
    cloud = np.concatenate([plane_pts, rng.random((a.n - half_n, 3))])
    t_mine, (pl, inl) = seconds(lambda: ti.ransac_plane(cloud, 0.01, iterations=1000, seed=1), a.repeat)
    t_peer, note = None, f"tarsk {len(inl)} inliers"
    if o3d is not None:
        pc = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(cloud))
        t_peer, (model, o_inl) = seconds(lambda: pc.segment_plane(0.01, 3, 1000), a.repeat)
        note += f", open3d {len(o_inl)}"
    row("ransac_plane 1000 it", t_mine, t_peer, note)

    # Fits on the big cloud
    big = surface(a.big, 3)
    t_mine, _ = seconds(lambda: ti.fit_plane(big), a.repeat)
    t_peer = None
    if sk is not None:
        t_peer, _ = seconds(lambda: sk.Plane.best_fit(big, full_matrices=False), a.repeat)
    row(f"fit_plane ({a.big})", t_mine, t_peer)
    sphere = np.random.default_rng(4).standard_normal((a.big, 3))
    sphere = 2.0 * sphere / np.linalg.norm(sphere, axis=1)[:, None] + 0.01 * rng.standard_normal((a.big, 3))
    t_mine, _ = seconds(lambda: ti.fit_sphere(sphere), a.repeat)
    t_peer = None
    if sk is not None:
        t_peer, _ = seconds(lambda: sk.Sphere.best_fit(sphere), a.repeat)
    row(f"fit_sphere ({a.big})", t_mine, t_peer)


if __name__ == "__main__":
    main()
