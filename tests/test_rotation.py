"""Rotation algebra of tarsk_interop: the element formulas against their
plain-Python models bit for bit, every sense claim against Quat.rotate, the
conversions against scipy's Rotation within a stated tolerance, input
handling (broadcasting, layouts, bad input) and bit identity across worker
counts."""
import math
import os
import platform
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from hypothesis import assume, given, settings, strategies as st

import tarsk_interop as ti
from tarsk_py import AngleRadians, Quat, Vec3d

import model_rotation as model
from floats import doubles, same
from concurrency import digests_by_worker_count

R = pytest.importorskip("scipy.spatial.transform").Rotation
Slerp = pytest.importorskip("scipy.spatial.transform").Slerp

# Agreement with scipy: absolute, on quantities of unit scale (matrix
# entries, rotated unit vectors, angles in radians).
TOL = 1e-12

SEQUENCES = [a + b + c for a in "xyz" for b in "xyz" for c in "xyz" if a != b and b != c]
SEQUENCES += [s.upper() for s in SEQUENCES]
assert len(SEQUENCES) == 24


def rows_same(a, b):
    """Equal arrays bit for bit, any NaN counting as any NaN."""
    a = np.asarray(a, dtype=np.float64).ravel()
    b = np.asarray(b, dtype=np.float64).ravel()
    return a.shape == b.shape and all(same(float(x), float(y)) for x, y in zip(a, b))


def rotate(v, q):
    """Quat.rotate, the reference of every sense claim."""
    w, i, j, k = (float(c) for c in q)
    r = Quat(w, i, j, k).rotate(Vec3d(*(float(c) for c in v)))
    return np.array([r.x, r.y, r.z])


def scipy_rot(q):
    return R.from_quat(ti.to_scipy_quat(q))


# Unit quaternions: random directions, plus the turns where formulas branch
# (identity, half turns with w = 0, axis-aligned quarter turns).
unit_component = st.floats(min_value=-1.0, max_value=1.0, allow_nan=False)
SPECIAL_QUATS = [(1.0, 0.0, 0.0, 0.0), (0.0, 1.0, 0.0, 0.0), (0.0, 0.0, 0.0, -1.0), (-1.0, 0.0, 0.0, 0.0),
                 (0.0, 0.6, -0.8, 0.0), (math.sqrt(0.5), 0.0, -math.sqrt(0.5), 0.0), (1e-9, 1.0, 0.0, 0.0)]


@st.composite
def unit_quats(draw):
    if draw(st.booleans()):
        q = draw(st.sampled_from(SPECIAL_QUATS))
    else:
        q = tuple(draw(unit_component) for _ in range(4))
        assume(sum(c * c for c in q) > 1e-6)
    return np.array(model.normalize(q))


vectors = st.tuples(*[st.floats(min_value=-10, max_value=10, allow_nan=False)] * 3).map(np.array)
finite_doubles = doubles.filter(math.isfinite)
hostile_quats = st.tuples(finite_doubles, finite_doubles, finite_doubles, finite_doubles).filter(any)
rotvecs = st.one_of(st.tuples(*[st.floats(min_value=-7, max_value=7, allow_nan=False)] * 3),
                    st.tuples(*[st.floats(min_value=-1e-3, max_value=1e-3, allow_nan=False)] * 3))
times = st.one_of(st.floats(min_value=-2.0, max_value=3.0, allow_nan=False), st.sampled_from([0.0, 1.0, 0.5]))


# ---------------------------------------------------------------------------
# Element formulas bit for bit against the models


@settings(max_examples=150, deadline=None)
@given(p=hostile_quats, q=hostile_quats)
def test_compose_inverse_and_scipy_bridge_are_exact(p, q):
    assert rows_same(ti.compose(p, q), model.compose(p, q))
    assert rows_same(ti.inverse(q), (q[0], -q[1], -q[2], -q[3]))
    assert rows_same(ti.to_scipy_quat(q), (-q[1], -q[2], -q[3], q[0]))
    # The bridge is its own exact inverse.
    assert rows_same(ti.from_scipy_quat(ti.to_scipy_quat(q)), q)


@settings(max_examples=150, deadline=None)
@given(q=st.one_of(unit_quats(), hostile_quats.map(np.array)))
def test_conversions_of_one_quaternion_match_the_models(q):
    t = tuple(float(c) for c in q)
    assert rows_same(ti.to_matrix(q), model.to_matrix(t))
    # Whole arrays take the loops over rows (with a unit row beside, so that
    # a row out of range sends the block to the row path).
    rows = np.array([q, (0.5, 0.5, 0.5, 0.5), q])
    assert rows_same(ti.to_matrix(rows)[[0, 2]], [model.to_matrix(t)] * 2)
    assert rows_same(ti.to_scipy_quat(rows)[2], (-t[1], -t[2], -t[3], t[0]))
    assert rows_same(ti.to_rotvec(q), model.to_rotvec(t))
    assert same(ti.magnitude_angle(q), model.magnitude_angle(t))


@settings(max_examples=150, deadline=None)
@given(r=rotvecs, angles=st.tuples(*[st.floats(min_value=-7, max_value=7, allow_nan=False)] * 3),
       seq=st.sampled_from(SEQUENCES))
def test_constructors_match_the_models(r, angles, seq):
    assert rows_same(ti.from_rotvec(r), model.from_rotvec(r))
    assert rows_same(ti.from_euler(seq, angles), model.from_euler(seq, angles))


@settings(max_examples=150, deadline=None)
@given(p=unit_quats(), q=unit_quats(), t=times)
def test_slerp_matches_the_model(p, q, t):
    assert rows_same(ti.slerp(p, q, t), model.slerp(tuple(p), tuple(q), t))


@pytest.mark.parametrize("seed", [0, 1, 2**64 - 1, 0x0123456789ABCDEF])
def test_random_rows_are_the_counter_based_model(seed):
    rows = ti.random(64, seed)
    assert all(tuple(rows[k]) == model.random(seed, k) for k in range(64))
    # Row k depends on (seed, k) only.
    assert ti.random(7, seed).tobytes() == rows[:7].tobytes()


def test_random_rotations_are_uniform():
    # Under the uniform (Haar) distribution every entry of the rotation
    # matrix has mean 0 and variance 1/3.
    m = ti.to_matrix(ti.random(40000, 7))
    assert np.abs(m.mean(axis=0)).max() < 0.02
    assert np.abs((m * m).mean(axis=0) - 1 / 3).max() < 0.02
    assert not np.array_equal(ti.random(4, 7), ti.random(4, 8))


