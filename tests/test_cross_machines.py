"""The same bits on every machine: tools/cross_digest.sh builds the native
digest programs of the core formulas (rotation, the correctly rounded
functions, the element-wise formulas) for x86-64, aarch64, ppc64le and s390x,
runs the foreign ones under qemu-user and the x86-64 one also with glibc's
FMA paths off, and fails when any digest differs."""
import os
import platform
import shutil
import subprocess

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
TOOLS = ("g++", "aarch64-linux-gnu-g++", "powerpc64le-linux-gnu-g++", "s390x-linux-gnu-g++",
         "qemu-aarch64", "qemu-ppc64le", "qemu-s390x")


@pytest.mark.slow
def test_every_machine_prints_the_same_digests(tmp_path):
    if platform.machine() != "x86_64":
        pytest.skip("the cross builds run from x86-64")
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        pytest.skip("missing " + ", ".join(missing) + " (Debian's g++-aarch64-linux-gnu, "
                    "g++-powerpc64le-linux-gnu, g++-s390x-linux-gnu and qemu-user; tools/cross_digest.sh --install)")
    env = dict(os.environ, TARSK_CROSS_DIR=str(tmp_path), TARSK_CROSS_ROUNDS="1000")
    r = subprocess.run(["bash", os.path.join(ROOT, "tools", "cross_digest.sh")], env=env,
                       capture_output=True, text=True, timeout=1200)
    assert r.returncode == 0, r.stdout + r.stderr
    rows = [line.split() for line in r.stdout.splitlines() if line.split()[:1] in (["rotation"], ["crmath"],
                                                                                     ["elementwise"])]
    assert len(rows) == 3 and all(len(row) == 6 and len(set(row[1:])) == 1 for row in rows), r.stdout
