#!/usr/bin/env bash
# Builds and runs tools/calibrate_grain.cpp: the per-element and wake-up costs
# behind the sequential grains of the worker pool (tarsk-py/src/lists/kernels.h),
# measured on this machine with the flags of the release build.
#
#     tools/calibrate_grain.sh [output binary, default build/calibrate_grain]
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-build/calibrate_grain}"
mkdir -p "$(dirname "$out")"
${CXX:-g++} -std=c++20 -O3 -ffp-contract=off -fno-fast-math -fno-math-errno -pthread \
  -Itarsk/include -Itarsk-py/src -o "$out" tools/calibrate_grain.cpp \
  tarsk/src/*.cpp tarsk/src/geometry/*.cpp tarsk-py/src/pool/*.cpp tarsk-py/src/lists/*.cpp
"$out"
