"""Point clouds: fits recover known primitives from noisy points and agree
with scikit-spatial's best fits; degenerate input is refused naming the
argument (never a silent NaN); normals are perpendicular to analytic surfaces
and agree with a brute-force neighbourhood; ICP recovers a known rigid
motion; RANSAC finds a plane among half outliers; every result is the same
bits for worker counts 1, 2, 3 and 7."""
import math
import struct
import textwrap

import numpy as np
import pytest

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d, geometry

from concurrency import digests_by_worker_count


def bits(x):
    return struct.pack("<d", float(x))


def unit(v):
    v = np.asarray(v, dtype=float)
    return v / np.linalg.norm(v)


def frame(normal):
    """Two unit vectors spanning the plane of `normal`."""
    n = unit(normal)
    u = unit(np.cross(n, [1.0, 0.0, 0.0] if abs(n[0]) < 0.9 else [0.0, 1.0, 0.0]))
    return u, np.cross(n, u)


def angle(a, b):
    """The angle between two directions, ignoring their sign."""
    return math.acos(min(1.0, abs(float(np.dot(unit(a), unit(b))))))


def plane_points(rng, n, normal, point, sigma, size=5.0):
    u, v = frame(normal)
    st = (rng.random((n, 2)) - 0.5) * size
    return np.asarray(point) + st[:, :1] * u + st[:, 1:] * v + rng.normal(size=(n, 1)) * sigma * unit(normal)


def sphere_points(rng, n, centre, radius, sigma, cap=1.0):
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    if cap < 1.0:  # only a cap of the sphere, around +z
        d = d[d[:, 2] > 1.0 - 2.0 * cap]
    return np.asarray(centre) + d * (radius + rng.normal(size=(len(d), 1)) * sigma)


def circle_points(rng, n, centre, radius, normal, sigma, arc=2 * math.pi):
    u, v = frame(normal)
    t = rng.random(n) * arc
    p = np.asarray(centre) + radius * (np.cos(t)[:, None] * u + np.sin(t)[:, None] * v)
    return p + rng.normal(size=(n, 3)) * sigma


def bumpy(rng, n, noise=0.0):
    """Points of the surface z = 0.3 sin(2x) cos(2y) and its unit normals."""
    xy = (rng.random((n, 2)) - 0.5) * 4.0
    z = 0.3 * np.sin(2 * xy[:, 0]) * np.cos(2 * xy[:, 1])
    g = np.column_stack([-0.6 * np.cos(2 * xy[:, 0]) * np.cos(2 * xy[:, 1]),
                         0.6 * np.sin(2 * xy[:, 0]) * np.sin(2 * xy[:, 1]), np.ones(n)])
    p = np.column_stack([xy, z])
    if noise:
        p = p + rng.normal(size=p.shape) * noise
    return p, g / np.linalg.norm(g, axis=1)[:, None]


# ---------------------------------------------------------------------------
# Fits recover what the points were drawn from


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_fits_recover_noisy_primitives(seed):
    rng = np.random.default_rng(seed)
    normal = unit(rng.normal(size=3))
    point = rng.normal(size=3) * 100.0  # far from the origin: the centroid form keeps the precision
    sigma = 1e-3

    plane, rms = ti.fit_plane(plane_points(rng, 3000, normal, point, sigma), return_rms=True)
    assert type(plane) is geometry.Plane
    n = np.array([plane.normal.x, plane.normal.y, plane.normal.z])
    assert angle(n, normal) < 1e-4
    assert abs(np.dot(n, point) + plane.distance) < 1e-3
    assert abs(rms - sigma) < 0.1 * sigma
    assert np.argmax(np.abs(n)) == np.argmax(n)  # largest-magnitude component positive

    direction = unit(rng.normal(size=3))
    t = (rng.random(2000) - 0.5) * 10.0
    line = point + t[:, None] * direction + rng.normal(size=(2000, 3)) * sigma
    p, d, rms = ti.fit_line(line, return_rms=True)
    assert angle(d, direction) < 1e-4 and abs(np.linalg.norm(d) - 1.0) < 1e-15
    assert np.linalg.norm(np.cross(p - point, direction)) < 1e-3
    assert abs(rms - sigma * math.sqrt(2.0)) < 0.1 * sigma

    centre, radius = point, 2.5
    c, r, rms = ti.fit_sphere(sphere_points(rng, 3000, centre, radius, sigma), return_rms=True)
    assert np.linalg.norm(c - centre) < 1e-3 and abs(r - radius) < 1e-3
    assert abs(rms - sigma) < 0.1 * sigma
    c, r = ti.fit_sphere(sphere_points(rng, 3000, centre, radius, sigma, cap=0.3))  # a cap only
    assert np.linalg.norm(c - centre) < 2e-2 and abs(r - radius) < 2e-2

    circle, rms = ti.fit_circle(circle_points(rng, 2000, centre, radius, normal, sigma), return_rms=True)
    assert type(circle) is geometry.Circle
    cc = np.array([circle.center.x, circle.center.y, circle.center.z])
    assert np.linalg.norm(cc - centre) < 1e-3 and abs(circle.radius - radius) < 1e-3
    assert angle([circle.normal.x, circle.normal.y, circle.normal.z], normal) < 1e-3
    assert abs(rms - sigma * math.sqrt(2.0)) < 0.1 * sigma  # the normal and radial parts of the noise
    arc = circle_points(rng, 500, centre, radius, normal, sigma, arc=1.5)  # a quarter arc
    assert abs(ti.fit_circle(arc).radius - radius) < 2e-2


