"""tarsk_interop.dask: every kernel over Dask arrays, bit for bit against one
VecList in this process, on a real two-process distributed cluster (loopback
only) and with the synchronous scheduler; the nearest-element search as a
chunk reduction; bad input refused when the graph is built; tarsk_py objects
travelling through Client.submit, delayed and bags; a worker killed
mid-computation."""
import logging
import os
import signal
import struct
import sys
import time
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import dask
import dask.array as da
import dask.bag as db
from distributed import Client, LocalCluster, wait

from floats import SPECIALS
import tarsk_interop as ti
import tarsk_interop.dask as tid
from tarsk_py import Quat, Vec3d, VecList

QUAT = Quat(0.5, -0.5, 0.25, 0.75)
TARGET = Vec3d(0.25, -1.0, 0.5)


def same_bits(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert actual.tobytes() == expected.tobytes()


def same_values(actual, expected):
    """Bit-identical, except that the in-memory scalar kernels may keep
    another of two NaNs that meet than the VecList method does."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    if actual.dtype != np.float64 or actual.ndim != 1:
        return same_bits(actual, expected)
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(actual), nan)
    same_bits(actual[~nan], expected[~nan])


def same_pair(actual, expected):
    assert type(actual[0]) is int and type(actual[1]) is float
    assert actual[0] == expected[0]
    assert struct.pack("<d", actual[1]) == struct.pack("<d", expected[1])


def points(n, seed=0):
    """Random rows with the hostile doubles sprinkled in."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, 3)) * 10.0 ** rng.integers(-3, 4, size=(n, 1))
    specials = np.array(SPECIALS + [struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]])
    mask = rng.random((n, 3)) < 0.05
    x[mask] = rng.choice(specials, size=mask.sum())
    return x


def expected(x, name, *args):
    """The VecList method's result for all rows of x, as an array."""
    lst = ti.to_veclist(x)
    if name == "rotate":
        lst.rotate(*args)
        return ti.to_numpy(lst)
    method = {"add": lst.__add__, "subtract": lst.__sub__, "multiply": lst.__mul__,
              "divide": lst.__truediv__}.get(name) or getattr(lst, name)
    out = method(*args)
    if isinstance(out, VecList):
        return ti.to_numpy(out)
    return np.array(out, dtype=bool if name == "is_unit" else np.float64).reshape(len(x))


KERNELS = [
    ("normalize", ()), ("cross", (TARGET,)), ("dot", (TARGET,)), ("magnitude", ()),
    ("is_unit", ()), ("distance_to", (TARGET,)), ("distance_squared", (TARGET,)),
    ("rotate", (QUAT,)), ("collapse", (1,)), ("add", (TARGET,)), ("subtract", (TARGET,)),
    ("multiply", (-0.0,)), ("divide", (3.0,)),
]

# Row chunkings: unequal, one row each, with empty chunks, one chunk, and
# long chunks whose boundaries fall anywhere in the kernels' vector loops.
CHUNKINGS = [(5, 9, 1, 8), (1,) * 23, (0, 7, 0, 0, 16, 0), (23,), (137, 0, 401, 1, 461)]


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                           dashboard_address=None, env={"RAYON_NUM_THREADS": "3"})
    c = Client(cluster)
    try:
        c.imported_before = c.run(lambda: "tarsk_interop" in sys.modules)
        tid.register(c)
        yield c
    finally:
        c.close()
        cluster.close()


# ---------------------------------------------------------------------------
# Kernels on the cluster


@pytest.mark.parametrize("chunks", CHUNKINGS)
def test_kernels_on_cluster_match_one_veclist(client, chunks):
    x = points(sum(chunks), seed=len(chunks))
    a = da.from_array(x, chunks=(chunks, 3))
    lazy = [getattr(tid, name)(a, *args) for name, args in KERNELS]
    for out, (name, _) in zip(lazy, KERNELS):
        assert out.chunks[0] == a.chunks[0]
        assert out.dtype == (np.bool_ if name == "is_unit" else np.float64)
    results = client.compute(lazy, sync=True)
    for got, (name, args) in zip(results, KERNELS):
        same_bits(got, getattr(ti, name)(x, *args))
        same_values(got, expected(x, name, *args))


def test_column_chunks_are_rechunked(client):
    x = points(11, seed=5)
    a = da.from_array(x, chunks=((4, 7), (1, 2)))
    out = tid.rotate(a, QUAT)
    assert out.chunks == ((4, 7), (3,))
    same_bits(out.compute(), expected(x, "rotate", QUAT))
    same_bits(tid.magnitude(a).compute(), ti.magnitude(x))
    same_values(tid.magnitude(a).compute(), expected(x, "magnitude"))


