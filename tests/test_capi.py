"""tarsk_py's private C ABI, called through ctypes as a native user calls it,
and the table of element-wise operations against its three faces (the VecList
methods, the array kernels, the Dask kernels) and their stubs."""
import ctypes
import pathlib
import pkgutil
from importlib.machinery import EXTENSION_SUFFIXES
import struct
import threading

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import tarsk_interop as ti
import tarsk_interop.dask as tdask
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

from floats import SPECIALS, doubles

ROOT = pathlib.Path(__file__).resolve().parents[1]
api = ctypes.pythonapi

BODY = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)


class TarskOp(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("face", ctypes.c_char_p), ("param", ctypes.c_char_p),
                ("arg", ctypes.c_int), ("result", ctypes.c_int)]


P = ctypes.py_object
D = ctypes.POINTER(ctypes.c_double)


class TarskCapi(ctypes.Structure):
    # PyObject* arguments travel as py_object; the functions are called
    # through PYFUNCTYPE, which keeps the interpreter's lock held, except
    # parallel_for, whose body must run on worker threads while we wait.
    _fields_ = [
        ("abi", ctypes.c_uint),
        ("size", ctypes.c_size_t),
        ("is_value", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, P)),
        ("get_value", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_int, P, D)),
        ("make_value", ctypes.PYFUNCTYPE(P, ctypes.c_int, D)),
        ("is_list", ctypes.PYFUNCTYPE(ctypes.c_int, P)),
        ("list_borrow", ctypes.PYFUNCTYPE(ctypes.c_int, P, ctypes.POINTER(D), ctypes.POINTER(ctypes.c_size_t))),
        ("list_release", ctypes.PYFUNCTYPE(None, P)),
        ("list_copy", ctypes.c_void_p),
        ("list_adopt", ctypes.c_void_p),
        ("list_share", ctypes.c_void_p),
        ("ops", ctypes.POINTER(TarskOp)),
        ("op_count", ctypes.c_size_t),
        ("convert_arg", ctypes.c_void_p),
        ("convert_count", ctypes.c_void_p),
        ("apply", ctypes.c_void_p),
        ("minimum_distance_to", ctypes.c_void_p),
        ("parallel_for", ctypes.CFUNCTYPE(None, ctypes.c_size_t, ctypes.c_size_t, BODY, ctypes.c_void_p)),
        ("take_memory", ctypes.c_void_p),
        ("give_back_memory", ctypes.c_void_p),
        ("trim_memory", ctypes.c_void_p),
        ("memory_state", ctypes.c_void_p),
        ("list_read", ctypes.PYFUNCTYPE(ctypes.c_int, P, ctypes.POINTER(D), ctypes.POINTER(ctypes.c_size_t))),
        ("list_read_end", ctypes.PYFUNCTYPE(None, P)),
    ]


def table():
    api.PyInterpreterState_Get.restype = ctypes.c_void_p
    # A borrowed reference: a py_object result would be taken as a new one
    # and released, freeing the interpreter's dict.
    api.PyInterpreterState_GetDict.restype = ctypes.c_void_p
    api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    interpreter_dict = ctypes.cast(api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), ctypes.py_object)
    capsule = interpreter_dict.value["tarsk_py._capi"]
    return TarskCapi.from_address(api.PyCapsule_GetPointer(capsule, b"tarsk_py._capi"))


CAPI = table()


def test_table_is_versioned_and_found_without_a_module_attribute():
    import tarsk_py
    assert CAPI.abi == ti._native.abi == 1
    assert CAPI.size >= ctypes.sizeof(TarskCapi)
    assert not any("capi" in name for name in dir(tarsk_py))


# ---------------------------------------------------------------------------
# Values

def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


VALUE_KINDS = {
    0: (3, lambda d: Vec3d(*d), lambda v: (v.x, v.y, v.z)),
    1: (4, lambda d: Quat(*d), lambda q: (q.w, q.i, q.j, q.k)),
    2: (1, lambda d: AngleRadians(*d), lambda a: (a.angle,)),
    3: (1, lambda d: AngleDegrees(*d), lambda a: (a.angle,)),
    4: (4, None, lambda p: (p.normal.x, p.normal.y, p.normal.z, p.distance)),
    5: (7, None, lambda c: (c.center.x, c.center.y, c.center.z, c.radius, c.normal.x, c.normal.y, c.normal.z)),
}
component = st.one_of(doubles, st.sampled_from(SPECIALS))