def test_a_veclist_is_taken_as_its_rows():
    from tarsk_py import VecList
    rng = np.random.default_rng(6)
    p = plane_points(rng, 50, [1, 2, 3], [0, 0, 1], 0.01)
    vl = ti.to_veclist(p)
    assert type(vl) is VecList
    a, b = ti.fit_plane(vl), ti.fit_plane(p)
    assert (bits(a.distance), bits(a.normal.x)) == (bits(b.distance), bits(b.normal.x))
    assert ti.estimate_normals(vl, 5).tobytes() == ti.estimate_normals(p, 5).tobytes()


def test_exact_points_give_exact_looking_fits():
    # Points exactly on the primitives: residuals at rounding level, never NaN.
    plane, rms = ti.fit_plane([[0, 0, 1], [1, 0, 1], [0, 1, 1], [1, 1, 1]], return_rms=True)
    assert (plane.normal.x, plane.normal.y, plane.normal.z, plane.distance, rms) == (0.0, 0.0, 1.0, -1.0, 0.0)
    p, d, rms = ti.fit_line([[1, 2, 3], [2, 2, 3], [5, 2, 3]], return_rms=True)
    assert d.tolist() == [1.0, 0.0, 0.0] and rms == 0.0
    c, r, rms = ti.fit_sphere([[1, 0, 0], [-1, 0, 0], [0, 1, 0], [0, -1, 0], [0, 0, 1], [0, 0, -1]],
                              return_rms=True)
    assert np.abs(c).max() < 1e-15 and abs(r - 1.0) < 1e-15 and rms < 1e-15
    circle, rms = ti.fit_circle([[3, 0, 7], [0, 3, 7], [-3, 0, 7], [0, -3, 7]], return_rms=True)
    assert abs(circle.radius - 3.0) < 1e-14 and rms < 1e-14
    assert (circle.normal.x, circle.normal.y, circle.normal.z) == (0.0, 0.0, 1.0)


def test_weights():
    rng = np.random.default_rng(4)
    good = plane_points(rng, 500, [0, 0, 1], [0, 0, 2], 1e-4)
    bad = rng.random((500, 3)) * 10
    w = np.concatenate([np.ones(500), np.zeros(500)])
    plane = ti.fit_plane(np.concatenate([good, bad]), w)
    assert abs(plane.normal.z - 1.0) < 1e-6 and abs(plane.distance + 2.0) < 1e-4
    # Doubling every weight changes nothing in the result (exact scaling by 2).
    a = ti.fit_plane(good, np.full(500, 0.5), return_rms=True)
    b = ti.fit_plane(good, np.full(500, 1.0), return_rms=True)
    assert [bits(v) for v in (a[0].normal.x, a[0].normal.z, a[0].distance, a[1])] == \
           [bits(v) for v in (b[0].normal.x, b[0].normal.z, b[0].distance, b[1])]
    for w, text in [(np.ones(3), "shape"), (-np.ones(500), "at least 0"), (np.zeros(500), "positive"),
                    (np.full(500, np.nan), "finite")]:
        with pytest.raises(ValueError, match=f"'weights'.*{text}"):
            ti.fit_plane(good, w)


