"""tarsk_interop: arrays in and out, the array kernels against the VecList
methods bit for bit, bad input, the view's borrow rule."""
import gc
import pickle
import os
import struct
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarsk_interop as ti
from tarsk_py import Quat, Vec3d, VecList

from floats import SPECIALS, doubles, moderate, panic_type


# NaNs with payloads and both signs, quiet and signalling.
NAN_PAYLOADS = [struct.unpack("<d", struct.pack("<Q", b))[0]
                for b in (0x7FF8000000000001, 0xFFF8000000000123, 0x7FF4000000000000, 0xFFF0000000000007)]
component = st.one_of(doubles, moderate, st.sampled_from(SPECIALS + NAN_PAYLOADS))
rows_strategy = st.lists(st.tuples(component, component, component), min_size=0, max_size=40)
vec_strategy = st.tuples(component, component, component)
scalar_strategy = st.one_of(doubles, st.sampled_from(SPECIALS + NAN_PAYLOADS))


def packed(values):
    return struct.pack(f"<{len(values)}d", *values)


def flat(veclist):
    return [c for row in veclist.to_array() for c in row]


def as_array(rows):
    return np.array(rows, dtype=np.float64).reshape(-1, 3)


def veclist_of(rows):
    return VecList([Vec3d(*row) for row in rows])


# name -> (kernel call, method call, kind of result)
def kernel_cases(v, q, s):
    vt = Vec3d(*v)
    return {
        "normalize": (lambda a: ti.normalize(a), lambda l: l.normalize(), "vec"),
        "cross": (lambda a: ti.cross(a, v), lambda l: l.cross(vt), "vec"),
        "dot": (lambda a: ti.dot(a, v), lambda l: l.dot(vt), "float"),
        "magnitude": (lambda a: ti.magnitude(a), lambda l: l.magnitude(), "float"),
        "is_unit": (lambda a: ti.is_unit(a), lambda l: l.is_unit(), "bool"),
        "distance_to": (lambda a: ti.distance_to(a, vt), lambda l: l.distance_to(vt), "float"),
        "distance_squared": (lambda a: ti.distance_squared(a, v), lambda l: l.distance_squared(vt), "float"),
        "rotate": (lambda a: ti.rotate(a, q), lambda l: (l.rotate(q), l)[1], "vec"),
        "collapse0": (lambda a: ti.collapse(a, 0), lambda l: l.collapse(0), "vec"),
        "collapse2": (lambda a: ti.collapse(a, 2), lambda l: l.collapse(2), "vec"),
        "add": (lambda a: ti.add(a, v), lambda l: l + vt, "vec"),
        "subtract": (lambda a: ti.subtract(a, vt), lambda l: l - vt, "vec"),
        "multiply": (lambda a: ti.multiply(a, s), lambda l: l * s, "vec"),
        "divide": (lambda a: ti.divide(a, s), lambda l: l / s, "vec"),
    }


def assert_identical(result, expected, kind, n):
    """Identical bits, NaN payloads included: every face runs the per-element
    function of the table through the same element loop."""
    assert isinstance(result, np.ndarray) and result.flags.writeable
    if kind == "vec":
        assert result.dtype == np.float64 and result.shape == (n, 3)
        assert result.tobytes() == packed(flat(expected))
    elif kind == "float":
        assert result.dtype == np.float64 and result.shape == (n,)
        assert result.tobytes() == packed(expected)
    else:
        assert result.dtype == np.bool_ and result.shape == (n,)
        assert result.tolist() == expected


@settings(max_examples=150, deadline=None)
@given(rows=rows_strategy, v=vec_strategy, q=st.tuples(component, component, component, component),
       s=scalar_strategy)
def test_kernels_bit_identical_to_methods(rows, v, q, s):
    a = as_array(rows)
    before = a.tobytes()
    for name, (kernel, method, kind) in kernel_cases(v, Quat(*q), s).items():
        assert_identical(kernel(a), method(veclist_of(rows)), kind, len(rows)), name
    assert a.tobytes() == before


@settings(max_examples=100, deadline=None)
@given(rows=st.lists(st.tuples(component, component, component), min_size=1, max_size=40), v=vec_strategy,
       stride=st.integers(1, 50))
