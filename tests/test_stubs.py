"""The type stubs written by tools/stubgen.py from the module's records and
stub data: mypy's stubtest finds no difference from the runtime, every public
callable is described, precise result types let mypy --strict catch wrong
uses, the examples type-check in strict mode, the generator's failures are
one clear line."""
import ast
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
ALLOWLIST = ROOT / "tools" / "stubtest_allowlist.txt"

pytest.importorskip("mypy", reason="the stub checks need mypy (pip install '.[test]')")


def _run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kw)


INTEROP_STUB = ROOT / "tarsk-interop" / "tarsk_interop" / "__init__.pyi"


@pytest.fixture(scope="module")
def stubs():
    """The stubs the build wrote from the library's records and stub data:
    installed next to the module, or in the stubs folder of a build tree."""
    lib_dir = pathlib.Path(tarsk_py.__file__).parent
    installed = lib_dir / "tarsk_py-stubs"
    pkg = installed if installed.is_dir() else lib_dir / "stubs" / "tarsk_py-stubs"
    assert sorted(p.name for p in pkg.iterdir() if p.suffix == ".pyi") == ["__init__.pyi", "geometry.pyi"]
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
    assert "def __new__(cls, x: float, y: float, z: float) -> Vec3d:" in init
    assert "    @staticmethod\n    def zero() -> Vec3d:" in init
    assert "    @x.setter\n    def x(self, value: float) -> None: ..." in init
    assert "def dot(self, other: Vec3d) -> float:" in init
    assert "def __eq__(self, other: object, /) -> bool:" in init
    assert "def new_from_to(from_: Vec3d, /, to: Vec3d) -> Vec3d:" in init
    assert "def __iter__(self) -> VecListIterator:" in init
    assert "from tarsk_py import Vec3d" in geo
    # Precise results where the records say typing.Any, from the C++ types.
    assert "def to_array(self) -> list[float]:" in init                      # Vec3d
    assert "def to_array(self) -> builtins.list[builtins.list[float]]:" in init  # VecList
    assert "def list(self) -> builtins.list[Vec3d]:" in init
    assert "def __new__(cls, list: typing.Sequence[Vec3d]) -> VecList:" in init
    assert "def is_unit(self) -> builtins.list[bool]:" in init
    assert "def minimum_distance_to(self, other: Vec3d, stride: int) -> tuple[int, float]:" in init
    assert "def to_axis_angle(self) -> tuple[Vec3d, AngleRadians]:" in init
    assert "def to_rotation_matrix(self) -> list[list[float]]:" in init
    assert "def to_vec3d(self) -> tuple[float, float, float]:" in init
    assert "def __next__(self) -> Vec3d:" in init
    assert "def plane_line(plane: Plane, a: Vec3d, b: Vec3d) -> Vec3d:" in geo
    assert "def circle_circle(circle1: Circle, circle2: Circle) -> tuple[Vec3d, Vec3d] | None:" in geo
    assert "typing.Any" not in init + geo


def _undescribed(path):
    """Public classes and callables of a stub file without a docstring (a
    property's setter is described by its getter)."""
    tree = ast.parse(path.read_text(), filename=str(path))
    missing = []

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                if not ast.get_docstring(node):
                    missing.append(prefix + node.name)
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                setter = any(ast.unparse(d).endswith(".setter") for d in node.decorator_list)
                if node.name.startswith("_") and not node.name.startswith("__"):
                    continue
                if not setter and not (ast.get_docstring(node) or "").strip():
                    missing.append(prefix + node.name)
    visit(tree.body, "")
    return missing


@pytest.mark.parametrize("stub", ["__init__.pyi", "geometry.pyi", "interop", "interop-dask"])
def test_every_public_callable_is_described(stubs, stub):
    path = {"interop": INTEROP_STUB, "interop-dask": INTEROP_STUB.with_name("dask.pyi")}.get(stub, stubs / stub)
    assert _undescribed(path) == []


