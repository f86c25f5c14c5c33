#!/usr/bin/env bash
# Builds the extension with ThreadSanitizer for a free-threaded interpreter,
# in a build directory of its own, and runs the thread tests against it:
#
#   tools/tsan.sh [pytest arguments...]   (default: the thread tests)
#
# Environment:
#   TARSK_TSAN_PYTHON     a free-threaded interpreter with pytest and numpy
#                         (default: the environment of `nox -s tests-3.13t`)
#   TARSK_TSAN_BUILD_DIR  build directory (default: build/tsan)
#
# The interpreter is not instrumented, so the TSan runtime is preloaded and
# only the module's own memory accesses and atomics are watched (the
# interpreter's calls of malloc and free are not: its own synchronisation is
# invisible to TSan): a report names a race in the binding layer, the pool or
# a kernel. Objects that the
# tests share between threads are made before the threads start, so the
# thread start orders their creation before every use. Any report ends the
# process with a non-zero status, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

python="${TARSK_TSAN_PYTHON:-.nox/tests-3-13t/bin/python}"
if [[ ! -x "$python" ]]; then
  echo "tsan: no interpreter at $python (run 'nox -s tests-3.13t' first, or set TARSK_TSAN_PYTHON)" >&2
  exit 2
fi
"$python" -c 'import sys, sysconfig; sys.exit(not sysconfig.get_config_var("Py_GIL_DISABLED"))' || {
  echo "tsan: $python is not a free-threaded interpreter" >&2
  exit 2
}
python="$(cd "$(dirname "$python")" && pwd)/$(basename "$python")"

# build_module.sh builds for the python3 it finds first on PATH.
shim="$(mktemp -d)"
trap 'rm -rf "$shim"' EXIT
ln -s "$python" "$shim/python3"
flags="-fsanitize=thread -fno-omit-frame-pointer"
build_dir="$(PATH="$shim:$PATH" tools/build_module.sh "${TARSK_TSAN_BUILD_DIR:-build/tsan}" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=thread \
  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread)"

libtsan="$(${CXX:-g++} -print-file-name=libtsan.so)"
[[ -e "$libtsan" ]] || { echo "tsan: $libtsan not found" >&2; exit 2; }
reports="$build_dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
export LD_PRELOAD="$libtsan${LD_PRELOAD:+:$LD_PRELOAD}"
export TSAN_OPTIONS="halt_on_error=1:exitcode=66:ignore_noninstrumented_modules=1:log_path=$reports/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
export PYTHONPATH="$build_dir/tarsk-py:$build_dir/tarsk-interop${PYTHONPATH:+:$PYTHONPATH}"
export TARSK_THREAD_SECONDS="${TARSK_THREAD_SECONDS:-1.5}"

"$python" -c "import tarsk_py, sys; assert tarsk_py.__file__.startswith('$build_dir/'), tarsk_py.__file__"
(($#)) || set -- tests/test_free_threading.py tests/test_threads.py tests/test_interop_threads.py
status=0
"$python" -m pytest -p no:cacheprovider -q "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "tsan: ThreadSanitizer reports:" >&2
  cat "$reports"/* >&2
  [[ $status -ne 0 ]] || status=1
fi
[[ $status -ne 0 ]] || echo "tsan: the thread tests passed under ThreadSanitizer with no report"
exit "$status"