def test_integer_and_big_endian_arrays_convert_as_numpy_does(client):
    x = np.arange(30, dtype=">i4").reshape(10, 3) - 12
    a = da.from_array(x, chunks=((3, 3, 4), 3))
    same_bits(tid.normalize(a).compute(), expected(x.astype(np.float64), "normalize"))
    y = points(10).astype(">f8")
    same_bits(tid.cross(da.from_array(y, chunks=4), TARGET).compute(),
              expected(y.astype(np.float64), "cross", TARGET))


def test_arguments_keep_every_bit():
    # Two graphs that differ only in a zero's sign or a NaN's payload must not
    # share task names (Dask would treat them as one computation).
    x = np.ones((4, 3))
    a = da.from_array(x, chunks=2)
    nan_a = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000001))[0]
    nan_b = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000002))[0]
    plus, minus = tid.multiply(a, 0.0), tid.multiply(a, -0.0)
    assert plus.name != minus.name
    same_bits(da.compute(plus, minus, scheduler="sync")[1], expected(x, "multiply", -0.0))
    assert tid.add(a, Vec3d(nan_a, 0, 0)).name != tid.add(a, Vec3d(nan_b, 0, 0)).name
    same_bits(tid.add(a, Vec3d(nan_b, 0, 0)).compute(scheduler="sync"),
              expected(x, "add", Vec3d(nan_b, 0, 0)))
    # A vector given as an array-like is taken as numpy converts it.
    same_bits(tid.dot(a, [1, 2, 3]).compute(scheduler="sync"), expected(x, "dot", Vec3d(1, 2, 3)))


# ---------------------------------------------------------------------------
# The nearest-element search


def split(n, cuts):
    bounds = sorted({0, n, *[c % (n + 1) for c in cuts]})
    sizes = [b - a for a, b in zip(bounds, bounds[1:])]
    return tuple(sizes) if sizes else (0,)


NAN = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000000))[0]
NEG_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000000))[0]
NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF80000000000AB))[0]


def with_special(row):
    """A row with at most one NaN or infinite coordinate: its squared distance
    to a finite vector never meets two different NaNs."""
    x, y, z, special, axis = row
    coords = [float(x), float(y), float(z)]
    if special is not None:
        coords[axis] = special
    return tuple(coords)


small = st.integers(-2, 2)
rows_with_specials = st.tuples(small, small, small,
                               st.sampled_from([None, None, NAN, NEG_NAN, NAN_PAYLOAD, float("inf")]),
                               st.integers(0, 2)).map(with_special)


@settings(max_examples=300, deadline=None)
@given(st.lists(rows_with_specials, min_size=1, max_size=60),
       st.lists(st.integers(0, 60), max_size=12), st.lists(st.integers(0, 3), max_size=6),
       st.integers(1, 70), st.sampled_from([0.0, 0.5, 1.0]))
def test_search_matches_one_veclist_for_any_chunking(rows, cuts, empties, stride, shift):
    # Small integer coordinates make many equal distances, NaN coordinates
    # NaN distances of either sign; inserted empty chunks and up to 20 chunks
    # give a reduction tree of several levels.
    x = np.array(rows, dtype=np.float64)
    sizes = list(split(len(x), cuts))
    for e in empties:
        sizes.insert(e % (len(sizes) + 1), 0)
    target = Vec3d(shift, -shift, 0.0)
    a = da.from_array(x, chunks=(tuple(sizes), 3))
    got = tid.minimum_distance_to(a, target, stride).compute(scheduler="sync")
    same_pair(got, ti.to_veclist(x).minimum_distance_to(target, stride))


def search_case(distances, pad=0):
    """Rows at the given distances along x from the origin."""
    return np.array([[d, 0.0, 0.0] for d in distances] + [[9.0, 0.0, 0.0]] * pad)