# ---------------------------------------------------------------------------
# Every sense claim against Quat.rotate


@settings(max_examples=100, deadline=None)
@given(p=unit_quats(), q=unit_quats(), v=vectors)
def test_senses_agree_with_quat_rotate(p, q, v):
    tol = TOL * 10 * (1 + np.abs(v).max())
    # compose(p, q) applies q first.
    assert np.allclose(rotate(rotate(v, q), p), rotate(v, ti.compose(p, q)), rtol=0, atol=tol)
    # The matrix maps column vectors as rotate does.
    assert np.allclose(ti.to_matrix(q) @ v, rotate(v, q), rtol=0, atol=tol)
    assert np.allclose(rotate(rotate(v, q), ti.inverse(q)), v, rtol=0, atol=tol)
    # scipy's quaternion of the same turn.
    assert np.allclose(scipy_rot(q).apply(v), rotate(v, q), rtol=0, atol=tol)
    assert np.allclose(rotate(v, ti.from_matrix(ti.to_matrix(q))), rotate(v, q), rtol=0, atol=tol)


@settings(max_examples=60, deadline=None)
@given(axis=st.sampled_from([(1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0), (0.6, 0.0, -0.8)]),
       angle=st.floats(min_value=-3.0, max_value=3.0, allow_nan=False))
def test_rotation_vectors_turn_right_handed_like_from_axis_angle(axis, angle):
    q = ti.from_rotvec(np.array(axis) * angle)
    reference = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(angle))
    for v in np.eye(3):
        assert np.allclose(rotate(v, q), rotate(v, (reference.w, reference.i, reference.j, reference.k)),
                           rtol=0, atol=TOL)
    # A quarter turn about z takes x to y.
    assert np.allclose(rotate([1.0, 0.0, 0.0], ti.from_rotvec([0.0, 0.0, math.pi / 2])), [0.0, 1.0, 0.0],
                       atol=TOL)


# ---------------------------------------------------------------------------
# Against scipy's Rotation


@settings(max_examples=100, deadline=None)
@given(q=unit_quats(), r=rotvecs)
def test_conversions_agree_with_scipy(q, r):
    rot = scipy_rot(q)
    assert np.allclose(ti.to_matrix(q), rot.as_matrix(), rtol=0, atol=TOL)
    assert np.allclose(ti.to_rotvec(q), rot.as_rotvec(), rtol=0, atol=TOL * 10)
    assert abs(ti.magnitude_angle(q) - rot.magnitude()) < TOL
    assert 0.0 <= ti.magnitude_angle(q) <= math.pi
    assert np.allclose(ti.to_matrix(ti.from_rotvec(r)), R.from_rotvec(r).as_matrix(), rtol=0, atol=TOL)
    assert np.allclose(ti.to_matrix(ti.from_matrix(rot.as_matrix())), rot.as_matrix(), rtol=0, atol=TOL)


@settings(max_examples=100, deadline=None)
@given(q=unit_quats(), noise=st.lists(st.floats(min_value=-1.0, max_value=1.0), min_size=9, max_size=9),
       scale=st.sampled_from([1e-9, 1e-4, 0.3]), shrink=st.sampled_from([1.0, 1e-3, 1e-8]))
def test_nearest_rotation_of_a_skewed_matrix_agrees_with_scipy(q, noise, scale, shrink):
    # Non-orthogonal matrices, down to nearly singular ones (one column
    # shrunk towards zero).
    m = scipy_rot(q).as_matrix() + scale * np.array(noise).reshape(3, 3)
    m[:, 0] *= shrink
    assume(np.linalg.det(m) > 1e-14)
    expected = R.from_matrix(m).as_matrix()
    assert np.allclose(ti.to_matrix(ti.from_matrix(m)), expected, rtol=0, atol=1e-9)


def euler_agree(ours, theirs):
    # Angles agree modulo 2 pi (the wrap point -pi itself may round either way).
    d = np.abs(np.angle(np.exp(1j * (np.asarray(ours) - np.asarray(theirs)))))
    return d.max() < 1e-10


@settings(max_examples=150, deadline=None)
@given(seq=st.sampled_from(SEQUENCES), q=unit_quats(),
       lock=st.sampled_from([None, 0.0, math.pi, math.pi / 2, -math.pi / 2]),
       outer=st.tuples(st.floats(-3, 3), st.floats(-3, 3)))
def test_euler_angles_agree_with_scipy_also_at_gimbal_lock(seq, q, lock, outer):
    if lock is not None:
        symmetric = seq[0].lower() == seq[2].lower()
        if symmetric == (abs(lock) == math.pi / 2):
            lock = 0.0 if not symmetric else math.pi / 2 + (math.pi / 2 if lock > 0 else -math.pi / 2)
        q = ti.from_euler(seq, [outer[0], lock, outer[1]])
    rot = scipy_rot(q)
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = rot.as_euler(seq)
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        angles = ti.to_euler(q, seq)
    assert [str(w.message) for w in ours] == [str(w.message) for w in theirs]
    assert all(w.category is UserWarning for w in ours)
    assert euler_agree(angles, expected)
    # from_euler rotates vectors as scipy's from_euler does.
    assert np.allclose(ti.to_matrix(ti.from_euler(seq, angles)), R.from_euler(seq, angles).as_matrix(),
                       rtol=0, atol=TOL)
    assert np.allclose(ti.to_matrix(ti.from_euler(seq, angles)), rot.as_matrix(), rtol=0, atol=1e-7)


def test_gimbal_lock_warns_once_per_call_and_names_scipys_text():
    q = ti.from_euler("xyz", [[0.3, math.pi / 2, 0.2], [0.1, 0.2, 0.3], [0.0, -math.pi / 2, 1.0]])
    with pytest.warns(UserWarning) as record:
        angles = ti.to_euler(q, "xyz")
    assert len(record) == 1 and str(record[0].message) == ti._rotation_algebra.GIMBAL_LOCK_WARNING
    assert angles[0, 2] == 0.0 and angles[2, 2] == 0.0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ti.to_euler(q[1], "xyz")
    with pytest.warns(UserWarning, match="Gimbal lock detected"):
        assert ti.to_euler(q[0], "xyz").tobytes() == angles[0].tobytes()