def test_minimum_distance_to_matches_method(rows, v, stride):
    got = ti.minimum_distance_to(as_array(rows), v, stride)
    want = veclist_of(rows).minimum_distance_to(Vec3d(*v), stride)
    assert type(got[0]) is int and got[0] == want[0]
    assert struct.pack("<d", got[1]) == struct.pack("<d", want[1])


@settings(max_examples=100, deadline=None)
@given(rows=rows_strategy)
def test_arrays_round_trip_bit_exact(rows):
    a = as_array(rows)
    lst = ti.to_veclist(a)
    assert packed(flat(lst)) == a.tobytes()
    out = ti.to_numpy(lst)
    assert out.tobytes() == a.tobytes() and out.flags.writeable
    view = ti.as_numpy(lst)
    assert view.tobytes() == a.tobytes() and view.shape == (len(rows), 3)
    for r in rows:
        assert ti.to_numpy(Vec3d(*r)).tobytes() == packed(r)
        assert packed(flat(VecList([ti.to_vec3d(np.array(r))]))) == packed(r)
    if rows:
        w, i, j = rows[0]
        quat = ti.to_quat([w, i, j, rows[-1][0]])
        assert ti.to_numpy(quat).tobytes() == packed([quat.w, quat.i, quat.j, quat.k])
        assert packed([quat.w, quat.i, quat.j, quat.k]) == packed([w, i, j, rows[-1][0]])


# Each kernel against its method at every worker count, in a fresh process
# per count (inputs large enough to be split across workers), and the
# results of all counts against each other through a digest. The inputs are
# built with exact scalings (ldexp), not the C library's pow, so that the
# digest is the same on every machine (tools/aarch64_module.sh compares it).
CHILD = textwrap.dedent("""
    import hashlib, struct, sys
    import numpy as np
    import tarsk_interop as ti
    from tarsk_py import Quat, Vec3d
    rng = np.random.default_rng(7)
    a = np.ldexp(rng.normal(size=(20011, 3)), rng.integers(-1000, 1000, size=(20011, 3)))
    specials = [0.0, -0.0, float('inf'), -float('inf'), float('nan'), 5e-324, -5e-324,
                struct.unpack('<d', struct.pack('<Q', 0x7ff8000000000123))[0]]
    a.flat[::97] = np.resize(np.array(specials), a.flat[::97].shape)
    a[::13] /= np.linalg.norm(a[::13], axis=1)[:, None]
    v = Vec3d(0.5, -1.25, 3.0)
    q = Quat(0.9, 0.1, -0.3, 0.2)
    results = [ti.normalize(a), ti.cross(a, v), ti.dot(a, v), ti.magnitude(a), ti.is_unit(a),
               ti.distance_to(a, v), ti.distance_squared(a, v), ti.rotate(a, q), ti.collapse(a, 1),
               ti.add(a, v), ti.subtract(a, v), ti.multiply(a, 1.7), ti.divide(a, 1.7)]
    from tarsk_py import VecList
    lst = ti.to_veclist(a)
    rotated = ti.to_veclist(a)
    rotated.rotate(q)
    def vec(l): return np.array(l.to_array(), dtype=np.float64).reshape(-1, 3)
    methods = [vec(lst.normalize()), vec(lst.cross(v)), np.array(lst.dot(v)), np.array(lst.magnitude()),
               np.array(lst.is_unit()), np.array(lst.distance_to(v)), np.array(lst.distance_squared(v)),
               vec(rotated), vec(lst.collapse(1)), vec(lst + v), vec(lst - v), vec(lst * 1.7), vec(lst / 1.7)]
    h = hashlib.sha256()
    for k, (r, m) in enumerate(zip(results, methods)):
        assert r.dtype == m.dtype and r.tobytes() == m.tobytes(), k
        h.update(r.tobytes())
    got = ti.minimum_distance_to(a, v, 37)
    assert repr(got) == repr(lst.minimum_distance_to(v, 37))
    h.update(repr(got).encode())
    print(h.hexdigest())
""")


def run_child(env=None):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-c", CHILD], env=full_env, capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_kernels_identical_for_every_worker_count():
    digests = {count: run_child(env={"RAYON_NUM_THREADS": count}) for count in ("1", "2", "3", "7")}
    assert len(set(digests.values())) == 1, digests


