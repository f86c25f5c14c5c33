#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer in
# a build directory of its own and runs the whole pytest suite against it.
#
#   tools/sanitize.sh [pytest arguments...]
#
# Environment:
#   TARSK_SANITIZE_BUILD_DIR  build directory (default: build/sanitize)
#
# The interpreter itself is not instrumented, so the ASan runtime is preloaded
# and its leak checker is off (the interpreter keeps memory until exit; leaks
# are the business of tests/test_leaks.py and tools/valgrind.sh). Python's
# small-object allocator is bypassed (PYTHONMALLOC=malloc) so that every
# instance of the module's classes is a heap block ASan watches. Any ASan or
# UBSan report ends the process with a non-zero status, which fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="$(tools/build_module.sh "${TARSK_SANITIZE_BUILD_DIR:-build/sanitize}" -DTARSK_SANITIZE=ON)"
python="$(python3 -c 'import sys; print(sys.executable)')"

# The C++ runtime is preloaded with the ASan runtime: the interpreter does not
# link it, and ASan resolves the real __cxa_throw when it starts.
libasan="$(${CXX:-g++} -print-file-name=libasan.so)"
libstdcxx="$(${CXX:-g++} -print-file-name=libstdc++.so)"
for lib in "$libasan" "$libstdcxx"; do
  if [[ ! -e "$lib" ]]; then
    echo "sanitize: $lib not found" >&2
    exit 2
  fi
done

# Reports go to files as well as to the test's captured output, so a report
# from a test whose output pytest captured is shown even after an abort.
reports="$build_dir/reports"
rm -rf "$reports"
mkdir -p "$reports"
export LD_PRELOAD="$libasan:$libstdcxx${LD_PRELOAD:+:$LD_PRELOAD}"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build_dir/tarsk-py:$build_dir/tarsk-interop${PYTHONPATH:+:$PYTHONPATH}"
export TARSK_SANITIZED=1

"$python" -c "import tarsk_py, sys; assert tarsk_py.__file__.startswith('$build_dir/'), tarsk_py.__file__"
status=0
"$python" -m pytest -p no:cacheprovider -q "$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
  echo "sanitize: sanitizer reports:" >&2
  cat "$reports"/* >&2
  [[ $status -ne 0 ]] || status=1
fi
if [[ $status -eq 0 ]]; then
  echo "sanitize: the whole suite passed under ASan and UBSan with no report"
fi
exit "$status"