def test_agrees_with_scikit_spatial():
    sk = pytest.importorskip("skspatial.objects")
    rng = np.random.default_rng(8)
    pts = plane_points(rng, 400, [1, -2, 0.5], [3, 4, 5], 0.05)
    plane = ti.fit_plane(pts)
    ref = sk.Plane.best_fit(pts, full_matrices=False)
    assert angle([plane.normal.x, plane.normal.y, plane.normal.z], ref.normal) < 1e-10
    assert np.allclose(-plane.distance, np.dot(ref.normal, ref.point) * np.sign(
        np.dot(ref.normal, [plane.normal.x, plane.normal.y, plane.normal.z])), atol=1e-10)

    line = np.outer(rng.random(300), [1, 2, 3]) + rng.normal(size=(300, 3)) * 0.05
    p, d = ti.fit_line(line)
    ref = sk.Line.best_fit(line)
    assert angle(d, ref.direction) < 1e-10 and np.allclose(p, ref.point, atol=1e-12)

    pts = sphere_points(rng, 400, [1, 2, 3], 4.0, 0.1)
    c, r = ti.fit_sphere(pts)
    ref = sk.Sphere.best_fit(pts)
    assert np.allclose(c, ref.point, atol=1e-9) and abs(r - ref.radius) < 1e-9

    # A circle in the plane z = 0 against the 2-d best fit.
    pts = circle_points(rng, 300, [1, -1, 0], 2.0, [0, 0, 1], 0.05)
    pts[:, 2] = 0.0
    circle = ti.fit_circle(pts)
    ref = sk.Circle.best_fit(pts[:, :2])
    assert np.allclose([circle.center.x, circle.center.y], ref.point, atol=1e-9)
    assert abs(circle.radius - ref.radius) < 1e-9


# ---------------------------------------------------------------------------
# The fixed-block sums, bit for bit against a plain model: each block of 4096
# rows summed row after row from zero (numpy's cumsum is sequential), the
# partials added in block order.


def model_total(terms):
    """terms: (n, width) per-row terms -> the fixed-block total, a list."""
    total = [0.0] * terms.shape[1]
    for b in range(0, len(terms), 4096):
        block = np.concatenate([np.zeros((1, terms.shape[1])), terms[b:b + 4096]])
        part = np.cumsum(block, axis=0)[-1]
        total = [t + float(p) for t, p in zip(total, part)]
    return total


def test_block_sums_match_the_model():
    from tarsk_interop import _point_cloud as pc
    rng = np.random.default_rng(77)
    p = rng.normal(size=(9000, 3)) * [3.0, 2.0, 0.1] + [1e3, -2e2, 5.0]
    w = rng.random(9000)
    first = pc._total(pc._block_parts("first", p, w, ()), 4)
    want = model_total(np.column_stack([w, w * p[:, 0], w * p[:, 1], w * p[:, 2]]))
    assert [bits(v) for v in first] == [bits(v) for v in want]
    c = (first[1] / first[0], first[2] / first[0], first[3] / first[0])
    second = pc._total(pc._block_parts("second", p, w, c), 6)
    x, y, z = p[:, 0] - c[0], p[:, 1] - c[1], p[:, 2] - c[2]
    wx, wy, wz = w * x, w * y, w * z
    want = model_total(np.column_stack([wx * x, wx * y, wx * z, wy * y, wy * z, wz * z]))
    assert [bits(v) for v in second] == [bits(v) for v in want]
    # The plane's distance is -(normal . centroid) of these sums.
    plane = ti.fit_plane(p, w)
    n = plane.normal
    assert bits(plane.distance) == bits(-((n.x * c[0] + n.y * c[1]) + n.z * c[2]))


# ---------------------------------------------------------------------------
# Bad and degenerate input


@pytest.mark.parametrize("fit, least", [(ti.fit_plane, 3), (ti.fit_line, 2), (ti.fit_sphere, 4),
                                        (ti.fit_circle, 3)])
