"""The module frame: names and order, the module cache, the submodule, and
the refusal of a second interpreter."""
import importlib
import subprocess
import sys
import textwrap

import pytest

import tarsk_py

TOP_ALL = ["AngleDegrees", "AngleRadians", "Quat", "VecList", "Vec3d", "geometry"]
GEOMETRY_ALL = ["Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane"]


def test_all_lists_follow_registration_order():
    # Every name added is listed, in the order of addition.
    assert [n for n in TOP_ALL if n in tarsk_py.__all__] == tarsk_py.__all__
    assert tarsk_py.__all__[-2:] == ["Vec3d", "geometry"]
    for name in tarsk_py.__all__:
        assert hasattr(tarsk_py, name)
    geometry_all = getattr(tarsk_py.geometry, "__all__", [])
    assert [n for n in GEOMETRY_ALL if n in geometry_all] == geometry_all


def test_module_identity():
    assert tarsk_py.__name__ == "tarsk_py"
    assert tarsk_py.__doc__ == ""
    assert tarsk_py.geometry.__name__ == "geometry"
    assert not hasattr(tarsk_py, "__path__")  # not a package


def test_reimport_returns_the_cached_module():
    assert importlib.import_module("tarsk_py") is tarsk_py
    saved = sys.modules.pop("tarsk_py")
    try:
        again = importlib.import_module("tarsk_py")
        assert again is saved
        assert again.Vec3d is saved.Vec3d
    finally:
        sys.modules["tarsk_py"] = saved


def test_submodule_is_an_attribute_only():
    from tarsk_py import geometry
    assert geometry is tarsk_py.geometry
    assert "geometry" not in sys.modules and "tarsk_py.geometry" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("tarsk_py.geometry")


REPORT_IMPORT = """
try:
    import tarsk_py
except ImportError as exc:
    print("ImportError:", exc, flush=True)
else:
    print("imported", flush=True)
"""


def _in_subinterpreter(start):
    code = "import tarsk_py\n" + textwrap.dedent(start) + "\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_legacy_subinterpreter_is_refused_by_the_module():
    # A subinterpreter that shares the main interpreter's settings may load
    # single-phase modules; the module itself refuses a second interpreter.
    pytest.importorskip("_testcapi")
    out = _in_subinterpreter(f"import _testcapi; _testcapi.run_in_subinterp({REPORT_IMPORT!r})")
    assert out.startswith("ImportError: PyO3 modules do not yet support subinterpreters, see "), out


@pytest.mark.skipif(sys.version_info < (3, 12), reason="isolated subinterpreters exist from 3.12 on")
def test_isolated_subinterpreter_is_refused_by_the_interpreter():
    # An isolated subinterpreter refuses single-phase modules before their
    # initialisation runs, with the interpreter's own message.
    name = "_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters"
    pytest.importorskip(name)
    out = _in_subinterpreter(f"""
        import {name} as interpreters
        interpreters.run_string(interpreters.create(), {REPORT_IMPORT!r})
    """)
    assert out == "ImportError: module tarsk_py does not support loading in subinterpreters", out


def test_only_the_init_function_is_exported():
    # Nothing but PyInit_tarsk_py and the introspection records leaves the
    # shared library.
    path = tarsk_py.__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True)
    if out.returncode != 0:
        pytest.skip("nm is not available")
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert "PyInit_tarsk_py" in names
    assert [n for n in names if n != "PyInit_tarsk_py" and not n.startswith("PYO3_INTROSPECTION_1_")] == []