@settings(max_examples=100, deadline=None)
@given(p=unit_quats(), q=unit_quats(), t=st.floats(min_value=0.0, max_value=1.0), antipodal=st.booleans())
def test_slerp_agrees_with_scipy_on_the_shortest_path(p, q, t, antipodal):
    if antipodal:
        q = -p  # the same rotation: the path stays put
    rp, rq = scipy_rot(p), scipy_rot(q)
    expected = Slerp([0.0, 1.0], R.concatenate([rp, rq]))([t])[0]
    ours = ti.slerp(p, q, t)
    assert np.allclose(ti.to_matrix(ours), expected.as_matrix(), rtol=0, atol=1e-9)
    # The endpoints are the endpoints' rotations.
    for end, target in ((0.0, p), (1.0, q)):
        assert np.allclose(ti.to_matrix(ti.slerp(p, q, end)), ti.to_matrix(target), rtol=0, atol=TOL)


def test_slerp_extrapolates_along_the_same_great_circle():
    p = ti.from_rotvec([0.0, 0.0, 0.1])
    q = ti.from_rotvec([0.0, 0.0, 0.3])
    assert np.allclose(ti.to_rotvec(ti.slerp(p, q, [-1.0, 2.0])), [[0, 0, -0.1], [0, 0, 0.5]], atol=TOL)


@settings(max_examples=60, deadline=None)
@given(qs=st.lists(unit_quats(), min_size=1, max_size=12), flips=st.lists(st.booleans(), min_size=12, max_size=12),
       weighted=st.booleans(), data=st.data())
def test_mean_agrees_with_scipy_and_ignores_signs(qs, flips, weighted, data):
    q = np.array(qs)
    weights = None
    if weighted:
        weights = np.array(data.draw(st.lists(st.floats(min_value=0.01, max_value=5.0), min_size=len(qs),
                                              max_size=len(qs))))
    expected = scipy_rot(q).mean(weights=weights).as_matrix()
    # Ill-conditioned sets (two top eigenvalues close) have no stable mean.
    k = np.einsum("n,ni,nj->ij", np.ones(len(q)) if weights is None else weights, q, q)
    top = np.linalg.eigvalsh(k)
    assume(top[-1] - top[-2] > 1e-6 * top[-1])
    assert np.allclose(ti.to_matrix(ti.mean(q, weights)), expected, rtol=0, atol=1e-8)
    # q and -q are the same rotation: antipodal rows change nothing.
    signs = np.where(np.array(flips[:len(qs)]), -1.0, 1.0)[:, None]
    assert np.allclose(ti.to_matrix(ti.mean(q * signs, weights)), expected, rtol=0, atol=1e-8)


@settings(max_examples=60, deadline=None)
@given(q=unit_quats(), b=st.lists(vectors, min_size=1, max_size=10), noise=st.sampled_from([0.0, 0.01, 0.5]),
       data=st.data())
def test_align_vectors_agrees_with_scipy(q, b, noise, data):
    b = np.array(b)
    assume((np.linalg.norm(b, axis=1) > 1e-3).all())
    a = np.array([rotate(v, q) for v in b]) + noise * np.cos(np.arange(b.size)).reshape(b.shape)
    weights = np.array(data.draw(st.lists(st.floats(min_value=0.1, max_value=3.0), min_size=len(b),
                                          max_size=len(b))))
    if len(b) > 1:
        # The best rotation is unique only when the vectors span a plane.
        assume(np.linalg.svd(np.einsum("n,ni,nj->ij", weights, a, b), compute_uv=False)[1] > 1e-6)
    expected, rssd = R.align_vectors(a, b, weights)
    ours, our_rssd = ti.align_vectors(a, b, weights)
    assert np.allclose(ti.to_matrix(ours), expected.as_matrix(), rtol=0, atol=1e-7)
    # Both take the rssd as the root of a difference of sums, which cancels
    # for a close fit: the squares agree relative to the sums.
    norms = (weights * ((a * a).sum(axis=1) + (b * b).sum(axis=1))).sum()
    assert abs(our_rssd**2 - rssd**2) < 1e-12 * norms
    if noise == 0.0:
        # b is turned onto a: the sense of rotate.
        assert np.allclose([rotate(v, ours) for v in b], a, rtol=0, atol=1e-9 * (1 + np.abs(a).max()))


@pytest.mark.parametrize("a, b", [([1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]), ([0.0, 2.0, 0.0], [0.0, -1.0, 1e-5]),
                                  ([0.0, 0.0, 1.0], [0.0, 0.0, 3.0])])
def test_align_one_pair_turns_b_onto_a_also_when_opposite(a, b):
    q, rssd = ti.align_vectors(a, b)
    b_unit = np.array(b) / np.linalg.norm(b)
    assert np.allclose(rotate(b_unit, q), np.array(a) / np.linalg.norm(a), rtol=0, atol=1e-9)
    expected, their_rssd = R.align_vectors([a], [b])
    assert abs(rssd - their_rssd) < 1e-9
    assert abs(ti.magnitude_angle(q) - expected.magnitude()) < 1e-9


# ---------------------------------------------------------------------------
# Input handling


def all_calls(q, p, m, r, e, t):
    return {
        "compose": lambda: ti.compose(p, q),
        "inverse": lambda: ti.inverse(q),
        "to_matrix": lambda: ti.to_matrix(q),
        "from_matrix": lambda: ti.from_matrix(m),
        "from_scipy_quat": lambda: ti.from_scipy_quat(q),
        "to_scipy_quat": lambda: ti.to_scipy_quat(q),
        "from_rotvec": lambda: ti.from_rotvec(r),
        "to_rotvec": lambda: ti.to_rotvec(q),
        "magnitude_angle": lambda: ti.magnitude_angle(q),
        "slerp": lambda: ti.slerp(p, q, t),
        "from_euler": lambda: ti.from_euler("zXz".upper(), e),
        "to_euler": lambda: ti.to_euler(q, "xzy"),
        "mean": lambda: ti.mean(q),
        "align_vectors": lambda: ti.align_vectors(r, e)[0],
    }


Q = ti.random(6, 3)
P = ti.random(6, 4)
M = ti.to_matrix(Q) * 1.001
RV = np.linspace(-2, 2, 18).reshape(6, 3)
E = np.linspace(-3, 3, 18)[::-1].reshape(6, 3)
T = np.linspace(-0.5, 1.5, 6)