@settings(max_examples=60, deadline=None)
@given(kind=st.sampled_from(sorted(VALUE_KINDS)), values=st.lists(component, min_size=7, max_size=7))
def test_values_made_and_read_back_bit_for_bit(kind, values):
    count, _, read = VALUE_KINDS[kind]
    values = values[:count]
    made = CAPI.make_value(kind, (ctypes.c_double * 7)(*values))
    assert CAPI.is_value(kind, made) == 1
    assert bits(read(made)) == bits(values)  # stored as given, never normalised
    out = (ctypes.c_double * 7)()
    assert CAPI.get_value(kind, made, out) == 0
    assert bits(out[:count]) == bits(values)


@pytest.mark.parametrize("kind", sorted(VALUE_KINDS))
def test_values_of_another_class_are_refused(kind):
    others = [Vec3d(1, 2, 3), Quat(1, 0, 0, 0), AngleRadians(1.0), AngleDegrees(1.0), geometry.Plane.xy(),
              geometry.Circle.none(), VecList.empty(), 1.5, None]
    for other_kind, obj in enumerate(others):
        if other_kind == kind:
            continue
        assert CAPI.is_value(kind, obj) == 0
        with pytest.raises(TypeError, match="cannot be cast as"):
            CAPI.get_value(kind, obj, (ctypes.c_double * 7)())


# ---------------------------------------------------------------------------
# A list's borrow

def test_list_borrow_blocks_changes_until_released():
    lst = ti.to_veclist(np.arange(12.0).reshape(4, 3))
    rows, n = D(), ctypes.c_size_t()
    assert CAPI.list_borrow(lst, ctypes.byref(rows), ctypes.byref(n)) == 0
    assert n.value == 4 and rows[11] == 11.0
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.append(Vec3d(0, 0, 0))
    assert CAPI.list_borrow(lst, ctypes.byref(rows), ctypes.byref(n)) == 0  # shared: a second holder
    CAPI.list_release(lst)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.rotate(Quat(1, 0, 0, 0))
    CAPI.list_release(lst)
    lst.append(Vec3d(0, 0, 0))
    assert len(lst) == 5
    with pytest.raises(TypeError, match="cannot be cast as 'VecList'"):
        CAPI.list_borrow(np.zeros((1, 3)), ctypes.byref(rows), ctypes.byref(n))


def test_list_read_holds_the_list_as_a_method_call_does_until_it_ends():
    lst = ti.to_veclist(np.arange(12.0).reshape(4, 3))
    rows, n = D(), ctypes.c_size_t()
    assert CAPI.list_read(lst, ctypes.byref(rows), ctypes.byref(n)) == 0
    assert n.value == 4 and rows[11] == 11.0
    # Python code run on the reading thread cannot change the list meanwhile.
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        lst.append(Vec3d(0, 0, 0))
    assert lst.magnitude()[1] == Vec3d(3.0, 4.0, 5.0).magnitude()  # other reads go on
    CAPI.list_read_end(lst)
    lst.append(Vec3d(0, 0, 0))
    assert len(lst) == 5
    with pytest.raises(TypeError, match="cannot be cast as 'VecList'"):
        CAPI.list_read(np.zeros((1, 3)), ctypes.byref(rows), ctypes.byref(n))
    CAPI.list_read_end(np.zeros((1, 3)))  # not a list: nothing to end
    lst.rotate(Quat(1, 0, 0, 0))


# ---------------------------------------------------------------------------
# The modules built on the table load only where tarsk_py loads

SUBINTERPRETER_IMPORTS = """
import importlib.machinery, importlib.util

def report(name, load):
    try:
        load()
    except ImportError as exc:
        print(name, "ImportError:", exc, flush=True)
    else:
        print(name, "loaded", flush=True)

def load_tarsk_py():
    import tarsk_py

report("tarsk_py", load_tarsk_py)
for name, path in FILES.items():
    # By file: the package itself imports numpy, which refuses a second
    # interpreter on its own.
    def load(name=name, path=path):
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        spec = importlib.util.spec_from_file_location(name, path, loader=loader)
        loader.exec_module(importlib.util.module_from_spec(spec))
    report(name, load)
"""

# Every native module of the companion.
NATIVE = tuple(sorted(f"tarsk_interop.{m.name}" for m in pkgutil.iter_modules(ti.__path__)
                      if m.name.startswith("_") and any(
                          (pathlib.Path(ti.__path__[0]) / (m.name + s)).exists() for s in EXTENSION_SUFFIXES)))

