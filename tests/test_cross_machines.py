"""The same bits on every machine. tools/cross_digest.sh builds the native
digest programs of the core formulas (rotation, the correctly rounded
functions, the element-wise formulas) for x86-64, aarch64, ppc64le and s390x,
runs the foreign ones under qemu-user and the x86-64 one also with glibc's
FMA paths off, and fails when any digest differs. tools/aarch64_module.sh
cross-builds tarsk_py and the companion for 64-bit Arm, runs the suite's
digest programs under qemu-aarch64 with Debian's arm64 CPython and here with
the installed module, and fails when any digest beyond the C library's fixed
surface differs."""
import os
import platform
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def run_tool(script, tools, packages, env):
    """The table a tool script prints (first word of each line -> the rest),
    or a skip where the machine cannot run it."""
    if platform.machine() != "x86_64":
        pytest.skip("the cross builds run from x86-64")
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        pytest.skip(f"missing {', '.join(missing)} ({packages}; tools/{script} --install)")
    r = subprocess.run(["bash", os.path.join(ROOT, "tools", script)], env=dict(os.environ, **env),
                       capture_output=True, text=True, timeout=1200)
    assert r.returncode == 0, r.stdout + r.stderr[-4000:]
    return {line.split()[0]: line.split()[1:] for line in r.stdout.splitlines() if line.split()}, r.stdout


@pytest.mark.slow
def test_every_machine_prints_the_same_digests(tmp_path):
    table, out = run_tool("cross_digest.sh",
                          ("g++", "aarch64-linux-gnu-g++", "powerpc64le-linux-gnu-g++", "s390x-linux-gnu-g++",
                           "qemu-aarch64", "qemu-ppc64le", "qemu-s390x"),
                          "Debian's g++-aarch64-linux-gnu, g++-powerpc64le-linux-gnu, g++-s390x-linux-gnu and qemu-user",
                          {"TARSK_CROSS_DIR": str(tmp_path), "TARSK_CROSS_ROUNDS": "1000"})
    rows = [table.get(program) for program in ("rotation", "crmath", "elementwise")]
    assert all(row is not None and len(row) == 5 and len(set(row)) == 1 for row in rows), out


@pytest.mark.slow
def test_the_aarch64_module_gives_the_x86_64_digests(tmp_path):
    groups = ["rotation", "elementwise", "kdtree", "cloud", "tarsk_py", "fixed"]
    table, out = run_tool("aarch64_module.sh",
                          ("aarch64-linux-gnu-g++", "qemu-aarch64", "apt-get", "dpkg-deb", "cmake", "ninja"),
                          "Debian's g++-aarch64-linux-gnu and qemu-user",
                          {"TARSK_AARCH64_BUILD_DIR": str(tmp_path / "build"),
                           "TARSK_AARCH64_HOST_PYTHON": sys.executable})
    # Every group was computed on both machines, and, beyond the fixed
    # surface, to the same digest.
    rows = {group: table.get(group) for group in groups}
    assert all(row is not None and len(row) == 2 and len(row[0]) == len(row[1]) == 16 for row in rows.values()), out
    assert all(row[0] == row[1] for group, row in rows.items() if group != "fixed"), out
