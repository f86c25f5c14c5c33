"""Every build computes the same bits: tools/digest.py calls every operation
the module's records describe with seeded arguments and digests the bits of
the results, for worker counts 1, 2, 3 and 7; tools/compare_builds.sh builds
the module with g++ and clang++ at -O0, -O2 and -O2 -march=native and
requires one digest for all of them and the installed module.

The builds take minutes: the comparison runs when TARSK_COMPARE_BUILDS is
set, to "all" or to a space-separated list of variants (gcc-O0 clang-native
...); .ci/run sets it when its time allows."""
import os
import pathlib
import subprocess
import sys

import pytest

import tarsk_py

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _digest(*args):
    r = subprocess.run([sys.executable, str(ROOT / "tools" / "digest.py"), *args],
                       capture_output=True, text=True, timeout=600)
    return r


def test_digest_covers_every_record_and_ignores_worker_count():
    # Fails when a callable's record has an annotation or a parameter the
    # digest has no inputs for, so no operation is left out of the build
    # comparison, and when the worker count changes any result.
    r = _digest("--rounds", "4", "--workers", "1,3",
                "--path", str(pathlib.Path(tarsk_py.__file__).parent))
    assert r.returncode == 0, r.stdout + r.stderr
    lines = r.stdout.splitlines()
    counts = {line.split("(")[1] for line in lines if line.startswith("workers")}
    # 154 callables, four calls each.
    assert counts == {f"{154 * 4} calls)"}, r.stdout
    assert lines[-1].startswith("digest ")


@pytest.mark.builds
def test_compilers_and_optimisation_levels_agree():
    variants = os.environ.get("TARSK_COMPARE_BUILDS", "")
    if not variants:
        pytest.skip("set TARSK_COMPARE_BUILDS=all (or a list of variants) to build and compare; "
                    "or run tools/compare_builds.sh")
    args = [] if variants == "all" else variants.split()
    # The scripts run python3: this interpreter, whose module is "installed".
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]]))
    r = subprocess.run([str(ROOT / "tools" / "compare_builds.sh"), *args], cwd=ROOT, env=env,
                       capture_output=True, text=True, timeout=3600)
    print(r.stdout)
    assert r.returncode == 0, r.stdout + r.stderr[-5000:]
    assert r.stdout.rstrip().endswith("builds agree"), r.stdout