def test_fits_refuse_bad_points(fit, least):
    rng = np.random.default_rng(0)
    with pytest.raises(ValueError, match=f"'points'.* at least {least} points, got {least - 1}"):
        fit(rng.random((least - 1, 3)))
    pts = rng.random((10, 3))
    for bad in (np.nan, np.inf, -np.inf):
        p = pts.copy()
        p[6, 1] = bad
        with pytest.raises(ValueError, match="'points'.*row 6"):
            fit(p)
    with pytest.raises(ValueError, match="'points'.*all points are the same"):
        fit(np.tile([1e5, -3.0, 0.1], (12, 1)))
    with pytest.raises(ValueError, match="'points'.*shape"):
        fit(np.zeros((5, 2)))
    with pytest.raises(TypeError, match="'points'"):
        fit("abc")
    with pytest.raises(ValueError, match="'points'.*overflow"):
        fit(rng.random((10, 3)) * 1e300)


def test_degenerate_shapes_are_refused():
    t = np.linspace(0, 1, 20)[:, None]
    line = [0.1, 0.2, 0.3] + t * [1.0, -2.0, 3.0]
    with pytest.raises(ValueError, match="'points'.*on one line.*plane"):
        ti.fit_plane(line)
    with pytest.raises(ValueError, match="'points'.*on one line.*circle"):
        ti.fit_circle(line)
    p, d = ti.fit_line(line)  # a perfect line is the line fit's best case
    assert angle(d, [1, -2, 3]) < 1e-15 * 10
    flat = np.random.default_rng(1).random((30, 3))
    flat[:, 2] = 4.0
    with pytest.raises(ValueError, match="'points'.*in one plane.*sphere"):
        ti.fit_sphere(flat)


# ---------------------------------------------------------------------------
# residuals


def test_residuals():
    rng = np.random.default_rng(12)
    pts = rng.normal(size=(50, 3))
    plane = geometry.Plane(Vec3d(1.0, 2.0, 2.0), 3.0)  # normal (1, 2, 2) / 3, distance -3
    r = ti.residuals(pts, plane=plane)
    n = plane.normal
    assert [bits(v) for v in r] == [bits((n.x * x + n.y * y) + n.z * z + plane.distance) for x, y, z in pts]
    c, rad = np.array([1.0, 0.5, -1.0]), 2.0
    assert np.allclose(ti.residuals(pts, sphere=(c, rad)), np.linalg.norm(pts - c, axis=1) - rad, atol=1e-15)
    d = unit([1.0, 1.0, 0.0])
    assert np.allclose(ti.residuals(pts, line=(c, [2.0, 2.0, 0.0])),
                       np.linalg.norm(np.cross(pts - c, d), axis=1), atol=1e-14)
    circle = geometry.Circle(Vec3d(*c), rad, Vec3d(0.0, 0.0, 2.0))
    q = pts - c
    want = np.hypot(q[:, 2], np.hypot(q[:, 0], q[:, 1]) - rad)
    assert np.allclose(ti.residuals(pts, circle=circle), want, atol=1e-14)
    with pytest.raises(TypeError, match="exactly one"):
        ti.residuals(pts, plane=plane, sphere=(c, rad))
    with pytest.raises(ValueError, match="'line'.*zero"):
        ti.residuals(pts, line=(c, [0, 0, 0]))


# ---------------------------------------------------------------------------
# Normals


def test_normals_are_perpendicular_to_an_analytic_surface():
    rng = np.random.default_rng(21)
    p, g = bumpy(rng, 6000)
    n = ti.estimate_normals(p, 16)
    assert np.allclose(np.linalg.norm(n, axis=1), 1.0, atol=1e-15)
    cos = np.abs(np.einsum("ij,ij->i", n, g))
    inner = np.all(np.abs(p[:, :2]) < 1.8, axis=1)  # edge points have one-sided neighbourhoods
    assert np.all(cos[inner] > math.cos(math.radians(5.0))) and np.median(cos) > math.cos(math.radians(1.0))
    # Without a viewpoint the largest-magnitude component is positive: here +z.
    assert np.all(n[:, 2] > 0)
    # A sphere seen from its centre: every normal points inward.
    s = sphere_points(rng, 4000, [1.0, 2.0, 3.0], 2.0, 0.0)
    n = ti.estimate_normals(s, 12, viewpoint=[1.0, 2.0, 3.0])
    radial = (s - [1.0, 2.0, 3.0]) / 2.0
    assert np.all(np.einsum("ij,ij->i", n, radial) < -math.cos(math.radians(5.0)))


