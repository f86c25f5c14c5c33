"""Builds and runs bench/crmath.cpp: the core's correctly rounded sin, cos,
atan2 and hypot against the C library's in a native loop (nanoseconds per
call over 10M random arguments, best of 5, and the ratio tarsk / glibc).

    python bench/crmath.py [--n 10000000] [--repeat 5] [--cxx g++]

Built with the project's floating-point flags at -O2, in a temporary folder.
"""
import argparse
import os
import subprocess
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--cxx", default=os.environ.get("CXX", "g++"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "crmath")
        subprocess.run([args.cxx, "-O2", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fno-math-errno",
                        "-I", os.path.join(ROOT, "tarsk", "include"), os.path.join(ROOT, "bench", "crmath.cpp"),
                        os.path.join(ROOT, "tarsk", "src", "crmath.cpp"), "-o", exe], check=True)
        return subprocess.run([exe, str(args.n), str(args.repeat)]).returncode


if __name__ == "__main__":
    sys.exit(main())
