#!/usr/bin/env bash
# Builds the module with several compilers and optimisation levels and checks
# that all compute every result to the same bit: tools/digest.py (every
# operation, worker counts 1, 2, 3 and 7) must print one digest for all.
#
#     tools/compare_builds.sh [VARIANT...]
#
# A variant is COMPILER-LEVEL, COMPILER one of gcc and clang, LEVEL one of
# O0, O2 and native (-O2 -march=native); the default is all six. The module
# that python3 imports (the installed one) is compared as well, unless
# TARSK_COMPARE_INSTALLED=0. Builds go to build/variants/<variant> (or
# TARSK_VARIANTS_DIR) and are reused on a second run; a missing compiler
# fails the run. Extra digest arguments: TARSK_DIGEST_ARGS (for example
# "--seed 7 --rounds 100").
set -euo pipefail
cd "$(dirname "$0")/.."

variants=("$@")
if [[ ${#variants[@]} -eq 0 ]]; then
  variants=(gcc-O0 gcc-O2 gcc-native clang-O0 clang-O2 clang-native)
fi
root="${TARSK_VARIANTS_DIR:-build/variants}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
read -r -a digest_args <<<"${TARSK_DIGEST_ARGS:-}"

# clang++, or Debian's versioned name when only a clang-NN package is installed.
clang_cxx() {
  local c
  for c in clang++ clang++-{20..14}; do
    if command -v "$c" >/dev/null; then
      echo "$c"
      return
    fi
  done
  echo clang++
}

declare -A digests
run_digest() {  # name [--path DIR]
  local name="$1"
  shift
  local out
  if ! out="$(python3 tools/digest.py "${digest_args[@]}" "$@")"; then
    echo "compare_builds: $name: the digest run failed" >&2
    printf '%s\n' "$out" >&2
    exit 1
  fi
  digests[$name]="$(printf '%s\n' "$out" | sed -n 's/^digest //p')"
  printf '%-14s %s\n' "$name" "${digests[$name]}"
}

for v in "${variants[@]}"; do
  compiler="${v%%-*}"
  level="${v#*-}"
  case "$compiler" in
    gcc) cxx=g++ package=g++ ;;
    clang) cxx="$(clang_cxx)" package=clang-14 ;;
    *) echo "compare_builds: unknown compiler in $v" >&2; exit 2 ;;
  esac
  case "$level" in
    O0) flags="-O0" ;;
    O2) flags="-O2" ;;
    native) flags="-O2 -march=native" ;;
    *) echo "compare_builds: unknown level in $v" >&2; exit 2 ;;
  esac
  if ! command -v "$cxx" >/dev/null; then
    echo "compare_builds: $cxx not found (Debian: apt-get install $package)" >&2
    exit 2
  fi
  dir="$(tools/build_module.sh "$root/$v" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="$flags -DNDEBUG")"
  run_digest "$v" --path "$dir/tarsk-py"
done
if [[ "${TARSK_COMPARE_INSTALLED:-1}" != "0" ]]; then
  run_digest installed
fi

if [[ "$(printf '%s\n' "${digests[@]}" | sort -u | wc -l)" != "1" ]]; then
  echo "compare_builds: the builds compute different results" >&2
  exit 1
fi
echo "compare_builds: ${#digests[@]} builds agree"