def test_normals_agree_with_a_brute_force_neighbourhood():
    rng = np.random.default_rng(5)
    p = np.concatenate([rng.random((400, 3)) * [1, 1, 0.05], np.repeat(rng.random((5, 3)), 3, axis=0)])
    k = 10
    tree = ti.KDTree(p)
    n = ti.estimate_normals(p, k, tree=tree)
    assert n.tobytes() == ti.estimate_normals(p, k).tobytes()  # a given tree changes nothing
    for j in range(0, len(p), 37):
        d = np.sqrt(((p - p[j]) ** 2).sum(1))
        nb = np.lexsort((np.arange(len(p)), d))[:k]  # nearest first, ties by lower row
        q = p[nb] - p[nb].mean(0)
        w, v = np.linalg.eigh(q.T @ q)
        if w[1] > 1e-6 * w[2] and w[0] < 0.5 * w[1]:
            assert abs(np.dot(v[:, 0], n[j])) > 1 - 1e-9


def test_normals_refuse_bad_arguments():
    p = np.random.default_rng(0).random((20, 3))
    for k, err, text in [(2, ValueError, "'k'.*from 3 to 20"), (21, ValueError, "'k'"), (3.0, TypeError, "'k'"),
                         (True, TypeError, "'k'")]:
        with pytest.raises(err, match=text):
            ti.estimate_normals(p, k)
    with pytest.raises(ValueError, match="'viewpoint'"):
        ti.estimate_normals(p, 4, viewpoint=[0, np.nan, 0])
    with pytest.raises(ValueError, match="'tree'.*other points"):
        ti.estimate_normals(p, 4, tree=ti.KDTree(p[::-1]))
    with pytest.raises(TypeError, match="'tree'"):
        ti.estimate_normals(p, 4, tree=p)
    q = p.copy()
    q[3] = np.inf
    with pytest.raises(ValueError, match="'points'.*row 3"):
        ti.estimate_normals(q, 4)
    # All neighbours the same: a direction all the same, never NaN.
    n = ti.estimate_normals(np.zeros((5, 3)), 3)
    assert np.all(np.isfinite(n)) and np.allclose(np.linalg.norm(n, axis=1), 1.0)


# ---------------------------------------------------------------------------
# ICP and transforms


def quat_angle(a, b):
    return 2.0 * math.acos(min(1.0, abs(float(np.dot(unit(a), unit(b))))))


def test_icp_recovers_a_rigid_motion_on_a_noisy_surface():
    rng = np.random.default_rng(31)
    target, _ = bumpy(rng, 12000)
    truth = ti.random(1, 7)[0]
    truth = unit(np.concatenate([[1.0], 0.06 * truth[1:] / np.linalg.norm(truth[1:])]))  # ~7 degrees
    shift = np.array([0.05, -0.08, 0.03])
    # The source: target points moved by the inverse motion, with noise.
    inv = np.array([truth[0], -truth[1], -truth[2], -truth[3]])
    source = ti.apply_transform(target[::2] - shift, inv, [0, 0, 0]) + rng.normal(size=(6000, 3)) * 2e-3
    res = ti.icp(source, target, 0.3, max_iterations=60)
    assert quat_angle(res.rotation, truth) < math.radians(0.05)
    assert np.linalg.norm(res.translation - shift) < 2e-3
    assert res.fitness == 1.0 and res.rmse < 5e-3 and res.converged and 1 <= res.iterations < 60
    assert abs(np.linalg.norm(res.rotation) - 1.0) < 1e-15
    # Point to plane with the target's normals: the same motion in fewer steps.
    planar = ti.icp(source, target, 0.3, max_iterations=60, target_normals=ti.estimate_normals(target, 16))
    assert quat_angle(planar.rotation, truth) < math.radians(0.05)
    assert np.linalg.norm(planar.translation - shift) < 2e-3
    assert planar.converged and planar.iterations < res.iterations // 2
    # Starting from the answer converges at once to the same place.
    again = ti.icp(source, target, 0.3, initial=res, tree=ti.KDTree(target))
    assert quat_angle(again.rotation, res.rotation) < 1e-6 and again.iterations <= 2