# ---------------------------------------------------------------------------
# Input forms: every accepted form gives the float64 result of the same
# values; refused forms name the argument.

BASE = np.array([[1.0, -2.0, 3.5], [0.0, -0.0, 4.0], [7.0, 8.0, -9.25], [1e-310, 2.0, 3.0]])


@pytest.mark.parametrize("form", [
    lambda a: a[::-1][::-1],
    lambda a: np.ascontiguousarray(a[::-1])[::-1],
    lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=0)[::2],
    lambda a: a.astype(">f8"),
    lambda a: a.tolist(),
    lambda a: [tuple(r) for r in a.tolist()],
    lambda a: a.astype(object),
    lambda a: memoryview(a),
], ids=["same", "reversed-view", "fortran", "strided", "big-endian", "nested-list", "tuples", "object",
        "memoryview"])
def test_array_forms_give_the_same_result(form):
    arg = form(BASE.copy())
    assert ti.normalize(arg).tobytes() == ti.normalize(BASE).tobytes()
    assert ti.to_numpy(ti.to_veclist(arg)).tobytes() == BASE.tobytes()


def test_unaligned_rows_are_copied_not_read_in_place():
    raw = bytearray(1 + BASE.nbytes)
    raw[1:] = BASE.tobytes()
    unaligned = np.frombuffer(raw, dtype=np.float64, offset=1).reshape(-1, 3)
    assert not unaligned.flags.aligned
    assert ti.multiply(unaligned, 2.0).tobytes() == ti.multiply(BASE, 2.0).tobytes()


@pytest.mark.parametrize("dtype", [np.bool_, np.int8, np.uint64, np.int32, np.float16, np.float32,
                                   np.longdouble, ">i4"])
def test_real_dtypes_convert_as_numpy_converts(dtype):
    a = (np.arange(12) % 5).reshape(4, 3).astype(dtype)
    assert ti.to_numpy(ti.to_veclist(a)).tobytes() == a.astype(np.float64).tobytes()
    assert ti.magnitude(a).tobytes() == ti.magnitude(a.astype(np.float64)).tobytes()


@pytest.mark.parametrize("call, exc, words", [
    (lambda: ti.normalize(np.zeros((4, 2))), ValueError, ["'a'", "(n, 3)", "(4, 2)"]),
    (lambda: ti.normalize(np.zeros((3, 3, 3))), ValueError, ["'a'", "(n, 3)"]),
    (lambda: ti.normalize(5.0), ValueError, ["'a'", "(n, 3)"]),
    (lambda: ti.to_veclist(np.zeros(3)), ValueError, ["'a'", "(n, 3)"]),
    (lambda: ti.to_veclist([[1, 2, 3], [4, 5]]), ValueError, ["'a'", "(n, 3)"]),
    (lambda: ti.magnitude("abc"), TypeError, ["'a'"]),
    (lambda: ti.magnitude(b"abcdefghijklmnopqrstuvwx"), TypeError, ["'a'"]),
    (lambda: ti.magnitude(None), TypeError, ["'a'"]),
    (lambda: ti.magnitude(np.array([["1", "2", "3"]])), TypeError, ["'a'", "real"]),
    (lambda: ti.magnitude(np.zeros((2, 3), dtype=complex)), TypeError, ["'a'", "real"]),
    (lambda: ti.magnitude([[1, 2, 1j]]), TypeError, ["'a'"]),
    (lambda: ti.magnitude(np.array([[1, 2, None]], dtype=object)), TypeError, ["'a'", "NoneType"]),
    (lambda: ti.magnitude(np.array([[1, 2, "3"]], dtype=object)), TypeError, ["'a'", "str"]),
    (lambda: ti.magnitude([[Vec3d(1, 2, 3)]]), TypeError, ["'a'", "Vec3d"]),
    (lambda: ti.magnitude(np.zeros((2, 3), dtype="datetime64[s]")), TypeError, ["'a'"]),
    (lambda: ti.cross(BASE, [1.0, 2.0]), ValueError, ["'v'", "(3,)"]),
    (lambda: ti.dot(BASE, "xyz"), TypeError, ["'v'"]),
    (lambda: ti.add(BASE, None), TypeError, ["'v'"]),
    (lambda: ti.rotate(BASE, [1.0, 0.0, 0.0]), ValueError, ["'q'", "Quat", "(n, 4)"]),
    (lambda: ti.multiply(BASE, "2"), TypeError, ["'s'"]),
    (lambda: ti.divide(BASE, 1j), TypeError, ["'s'"]),
    (lambda: ti.multiply(BASE, np.ones(3)), TypeError, ["'s'"]),
    (lambda: ti.to_vec3d([1.0, 2.0]), ValueError, ["'a'", "(3,)"]),
    (lambda: ti.to_quat(np.zeros((2, 2))), ValueError, ["'a'", "(4,)"]),
    (lambda: ti.to_numpy([1.0, 2.0, 3.0]), TypeError, ["'obj'"]),
    (lambda: ti.as_numpy(BASE), TypeError, ["VecList"]),
], ids=lambda x: "" if callable(x) else None)
def test_bad_input_is_refused_naming_the_argument(call, exc, words):
    before = BASE.tobytes()
    with pytest.raises(exc) as info:
        call()
    for word in words:
        assert word in str(info.value)
    assert BASE.tobytes() == before


