"""tarsk_interop.dask's point clouds: fit_plane's reduction gives the
in-memory bits for every chunking (aligned or not to the fixed blocks,
weighted or not), residuals and normals chunk-wise give the in-memory bits,
bad rows are named in the whole array, bad arguments refused when the graph
is built."""
import struct

import numpy as np
import pytest

import dask.array as da

import tarsk_interop as ti
import tarsk_interop.dask as tid
from tarsk_py import geometry

RNG = np.random.default_rng(23)
N = 9000  # three blocks of 4096 rows, the last one short
XY = RNG.random((N, 2)) * 3
POINTS = np.column_stack([XY, 0.2 * np.sin(XY[:, 0]) + RNG.normal(size=N) * 1e-3])
WEIGHTS = RNG.random(N)

CHUNKINGS = {
    "one": lambda a: da.from_array(a, chunks=(len(a),) + a.shape[1:]),
    "blocks": lambda a: da.from_array(a, chunks=(4096,) + a.shape[1:]),
    "uneven": lambda a: da.from_array(a, chunks=((1000, 1, 4999, len(a) - 6000),) + tuple((s,) for s in a.shape[1:])),
    "small": lambda a: da.from_array(a, chunks=(700,) + a.shape[1:]),
}


def plane_bits(plane, rms):
    return struct.pack("<5d", plane.normal.x, plane.normal.y, plane.normal.z, plane.distance, rms)


@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_fit_plane_has_the_in_memory_bits(chunking):
    chunk = CHUNKINGS[chunking]
    assert plane_bits(*tid.fit_plane(chunk(POINTS), return_rms=True)) == \
        plane_bits(*ti.fit_plane(POINTS, return_rms=True))
    assert plane_bits(*tid.fit_plane(chunk(POINTS), chunk(WEIGHTS), return_rms=True)) == \
        plane_bits(*ti.fit_plane(POINTS, WEIGHTS, return_rms=True))


@pytest.mark.parametrize("chunking", ["uneven", "small"])
def test_chunk_wise_residuals_and_normals(chunking):
    x = CHUNKINGS[chunking](POINTS)
    plane = ti.fit_plane(POINTS)
    circle = geometry.Circle(geometry.Plane.xy().normal, 1.5, geometry.Plane.xy().normal)
    for kw in (dict(plane=plane), dict(sphere=([1, 1, 0], 2.0)), dict(circle=circle)):
        lazy = tid.residuals(x, **kw)
        assert lazy.chunks[0] == x.chunks[0]
        assert lazy.compute().tobytes() == ti.residuals(POINTS, **kw).tobytes()
    tree = ti.KDTree(POINTS)
    lazy = tid.estimate_normals(tree, x, 8, viewpoint=[1, 1, 3])
    assert lazy.compute().tobytes() == ti.estimate_normals(POINTS, 8, viewpoint=[1, 1, 3], tree=tree).tobytes()


def test_bad_input():
    bad = POINTS.copy()
    bad[5000, 2] = np.nan
    with pytest.raises(ValueError, match="'x'.*row 5000"):
        tid.fit_plane(CHUNKINGS["small"](bad))
    with pytest.raises(ValueError, match="'x'.*row 5000"):
        tid.residuals(CHUNKINGS["small"](bad), sphere=([0, 0, 0], 1.0)).compute()
    with pytest.raises(ValueError, match="'x'.*on one line"):
        tid.fit_plane(da.from_array(np.outer(np.arange(50.0), [1, 2, 3]), chunks=(7, 3)))
    with pytest.raises(ValueError, match="'x'.*at least 3"):
        tid.fit_plane(da.zeros((2, 3)))
    with pytest.raises(ValueError, match="'x'.*shape"):
        tid.residuals(da.zeros((4, 2)), sphere=([0, 0, 0], 1.0))
    tree = ti.KDTree(POINTS[:10])
    with pytest.raises(ValueError, match="'k'"):
        tid.estimate_normals(tree, da.zeros((4, 3)), 11)
    with pytest.raises(TypeError, match="'tree'"):
        tid.estimate_normals(POINTS, da.zeros((4, 3)))
    with pytest.raises(ValueError, match="'weights'"):
        tid.fit_plane(da.from_array(POINTS), np.zeros(N))