SEARCH_CASES = [
    # (rows, stride, chunkings)
    (search_case([4, 9, 1, 0, 7]), 3, [(2, 3), (1, 1, 1, 1, 1), (3, 0, 2)]),
    # The nearest row (4) lies outside the window of the best candidate (0).
    (search_case([3, 10, 10, 4, 1, 10]), 3, [(2, 2, 2), (4, 2), (1, 5)]),
    # Equal distances in different chunks: the earliest row wins.
    (search_case([5, 2, 7, 2, 2, 8, 2]), 1, [(1, 2, 4), (2, 5), (7,)]),
    (search_case([5, 2, 7, 2, 2, 8, 2]), 2, [(1, 2, 4), (3, 4), (1,) * 7]),
    # A NaN distance with the sign clear loses to every number; with the sign
    # set it wins over every number (the distance is then that NaN).
    (search_case([3, NAN, 1, NAN, 2]), 1, [(2, 3), (1, 4)]),
    (search_case([3, 2, 1, NEG_NAN, 2, 0]), 2, [(3, 3), (4, 2), (1, 1, 1, 3)]),
    (search_case([NAN, NAN, NAN]), 2, [(1, 2), (3,)]),
    # A stride longer than every chunk and than the list.
    (search_case([6, 5, 4, 3, 2, 1, 2, 3, 4], pad=14), 7, [(2,) * 11 + (1,), (5, 5, 5, 8)]),
    (search_case([6, 5, 4]), 10, [(1, 1, 1), (0, 3, 0)]),
]


@pytest.mark.parametrize("rows, stride, chunkings", SEARCH_CASES)
def test_search_on_cluster_ties_nan_and_straddling_strides(client, rows, stride, chunkings):
    origin = Vec3d(0.0, 0.0, 0.0)
    want = ti.to_veclist(rows).minimum_distance_to(origin, stride)
    lazy = [tid.minimum_distance_to(da.from_array(rows, chunks=(c, 3)), origin, stride)
            for c in chunkings]
    for got in client.compute(lazy, sync=True):
        same_pair(got, want)


def test_search_never_gathers_the_rows():
    # Every task of the reduction reads at most one chunk of the rows.
    a = da.from_array(points(40), chunks=((5,) * 8, 3))
    lazy = tid.minimum_distance_to(a, TARGET, 3)
    graph = dict(lazy.__dask_graph__())
    chunk_keys = {k for k in graph if isinstance(k, tuple) and k[0] == a.name}
    assert len(chunk_keys) == 8
    for key in graph:
        deps = set(dask.core.get_dependencies(graph, key)) & chunk_keys
        assert len(deps) <= 1


def test_search_needs_known_chunk_sizes():
    a = da.from_array(points(8), chunks=4)
    a = a[a[:, 0] > -1e300]
    with pytest.raises(ValueError, match="compute_chunk_sizes"):
        tid.minimum_distance_to(a, TARGET, 2)
    same_pair(tid.minimum_distance_to(a.compute_chunk_sizes(), TARGET, 2).compute(scheduler="sync"),
              ti.to_veclist(a.compute()).minimum_distance_to(TARGET, 2))


# ---------------------------------------------------------------------------
# Bad input, refused when the graph is built


def _never(block):
    raise AssertionError("a chunk was computed")


def lazy_array(x):
    """A Dask array of x whose chunks can never be computed."""
    return da.from_array(x, chunks=2).map_blocks(_never, dtype=x.dtype)


BAD = [
    ("normalize", np.zeros((4, 2)), ()),
    ("normalize", np.zeros((2, 3, 3)), ()),
    ("magnitude", np.zeros(6), ()),
    ("normalize", np.zeros((4, 3), dtype=np.complex128), ()),
    ("normalize", np.full((4, 3), "1", dtype="U1"), ()),
    ("normalize", np.zeros((4, 3), dtype="datetime64[s]"), ()),
    ("cross", np.zeros((4, 3)), ([1.0, 2.0],)),
    ("add", np.zeros((4, 3)), (None,)),
    ("rotate", np.zeros((4, 3)), (TARGET,)),
    ("multiply", np.zeros((4, 3)), ("2",)),
    ("collapse", np.zeros((4, 3)), (3,)),
    ("collapse", np.zeros((4, 3)), (-1,)),
    ("minimum_distance_to", np.zeros((4, 3)), (TARGET, 0)),
    ("minimum_distance_to", np.zeros((4, 3)), (TARGET, -1)),
    ("minimum_distance_to", np.zeros((0, 3)), (TARGET, 1)),
]


@pytest.mark.parametrize("name, x, args", BAD, ids=[f"{n}-{x.dtype}-{x.shape}" for n, x, _ in BAD])
def test_bad_input_raises_the_in_memory_error_at_build_time(name, x, args):
    with pytest.raises(BaseException) as want:
        getattr(ti, name)(x, *args)
    with pytest.raises(BaseException) as got:
        getattr(tid, name)(lazy_array(x), *args)
    assert type(got.value) is type(want.value)
    assert str(got.value) == str(want.value)