@pytest.mark.parametrize("call, exc, start, hint", [
    (lambda: ti.as_numpy(BASE), TypeError, "argument 'veclist': expected VecList, got 'ndarray'",
     "tarsk_interop.to_veclist(a)"),
    (lambda: ti.normalize(VecList([Vec3d(1, 2, 3)])), TypeError, "argument 'a': expected an array of real numbers",
     "got a VecList (pass tarsk_interop.as_numpy(lst)"),
    (lambda: ti.dot([Vec3d(1, 2, 3)], [1, 2, 3]), TypeError, "argument 'a': expected an array of real numbers",
     "to_numpy(VecList(vectors))"),
    (lambda: ti.to_veclist((Vec3d(1, 2, 3), Vec3d(4, 5, 6))), TypeError, "argument 'a': expected an array",
     "to_numpy(VecList(vectors))"),
    (lambda: ti.to_numpy([Vec3d(1, 2, 3)]), TypeError, "argument 'obj': expected Vec3d, Quat or VecList, got 'list'",
     "to_numpy(VecList(vectors))"),
    (lambda: ti.cross(BASE, Quat(1, 0, 0, 0)), TypeError, "argument 'v': expected an array of real numbers",
     "a Quat"),
])
def test_errors_name_the_conversion_that_helps(call, exc, start, hint):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value).startswith(start) and hint in str(info.value)


@pytest.mark.parametrize("call", [lambda: ti.as_numpy(3), lambda: ti.to_numpy([1.0, 2.0, 3.0]),
                                  lambda: ti.rotate(BASE, "wijk")])
def test_no_conversion_is_named_where_none_helps(call):
    with pytest.raises(TypeError) as info:
        call()
    assert "tarsk_interop." not in str(info.value) and "to_numpy(" not in str(info.value)


def test_version_is_the_distribution_version():
    import importlib.metadata
    assert ti.__version__ == importlib.metadata.version("tarsk_py")


