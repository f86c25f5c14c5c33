"""tarsk_interop.KDTree against a brute-force numpy scan, bit for bit: the
k nearest (ties by ascending row, the distance bound strict), balls and
pairs (distance == r included, sorted), on uniform, clustered, duplicated,
collinear and lattice points, tiny and empty trees; bad input; copies and
pickles; the same bits for every worker count."""
import copy
import math
import pickle
import struct
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarsk_interop as ti
from tarsk_py import Vec3d, VecList

from concurrency import digests_by_worker_count

INF = math.inf


# ---------------------------------------------------------------------------
# The model: every distance as Vec3d(*x).distance_to(Vec3d(*p)) computes it,
# each operation rounded on its own (numpy's element-wise operations are).

def distances(x, points):
    """(m, n) distances of every stored point from every query."""
    x = np.asarray(x, dtype=np.float64).reshape(-1, 3)
    d = [x[:, None, c] - points[None, :, c] for c in range(3)]
    return np.sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])


def model_query(points, x, k, bound=INF):
    n = len(points)
    dist = distances(x, points)
    out_d = np.full((len(dist), k), INF)
    out_i = np.full((len(dist), k), n, dtype=np.int64)
    for q, row in enumerate(dist):
        order = np.lexsort((np.arange(n), row))
        if bound < INF:
            order = order[row[order] < bound]
        order = order[:k]
        out_d[q, :len(order)] = row[order]
        out_i[q, :len(order)] = order
    return out_d, out_i


def model_ball(points, x, r):
    return [np.flatnonzero(row <= r) for row in distances(x, points)]


def model_pairs(points, r):
    dist = distances(points, points)
    i, j = np.nonzero(np.triu(dist <= r, 1))
    return np.stack([i, j], axis=1).astype(np.int64).reshape(-1, 2)