def test_descriptions_cover_the_runtime_api(stubs):
    # Every public name of the module, its classes and the companion package
    # appears in the stubs with a description (stubtest checks the converse).
    import tarsk_interop
    for path, owner in ((stubs / "__init__.pyi", tarsk_py), (stubs / "geometry.pyi", tarsk_py.geometry),
                        (INTEROP_STUB, tarsk_interop)):
        tree = ast.parse(path.read_text())
        top = {n.name: n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
        for name in owner.__all__:
            obj = getattr(owner, name)
            if isinstance(obj, type(tarsk_py)):
                continue
            assert name in top, f"{owner.__name__}.{name} is not in {path.name}"
            node = top[name]
            assert ast.get_docstring(node), f"{owner.__name__}.{name} has no description"
            if isinstance(node, ast.ClassDef):
                members = {n.name for n in node.body if isinstance(n, ast.FunctionDef)
                           and ast.get_docstring(n)}
                for attr in vars(obj):
                    if not attr.startswith("_"):
                        assert attr in members, f"{name}.{attr} has no description"


def test_the_installed_library_carries_no_stub_data():
    # The build removes the stub data once the stubs are written: only the
    # records are left, and stubs made from the installed library fall back
    # to the records' annotations.
    sys.path.insert(0, str(ROOT / "tools"))
    try:
        import stubgen
    finally:
        sys.path.pop(0)
    elf = stubgen.ElfFile(tarsk_py.__file__)
    assert stubgen.STUB_SECTION not in [sec.name for sec in elf.sections]
    assert stubgen.read_stub_data(elf) == []


def test_records_only_stubs_from_the_installed_library(tmp_path):
    r = _run([sys.executable, str(STUBGEN), tarsk_py.__file__, str(tmp_path)])
    assert r.returncode == 0 and r.stderr == "", r.stderr
    geo = (tmp_path / "tarsk_py-stubs" / "geometry.pyi").read_text()
    assert "def plane_line(plane: Plane, a: Vec3d, b: Vec3d) -> typing.Any: ..." in geo


def test_stubtest_reports_no_difference(mypy_env):
    import mypy.version
    if int(mypy.version.__version__.split(".")[0]) < 2:
        # mypy 1's stubtest does not report the reflected operators that the
        # allowlist names, and reports each such entry as unused. (A mypy 2
        # needs a wheel of its Rust parser, which the free-threaded 3.13 lacks.)
        pytest.skip(f"the allowlist is written for mypy 2's stubtest (mypy {mypy.version.__version__})")
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


def test_wrong_result_types_are_reported(mypy_env, tmp_path):
    # Each line assigns a result to a variable of the wrong type; the records
    # give most of these results as typing.Any, the stubs their real types.
    lines = [
        "x1: str = v.dot(v)",
        "x2: str = v.magnitude()",
        "x3: list[str] = v.to_array()",
        "x4: list[str] = vl.magnitude()",
        "x5: list[float] = vl.is_unit()",
        "x6: tuple[int, int] = vl.minimum_distance_to(v, 1)",
        "x7: float = geometry.plane_line(geometry.Plane.xy(), v, v)",
        "x8: tuple[Vec3d, Vec3d] = geometry.circle_circle(c, c)",
        "x9: tuple[Vec3d, float] = q.to_axis_angle()",
        "x10: str = next(iter(vl))",
        "x11: list[str] = vl.list",
    ]
    src = tmp_path / "wrong.py"
    src.write_text(
        "from tarsk_py import Quat, Vec3d, VecList, geometry\n"
        "v = Vec3d(1.0, 2.0, 3.0)\n"
        "vl = VecList([v])\n"
        "q = Quat.identity()\n"
        "c = geometry.Circle(v, 1.0, v)\n" + "\n".join(lines) + "\n")
    r = _run([sys.executable, "-m", "mypy", "--strict", str(src)], env=mypy_env,
             cwd=mypy_env["MYPYPATH"])
    assert r.returncode == 1
    first = 6  # the line of x1
    for n in range(len(lines)):
        assert f"wrong.py:{first + n}: error:" in r.stdout, r.stdout
    assert f"Found {len(lines)} errors" in r.stdout, r.stdout


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
