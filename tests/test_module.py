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


def test_second_interpreter_is_refused():
    code = textwrap.dedent("""
        import tarsk_py, _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import tarsk_py")
        except Exception as exc:
            print(type(exc).__name__, exc)
        else:
            print("imported")
    """)
    pytest.importorskip("_xxsubinterpreters")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "<class 'ImportError'>: PyO3 modules do not yet support subinterpreters, see " in out


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