def same(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def check_all(points, x, ks=(1, 2, 5, 17), radii=(0.0, 0.1, 0.35), leafsize=None):
    tree = ti.KDTree(points, leafsize=leafsize)
    n = len(points)
    for k in ks:
        d, i = tree.query(x, k=k)
        md, mi = model_query(points, x, k)
        if k == 1:
            md, mi = md[:, 0], mi[:, 0]
        assert same(d, md) and same(i, mi), (k, leafsize)
    for r in radii:
        got = tree.query_ball_point(x, r)
        want = model_ball(points, x, r)
        assert len(got) == len(want)
        assert all(same(g, w) for g, w in zip(got, want)), (r, leafsize)
        assert same(tree.query_ball_point(x, r, return_length=True), np.array([len(w) for w in want], np.int64))
        assert same(tree.query_pairs(r), model_pairs(points, r)), (r, leafsize)
    assert tree.n == n


# ---------------------------------------------------------------------------
# Data sets

RNG = np.random.default_rng(2026)
UNIFORM = RNG.random((300, 3))
CLUSTERED = np.concatenate([c + 1e-3 * RNG.standard_normal((60, 3)) for c in RNG.random((5, 3))])
DUPLICATES = np.repeat(RNG.random((40, 3)), 6, axis=0)[RNG.permutation(240)]
LINE = np.outer(np.arange(120) * 0.125, [1.0, 0.0, 0.0]) + [0.5, -2.0, 3.0]
LATTICE = np.stack(np.meshgrid(*[np.arange(6) * 0.25] * 3, indexing="ij"), -1).reshape(-1, 3)[::-1].copy()
SURFACE = np.column_stack([RNG.random(300), RNG.random(300), np.zeros(300)])
SURFACE[:, 2] = 0.1 * np.sin(6 * SURFACE[:, 0]) * np.cos(5 * SURFACE[:, 1])

DATASETS = {
    "uniform": (UNIFORM, RNG.random((50, 3)) * 1.2 - 0.1),
    "clustered": (CLUSTERED, np.concatenate([CLUSTERED[::20] + 1e-4, RNG.random((20, 3))])),
    "duplicates": (DUPLICATES, np.concatenate([DUPLICATES[:25], RNG.random((20, 3))])),
    "line": (LINE, np.concatenate([LINE[::7], LINE[::11] + [0.0625, 0.0, 0.0], [[0.0, 0.0, 0.0]]])),
    "lattice": (LATTICE, np.concatenate([LATTICE[::9] + 0.125, LATTICE[::13]])),
    "surface": (SURFACE, SURFACE[::6] + [0.0, 0.0, 0.01]),
}


@pytest.mark.parametrize("leafsize", [None, 1, 3, 1000])
@pytest.mark.parametrize("name", DATASETS)
def test_every_search_is_the_brute_force_scan_bit_for_bit(name, leafsize):
    points, x = DATASETS[name]
    radii = (0.0, 0.125, 0.25, 0.3) if name in ("line", "lattice") else (0.0, 0.05, 0.2)
    check_all(points, x, radii=radii, leafsize=leafsize)


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_tiny_trees_and_k_beyond_n(n):
    points = UNIFORM[:n]
    x = UNIFORM[100:110]
    check_all(points, x, ks=(1, 2, 4, 17), radii=(0.0, 0.3, INF))


def test_the_empty_tree_answers_inf_and_n():
    tree = ti.KDTree(np.empty((0, 3)))
    assert tree.query([1.0, 2.0, 3.0]) == (INF, 0)
    d, i = tree.query([[0.0, 0.0, 0.0]] * 2, k=3)
    assert same(d, np.full((2, 3), INF)) and same(i, np.zeros((2, 3), np.int64))
    assert same(tree.query_ball_point([0.0, 0.0, 0.0], INF), np.empty(0, np.int64))
    assert same(tree.query_pairs(INF), np.empty((0, 2), np.int64))
    assert tree.data.shape == (0, 3)


def test_the_model_is_vec3d_distance_to():
    x, p = RNG.standard_normal(3) * 1e3, RNG.standard_normal(3)
    d = distances(x, p.reshape(1, 3))[0, 0]
    assert struct.pack("<d", d) == struct.pack("<d", Vec3d(*x).distance_to(Vec3d(*p)))
    tree = ti.KDTree(p.reshape(1, 3))
    assert struct.pack("<d", tree.query(x)[0]) == struct.pack("<d", d)


def equal_distance_pair():
    """Two points at the same distance from the origin whose squared
    distances differ (the square root rounds them together)."""
    u = RNG.standard_normal((20000, 3))
    u = 1.5 * u / np.linalg.norm(u, axis=1)[:, None]
    s = (u[:, 0] * u[:, 0] + u[:, 1] * u[:, 1]) + u[:, 2] * u[:, 2]
    d = np.sqrt(s)
    order = np.lexsort((s, d))
    for a, b in zip(order[:-1], order[1:]):
        if d[a] == d[b] and s[a] < s[b]:
            return u[a], u[b], d[a]
    raise AssertionError("no pair found")


def test_ties_go_by_distance_then_row_not_by_squared_distance():
    near_sq, far_sq, d = equal_distance_pair()
    # Row 0 has the larger squared distance, but the same distance: it wins.
    points = np.array([far_sq, near_sq])
    tree = ti.KDTree(points)
    origin = [0.0, 0.0, 0.0]
    assert tree.query(origin) == (d, 0)
    assert same(tree.query(origin, k=2)[1], np.array([0, 1]))
    assert same(tree.query_ball_point(origin, d), np.array([0, 1]))
    # The bound is strict: a neighbour at exactly the bound is missing.
    assert tree.query(origin, distance_upper_bound=d) == (INF, 2)
    above = np.nextafter(d, INF)
    assert tree.query(origin, k=3, distance_upper_bound=above)[1].tolist() == [0, 1, 2]


def test_ball_and_pairs_include_the_radius_itself():
    points = np.array([[0.0, 0.0, 0.0], [0.1, 0.2, 0.3], [1.0, 1.0, 1.0]])
    r = Vec3d(0.0, 0.0, 0.0).distance_to(Vec3d(0.1, 0.2, 0.3))
    tree = ti.KDTree(points)
    assert tree.query_ball_point([0.0, 0.0, 0.0], r).tolist() == [0, 1]
    assert tree.query_ball_point([0.0, 0.0, 0.0], np.nextafter(r, 0)).tolist() == [0]
    assert tree.query_pairs(r).tolist() == [[0, 1]]


def test_an_infinite_bound_keeps_points_at_an_overflowing_distance():
    points = np.array([[1e308, 0.0, 0.0], [-1e308, 0.0, 0.0]])
    tree = ti.KDTree(points)
    d, i = tree.query([-1e308, 0.0, 0.0], k=3)
    assert d.tolist() == [0.0, INF, INF] and i.tolist() == [1, 0, 2]
    assert tree.query_pairs(INF).tolist() == [[0, 1]]
    assert tree.query_pairs(1e300).tolist() == []


coordinate = st.sampled_from([0.0, -0.0, 0.25, 0.5, 1.0, -1.0, 3.0, 1e-300, 0.1, 0.2, 0.3, 1e100])


@settings(max_examples=60, deadline=None)
@given(points=st.lists(st.tuples(coordinate, coordinate, coordinate), max_size=40),
       x=st.lists(st.tuples(coordinate, coordinate, coordinate), min_size=1, max_size=5),
       k=st.sampled_from([1, 2, 3, 6, 17, 30]), r=st.sampled_from([0.0, 0.1, 0.5, 1.0, 1.5, INF]),
       bound=st.sampled_from([INF, 0.0, 0.3, 1.0, 2.0]), leafsize=st.sampled_from([1, 2, 12]))
def test_property_random_lattice_clouds(points, x, k, r, bound, leafsize):
    points = np.array(points, dtype=np.float64).reshape(-1, 3)
    x = np.array(x, dtype=np.float64)
    tree = ti.KDTree(points, leafsize=leafsize)
    d, i = tree.query(x, k=k, distance_upper_bound=bound)
    md, mi = model_query(points, x, k, bound)
    if k == 1:
        md, mi = md[:, 0], mi[:, 0]
    assert same(d, md) and same(i, mi)
    assert all(same(g, w) for g, w in zip(tree.query_ball_point(x, r), model_ball(points, x, r)))
    assert same(tree.query_pairs(r), model_pairs(points, r))


# ---------------------------------------------------------------------------
# Shapes and types, as scipy gives them

def test_result_shapes_and_types():
    tree = ti.KDTree(UNIFORM)
    d, i = tree.query(UNIFORM[0])
    assert type(d) is float and type(i) is int and (d, i) == (0.0, 0)
    d, i = tree.query(UNIFORM[:4])
    assert d.shape == (4,) and i.shape == (4,) and d.dtype == np.float64 and i.dtype == np.int64
    d, i = tree.query(UNIFORM[0], k=3)
    assert d.shape == (3,) and i.shape == (3,)
    d, i = tree.query(UNIFORM[:4].tolist(), k=3)
    assert d.shape == (4, 3) and i.shape == (4, 3)
    one = tree.query_ball_point(UNIFORM[0], 0.1)
    assert isinstance(one, np.ndarray) and one.dtype == np.int64
    many = tree.query_ball_point(UNIFORM[:4], 0.1)
    assert isinstance(many, list) and len(many) == 4 and all(a.dtype == np.int64 for a in many)
    assert type(tree.query_ball_point(UNIFORM[0], 0.1, return_length=True)) is int
    assert tree.query_pairs(0.1).dtype == np.int64 and tree.query_pairs(0.1).shape[1] == 2
    assert tree.n == 300 and tree.m == 3 and repr(tree) == "KDTree(n=300, leafsize=32)"


def test_data_is_a_read_only_copy_of_the_points_in_their_order():
    points = UNIFORM.copy()
    points[5] = [-0.0, 0.0, -0.0]
    tree = ti.KDTree(points)
    points[:] = 7.0  # the tree keeps its own copy
    assert not tree.data.flags.writeable
    assert tree.data.tobytes() != points.tobytes()
    expected = UNIFORM.copy()
    expected[5] = [-0.0, 0.0, -0.0]
    assert same(tree.data, expected)
    with pytest.raises(ValueError):
        tree.data[0, 0] = 1.0


def test_other_inputs_give_the_float64_copy_bits():
    ints = (UNIFORM * 100).astype(np.int32)
    fortran = np.asfortranarray(UNIFORM)
    strided = np.repeat(UNIFORM, 2, axis=0)[::2]
    lst = VecList([Vec3d(*p) for p in UNIFORM[:50].tolist()])
    for source, base in [(ints, ints.astype(np.float64)), (fortran, UNIFORM), (strided, UNIFORM),
                         (UNIFORM.astype(np.float32), UNIFORM.astype(np.float32).astype(np.float64)),
                         (lst, UNIFORM[:50]), (UNIFORM.tolist(), UNIFORM)]:
        tree = ti.KDTree(source)
        assert same(tree.data, base)
        assert same(tree.query(base[:7] + 0.01, k=2)[1], model_query(base, base[:7] + 0.01, 2)[1])
    lst.append(Vec3d(1.0, 2.0, 3.0))  # the list is free to change after the build


def test_inputs_are_never_modified():
    points, x = UNIFORM.copy(), DATASETS["uniform"][1].copy()
    tree = ti.KDTree(points)
    tree.query(x, k=3)
    tree.query_ball_point(x, 0.2)
    tree.query_pairs(0.1)
    assert same(points, UNIFORM) and same(x, DATASETS["uniform"][1])


@pytest.mark.parametrize("call, error, text", [
    (lambda: ti.KDTree(np.zeros((4, 2))), ValueError, "argument 'points'"),
    (lambda: ti.KDTree(np.zeros(3)), ValueError, "argument 'points'"),
    (lambda: ti.KDTree("abc"), TypeError, "argument 'points'"),
    (lambda: ti.KDTree([[0, 0, 0], [1, 2, math.nan]]), ValueError, "argument 'points': the point at row 1"),
    (lambda: ti.KDTree([[0, 0, 0]] * 7 + [[1, -math.inf, 0]]), ValueError, "argument 'points': the point at row 7"),
    (lambda: ti.KDTree(UNIFORM, leafsize=0), ValueError, "argument 'leafsize'"),
    (lambda: ti.KDTree(UNIFORM, leafsize=2.0), TypeError, "argument 'leafsize'"),
    (lambda: TREE.query([0, 0]), ValueError, "argument 'x'"),
    (lambda: TREE.query(np.zeros((2, 3, 3))), ValueError, "argument 'x'"),
    (lambda: TREE.query([[0, 0, 0], [0, math.nan, 0]]), ValueError, "argument 'x': the point at row 1"),
    (lambda: TREE.query([0, 0, math.inf]), ValueError, "argument 'x': the point has"),
    (lambda: TREE.query([0, 0, 0], k=0), ValueError, "argument 'k'"),
    (lambda: TREE.query([0, 0, 0], k=-2), ValueError, "argument 'k'"),
    (lambda: TREE.query([0, 0, 0], k=1.0), TypeError, "argument 'k'"),
    (lambda: TREE.query([0, 0, 0], k="2"), TypeError, "argument 'k'"),
    (lambda: TREE.query([0, 0, 0], k=[1, 2]), TypeError, "argument 'k'"),
    (lambda: TREE.query([0, 0, 0], distance_upper_bound=-1.0), ValueError, "argument 'distance_upper_bound'"),
    (lambda: TREE.query([0, 0, 0], distance_upper_bound=math.nan), ValueError, "argument 'distance_upper_bound'"),
    (lambda: TREE.query_ball_point([0, 0, 0], -0.5), ValueError, "argument 'r'"),
    (lambda: TREE.query_ball_point([0, 0, 0], math.nan), ValueError, "argument 'r'"),
    (lambda: TREE.query_ball_point([0, 0, 0], "1"), TypeError, "argument 'r'"),
    (lambda: TREE.query_ball_point([[0, 0, math.nan]], 1.0), ValueError, "argument 'x': the point at row 0"),
    (lambda: TREE.query_pairs(-1.0), ValueError, "argument 'r'"),
    (lambda: TREE.query_pairs(None), TypeError, "argument 'r'"),
])
def test_bad_input_names_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


TREE = ti.KDTree(UNIFORM)


# ---------------------------------------------------------------------------
# Copies and pickles

def answers(tree):
    x = DATASETS["uniform"][1]
    d, i = tree.query(x, k=4)
    return d.tobytes() + i.tobytes() + tree.query_pairs(0.1).tobytes() + tree.data.tobytes()


def test_copies_answer_the_same():
    for other in (copy.copy(TREE), copy.deepcopy(TREE), copy.deepcopy([TREE, TREE])[0]):
        assert type(other) is ti.KDTree and other is not TREE
        assert answers(other) == answers(TREE)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_in_band_answer_the_same(protocol):
    other = pickle.loads(pickle.dumps(TREE, protocol=protocol))
    assert answers(other) == answers(TREE) and other.leafsize == TREE.leafsize


def test_protocol_5_sends_the_stores_out_of_band_without_copies():
    tree = ti.KDTree(UNIFORM)
    buffers = []
    data = pickle.dumps(tree, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 3 and len(data) < 600
    raw = [b.raw() for b in buffers]
    assert raw[0].nbytes == UNIFORM.nbytes and raw[0].readonly
    other = pickle.loads(data, buffers=raw)
    assert answers(other) == answers(tree)
    # The read-only buffers are used in place ...
    assert np.shares_memory(other._points, tree._points)
    # ... writable ones are copied, so a later change cannot reach the tree.
    writable = [bytearray(b) for b in raw]
    third = pickle.loads(data, buffers=writable)
    writable[0][:] = bytes(len(writable[0]))
    assert answers(third) == answers(tree)


def test_corrupted_pickles_are_refused():
    buffers = []
    data = pickle.dumps(TREE, protocol=5, buffer_callback=buffers.append)
    raw = [bytes(b.raw()) for b in buffers]
    perm = np.frombuffer(raw[1], np.uint32).copy()
    perm[3] = perm[4]
    with pytest.raises(pickle.UnpicklingError, match="permutation"):
        pickle.loads(data, buffers=[raw[0], perm.tobytes(), raw[2]])
    with pytest.raises(pickle.UnpicklingError, match="bytes"):
        pickle.loads(data, buffers=[raw[0][:-8], raw[1], raw[2]])


# ---------------------------------------------------------------------------
# The same bits for every worker count (large enough for the parallel build,
# the query ordering and several tasks)

DIGEST = textwrap.dedent("""
    import hashlib
    import numpy as np
    import tarsk_interop as ti
    rng = np.random.default_rng(5)
    p = np.concatenate([rng.random((15000, 3)), np.repeat(rng.random((500, 3)), 4, axis=0)])
    x = np.concatenate([rng.random((6000, 3)), p[::7]])
    t = ti.KDTree(p)
    out = [t._points, t._perm, t._boxes, *t.query(x), *t.query(x, k=5, distance_upper_bound=0.02), *t.query(x, k=20),
           t.query_ball_point(x, 0.03, return_length=True), np.concatenate(t.query_ball_point(x, 0.03)),
           t.query_pairs(0.01), t.data]
    print(hashlib.sha256(b"".join(np.ascontiguousarray(o).tobytes() for o in out)).hexdigest())
""")


def test_results_do_not_depend_on_the_worker_count():
    assert len(digests_by_worker_count(DIGEST)) == 1


def test_a_larger_cloud_matches_the_scan_on_sampled_queries():
    rng = np.random.default_rng(9)
    points = np.concatenate([rng.random((20000, 3)), rng.random((20, 3)).repeat(50, axis=0)])
    x = np.concatenate([rng.random((100, 3)), points[::997]])
    tree = ti.KDTree(points)
    d, i = tree.query(x, k=3)
    md, mi = model_query(points, x, 3)
    assert same(d, md) and same(i, mi)
    assert all(same(g, w) for g, w in zip(tree.query_ball_point(x, 0.02), model_ball(points, x, 0.02)))


@pytest.mark.slow
def test_a_large_cloud_matches_the_scan():
    # Every answer of 400 queries and every pair of the cloud against the
    # scan (pairs: scipy's pairs within a slightly larger radius, filtered by
    # the exact distance, are a superset of the answer).
    spatial = pytest.importorskip("scipy.spatial")
    rng = np.random.default_rng(31)
    u, v = rng.random(100_000), rng.random(100_000)
    surface = np.column_stack([u, v, 0.1 * np.sin(7 * u) * np.cos(5 * v)])
    points = np.concatenate([rng.random((100_000, 3)), surface])
    x = np.concatenate([rng.random((200, 3)), points[::1000] + 1e-4])
    tree = ti.KDTree(points)
    for lo in range(0, len(x), 20):
        part = x[lo:lo + 20]
        d, i = tree.query(part, k=5)
        md, mi = model_query(points, part, 5)
        assert same(d, md) and same(i, mi)
        assert all(same(g, w) for g, w in zip(tree.query_ball_point(part, 0.01), model_ball(points, part, 0.01)))
    r = 0.005
    candidates = spatial.cKDTree(points).query_pairs(r * 1.001, output_type="ndarray")
    a, b = points[candidates[:, 0]], points[candidates[:, 1]]
    dd = [a[:, c] - b[:, c] for c in range(3)]
    keep = np.sqrt((dd[0] * dd[0] + dd[1] * dd[1]) + dd[2] * dd[2]) <= r
    want = np.sort(candidates[keep], axis=1)
    want = want[np.lexsort((want[:, 1], want[:, 0]))].astype(np.int64)
    assert same(tree.query_pairs(r), want)