def test_icp_edges_and_bad_arguments():
    rng = np.random.default_rng(2)
    target = rng.random((100, 3))
    far = target + 100.0
    res = ti.icp(far, target, 0.5)
    assert (res.rmse, res.fitness, res.iterations, res.converged) == (0.0, 0.0, 0, False)
    assert res.rotation.tolist() == [1.0, 0.0, 0.0, 0.0] and res.translation.tolist() == [0.0, 0.0, 0.0]
    res = ti.icp(target, target, 0.5, max_iterations=0)
    assert (res.rmse, res.fitness, res.iterations) == (0.0, 1.0, 0)
    # A flat target leaves point-to-plane steps singular: they fall back to point to point.
    flat = np.column_stack([rng.random((400, 2)), np.zeros(400)])
    up = np.tile([0.0, 0.0, 1.0], (400, 1))
    res = ti.icp(flat + [0.01, 0.02, 0.03], flat, 0.2, target_normals=up)
    assert np.all(np.isfinite(res.rotation)) and abs(res.translation[2] + 0.03) < 1e-12
    with pytest.raises(ValueError, match="'target_normals'.*shape"):
        ti.icp(flat, flat, 0.2, target_normals=up[:5])
    for kw, err, text in [(dict(max_distance=0.0), ValueError, "'max_distance'"),
                          (dict(max_distance=-1.0), ValueError, "'max_distance'"),
                          (dict(max_distance=np.inf), ValueError, "'max_distance'"),
                          (dict(max_distance=1.0, max_iterations=-1), ValueError, "'max_iterations'"),
                          (dict(max_distance=1.0, tolerance=-1.0), ValueError, "'tolerance'"),
                          (dict(max_distance=1.0, initial=([0, 0, 0, 0], [0, 0, 0])), ValueError, "'initial'"),
                          (dict(max_distance=1.0, initial=5), TypeError, "'initial'")]:
        with pytest.raises(err, match=text):
            ti.icp(target, target, **kw)
    with pytest.raises(ValueError, match="'source'.*row 4"):
        ti.icp(np.where(np.arange(100)[:, None] == 4, np.nan, target), target, 1.0)
    with pytest.raises(ValueError, match="'target'.*at least 3"):
        ti.icp(target, target[:2], 1.0)
    with pytest.raises(ValueError, match="'tree'"):
        ti.icp(target, target, 1.0, tree=ti.KDTree(target[:50]))


def test_apply_transform_is_quat_rotate_plus_translation():
    rng = np.random.default_rng(3)
    p = rng.normal(size=(40, 3))
    q = np.array([0.3, -0.5, 0.7, 0.2]) * 3.0  # not unit: normalised first
    t = [0.25, -1.5, 3.0]
    out = ti.apply_transform(p, q, t)
    u = Quat(*q.tolist()).normalize()
    for row, got in zip(p, out):
        v = u.rotate(Vec3d(*row.tolist()))
        assert [bits(a) for a in got] == [bits(v.x + t[0]), bits(v.y + t[1]), bits(v.z + t[2])]
    with pytest.raises(ValueError, match="'rotation'.*zero norm"):
        ti.apply_transform(p, [0, 0, 0, 0], t)
    with pytest.raises(ValueError, match="'translation'"):
        ti.apply_transform(p, q, [0, 0])


# ---------------------------------------------------------------------------
# RANSAC


