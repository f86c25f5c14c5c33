"""tarsk_interop.dask's rotation algebra: the same bits as the in-memory
functions for every chunking (uneven, one-row, split columns), broadcast
arguments, mixed Dask and numpy rows, bad input refused when the graph is
built, value faults at compute time, and a two-process loopback cluster."""
import math
import warnings

import numpy as np
import pytest

import dask
import dask.array as da

import tarsk_interop as ti
import tarsk_interop.dask as tid
from tarsk_py import Quat

N = 257
Q = ti.random(N, 21)
P = ti.random(N, 22)
T = np.linspace(-0.5, 1.5, N)
M = ti.to_matrix(Q) * 1.01
RV = ti.to_rotvec(P)
EULER = ti.to_euler(P, "zyx")

# name -> (Dask call on the chunked arrays, in-memory call on the whole ones)
CASES = {
    "compose": (lambda c: tid.compose(c(P), c(Q)), lambda: ti.compose(P, Q)),
    "compose_broadcast": (lambda c: tid.compose(Quat(*Q[0].tolist()), c(P)), lambda: ti.compose(Q[0], P)),
    "compose_numpy_rows": (lambda c: tid.compose(c(P), Q), lambda: ti.compose(P, Q)),
    "inverse": (lambda c: tid.inverse(c(Q)), lambda: ti.inverse(Q)),
    "to_matrix": (lambda c: tid.to_matrix(c(Q)), lambda: ti.to_matrix(Q)),
    "from_matrix": (lambda c: tid.from_matrix(c(M)), lambda: ti.from_matrix(M)),
    "from_scipy_quat": (lambda c: tid.from_scipy_quat(c(P)), lambda: ti.from_scipy_quat(P)),
    "to_scipy_quat": (lambda c: tid.to_scipy_quat(c(Q)), lambda: ti.to_scipy_quat(Q)),
    "from_rotvec": (lambda c: tid.from_rotvec(c(RV)), lambda: ti.from_rotvec(RV)),
    "to_rotvec": (lambda c: tid.to_rotvec(c(Q)), lambda: ti.to_rotvec(Q)),
    "magnitude_angle": (lambda c: tid.magnitude_angle(c(Q)), lambda: ti.magnitude_angle(Q)),
    "slerp": (lambda c: tid.slerp(c(P), c(Q), c(T)), lambda: ti.slerp(P, Q, T)),
    "slerp_scalar_t": (lambda c: tid.slerp(c(P), Q[3], 0.75), lambda: ti.slerp(P, Q[3], 0.75)),
    "from_euler": (lambda c: tid.from_euler("zyx", c(EULER)), lambda: ti.from_euler("zyx", EULER)),
    "to_euler": (lambda c: tid.to_euler(c(Q), "XZX"), lambda: ti.to_euler(Q, "XZX")),
    "to_euler_degrees": (lambda c: tid.to_euler(c(Q), "zyz", degrees=True), lambda: ti.to_euler(Q, "zyz", degrees=True)),
    "from_euler_degrees": (lambda c: tid.from_euler("zyx", c(EULER * 50), degrees=True),
                           lambda: ti.from_euler("zyx", EULER * 50, degrees=True)),
    "rotvec_degrees": (lambda c: tid.to_rotvec(tid.from_rotvec(c(RV * 40), degrees=True), degrees=True),
                       lambda: ti.to_rotvec(ti.from_rotvec(RV * 40, degrees=True), degrees=True)),
    "magnitude_degrees": (lambda c: tid.magnitude_angle(c(Q), degrees=True),
                          lambda: ti.magnitude_angle(Q, degrees=True)),
    "approx_equal": (lambda c: tid.approx_equal(c(P), c(Q), 2.0), lambda: ti.approx_equal(P, Q, 2.0)),
}


def chunker(rows, split_columns=False):
    def chunk(a):
        chunks = (rows,) + tuple((1,) * d if split_columns else -1 for d in a.shape[1:])
        return da.from_array(a, chunks=chunks)
    return chunk


CHUNKINGS = {
    "one": chunker(N),
    "uneven": lambda a: da.from_array(a, chunks=((100, 1, 56, 100),) + tuple((d,) for d in a.shape[1:])),
    "rows_of_one": chunker(1),
    "split_columns": chunker(64, split_columns=True),
}


