#!/usr/bin/env bash
# The module itself on aarch64: cross-builds tarsk_py and the companion's
# native modules for 64-bit Arm with Debian's cross compiler, runs the
# suite's Python-level digest programs (tools/module_digest.py) under
# qemu-aarch64 with Debian's arm64 CPython, runs them again here on x86-64
# with the installed module, prints both columns and fails if any group
# beyond the fixed surface (the C library's sin, cos, tan and acos) differs,
# naming the tarsk_py callables that do. Each run's standard error is kept in
# the build folder (digest-x86-64.err, digest-aarch64.err).
#
#     tools/aarch64_module.sh [--install]
#
# Needs g++-aarch64-linux-gnu, qemu-user, apt-get, dpkg-deb, cmake and ninja;
# --install installs the missing Debian packages with apt-get (and cmake and
# ninja with pip). Without them (and without --install) it names what is
# missing and exits with status 3.
#
# The arm64 interpreter is Debian bookworm's python3.11 (the release of the
# cross compiler's C library), unpacked with dpkg-deb together with its C
# library and the few libraries it links into a sysroot, through an apt
# configuration of this script's own (its sources list, lists and archive
# cache under the cache folder: the system's sources and package state are
# never read or changed). numpy for it is the aarch64 wheel from PyPI, of the
# version the x86-64 interpreter has. Both live under
# TARSK_PYTHONS_CACHE (default ~/.cache/tarsk-pythons)/aarch64 and are reused
# once complete; delete that folder to fetch them again.
#
# Environment: TARSK_AARCH64_BUILD_DIR (default build/aarch64),
# TARSK_AARCH64_HOST_PYTHON (the x86-64 interpreter whose installed module is
# compared, default python3), TARSK_AARCH64_ROUNDS (calls per tarsk_py
# callable, default 30), TARSK_PYTHONS_MIRROR (default
# http://deb.debian.org/debian).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

host_python="${TARSK_AARCH64_HOST_PYTHON:-python3}"
cache="${TARSK_PYTHONS_CACHE:-$HOME/.cache/tarsk-pythons}/aarch64"
build="${TARSK_AARCH64_BUILD_DIR:-build/aarch64}"
rounds="${TARSK_AARCH64_ROUNDS:-30}"
mirror="${TARSK_PYTHONS_MIRROR:-http://deb.debian.org/debian}"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
suite=bookworm
pyver=3.11
packages=(g++-aarch64-linux-gnu qemu-user)

say() { echo "aarch64_module: $*" >&2; }
die() { say "$*"; exit 1; }

if [[ "$(uname -m)" != "x86_64" ]]; then
  say "runs on x86-64 only (it cross-builds for aarch64)"
  exit 3
fi
missing=()
for tool in aarch64-linux-gnu-g++ qemu-aarch64 apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
  if [[ "${1:-}" == "--install" ]]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
  else
    say "missing ${missing[*]} (Debian packages: ${packages[*]}; or run with --install)"
    exit 3
  fi
fi
for tool in cmake ninja; do
  if ! command -v "$tool" >/dev/null; then
    [[ "${1:-}" == "--install" ]] || { say "missing $tool (pip install $tool; or run with --install)"; exit 3; }
    "$host_python" -m pip install -q "$tool"
  fi
done

mkdir -p "$cache"
# One caller at a time per cache.
exec 9>"$cache/.lock"
flock 9

aptdir="$cache/apt"
# shellcheck source=tools/private_apt.sh
source tools/private_apt.sh
private_apt "$aptdir" arm64

sysroot="$cache/sysroot"
qemu=(qemu-aarch64 -L "$sysroot")
target_python="$sysroot/usr/bin/python$pyver"

# The arm64 interpreter, its headers and the libraries it and the module load.
make_sysroot() {
  [[ -f "$sysroot/.complete" ]] && return
  say "updating the arm64 package lists of Debian $suite"
  private_apt_lists "$aptdir" "deb [signed-by=$keyring] $mirror $suite main"
  local debs="$cache/debs"
  rm -rf "$sysroot" "$debs"
  mkdir -p "$sysroot" "$debs"
  local pkgs=(
    "python$pyver-minimal" "libpython$pyver-minimal" "libpython$pyver-stdlib" "libpython$pyver-dev"
    libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libuuid1 libcrypt1
  )
  say "unpacking arm64 CPython $pyver and its libraries from Debian $suite into $sysroot"
  (cd "$debs" && apt-get "${apt_opts[@]}" -qq download "${pkgs[@]}" >&2)
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$sysroot"
  done
  rm -rf "$debs" "$aptdir/state/lists"
  # Debian's pyconfig.h includes <aarch64-linux-gnu/pythonX.Y/pyconfig.h>, a
  # path relative to the system include folder: copy the real header in.
  cp "$sysroot/usr/include/aarch64-linux-gnu/python$pyver/pyconfig.h" "$sysroot/usr/include/python$pyver/pyconfig.h"
  "${qemu[@]}" "$target_python" -c 'import hashlib, ctypes, zlib, lzma, bz2, sysconfig, subprocess' ||
    die "the arm64 python$pyver in $sysroot does not run under qemu-aarch64"
  touch "$sysroot/.complete"
}

