"""tarsk_interop.dask.query and query_ball_point: the in-memory bits for
every chunking, the tree in the graph once, bad input refused when the graph
is built, bad rows named at compute time, and a two-process loopback
cluster."""
import math
import warnings

import numpy as np
import pytest

import dask.array as da
from dask.core import get_dependencies

import tarsk_interop as ti
import tarsk_interop.dask as tid

RNG = np.random.default_rng(17)
POINTS = np.concatenate([RNG.random((3000, 3)), np.repeat(RNG.random((50, 3)), 3, axis=0)])
X = np.concatenate([RNG.random((250, 3)), POINTS[:7]])
TREE = ti.KDTree(POINTS)

CHUNKINGS = {
    "one": lambda a: da.from_array(a, chunks=(len(a), 3)),
    "uneven": lambda a: da.from_array(a, chunks=((100, 1, 56, len(a) - 157), (3,))),
    "rows_of_one": lambda a: da.from_array(a[:40], chunks=(1, 3)),
    "split_columns": lambda a: da.from_array(a, chunks=(64, 1)),
}

# name -> (Dask call, in-memory call), on the chunked and the whole queries
CASES = {
    "k1": (lambda x: tid.query(TREE, x), lambda x: TREE.query(x)),
    "k4_bound": (lambda x: tid.query(TREE, x, k=4, distance_upper_bound=0.03),
                 lambda x: TREE.query(x, k=4, distance_upper_bound=0.03)),
    "ball_counts": (lambda x: (tid.query_ball_point(TREE, x, 0.05, return_length=True),),
                    lambda x: (TREE.query_ball_point(x, 0.05, return_length=True),)),
}


@pytest.mark.parametrize("chunking", CHUNKINGS)
@pytest.mark.parametrize("case", CASES)
def test_dask_gives_the_in_memory_bits_for_every_chunking(case, chunking):
    lazy, eager = CASES[case]
    chunked = CHUNKINGS[chunking](X)
    whole = chunked.compute()
    results = lazy(chunked)
    expected = eager(whole)
    for result, want in zip(results, expected):
        assert isinstance(result, da.Array) and result.chunks[0] == chunked.chunks[0]
        got = result.compute(scheduler="sync")
        assert got.dtype == want.dtype and got.shape == want.shape and got.tobytes() == want.tobytes()


def test_ball_point_lists_chunk_by_chunk():
    lazy = tid.query_ball_point(TREE, CHUNKINGS["uneven"](X), 0.05)
    got = lazy.compute(scheduler="sync")
    want = TREE.query_ball_point(X, 0.05)
    assert got.dtype == object and len(got) == len(want)
    assert all(g.tobytes() == w.tobytes() and g.dtype == np.int64 for g, w in zip(got, want))


def test_the_tree_is_one_key_of_the_graph():
    d, i = tid.query(TREE, da.from_array(X, chunks=(25, 3)), k=2)
    graph = dict(i.__dask_graph__())
    trees = [key for key, node in graph.items() if isinstance(getattr(node, "value", node), ti.KDTree)]
    assert len(trees) == 1
    users = [key for key in graph if trees[0] in get_dependencies(graph, key)]
    assert len(users) == len(d.chunks[0])


@pytest.mark.parametrize("call, error, text", [
    (lambda: tid.query(POINTS, da.zeros((4, 3))), TypeError, "argument 'tree'"),
    (lambda: tid.query(TREE, da.zeros((4, 2))), ValueError, "argument 'x'"),
    (lambda: tid.query(TREE, da.from_array(np.array([["a"] * 3]))), TypeError, "argument 'x'"),
    (lambda: tid.query(TREE, da.zeros((4, 3)), k=0), ValueError, "argument 'k'"),
    (lambda: tid.query(TREE, da.zeros((4, 3)), k=2.5), TypeError, "argument 'k'"),
    (lambda: tid.query(TREE, da.zeros((4, 3)), distance_upper_bound=math.nan), ValueError,
     "argument 'distance_upper_bound'"),
    (lambda: tid.query_ball_point(TREE, da.zeros((4, 3)), -1.0), ValueError, "argument 'r'"),
    (lambda: tid.query_ball_point("tree", da.zeros((4, 3)), 1.0), TypeError, "argument 'tree'"),
])
def test_bad_input_is_refused_when_the_graph_is_built(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_a_bad_row_is_named_in_the_whole_array_at_compute_time():
    x = X.copy()
    x[130, 1] = math.inf
    lazy, _ = tid.query(TREE, da.from_array(x, chunks=(50, 3)))
    with pytest.raises(ValueError, match="argument 'x': the point at row 130 has"):
        lazy.compute(scheduler="sync")


def test_a_two_process_loopback_cluster_gives_the_same_bits():
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, env={"RAYON_NUM_THREADS": "2"})
    try:
        with distributed.Client(cluster) as client:
            chunked = da.from_array(X, chunks=(40, 3))
            d, i = tid.query(TREE, chunked, k=3)
            counts = tid.query_ball_point(TREE, chunked, 0.05, return_length=True)
            results = client.compute([d, i, counts], sync=True)
    finally:
        cluster.close()
    d0, i0 = TREE.query(X, k=3)
    expected = [d0, i0, TREE.query_ball_point(X, 0.05, return_length=True)]
    assert [r.tobytes() for r in results] == [e.tobytes() for e in expected]