@pytest.mark.parametrize("chunking", CHUNKINGS)
@pytest.mark.parametrize("case", CASES)
def test_dask_gives_the_in_memory_bits_for_every_chunking(case, chunking):
    lazy, eager = CASES[case]
    result = lazy(CHUNKINGS[chunking])
    assert isinstance(result, da.Array)
    expected = eager()
    computed = result.compute(scheduler="sync")
    assert computed.shape == expected.shape and computed.dtype == expected.dtype
    assert computed.tobytes() == expected.tobytes()
    assert result.chunks[0] == CHUNKINGS[chunking](Q).chunks[0] or case == "compose_numpy_rows"


def test_chunks_of_two_arguments_are_unified():
    result = tid.compose(da.from_array(P, chunks=(50, 4)), da.from_array(Q, chunks=(77, 4)))
    assert result.compute().tobytes() == ti.compose(P, Q).tobytes()


@pytest.mark.parametrize("call, error, text", [
    (lambda: tid.compose(da.zeros((5, 3)), Q[0]), ValueError, "argument 'p': expected a Dask array of shape (n, 4)"),
    (lambda: tid.compose(da.zeros((5, 4)), da.zeros((6, 4))), ValueError, "different row counts"),
    (lambda: tid.to_euler(da.from_array(Q), "xxy"), ValueError, "argument 'seq'"),
    (lambda: tid.from_euler("xYz", da.zeros((3, 3))), ValueError, "argument 'seq'"),
    (lambda: tid.slerp(da.from_array(P), Q[0], "x"), TypeError, "argument 't'"),
    (lambda: tid.slerp(da.from_array(P), Q[0], math.inf), ValueError, "argument 't'"),
    (lambda: tid.inverse(da.from_array(np.array([["a"] * 4]))), TypeError, "argument 'q'"),
    (lambda: tid.from_matrix(da.zeros((4, 3, 4))), ValueError, "argument 'm'"),
    (lambda: tid.compose(da.from_array(P), [0.0, 0.0, 0.0, 0.0]), ValueError, "argument 'q': the quaternion has zero"),
])
def test_bad_input_is_refused_when_the_graph_is_built(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_value_faults_raise_when_computed():
    q = Q.copy()
    q[200] = 0.0
    lazy = tid.to_rotvec(da.from_array(q, chunks=(100, 4)))
    with pytest.raises(ValueError, match="argument 'q': the quaternion at row 0 has zero norm"):
        lazy.compute(scheduler="sync")


def test_gimbal_lock_warns_when_computed():
    q = ti.from_euler("xyz", [[0.3, math.pi / 2, 0.2]] * 4)
    lazy = tid.to_euler(da.from_array(q, chunks=(2, 4)), "xyz")
    with pytest.warns(UserWarning, match="Gimbal lock detected"):
        angles = lazy.compute(scheduler="sync")
    with pytest.warns(UserWarning, match="Gimbal lock detected"):
        expected = ti.to_euler(q, "xyz")
    assert angles.tobytes() == expected.tobytes()


def test_single_arguments_only_give_a_dask_array_of_the_single_result():
    result = tid.compose(Q[0], Quat(*P[0].tolist()))
    assert isinstance(result, da.Array) and result.compute().tobytes() == ti.compose(Q[0], P[0]).tobytes()


def test_a_two_process_loopback_cluster_gives_the_same_bits():
    distributed = pytest.importorskip("distributed")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None, env={"RAYON_NUM_THREADS": "2"})
    try:
        with distributed.Client(cluster) as client:
            chunk = chunker(40)
            lazy = [tid.slerp(chunk(P), chunk(Q), chunk(T)), tid.from_matrix(chunk(M)),
                    tid.to_euler(chunk(Q), "zyz")]
            results = client.compute(lazy, sync=True)
    finally:
        cluster.close()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        expected = [ti.slerp(P, Q, T), ti.from_matrix(M), ti.to_euler(Q, "zyz")]
    assert [r.tobytes() for r in results] == [e.tobytes() for e in expected]