# numpy for the arm64 interpreter, the version the x86-64 one has.
numpy_version="$("$host_python" -c 'import numpy; print(numpy.__version__)' 2>/dev/null)" ||
  die "$host_python has no numpy (the x86-64 side runs the installed module: pip install '.[test]')"
site="$cache/site-numpy-$numpy_version"
make_site() {
  [[ -f "$site/.complete" ]] && return
  local wheels="$cache/wheels"
  rm -rf "$site" "$wheels"
  mkdir -p "$wheels"
  say "fetching numpy $numpy_version for aarch64 into $site"
  "$host_python" -m pip download -q --only-binary=:all: --no-deps \
    --platform manylinux_2_28_aarch64 --platform manylinux_2_27_aarch64 --platform manylinux2014_aarch64 \
    --python-version "$pyver" --implementation cp --abi "cp${pyver/./}" -d "$wheels" "numpy==$numpy_version" >&2
  for whl in "$wheels"/*.whl; do
    "$host_python" -m zipfile -e "$whl" "$site"
  done
  rm -rf "$wheels"
  touch "$site/.complete"
}

make_sysroot
make_site
say "sysroot and numpy ready after $SECONDS s"

# The module and the companion for aarch64, assembled in the build folder as
# development builds are (tools/build_module.sh), with the project's flags
# and TARSK_PORTABLE on, as for the wheels (static C++ runtime, glibc 2.17
# symbols). The host's Python writes the type stubs; the arm64 headers come
# from the sysroot. A cross build has no interpreter of the target to ask for
# the extension suffix, so the modules are named plain NAME.so, which every
# CPython imports as well.
say "building tarsk_py and tarsk_interop for aarch64 in $build"
TARSK_AARCH64_SYSROOT="$sysroot" cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/tools/aarch64-linux-gnu.cmake" -DTARSK_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$("$host_python" -c 'import sys; print(sys.executable)')" \
  -DPython_INCLUDE_DIR="$sysroot/usr/include/python$pyver" >/dev/null
cmake --build "$build" >&2
say "built after $SECONDS s"
build="$(cd "$build" && pwd)"

# The digests: x86-64 with the installed module, aarch64 under emulation with
# the cross-built one. Three workers on both, so that the lists are split.
# The standard error of each run (the module's diagnostic lines of the
# internal failures that tools/digest.py provokes among them) goes to a file
# in the build folder, shown when the run fails.
digests() {  # machine [module_digest.py arguments]: prints "group digest" lines
  local machine="$1"
  shift
  if [[ "$machine" == "x86-64" ]]; then
    RAYON_NUM_THREADS=3 "$host_python" tools/module_digest.py --rounds "$rounds" "$@" 2>"$build/digest-$machine.err"
  else
    RAYON_NUM_THREADS=3 PYTHONPATH="$build/tarsk-py:$build/tarsk-interop:$site" PYTHONNOUSERSITE=1 \
      "${qemu[@]}" "$target_python" -S tools/module_digest.py --rounds "$rounds" "$@" 2>"$build/digest-$machine.err"
  fi
}
failed() { tail -n 30 "$build/digest-$1.err" >&2; die "the digests on $1 failed"; }
x86="$(digests x86-64)" || failed x86-64
arm="$(digests aarch64)" || failed aarch64
say "digests taken after $SECONDS s"

declare -A a b
while read -r g d _; do a[$g]="$d"; done <<<"$x86"
while read -r g d _; do b[$g]="$d"; done <<<"$arm"
# Each side names the processor it ran on.
[[ "${a[machine]}" == "x86_64" ]] || die "the host run reports machine '${a[machine]}'"
[[ "${b[machine]}" == "aarch64" ]] || die "the emulated run reports machine '${b[machine]}'"
status=0
printf '%-12s %-17s %-17s\n' group x86-64 aarch64
for g in $(grep -v '^machine ' <<<"$x86" | cut -d' ' -f1); do
  note=""
  if [[ "${a[$g]}" != "${b[$g]:-}" ]]; then
    if [[ "$g" == "fixed" ]]; then note="(the C library's: may differ)"; else note="DIFFERS"; status=1; fi
  fi
  printf '%-12s %-17s %-17s %s\n' "$g" "${a[$g]:0:16}" "${b[$g]:0:16}" "$note"
done
if ((status)); then
  if [[ "${a[tarsk_py]}" != "${b[tarsk_py]}" ]]; then
    echo "tarsk_py callables that differ (x86-64, aarch64):"
    join <(digests x86-64 --per-function tarsk_py | grep '^tarsk_py:' | sort) \
      <(digests aarch64 --per-function tarsk_py | grep '^tarsk_py:' | sort) |
      awk '$2 != $3 { print "  " $0 }'
  fi
  echo "aarch64_module: aarch64 and x86-64 disagree"
  exit 1
fi
echo "aarch64_module: the aarch64 module gives x86-64's digests"
