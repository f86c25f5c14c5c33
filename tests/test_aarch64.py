"""The module itself on aarch64: tools/aarch64_module.sh cross-builds tarsk_py
and the companion for 64-bit Arm, runs the suite's digest programs under
qemu-aarch64 with Debian's arm64 CPython and here with the installed module,
and fails when any digest beyond the C library's fixed surface differs."""
import os
import platform
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
TOOLS = ("aarch64-linux-gnu-g++", "qemu-aarch64", "apt-get", "dpkg-deb", "cmake", "ninja")
GROUPS = ["rotation", "elementwise", "kdtree", "cloud", "tarsk_py", "fixed"]


@pytest.mark.slow
def test_the_aarch64_module_gives_the_x86_64_digests(tmp_path):
    if platform.machine() != "x86_64":
        pytest.skip("the cross build runs from x86-64")
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        pytest.skip("missing " + ", ".join(missing) + " (Debian's g++-aarch64-linux-gnu and qemu-user; "
                    "tools/aarch64_module.sh --install)")
    env = dict(os.environ, TARSK_AARCH64_BUILD_DIR=str(tmp_path / "build"), TARSK_AARCH64_HOST_PYTHON=sys.executable)
    r = subprocess.run(["bash", os.path.join(ROOT, "tools", "aarch64_module.sh")], env=env,
                       capture_output=True, text=True, timeout=1200)
    assert r.returncode == 0, r.stdout + r.stderr[-4000:]
    rows = {line.split()[0]: line.split()[1:] for line in r.stdout.splitlines()
            if line.split()[:1] and line.split()[0] in GROUPS}
    # Every group was computed on both machines, and, beyond the fixed
    # surface, to the same digest.
    assert sorted(rows) == sorted(GROUPS), r.stdout
    for group, row in rows.items():
        assert len(row[0]) == len(row[1]) == 16, r.stdout
        if group != "fixed":
            assert row[0] == row[1], r.stdout
