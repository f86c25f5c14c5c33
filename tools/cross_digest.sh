#!/usr/bin/env bash
# The same bits on every machine: builds each native digest program
# (tests/native/*_digest.cpp: the rotation formulas, the correctly rounded
# functions, the element-wise formulas) with the core library for x86-64,
# aarch64, ppc64le and s390x, runs the foreign builds under qemu-user, runs
# the x86-64 build a second time with glibc's FMA and AVX2 code paths turned
# off (what a processor without FMA runs), prints the table of digests and
# fails if any program prints two different digests.
#
#     tools/cross_digest.sh [--install]
#
# Needs g++ and Debian's g++-aarch64-linux-gnu, g++-powerpc64le-linux-gnu,
# g++-s390x-linux-gnu and qemu-user; --install installs the missing ones with
# apt-get. Without them (and without --install) it names what is missing and
# exits with status 3. Builds go to build/cross (or TARSK_CROSS_DIR); the
# foreign programs are linked statically, so qemu needs no target libraries.
# Rounds per program: TARSK_CROSS_ROUNDS (default 4000 for the rotation
# digest, 50 times that for the others).
set -euo pipefail
cd "$(dirname "$0")/.."

out="${TARSK_CROSS_DIR:-build/cross}"
rounds="${TARSK_CROSS_ROUNDS:-4000}"
flags=(-O2 -std=c++20 -ffp-contract=off -fno-fast-math -fno-math-errno -Wall -Wextra -I tarsk/include)
programs=(rotation crmath elementwise)
# machine compiler emulator (empty: runs here)
machines=(
  "x86-64 g++ -"
  "aarch64 aarch64-linux-gnu-g++ qemu-aarch64"
  "ppc64le powerpc64le-linux-gnu-g++ qemu-ppc64le"
  "s390x s390x-linux-gnu-g++ qemu-s390x"
)
packages=(g++-aarch64-linux-gnu g++-powerpc64le-linux-gnu g++-s390x-linux-gnu qemu-user)

missing=()
for tool in g++ aarch64-linux-gnu-g++ powerpc64le-linux-gnu-g++ s390x-linux-gnu-g++ \
            qemu-aarch64 qemu-ppc64le qemu-s390x; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  if [[ "${1:-}" == "--install" ]]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
  else
    echo "cross_digest: missing ${missing[*]} (Debian packages: ${packages[*]}; or run with --install)" >&2
    exit 3
  fi
fi
if [[ "$(uname -m)" != "x86_64" ]]; then
  echo "cross_digest: runs on x86-64 only (it cross-builds for the other machines)" >&2
  exit 3
fi

sources=(tarsk/src/*.cpp tarsk/src/geometry/*.cpp)

# build MACHINE COMPILER: the core's objects once, then each program.
build() {
  local machine="$1" cxx="$2" dir="$out/$1" link=()
  mkdir -p "$dir/obj"
  [[ "$machine" == "x86-64" ]] || link=(-static)
  local objs=() src obj
  for src in "${sources[@]}"; do
    obj="$dir/obj/$(echo "${src#tarsk/src/}" | tr / _).o"
    objs+=("$obj")
    "$cxx" "${flags[@]}" -c "$src" -o "$obj" &
  done
  wait
  for p in "${programs[@]}"; do
    "$cxx" "${flags[@]}" "${link[@]}" "tests/native/${p}_digest.cpp" "${objs[@]}" -o "$dir/${p}_digest"
  done
}

rounds_for() { [[ "$1" == "rotation" ]] && echo "$rounds" || echo $((rounds * 50)); }

declare -A digest
columns=()
for entry in "${machines[@]}"; do
  read -r machine cxx emulator <<<"$entry"
  build "$machine" "$cxx"
  runs=("$machine")
  [[ "$machine" == "x86-64" ]] && runs+=("x86-64-no-fma")
  for run in "${runs[@]}"; do
    columns+=("$run")
    for p in "${programs[@]}"; do
      exe="$out/$machine/${p}_digest"
      if [[ "$run" == "x86-64-no-fma" ]]; then
        line="$(GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA,-AVX2 "$exe" "$(rounds_for "$p")" | tail -n 1)"
      elif [[ "$emulator" == "-" ]]; then
        line="$("$exe" "$(rounds_for "$p")" | tail -n 1)"
      else
        line="$("$emulator" "$exe" "$(rounds_for "$p")" | tail -n 1)"
      fi
      digest["$p,$run"]="$line"
    done
  done
done

status=0
printf '%-12s' program
printf ' %-17s' "${columns[@]}"
echo
for p in "${programs[@]}"; do
  printf '%-12s' "$p"
  first="${digest["$p,${columns[0]}"]}"
  for c in "${columns[@]}"; do
    printf ' %-17s' "${digest["$p,$c"]}"
    [[ "${digest["$p,$c"]}" == "$first" ]] || status=1
  done
  echo
done
if ((status)); then
  echo "cross_digest: the machines disagree"
  exit 1
fi
echo "cross_digest: every machine prints the same digests"