@pytest.mark.parametrize("layout", ["view", "fortran", "float32", "readonly", "list"])
def test_layouts_give_the_bits_of_the_float64_copy(layout):
    def convert(a):
        if layout == "view":
            big = np.zeros((a.shape[0] * 2,) + a.shape[1:])
            big[::2] = a
            return big[::2]
        if layout == "fortran":
            return np.asfortranarray(a)
        if layout == "float32":
            return a.astype(np.float32)
        if layout == "readonly":
            c = a.copy()
            c.flags.writeable = False
            return c
        return a.tolist()
    originals = [Q, P, M, RV, E, T]
    converted = [convert(a) for a in originals]
    copies = [np.array(c, dtype=np.float64) for c in converted]
    snapshot = [np.array(c, dtype=np.float64).tobytes() for c in converted]
    expected = all_calls(*copies)
    for name, call in all_calls(*converted).items():
        assert np.asarray(call()).tobytes() == np.asarray(expected[name]()).tobytes(), name
    # Nothing was written to the inputs.
    assert [np.array(c, dtype=np.float64).tobytes() for c in converted] == snapshot


def test_one_rotation_broadcasts_with_the_bits_of_the_tiled_call():
    q0 = Q[2]
    quat = Quat(*q0.tolist())
    tiled = np.tile(q0, (6, 1))
    assert ti.compose(P, q0).tobytes() == ti.compose(P, tiled).tobytes() == ti.compose(P, quat).tobytes()
    assert ti.compose(quat, P).tobytes() == ti.compose(tiled, P).tobytes()
    assert ti.slerp(q0, P, 0.25).tobytes() == ti.slerp(tiled, P, np.full(6, 0.25)).tobytes()
    assert ti.slerp(q0, quat, T).shape == (6, 4)


@pytest.mark.parametrize("name", ["compose", "inverse", "to_matrix", "from_matrix", "to_scipy_quat", "from_rotvec",
                                  "to_rotvec", "slerp", "from_euler", "to_euler"])
def test_single_calls_give_the_bits_of_one_row(name):
    # Single rotations take a shorter path through the native module; it
    # must give the row loop's bits.
    args = {"compose": (Q[0], P[0]), "inverse": (Q[0],), "to_matrix": (Q[0],), "from_matrix": (M[0],),
            "to_scipy_quat": (Q[0],), "from_rotvec": (RV[0],), "to_rotvec": (Q[0],), "slerp": (Q[0], P[0], 0.3),
            "from_euler": ("ZYX", E[0]), "to_euler": (Q[0], "yzy")}[name]
    fn = getattr(ti, name)
    rows = tuple(a[None] if isinstance(a, np.ndarray) else a for a in args)
    if name == "slerp":
        rows = rows[:2] + (np.array([0.3]),)
    single = fn(*args)
    assert single.tobytes() == fn(*rows)[0].tobytes()
    quats = tuple(Quat(*a.tolist()) if isinstance(a, np.ndarray) and a.shape == (4,) and name != "from_rotvec"
                  else a for a in args)
    assert fn(*quats).tobytes() == single.tobytes()


@pytest.mark.parametrize("call, shape", [
    (lambda: ti.compose(Quat.identity(), [1.0, 0.0, 0.0, 0.0]), (4,)),
    (lambda: ti.inverse(Quat.identity()), (4,)),
    (lambda: ti.to_matrix(Quat.identity()), (3, 3)),
    (lambda: ti.from_matrix(np.eye(3)), (4,)),
    (lambda: ti.to_rotvec(Quat.identity()), (3,)),
    (lambda: ti.to_euler(Q[0], "xyz"), (3,)),
    (lambda: ti.from_euler("xyz", [1.0, 2.0, 3.0]), (4,)),
    (lambda: ti.slerp(Q[0], Q[1], 0.5), (4,)),
    (lambda: ti.to_matrix(Q), (6, 3, 3)),
    (lambda: ti.magnitude_angle(Q), (6,)),
    (lambda: ti.to_matrix(Q[:0]), (0, 3, 3)),
    (lambda: ti.random(0, 1), (0, 4)),
])
def test_result_shapes(call, shape):
    assert np.shape(call()) == shape
    assert type(ti.magnitude_angle(Quat.identity())) is float