def test_ransac_finds_a_plane_among_half_outliers():
    rng = np.random.default_rng(41)
    normal = unit([0.2, -0.4, 1.0])
    inliers = plane_points(rng, 3000, normal, [1.0, 2.0, 3.0], 0.01, size=10.0)
    outliers = rng.random((3000, 3)) * 10.0 - [4.0, 3.0, 2.0]
    pts = np.concatenate([inliers, outliers])
    order = rng.permutation(len(pts))
    pts = pts[order]
    plane, found = ti.ransac_plane(pts, 0.03, iterations=200, seed=9)
    n = np.array([plane.normal.x, plane.normal.y, plane.normal.z])
    assert angle(n, normal) < 2e-3
    true_rows = np.flatnonzero(order < 3000)
    assert np.all(np.diff(found) > 0) and found.dtype == np.int64
    assert len(np.intersect1d(found, true_rows)) > 0.95 * 3000
    assert len(np.setdiff1d(found, true_rows)) < 0.02 * 3000
    again = ti.ransac_plane(pts, 0.03, iterations=200, seed=9)
    assert again[1].tobytes() == found.tobytes() and bits(again[0].distance) == bits(plane.distance)
    # The early stop ends on a batch boundary with what running exactly that
    # many iterations gives: (1 - 0.5^3)^t <= 1e-8 needs t >= 138, so 160 here.
    early = ti.ransac_plane(pts, 0.03, seed=9)
    full = ti.ransac_plane(pts, 0.03, seed=9, iterations=160, probability=1.0)
    assert early[1].tobytes() == full[1].tobytes() and bits(early[0].distance) == bits(full[0].distance)
    assert len(ti.ransac_plane(pts, 0.03, seed=9, probability=1.0)[1]) > len(early[1])  # all 1000 find more


def test_ransac_refuses_bad_arguments():
    p = np.random.default_rng(0).random((30, 3))
    for kw, err, text in [(dict(threshold=0.0), ValueError, "'threshold'"),
                          (dict(threshold=-1.0), ValueError, "'threshold'"),
                          (dict(threshold=np.nan), ValueError, "'threshold'"),
                          (dict(threshold=0.1, iterations=0), ValueError, "'iterations'"),
                          (dict(threshold=0.1, seed=-1), ValueError, "'seed'"),
                          (dict(threshold=0.1, seed=1.5), TypeError, "'seed'"),
                          (dict(threshold=0.1, probability=1.5), ValueError, "'probability'")]:
        with pytest.raises(err, match=text):
            ti.ransac_plane(p, **kw)
    with pytest.raises(ValueError, match="'points'.*at least 3"):
        ti.ransac_plane(p[:2], 0.1)
    line = np.outer(np.arange(10.0), [1, 1, 1])
    with pytest.raises(ValueError, match="'points'.*collinear"):
        ti.ransac_plane(line, 0.1, iterations=20)


# ---------------------------------------------------------------------------
# The same bits for every worker count (several blocks of 4096 rows, several
# tasks of every loop). The surface is a polynomial, not numpy's sin and cos,
# so that the digest is the same on every machine (tools/aarch64_module.sh
# compares it).

DIGEST = textwrap.dedent("""
    import hashlib
    import numpy as np
    import tarsk_interop as ti
    rng = np.random.default_rng(3)
    xy = rng.random((13000, 2)) * 4
    u = xy[:, 0] - 2.0
    v = xy[:, 1] - 2.0
    p = np.column_stack([xy, 0.3 * (u - u * u * u / 6.0) * (1.0 - v * v / 2.0) + rng.normal(size=13000) * 1e-3])
    w = rng.random(13000)
    plane, rms = ti.fit_plane(p, w, return_rms=True)
    line = ti.fit_line(p, return_rms=True)
    sphere = ti.fit_sphere(p, return_rms=True)
    circle, crms = ti.fit_circle(p, return_rms=True)
    n = ti.estimate_normals(p, 8, viewpoint=[0, 0, 5])
    r = ti.icp(p[::3] + [0.01, -0.02, 0.005], p, 0.1, max_iterations=5)
    r2 = ti.icp(p[::3] + [0.01, -0.02, 0.005], p, 0.1, max_iterations=3, target_normals=n)
    rp, inl = ti.ransac_plane(p, 0.05, iterations=64, seed=2)
    vals = [plane.normal.x, plane.normal.y, plane.normal.z, plane.distance, rms, *line[0], *line[1], line[2],
            *sphere[0], sphere[1], sphere[2], circle.center.x, circle.center.y, circle.radius, crms,
            *r.rotation, *r.translation, r.rmse, r.fitness, r.iterations, *r2.rotation, *r2.translation,
            rp.normal.x, rp.distance]
    out = [np.array(vals, dtype=float), n, inl]
    print(hashlib.sha256(b"".join(np.ascontiguousarray(o).tobytes() for o in out)).hexdigest())
""")


def test_results_do_not_depend_on_the_worker_count():
    assert len(digests_by_worker_count(DIGEST)) == 1