@pytest.mark.parametrize("call, exc, text", [
    (lambda a: ti.collapse(a, 3), ValueError, "argument 'axis': expected 0, 1 or 2, got 3"),
    (lambda a: ti.collapse(np.zeros((0, 3)), np.int64(7)), ValueError, "argument 'axis'"),
    (lambda a: ti.minimum_distance_to(a, [0, 0, 0], 0), ValueError, "argument 'stride': expected a stride of at least 1"),
    (lambda a: ti.minimum_distance_to(np.zeros((0, 3)), [0, 0, 0], 1), ValueError,
     "argument 'a': expected at least one row"),
    (lambda a: ti.collapse(a, -1), OverflowError, None),
    (lambda a: ti.collapse(a, 1.0), TypeError, "argument 'axis'"),
    (lambda a: ti.minimum_distance_to(a, [0, 0, 0], -1), OverflowError, None),
])
def test_refusals_are_ordinary_exceptions_and_print_nothing(call, exc, text, capfd):
    # The list methods refuse stride 0, an empty list and an axis above 2 as
    # internal failures (a BaseException, and a line on stderr); the
    # companion's functions refuse them as ordinary errors.
    a = BASE.copy()
    with pytest.raises(exc) as info:
        call(a)
    assert isinstance(info.value, Exception)
    if text:
        assert text in str(info.value)
    assert a.tobytes() == BASE.tobytes()
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("offset", [0, 1], ids=["aligned", "odd-address"])
def test_empty_arrays_give_empty_results(offset):
    # numpy calls an empty array aligned wherever it sits (an empty chunk
    # received from another process can sit at an odd address).
    raw = np.zeros(32, dtype=np.uint8)
    start = (-raw.ctypes.data) % 8 + offset
    empty = np.ndarray((0, 3), dtype=np.float64, buffer=raw, offset=start)
    assert empty.ctypes.data % 8 == offset and empty.flags.aligned
    assert ti.normalize(empty).shape == (0, 3)
    assert ti.dot(empty, [1, 2, 3]).shape == (0,)
    assert ti.is_unit(empty).dtype == np.bool_
    assert len(ti.to_veclist(empty)) == 0
    assert ti.to_numpy(VecList.empty()).shape == (0, 3)
    assert ti.as_numpy(VecList.empty()).shape == (0, 3)


def test_rotate_leaves_input_alone_and_results_are_independent():
    a = BASE.copy()
    r = ti.rotate(a, Quat(0.0, 1.0, 0.0, 0.0))
    assert a.tobytes() == BASE.tobytes()
    r[0, 0] = 99.0
    assert ti.rotate(a, Quat(0.0, 1.0, 0.0, 0.0))[0, 0] != 99.0
    # Results own their memory: they outlive everything they came from.
    n = ti.normalize(a)
    del a
    gc.collect()
    assert n.tobytes() == ti.normalize(BASE).tobytes()


# ---------------------------------------------------------------------------
# The view of a list's memory

def test_view_blocks_changes_while_alive():
    lst = ti.to_veclist(BASE)
    view = ti.as_numpy(lst)
    second = ti.as_numpy(lst)[1:]
    assert not view.flags.writeable
    with pytest.raises(ValueError):
        view[0, 0] = 1.0
    with pytest.raises(ValueError):
        view.flags.writeable = True
    for change in (lambda: lst.append(Vec3d(0, 0, 0)), lambda: lst.extend(VecList.empty()),
                   lambda: lst.rotate(Quat(1, 0, 0, 0))):
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            change()
    # Reading is allowed while viewed.
    assert ti.to_numpy(lst).tobytes() == BASE.tobytes()
    assert len(lst.normalize()) == 4
    del view
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.append(Vec3d(0, 0, 0))
    del second
    lst.append(Vec3d(0, 0, 0))
    lst.rotate(Quat(1, 0, 0, 0))
    assert len(lst) == 5


def test_view_keeps_list_alive_and_sees_its_values():
    lst = ti.to_veclist(BASE)
    view = ti.as_numpy(lst)[::2]
    del lst
    gc.collect()
    assert view.tobytes() == BASE[::2].tobytes()


def test_kernel_on_a_view_reads_the_list():
    lst = ti.to_veclist(BASE)
    view = ti.as_numpy(lst)
    assert ti.rotate(view, Quat(0.5, 0.5, 0.5, 0.5)).tobytes() == ti.rotate(BASE, Quat(0.5, 0.5, 0.5, 0.5)).tobytes()
    assert ti.to_numpy(ti.to_veclist(view)).tobytes() == BASE.tobytes()
    del view
    lst.append(Vec3d(1, 2, 3))


ABI_MISMATCH_CHILD = """
import ctypes, sys
import tarsk_py
api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.restype = ctypes.py_object
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
api.PyCapsule_New.restype = ctypes.py_object
api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
d = api.PyInterpreterState_GetDict(api.PyInterpreterState_Get())
name = ctypes.c_char_p(b"tarsk_py._capi")
# A table of another ABI: its number, then a size far beyond this one's.
table = (ctypes.c_uint64 * 64)(ABI, 1 << 20)
d["tarsk_py._capi"] = api.PyCapsule_New(ctypes.addressof(table), name, None)
try:
    import tarsk_interop
except ImportError as exc:
    print(exc)
else:
    print("imported")
"""


