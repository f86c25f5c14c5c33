"""The type stubs written by tools/stubgen.py from the module's records: mypy's
stubtest finds no difference from the runtime, the examples type-check in
strict mode, the generator's failures are one clear line, and docs/API.md is
the reference generated from the current stubs."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tarsk_py

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUBGEN = ROOT / "tools" / "stubgen.py"
APIDOC = ROOT / "tools" / "apidoc.py"
ALLOWLIST = ROOT / "tools" / "stubtest_allowlist.txt"

pytest.importorskip("mypy", reason="the stub checks need mypy (pip install '.[test]')")


def _run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kw)


@pytest.fixture(scope="module")
def stubs(tmp_path_factory):
    """Stubs freshly generated from the imported module's library."""
    out = tmp_path_factory.mktemp("stubs")
    r = _run([sys.executable, str(STUBGEN), tarsk_py.__file__, str(out)])
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    pkg = out / "tarsk_py-stubs"
    assert sorted(p.name for p in pkg.iterdir()) == ["__init__.pyi", "geometry.pyi"]
    return pkg


@pytest.fixture(scope="module")
def mypy_env(stubs, tmp_path_factory):
    """An environment whose MYPYPATH holds the stubs as the package tarsk_py
    (mypy looks for "-stubs" packages only in site-packages)."""
    path = tmp_path_factory.mktemp("mypypath")
    shutil.copytree(stubs, path / "tarsk_py")
    env = dict(os.environ)
    env["MYPYPATH"] = str(path)
    # The runtime module that stubtest imports is the one these tests import.
    lib_dir = str(pathlib.Path(tarsk_py.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (lib_dir, env.get("PYTHONPATH")) if p)
    env["MYPY_CACHE_DIR"] = str(path / ".mypy_cache")
    return env


def test_stub_text(stubs):
    init = (stubs / "__init__.pyi").read_text()
    geo = (stubs / "geometry.pyi").read_text()
    assert "from . import geometry as geometry" in init
    assert "def __new__(cls, x: float, y: float, z: float) -> Vec3d: ..." in init
    assert "    @staticmethod\n    def zero() -> Vec3d: ..." in init
    assert "    @property\n    def x(self) -> float: ...\n    @x.setter\n    def x(self, value: float) -> None: ..." in init
    assert "def dot(self, other: Vec3d) -> float: ..." in init
    assert "def __eq__(self, other: object, /) -> bool: ..." in init
    assert "def new_from_to(from_: Vec3d, /, to: Vec3d) -> Vec3d: ..." in init
    assert "class VecListIterator:" in init
    assert "def __iter__(self) -> VecListIterator: ..." in init
    assert "from tarsk_py import Vec3d" in geo
    assert "def plane_line(plane: Plane, a: Vec3d, b: Vec3d) -> typing.Any: ..." in geo


def test_stubtest_reports_no_difference(mypy_env):
    r = _run([sys.executable, "-m", "mypy.stubtest", "tarsk_py", "--allowlist", str(ALLOWLIST)],
             env=mypy_env, cwd=mypy_env["MYPYPATH"])
    assert r.returncode == 0, r.stdout + r.stderr


def test_stubtest_checks_geometry_too(mypy_env):
    # geometry cannot be imported by its dotted name, so stubtest is run with
    # the attribute registered under that name; then the submodule's stubs are
    # checked like the top-level module's.
    code = ("import sys, tarsk_py; sys.modules['tarsk_py.geometry'] = tarsk_py.geometry; "
            "from mypy.stubtest import main; sys.exit(main())")
    r = _run([sys.executable, "-c", code, "tarsk_py", "--allowlist", str(ALLOWLIST),
              "--ignore-unused-allowlist"], env=mypy_env, cwd=mypy_env["MYPYPATH"])
    assert r.returncode == 0, r.stdout + r.stderr
    assert "2 modules" in r.stdout


def test_examples_type_check_strict(mypy_env):
    examples = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))
    assert examples
    r = _run([sys.executable, "-m", "mypy", "--strict", *examples], env=mypy_env,
             cwd=mypy_env["MYPYPATH"])
    assert r.returncode == 0, r.stdout + r.stderr