ZERO = [0.0, 0.0, 0.0, 0.0]
BAD_INPUT = [
    (lambda: ti.compose(Q, ZERO), ValueError, "argument 'q': the quaternion has zero norm"),
    (lambda: ti.compose(np.vstack([Q, [ZERO]]), Q[0]), ValueError, "argument 'p': the quaternion at row 6 has zero"),
    (lambda: ti.to_matrix(np.zeros(4)), ValueError, "argument 'q': the quaternion has zero norm"),
    (lambda: ti.inverse(Quat(0.0, 0.0, 0.0, 0.0)), ValueError, "argument 'q': the quaternion has zero norm"),
    (lambda: ti.slerp(Q[0], Q[1], math.inf), ValueError, "argument 't': t is not finite"),
    (lambda: ti.from_matrix(-np.eye(3)), ValueError, "argument 'm': the matrix has a negative determinant"),
    (lambda: ti.mean([Q[0], ZERO]), ValueError, "argument 'q': the quaternion at row 1 has zero norm"),
    (lambda: ti.compose(Q, P[:4]), ValueError, "argument 'q': expected 1 or 6 rows"),
    (lambda: ti.slerp(Q, P, np.zeros(5)), ValueError, "argument 't': expected 1 or 6 rows"),
    (lambda: ti.slerp(Q, P, math.nan), ValueError, "argument 't': t is not finite"),
    (lambda: ti.slerp(Q, P, "0.5"), TypeError, "argument 't'"),
    (lambda: ti.compose(Q, np.zeros((6, 3))), ValueError, "argument 'q': expected a Quat or an array of shape"),
    (lambda: ti.inverse(Vec3d(1, 2, 3)), TypeError, "argument 'q'"),
    (lambda: ti.inverse("abcd"), TypeError, "argument 'q'"),
    (lambda: ti.from_matrix(np.zeros((3, 4))), ValueError, "argument 'm': expected an array of shape (3, 3)"),
    (lambda: ti.from_matrix(np.diag([1.0, 1.0, math.inf])), ValueError, "argument 'm': the matrix has a non-finite"),
    (lambda: ti.from_matrix(np.diag([1.0, 1.0, -1.0])), ValueError, "is a reflection"),
    (lambda: ti.from_matrix(np.zeros((3, 3))), ValueError, "rank below two"),
    (lambda: ti.from_matrix(np.outer([1.0, 2.0, 4.0], [0.5, -1.0, 0.25])), ValueError, "rank below two"),
    (lambda: ti.from_matrix(np.stack([np.eye(3), np.eye(3) * math.nan])), ValueError, "at row 1 has a non-finite"),
    (lambda: ti.from_euler("xxy", [0, 0, 0]), ValueError, "argument 'seq': expected consecutive axes"),
    (lambda: ti.to_euler(Q, "xYz"), ValueError, "argument 'seq': expected three axes"),
    (lambda: ti.to_euler(Q, "xy"), ValueError, "argument 'seq'"),
    (lambda: ti.to_euler(Q, "xyw"), ValueError, "argument 'seq'"),
    (lambda: ti.to_euler(Q, b"xyz"), TypeError, "argument 'seq'"),
    (lambda: ti.from_euler("xyz", np.zeros((2, 2))), ValueError, "argument 'angles'"),
    (lambda: ti.from_rotvec(np.zeros((2, 4))), ValueError, "argument 'r'"),
    (lambda: ti.random(-1, 0), ValueError, "argument 'n'"),
    (lambda: ti.random(2**63, 1), ValueError, "argument 'n'"),
    (lambda: ti.random(sys.maxsize // 32 + 1, 1), ValueError, "argument 'n'"),
    (lambda: ti.random(2, 2**64), ValueError, "argument 'seed'"),
    (lambda: ti.random(2, 1.5), TypeError, "argument 'seed'"),
    (lambda: ti.mean(Q[:0]), ValueError, "argument 'q': the mean of no rotations"),
    (lambda: ti.mean(Q, np.ones(5)), ValueError, "argument 'weights': expected an array of shape (6,)"),
    (lambda: ti.mean(Q, -np.ones(6)), ValueError, "argument 'weights': expected non-negative"),
    (lambda: ti.mean(Q, np.full(6, math.inf)), ValueError, "argument 'weights': expected finite"),
    (lambda: ti.align_vectors(RV, RV[:5]), ValueError, "argument 'b': expected the shape of 'a'"),
    (lambda: ti.align_vectors([0.0, 0.0, 0.0], [1.0, 0.0, 0.0]), ValueError, "zero length"),
    (lambda: ti.align_vectors(RV[:0], RV[:0]), ValueError, "argument 'a'"),
    (lambda: ti.approx_equal(Q, P, math.nan), ValueError, "argument 'atol': atol is not finite"),
    (lambda: ti.rotate(RV, Q[:4]), ValueError, "argument 'q': expected 1 or 6 rows"),
]


@pytest.mark.parametrize("call, error, text", BAD_INPUT)
def test_bad_input_is_refused_naming_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_zero_norm_rows_do_not_stop_earlier_rows_being_refused_in_order():
    # The first faulty row is reported, whatever row the loop met first.
    q = np.tile(Q[0], (20000, 1))
    q[[15000, 9000]] = 0.0
    with pytest.raises(ValueError, match="row 9000 "):
        ti.to_rotvec(q)


# ---------------------------------------------------------------------------
# The same bits for every worker count

DIGEST = textwrap.dedent("""
    import hashlib, warnings
    import numpy as np
    import tarsk_interop as ti
    warnings.simplefilter("ignore")
    q = ti.random(60000, 11)
    p = ti.random(60000, 12)
    t = np.linspace(-0.25, 1.25, 60000)
    m = ti.to_matrix(q) * 1.0001
    out = [ti.compose(p, q), ti.inverse(q), ti.to_matrix(q), ti.from_matrix(m), ti.to_scipy_quat(q),
           ti.from_scipy_quat(p), ti.to_rotvec(q), ti.from_rotvec(ti.to_rotvec(p)), ti.magnitude_angle(q),
           ti.slerp(p, q, t), ti.from_euler("ZYZ", ti.to_euler(q, "ZYZ")), ti.to_euler(p, "xzy"),
           ti.mean(q, t * t), ti.align_vectors(q[:, 1:], p[:, :3], t * t)[0]]
    print(hashlib.sha256(b"".join(np.ascontiguousarray(o).tobytes() for o in out)).hexdigest())
""")


def test_results_do_not_depend_on_the_worker_count():
    assert len(digests_by_worker_count(DIGEST)) == 1


@pytest.mark.skipif(platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc",
                    reason="glibc's FMA switch exists on x86-64 only")
def test_results_do_not_depend_on_the_processors_fma():
    # glibc picks its sin, cos, atan2 and hypot by the processor's features;
    # with its FMA code paths off (what a processor without FMA runs) the
    # companion's results keep every bit, since none of them comes from
    # the C library.
    digests = set()
    for tunables in (None, "glibc.cpu.hwcaps=-FMA,-AVX2"):
        env = dict(os.environ)
        if tunables:
            env["GLIBC_TUNABLES"] = tunables
        r = subprocess.run([sys.executable, "-c", DIGEST], env=env, capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stderr
        digests.add(r.stdout.strip())
    assert len(digests) == 1


# ---------------------------------------------------------------------------
# The same bits from every compiler and optimisation level

CORE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


# The compilers, not the interpreter, are under test: run once.
@pytest.mark.slow
def test_core_formulas_give_the_same_bits_from_every_compiler(tmp_path):
    # The project's floating-point flags; every compiler found here, at -O0
    # and -O2, must print the same digest of every core rotation formula.
    import shutil
    compilers = [c for c in ("g++", "clang++", "clang++-14") if shutil.which(c)]
    if not compilers:
        pytest.skip("no C++ compiler")
    src = os.path.join(CORE, "tarsk", "src")
    include = os.path.join(CORE, "tarsk", "include")
    sources = [os.path.join(CORE, "tests", "native", "rotation_digest.cpp")] + [
        os.path.join(src, f) for f in ("rotation.cpp", "crmath.cpp", "quat.cpp", "angle.cpp", "vec3d.cpp", "float_text.cpp")]
    digests = {}
    for compiler in compilers:
        for level in ("-O0", "-O2"):
            exe = tmp_path / f"digest-{compiler}{level}"
            build = subprocess.run([compiler, level, "-std=c++20", "-ffp-contract=off", "-fno-fast-math",
                                    "-fno-math-errno", "-I", str(include), *sources, "-o", str(exe)],
                                   capture_output=True, text=True, timeout=600)
            assert build.returncode == 0, build.stderr
            run = subprocess.run([str(exe), "3000"], capture_output=True, text=True, timeout=300)
            assert run.returncode == 0, run.stdout
            digests[f"{compiler} {level}"] = run.stdout.strip()
    assert len(set(digests.values())) == 1, digests


# ---------------------------------------------------------------------------
# The edges: non-finite input, Euler angles at half turns and at the gimbal
# threshold, matrices far from rotations, and the ends of the double range


def _with(a, row, value):
    a = np.array(a, dtype=np.float64)
    a.reshape(a.shape[0], -1)[row, 0] = value
    return a


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_non_finite_rows_are_refused_naming_the_argument_and_the_first_row(bad):
    calls = [
        (lambda: ti.mean(_with(Q, 4, bad), np.where(np.arange(6) == 4, 0.0, 1.0)), "argument 'q': the quaternion at row 4"),
        (lambda: ti.mean(_with(_with(Q, 4, bad), 5, bad)), "argument 'q': the quaternion at row 4"),
        (lambda: ti.align_vectors(_with(RV, 3, bad), E, np.where(np.arange(6) == 3, 0.0, 1.0)),
         "argument 'a': the vector at row 3"),
        (lambda: ti.align_vectors(RV, _with(E, 2, bad)), "argument 'b': the vector at row 2"),
        (lambda: ti.mean(Q, _with(np.ones((6, 1)), 3, bad)[:, 0]), "argument 'weights': expected finite weights, "
                                                                    "the weight at row 3"),
        (lambda: ti.align_vectors(RV[0], _with(E[:1], 0, bad)[0]), "argument 'b': the vector has"),
        (lambda: ti.compose(P, _with(Q, 1, bad)), "argument 'q': the quaternion at row 1"),
        (lambda: ti.inverse(_with(Q, 5, bad)), "argument 'q': the quaternion at row 5"),
        (lambda: ti.to_matrix(_with(Q, 0, bad)[0]), "argument 'q': the quaternion has"),
        (lambda: ti.to_scipy_quat(_with(Q, 2, bad)), "argument 'q': the quaternion at row 2"),
        (lambda: ti.from_scipy_quat(_with(Q, 2, bad)), "argument 'a': the quaternion at row 2"),
        (lambda: ti.to_rotvec(_with(Q, 3, bad)), "argument 'q': the quaternion at row 3"),
        (lambda: ti.magnitude_angle(_with(Q, 3, bad)), "argument 'q': the quaternion at row 3"),
        (lambda: ti.to_euler(_with(Q, 1, bad), "xyz"), "argument 'q': the quaternion at row 1"),
        (lambda: ti.slerp(_with(P, 1, bad), Q, 0.5), "argument 'p': the quaternion at row 1"),
        (lambda: ti.from_rotvec(_with(RV, 4, bad)), "argument 'r': the rotation vector at row 4"),
        (lambda: ti.from_euler("xyz", _with(E, 4, bad)), "argument 'angles': the angles at row 4"),
        (lambda: ti.from_matrix(_with(M, 2, bad)), "argument 'm': the matrix at row 2"),
    ]
    for call, text in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert text in str(info.value) and ("non-finite" in str(info.value) or "finite weights" in str(info.value))


def _euler_rows(seq, rng):
    """Rows of every kind for seq: random, exact half turns (outer angles of
    0, +-pi/2, +-pi), and middle angles placed within a few ulps of the
    gimbal threshold 1e-7 from 0 or pi (or from +-pi/2)."""
    symmetric = seq[0].lower() == seq[2].lower()
    rows = [ti.random(64, 9)]
    middles = [0.0, math.pi] if symmetric else [math.pi / 2, -math.pi / 2]
    angles = []
    for middle in middles:
        for offset in (0.0, 1e-7, -1e-7, 2e-7, -2e-7, 5e-8, -5e-8):
            for ulps in range(-6, 7, 2):
                m = middle + offset * (1 + ulps * 2.0**-52)
                angles.append([rng.uniform(-4, 4), m, rng.uniform(-4, 4)])
                angles.append([math.pi * rng.choice([-1, -0.5, 0, 0.5, 1]), m, math.pi * rng.choice([-1, 0, 0.5, 1])])
    rows.append(ti.from_euler(seq, np.array(angles)))
    return np.vstack(rows)


@pytest.mark.parametrize("seq", SEQUENCES)
def test_euler_angles_are_scipys_at_half_turns_and_the_gimbal_threshold(seq):
    rng = np.random.default_rng(sum(map(ord, seq)))
    q = _euler_rows(seq, rng)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ours = ti.to_euler(q, seq)
        theirs = R.from_quat(ti.to_scipy_quat(q)).as_euler(seq)
    # scipy's atan2 and hypot are the C library's, ours are correctly
    # rounded: the angles may differ in the last bit, and a middle angle
    # that lies within an ulp of the gimbal threshold may be decided the
    # other way. Everywhere else the decisions, the exact half turns and the
    # signs of +-pi are scipy's.
    symmetric = seq[0].lower() == seq[2].lower()
    def locked(angles):
        middle = angles[:, 1] - (math.pi / 2 if not symmetric else 0.0)
        return (np.abs(middle) <= 1e-7) | (np.abs(angles[:, 1] - math.pi) <= 1e-7) | (
            np.abs(angles[:, 1] + math.pi / 2) <= 1e-7)
    same = locked(ours) == locked(theirs)
    threshold = np.minimum.reduce([np.abs(np.abs(ours[:, 1] - c) - 1e-7) for c in (0.0, math.pi, math.pi / 2,
                                                                                  -math.pi / 2)])
    assert (threshold[~same] < 1e-15).all()
    assert np.abs(ours[~same, 1] - theirs[~same, 1]).max(initial=0.0) <= 4.5e-16
    assert np.abs(ours[same] - theirs[same]).max() <= 4.5e-16
    for special in (0.0, math.pi, -math.pi):
        assert ((ours[same] == special) == (theirs[same] == special)).all()
    assert (np.abs(ours) <= math.pi).all()
    middle = ours[:, 1]
    if symmetric:
        assert ((middle >= 0) & (middle <= math.pi)).all()
    else:
        assert (np.abs(middle) <= math.pi / 2).all()


@settings(max_examples=100, deadline=None)
@given(q=hostile_quats, seq=st.sampled_from(SEQUENCES))
def test_euler_angles_match_the_model(q, seq):
    angles, lock = model.to_euler(q, seq)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        ours = ti.to_euler(q, seq)
    assert rows_same(ours, angles)
    assert bool(record) == lock


# Rows the loops over whole arrays handle apart: at the gimbal-lock threshold
# and at half turns, with tiny and huge multiples (scaled before their norm).
_EDGE_ROWS = [ti.from_euler(seq, [a, m, c]) for seq in ("xyz", "ZXZ", "yzy", "ZYX")
              for m in (0.0, math.pi / 2, math.pi, -math.pi / 2, math.pi / 2 + 1e-7, 1e-7 * (1 + 2.0**-50))
              for a, c in ((0.3, 0.2), (math.pi, -math.pi))]
_EDGE_ROWS += [ti.random(1, 3)[0] * s for s in (1e-170, 1e155, 5e-324 * 2**40)]


@settings(max_examples=80, deadline=None)
@given(rows=st.lists(st.one_of(unit_quats(), hostile_quats.map(np.array), st.sampled_from(_EDGE_ROWS)),
                     min_size=1, max_size=40),
       seq=st.sampled_from(SEQUENCES))
def test_whole_arrays_give_the_bits_of_their_rows_one_by_one(rows, seq):
    # Whole arrays run the loops over blocks of rows (and fall back to the
    # rows one by one when a block has a row out of range); single rows run
    # the row formula alone.
    q = np.array(rows, dtype=np.float64)
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        whole = ti.to_euler(q, seq)
    locks = 0
    for k in range(len(q)):
        with warnings.catch_warnings(record=True) as one:
            warnings.simplefilter("always")
            assert rows_same(whole[k], ti.to_euler(q[k], seq))
        locks += len(one)
    assert len(record) == (1 if locks else 0)
    for f in (ti.to_matrix, ti.inverse, ti.to_scipy_quat, ti.from_scipy_quat):
        whole = f(q)
        assert all(rows_same(whole[k], f(q[k])) for k in range(len(q))), f.__name__


def _to_euler(*args, **kwargs):
    return ti.to_euler(*args, **kwargs)  # the line the gimbal-lock warning names


def test_the_gimbal_lock_warning_points_at_the_callers_line():
    # Every path (single rows and whole arrays natively, keyword calls, the
    # general path of conversions, degrees) warns once, at the caller.
    q = ti.from_euler("xyz", [[0.3, math.pi / 2, 0.2]] * 2)
    line = _to_euler.__code__.co_firstlineno + 1
    for args, kwargs in [((q, "xyz"), {}), ((q[0], "xyz"), {}), ((q,), {"seq": "xyz"}), ((q.tolist(), "xyz"), {}),
                         ((q[0].tolist(), "xyz"), {}), ((q, "xyz"), {"degrees": True}),
                         ((q[0], "xyz"), {"degrees": True})]:
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            _to_euler(*args, **kwargs)
        assert [(w.category, w.filename, w.lineno) for w in record] == [(UserWarning, __file__, line)]


def test_from_matrix_gives_the_nearest_rotation_of_every_matrix_that_is_not_a_reflection():
    rng = np.random.default_rng(5)
    base = R.random(200, random_state=6).as_matrix()
    # Nearly singular with a positive determinant, rank two, and scaled to
    # the ends of the double range.
    near = base.copy()
    near[:, :, 2] = near[:, :, 0] * 0.6 + near[:, :, 1] * 0.8 + 1e-12 * rng.normal(size=(200, 3))
    det = np.linalg.det(near)
    near[det < 0, :, 2] = near[det < 0, :, 0] * 0.6 + near[det < 0, :, 1] * 0.8 - (near[det < 0, :, 2] - (
        near[det < 0, :, 0] * 0.6 + near[det < 0, :, 1] * 0.8))
    expected = R.from_matrix(near).as_matrix()
    assert np.allclose(ti.to_matrix(ti.from_matrix(near)), expected, rtol=0, atol=1e-6)
    # A rotation with its last column zeroed (rank two) is nearest to the
    # rotation itself (scipy refuses it).
    rank_two = base.copy()
    rank_two[:, :, 2] = 0.0
    assert np.allclose(ti.to_matrix(ti.from_matrix(rank_two)), base, rtol=0, atol=1e-12)
    for scale, tol in ((1e160, 1e-14), (1e-160, 1e-14), (2.0**1000, 1e-14), (2.0**-1040, 1e-9)):
        # (the last scale leaves the entries about 34 significant bits)
        ours = ti.to_matrix(ti.from_matrix(base[:20] * scale))
        assert np.allclose(ours, base[:20], rtol=0, atol=tol)
    with pytest.raises(ValueError, match="reflection"):
        ti.from_matrix(base[0] @ np.diag([1.0, 1.0, -1e-300]))


def test_every_finite_multiple_names_the_rotation_of_its_unit_multiple():
    q = ti.random(50, 4)
    a = ti.to_matrix(q)[:, 0] * np.linspace(0.5, 2.0, 50)[:, None]
    b = ti.rotate(a, ti.inverse(ti.random(1, 8)[0])) + 1e-3 * np.cos(np.arange(150)).reshape(50, 3)
    expected = [ti.to_matrix(q), ti.to_rotvec(q), ti.magnitude_angle(q), ti.to_euler(q, "zyx"),
                ti.slerp(q, q[::-1], 0.3), ti.mean(q)]
    fit, rssd = ti.align_vectors(a, b)
    for scale in (1e155, 1e-170, 2.0**1020, 5e-324 * 2**30):
        s = q * scale
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            got = [ti.to_matrix(s), ti.to_rotvec(s), ti.magnitude_angle(s), ti.to_euler(s, "zyx"),
                   ti.slerp(s, s[::-1], 0.3), ti.mean(s)]
        tol = 1e-8 if scale < 1e-300 else 1e-14  # subnormal components keep about 30 bits
        for want, have in zip(expected, got):
            assert np.allclose(have, want, rtol=0, atol=tol)
    # Vectors and weights: the rotation of align_vectors and mean, and the
    # rssd scaled by the vectors' scale.
    for scale in (1e154, 1e-170):
        fit_s, rssd_s = ti.align_vectors(a * scale, b * scale)
        assert np.allclose(ti.to_matrix(fit_s), ti.to_matrix(fit), rtol=0, atol=1e-12)
        assert abs(rssd_s / scale - rssd) < 1e-9 * rssd
        fit_w, rssd_w = ti.align_vectors(a, b, np.full(50, 1e308))
        assert np.allclose(ti.to_matrix(fit_w), ti.to_matrix(fit), rtol=0, atol=1e-12)
        assert abs(rssd_w / 1e154 - rssd) < 1e-9 * rssd
    pair, _ = ti.align_vectors(a[0] * 1e154, b[0] * 1e-170)
    assert np.allclose(ti.to_matrix(pair), ti.to_matrix(ti.align_vectors(a[0], b[0])[0]), rtol=0, atol=1e-12)
    weights = np.linspace(0.1, 1.0, 50)
    assert np.allclose(ti.to_matrix(ti.mean(q, weights * 1e308)), ti.to_matrix(ti.mean(q, weights)), rtol=0,
                       atol=1e-12)
    assert np.allclose(ti.to_matrix(ti.mean(q, weights * 1e-310)), ti.to_matrix(ti.mean(q, weights)), rtol=0,
                       atol=1e-12)
    # A rotation vector at the top of the range turns by its angle modulo a
    # turn: no NaN.
    assert np.isfinite(ti.from_rotvec([1e300, 1e300, 0.0])).all()


# ---------------------------------------------------------------------------
# n rotations on n points, degrees, approx_equal


def test_rotate_by_rows_of_quaternions_gives_the_bits_of_quat_rotate_row_by_row():
    a = RV * np.array([1.0, -3.0, 1e-3])
    q = np.vstack([Q[:5], [[2.0, 0.0, 0.0, 0.0]]])  # not normalised: as Quat.rotate takes it
    out = ti.rotate(a, q)
    for k in range(6):
        assert out[k].tobytes() == rotate(a[k], q[k]).tobytes()
    # One row of either broadcasts; a single vector and quaternion give one row.
    assert ti.rotate(a[2], q).tobytes() == ti.rotate(np.tile(a[2], (6, 1)), q).tobytes()
    assert ti.rotate(a, q[3]).tobytes() == ti.rotate(a, np.tile(q[3], (6, 1))).tobytes()
    assert ti.rotate(a, Quat(*q[3].tolist())).tobytes() == ti.rotate(a, q[3:4]).tobytes()
    assert ti.rotate(a[1], q[1]).tobytes() == out[1].tobytes()
    # scipy's apply with n rotations.
    assert np.allclose(scipy_rot(q[:5]).apply(a[:5]), out[:5], rtol=0, atol=1e-12 * (1 + np.abs(a).max()))


def test_degrees_are_scipys():
    e = np.degrees(E)
    assert ti.from_euler("zxz", e, degrees=True).tobytes() == ti.from_euler("zxz", np.deg2rad(e)).tobytes()
    assert ti.to_euler(Q, "XYZ", degrees=True).tobytes() == R.from_quat(ti.to_scipy_quat(Q)).as_euler(
        "XYZ", degrees=True).tobytes()
    assert np.allclose(ti.to_matrix(ti.from_euler("zxz", e, degrees=True)),
                       R.from_euler("zxz", e, degrees=True).as_matrix(), rtol=0, atol=TOL)
    assert np.allclose(ti.to_matrix(ti.from_rotvec(np.degrees(RV), degrees=True)),
                       R.from_rotvec(np.degrees(RV), degrees=True).as_matrix(), rtol=0, atol=TOL)
    assert np.allclose(ti.to_rotvec(Q, degrees=True), scipy_rot(Q).as_rotvec(degrees=True), rtol=0, atol=1e-10)
    assert ti.magnitude_angle(Q[0], degrees=True) == np.rad2deg(ti.magnitude_angle(Q[0]))
    assert ti.to_euler(Q[0], "xyz", degrees=True).tobytes() == ti.to_euler(Q[:1], "xyz", degrees=True)[0].tobytes()


def test_approx_equal_compares_rotations_not_components():
    q = ti.random(6, 2)
    near = ti.compose(ti.from_rotvec([1e-9, 0.0, 0.0]), q)
    assert ti.approx_equal(q, -q * 3.0, 1e-15).all()
    assert ti.approx_equal(q, near, 1e-8).all()
    assert not ti.approx_equal(q, near, 1e-10).any()
    assert ti.approx_equal(q[0], Quat(*(-q[0]).tolist()), 1e-12) is True
    theirs = scipy_rot(q).approx_equal(scipy_rot(near), atol=1e-8)
    assert (ti.approx_equal(q, near, 1e-8) == theirs).all()


def test_the_table_gives_the_signatures_of_the_wrappers_and_the_stubs():
    import ast
    import importlib.util
    import inspect
    import pathlib
    import tarsk_interop.dask as tid
    root = pathlib.Path(ti.__file__).parent
    for stub_name, module in (("__init__.pyi", ti), ("dask.pyi", tid)):
        tree = ast.parse((root / stub_name).read_text())
        stubs = {f.name: f for f in tree.body if isinstance(f, ast.FunctionDef)}
        for name, (arguments, _, degrees, _) in ti._rotation_algebra.TABLE.items():
            expected = [a for a, _ in arguments]
            stub = stubs[name]
            assert [a.arg for a in stub.args.args] == expected, (stub_name, name)
            if stub_name == "__init__.pyi":
                kinds = [ti._rotation_algebra._KIND_TYPE[k] for _, k in arguments]
                assert [ast.unparse(a.annotation) for a in stub.args.args] == kinds, name
            assert [a.arg for a in stub.args.kwonlyargs] == (["degrees"] if degrees else []), (stub_name, name)
            runtime = inspect.signature(getattr(module, name))
            assert list(runtime.parameters) == expected + (["degrees"] if degrees else []), name
            assert name in module.__all__
    # The stubs are what tools/rotation_stubs.py writes from the table.
    tools = pathlib.Path(__file__).resolve().parent.parent / "tools"
    spec = importlib.util.spec_from_file_location("rotation_stubs", tools / "rotation_stubs.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    for stub_name, in_memory in (("__init__.pyi", True), ("dask.pyi", False)):
        text = (root / stub_name).read_text()
        assert tool.rewrite(text, ti._rotation_algebra.TABLE, in_memory, ti._rotation_algebra._KIND_TYPE) == text