def test_object_arrays_are_refused_at_build_time():
    # Their chunks could hold anything; the in-memory kernels judge by content.
    with pytest.raises(TypeError, match="^argument 'a': a Dask array of dtype object"):
        tid.normalize(lazy_array(np.zeros((4, 3), dtype=object)))


# ---------------------------------------------------------------------------
# Objects through distributed


def _make_objects(n):
    return (VecList([Vec3d(i, -0.0, 0.5 * i) for i in range(n)]), Quat(0.5, 0.5, -0.5, 0.5),
            Vec3d(-0.0, float("inf"), 5e-324))


def test_workers_are_made_ready_by_register(client):
    assert not any(client.imported_before.values())
    assert all(client.run(lambda: "tarsk_interop" in sys.modules).values())


def test_objects_through_submit_delayed_and_bag(client, caplog):
    lst, q, v = _make_objects(1000)
    lst.append(Vec3d(NAN, NEG_NAN, -0.0))
    with warnings.catch_warnings(), caplog.at_level(logging.WARNING):
        warnings.simplefilter("error")
        # Functions built in the task itself, shipped by value: the worker's
        # only import is tarsk_py, and its results still travel back.
        made = client.submit(lambda n: __import__("tarsk_py").Vec3d(n, -0.0, 1 / 3), 2.0).result()
        assert (made.x, struct.pack("<d", made.y), made.z) == (2.0, struct.pack("<d", -0.0), 1 / 3)

        def rotate_all(points, quat, shift):
            points.rotate(quat)
            return points + shift, quat.conjugate(), shift * 2

        back = client.submit(rotate_all, lst, q, v, pure=False).result()
        # The classes themselves as the task's function, and as the type of
        # its result that the worker reports to the scheduler.
        made_by_class = client.submit(Vec3d, 1.0, -0.0, 5e-324)
        assert struct.pack("<d", made_by_class.result().y) == struct.pack("<d", -0.0)
        assert made_by_class.type is Vec3d
        assert dask.delayed(VecList)([v]).compute().list[0].z == 5e-324
        lazy = dask.delayed(rotate_all)(lst, q, v).compute()
        bag = db.from_sequence(lst.list, npartitions=3).map(lambda e: q.rotate(e)).compute()
    ref = VecList(lst.list)
    ref.rotate(q)
    for out in (back, lazy):
        same_bits(ti.to_numpy(out[0]), ti.to_numpy(ref + v))
        same_bits(ti.to_numpy(out[1]), ti.to_numpy(q.conjugate()))
        same_bits(ti.to_numpy(out[2]), ti.to_numpy(v * 2))
    same_bits(ti.to_numpy(VecList(bag)), ti.to_numpy(VecList([q.rotate(e) for e in lst.list])))
    assert not caplog.records
    for logs in (client.get_scheduler_logs(), *client.get_worker_logs().values()):
        noisy = [msg for level, msg in logs if level in ("WARNING", "ERROR", "CRITICAL")]
        assert not noisy


# ---------------------------------------------------------------------------
# A worker lost mid-computation


def _slow(block):
    time.sleep(0.15)
    return block


def test_killed_worker_is_replaced_and_the_bits_stay(client):
    n, rows = 24_000, 1_500
    x = points(n, seed=9)
    a = da.from_array(x, chunks=(rows, 3)).map_blocks(_slow, dtype=np.float64)
    moved = tid.rotate(tid.normalize(a), QUAT)
    futures = client.compute([moved, tid.minimum_distance_to(moved, TARGET, 37)])
    before = client.run(os.getpid)
    # Let some chunks finish, then kill one worker process outright.
    deadline = time.monotonic() + 10
    while not client.run_on_scheduler(
            lambda dask_scheduler: sum(ts.state == "memory" for ts in dask_scheduler.tasks.values())):
        assert time.monotonic() < deadline
        time.sleep(0.02)
    victim = sorted(before)[0]
    assert not all(f.done() for f in futures)
    os.kill(before[victim], signal.SIGKILL)
    wait(futures, timeout=60)
    got_rows, got_pair = [f.result() for f in futures]
    ref = ti.to_veclist(x).normalize()
    ref.rotate(QUAT)
    same_bits(got_rows, ti.to_numpy(ref))
    same_pair(got_pair, ref.minimum_distance_to(TARGET, 37))
    # Dask replaced the process, and the newcomer was made ready too.
    client.wait_for_workers(2, timeout=30)
    after = client.run(os.getpid)
    assert before[victim] not in after.values()
    assert all(client.run(lambda: "tarsk_interop" in sys.modules).values())