def test_type_errors_are_found(mypy_env, tmp_path):
    # The stubs are what mypy uses: a wrong call is reported, the submodule
    # resolves both ways, and the iterator's type is known.
    src = tmp_path / "use.py"
    src.write_text(
        "import tarsk_py\n"
        "from tarsk_py import geometry, Vec3d, VecList\n"
        "p: tarsk_py.geometry.Plane = geometry.Plane.xy()\n"
        "reveal_type(iter(VecList.empty()))\n"
        "Vec3d(1.0, 2.0, 3.0).dot(2.0)\n")
    r = _run([sys.executable, "-m", "mypy", "--strict", str(src)], env=mypy_env,
             cwd=mypy_env["MYPYPATH"])
    assert r.returncode == 1
    assert 'Revealed type is "tarsk_py.VecListIterator"' in r.stdout
    assert 'Argument 1 to "dot" of "Vec3d" has incompatible type "float"' in r.stdout
    assert "Found 1 error" in r.stdout, r.stdout


# -- failures of the generator -------------------------------------------------

def _stubgen_fails(path, tmp_path):
    r = _run([sys.executable, str(STUBGEN), str(path), str(tmp_path / "out")])
    assert r.returncode == 2
    assert r.stdout == ""
    assert r.stderr.count("\n") == 1 and "Traceback" not in r.stderr
    assert not (tmp_path / "out").exists()
    return r.stderr.strip()


def test_stubgen_rejects_a_non_elf_file(tmp_path):
    f = tmp_path / "module.so"
    f.write_text("not a library\n")
    assert _stubgen_fails(f, tmp_path) == f"stubgen: not an ELF shared library: {f}"


def test_stubgen_rejects_an_executable(tmp_path):
    exe = shutil.which("true") or sys.executable
    assert _stubgen_fails(exe, tmp_path) == f"stubgen: not an ELF shared library: {exe}"


def test_stubgen_rejects_a_library_without_records(tmp_path):
    candidates = []
    for name in ("_struct", "_json", "math", "select", "_ctypes", "_socket"):
        spec = importlib.util.find_spec(name)
        if spec and spec.origin and spec.origin.endswith(".so"):
            candidates.append(spec.origin)
    libdir = sysconfig.get_config_var("LIBDIR") or ""
    candidates += [str(p) for p in sorted(pathlib.Path(libdir).glob("libpython3*.so*"))]
    if not candidates:
        pytest.skip("no shared library of the interpreter to try")
    lib = candidates[0]
    assert _stubgen_fails(lib, tmp_path) == f"stubgen: no PYO3_INTROSPECTION_1_* records in {lib}"


def test_stubgen_rejects_a_missing_file(tmp_path):
    assert _stubgen_fails(tmp_path / "nothing.so", tmp_path).startswith("stubgen: cannot read ")


def test_stubgen_rejects_a_truncated_library(tmp_path):
    cut = tmp_path / "cut.so"
    cut.write_bytes(pathlib.Path(tarsk_py.__file__).read_bytes()[:4096])
    assert _stubgen_fails(cut, tmp_path).startswith("stubgen: malformed ELF file")


def test_stubgen_usage():
    r = _run([sys.executable, str(STUBGEN)])
    assert r.returncode == 2 and r.stderr.startswith("usage:")


# -- the API reference ---------------------------------------------------------

def test_api_reference_is_up_to_date(stubs, tmp_path):
    out = tmp_path / "API.md"
    r = _run([sys.executable, str(APIDOC), str(stubs), str(out)])
    assert r.returncode == 0, r.stderr
    committed = (ROOT / "docs" / "API.md").read_text()
    assert committed == out.read_text(), (
        "docs/API.md is stale: regenerate it with "
        f"python3 tools/apidoc.py {stubs} docs/API.md")


def test_api_reference_lists_every_member(stubs):
    text = (ROOT / "docs" / "API.md").read_text()
    for cls in ("Vec3d", "VecList", "VecListIterator", "AngleRadians", "AngleDegrees", "Quat"):
        assert f"### class `tarsk_py.{cls}`" in text
    for cls in ("Plane", "Circle"):
        assert f"### class `tarsk_py.geometry.{cls}`" in text
    assert "- `Vec3d(x: float, y: float, z: float)`" in text
    assert "- `normal: Vec3d` (read-write)" in text
    assert "- `area: float` (read-only)" in text
    assert "- `circle_point(circle: Circle, point: Vec3d, inner: bool) -> bool`" in text