LEGACY_SUBINTERPRETER = """
import importlib, sys
import tarsk_interop
NATIVE = __NATIVE__
FILES = {name: importlib.import_module(name).__file__ for name in NATIVE}
code = "FILES = %r" % FILES + IMPORTS
try:
    import _testcapi
    _testcapi.run_in_subinterp(code)
except ImportError:
    try:
        import _interpreters
        config = _interpreters.new_config("legacy")
        config.check_multi_interp_extensions = False
        interp = _interpreters.create(config)
    except Exception as exc:
        print("no legacy subinterpreter:", type(exc).__name__, exc)
    else:
        _interpreters.exec(interp, code)
        _interpreters.destroy(interp)
"""


def test_the_native_modules_refuse_a_legacy_subinterpreter_as_tarsk_py_does():
    # A subinterpreter sharing the main one's settings may load single-phase
    # modules; the companion's native modules keep tarsk_py's table and their
    # own types for the first interpreter, so they refuse the import there
    # exactly as tarsk_py does.
    import subprocess
    import sys
    code = f"IMPORTS = {SUBINTERPRETER_IMPORTS!r}\n" + LEGACY_SUBINTERPRETER.replace("__NATIVE__", repr(NATIVE))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr[-3000:]
    if proc.stdout.startswith("no legacy subinterpreter:"):
        pytest.skip(proc.stdout.strip())
    lines = dict(line.split(" ", 1) for line in proc.stdout.strip().splitlines())
    assert lines["tarsk_py"].startswith("ImportError: PyO3 modules do not yet support subinterpreters"), lines
    assert lines == {name: lines["tarsk_py"] for name in ("tarsk_py",) + NATIVE}


def test_the_native_modules_load_again_in_their_own_interpreter():
    import importlib
    import sys
    for name in NATIVE:
        first = sys.modules.pop(name)
        try:
            again = importlib.import_module(name)
            assert again is not first and sorted(vars(again)) == sorted(vars(first))
        finally:
            sys.modules[name] = first
    assert ti.to_numpy(VecList([Vec3d(1, 2, 3)])).tolist() == [[1.0, 2.0, 3.0]]


# ---------------------------------------------------------------------------
# parallel_for

@pytest.mark.parametrize("n, grain", [(0, 1), (5, 1), (31, 16), (1000, 16), (100_000, 1024), (4096, 4096)])
def test_parallel_for_covers_every_index_once_in_whole_blocks(n, grain):
    ranges, threads = [], set()
    lock = threading.Lock()

    @BODY
    def body(ctx, begin, end):
        with lock:
            ranges.append((begin, end))
            threads.add(threading.get_ident())

    CAPI.parallel_for(n, grain, body, None)
    ranges.sort()
    assert [r for r in ranges if r[0] == r[1]] == []
    covered = 0
    for begin, end in ranges:
        assert begin == covered and begin % 16 == 0  # disjoint, in order, split on blocks
        assert end - begin >= min(grain, n)
        covered = end
    assert covered == n
    if n < 2 * grain:
        assert len(ranges) == (1 if n else 0)


# ---------------------------------------------------------------------------
# The table of element-wise operations and its faces

def test_every_operation_of_the_table_has_all_its_faces():
    stubs = (ROOT / "tarsk-interop" / "tarsk_interop" / "__init__.pyi").read_text()
    dask_stubs = (ROOT / "tarsk-interop" / "tarsk_interop" / "dask.pyi").read_text()
    rows = [CAPI.ops[k] for k in range(CAPI.op_count)]
    names = [r.name.decode() for r in rows]
    assert len(names) == len(set(names)) == len(ti._OPS)
    for row in rows:
        name, face = row.name.decode(), row.face.decode()
        assert callable(getattr(VecList, face, None)), f"VecList lacks {face} for {name}"
        assert callable(getattr(ti, name, None)) and name in ti.__all__, f"tarsk_interop lacks {name}"
        assert callable(getattr(tdask, name, None)) and name in tdask.__all__, f"tarsk_interop.dask lacks {name}"
        assert f"def {name}(" in stubs and f'"{name}"' in stubs, f"the stubs lack {name}"
        assert f"def {name}(" in dask_stubs, f"the Dask stubs lack {name}"


def test_every_operation_of_the_table_is_checked_bit_for_bit():
    from test_interop import kernel_cases
    checked = {name.rstrip("0123456789") for name in kernel_cases((1.0, 2.0, 3.0), Quat(1, 0, 0, 0), 2.0)}
    assert {name for name, *_ in ti._OPS} <= checked