@pytest.mark.parametrize("abi", [0, 2, 99])
def test_abi_mismatch_refuses_import_naming_both_numbers(abi):
    code = ABI_MISMATCH_CHILD.replace("ABI, 1", f"{abi}, 1")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout.strip()
    assert f"C ABI {ti._native.abi} of tarsk_py" in text and f"has ABI {abi};" in text, text


def test_stubs_match_runtime_and_type_check(tmp_path):
    pytest.importorskip("mypy", reason="the stub checks need mypy (pip install '.[test]')")
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / ".mypy_cache"))
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarsk_interop"], cwd=tmp_path, env=env,
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    usage = tmp_path / "usage.py"
    usage.write_text(textwrap.dedent("""
        import numpy as np
        import tarsk_interop as ti
        from tarsk_py import Quat, Vec3d
        a = np.zeros((4, 3))
        n: np.ndarray = ti.normalize(a)
        i, d = ti.minimum_distance_to(a, Vec3d(0, 0, 0), 2)
        bad: str = ti.to_veclist(a)
        ti.rotate(a, Vec3d(0, 0, 1))
    """))
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", str(usage)], cwd=tmp_path, env=env,
                       capture_output=True, text=True, timeout=600)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2 and "usage.py:8:" in errors[0] and "usage.py:9:" in errors[1], r.stdout


# ---------------------------------------------------------------------------
# Memory: every path leaves the allocated blocks and resident memory flat.

SMALL = np.array([[1.0, 2.0, 3.0], [0.0, 0.0, 0.0], [-4.0, 0.5, 2.0]])
SMALL_LIST = ti.to_veclist(SMALL)
LEAK_CASES = {
    "normalize": lambda: ti.normalize(SMALL),
    "dot": lambda: ti.dot(SMALL, [1.0, 2.0, 3.0]),
    "is_unit": lambda: ti.is_unit(SMALL),
    "rotate": lambda: ti.rotate(SMALL, Quat(0.5, 0.5, 0.5, 0.5)),
    "multiply": lambda: ti.multiply(SMALL, 2.0),
    "minimum_distance_to": lambda: ti.minimum_distance_to(SMALL, Vec3d(0, 0, 0), 2),
    "to_veclist/to_numpy": lambda: ti.to_numpy(ti.to_veclist(SMALL)),
    "as_numpy": lambda: ti.as_numpy(SMALL_LIST)[1:].sum(),
    "pickle": lambda: pickle.loads(pickle.dumps(SMALL_LIST, protocol=5)),
    "pickle out of band": lambda: (lambda b: pickle.loads(pickle.dumps(SMALL_LIST, protocol=5, buffer_callback=b.append),
                                                          buffers=b))([]),
    "bad shape": lambda: pytest.raises(ValueError, ti.normalize, np.zeros((2, 2))),
    "refused axis": lambda: pytest.raises(ValueError, ti.collapse, SMALL, 3),
    "bad pickle": lambda: pytest.raises(pickle.UnpicklingError, ti._veclist_from_buffer, b"x"),
}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_interop_does_not_leak(name):
    from test_leaks import POOL_CALLS, check_flat
    check_flat(name, LEAK_CASES[name], POOL_CALLS)
    SMALL_LIST.append(Vec3d(0, 0, 0))  # no borrow left behind
    SMALL_LIST.rotate(Quat(1, 0, 0, 0))


@pytest.mark.skipif(os.environ.get("TARSK_SANITIZED") == "1" or os.environ.get("TARSK_UNDER_VALGRIND") == "1",
                    reason="freed memory is held by the checking allocator")
def test_handed_over_memory_is_freed():
    """Results handed to numpy free their memory with the allocator that made
    them, in both size classes (the large one is above the huge-page bound)."""
    from test_leaks import rss
    for rows in (100_000, 2_000_000):
        a = np.ones((rows, 3))
        for _ in range(3):
            ti.normalize(a), ti.magnitude(a), ti.to_numpy(ti.to_veclist(a))
        before = rss()
        for _ in range(15):
            r = ti.normalize(a), ti.magnitude(a), ti.to_numpy(ti.to_veclist(a))
            del r
        assert rss() - before < 16 << 20, rows
