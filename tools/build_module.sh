#!/usr/bin/env bash
# Configures and builds the extension in its own build directory for the
# checking scripts (sanitize.sh, valgrind.sh), with the interpreter that runs
# python3, and prints the directory's absolute path.
#
#     tools/build_module.sh BUILD_DIR [extra CMake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="$1"
shift
# CMake and Ninja from PyPI when the machine has none (pip's build of the
# module brings its own, in an isolated environment).
command -v cmake >/dev/null || python3 -m pip install -q cmake
command -v ninja >/dev/null || python3 -m pip install -q ninja
# The interpreter binary itself, not a launcher script.
python="$(python3 -c 'import sys; print(sys.executable)')"

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARSK_BUILD_PYTHON=ON -DPython_EXECUTABLE="$python" "$@" >/dev/null
cmake --build "$build_dir" >&2
cd "$build_dir" && pwd
