#!/usr/bin/env bash
# Runs a representative subset of the tests under valgrind's memcheck and
# fails on any invalid read, write or free, and on any definite leak whose
# allocation stack passes through the extension module.
#
#   tools/valgrind.sh [pytest arguments...]      (default: the subset below)
#
# Environment:
#   TARSK_VALGRIND_BUILD_DIR  build directory (default: build/valgrind), an
#                             ordinary optimised build with debug information
#
# The interpreter runs with PYTHONMALLOC=malloc, so every object is a heap
# block memcheck watches. The interpreter keeps much of its memory until exit
# by design; those blocks are not the module's, so a definite leak counts
# only when a frame of tarsk_py appears in its allocation stack (the
# suppression rule). Reachable and possible leaks are ignored.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="$(tools/build_module.sh "${TARSK_VALGRIND_BUILD_DIR:-build/valgrind}")"
python="$(python3 -c 'import sys; print(sys.executable)')"

if [[ $# -eq 0 ]]; then
  set -- tests/test_binding.py tests/test_vec3d.py tests/test_vec_list.py tests/test_angle.py \
    tests/test_quat.py tests/test_geometry.py tests/test_fuzz.py tests/test_leaks.py \
    -k "not hypothesis and not large and not huge"
fi

# One log per process: tests that fork or start interpreters get their own.
logs="$build_dir/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build_dir/tarsk-py:$build_dir/tarsk-interop${PYTHONPATH:+:$PYTHONPATH}"
export TARSK_FUZZ_CALLS="${TARSK_FUZZ_CALLS:-20000}"
export TARSK_LEAK_CALLS="${TARSK_LEAK_CALLS:-2000}"
export TARSK_UNDER_VALGRIND=1
export RAYON_NUM_THREADS="${RAYON_NUM_THREADS:-4}"

status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
  --errors-for-leak-kinds=none --num-callers=40 --trace-children=yes \
  --trace-children-skip='/usr/bin/*,/bin/*,/sbin/*,/usr/sbin/*' \
  --suppressions="$PWD/tools/valgrind-python.supp" --log-file="$logs/memcheck.%p.log" \
  "$python" -m pytest -p no:cacheprovider -q "$@" || status=$?

"$python" - "$logs" <<'EOF' || status=1
import pathlib
import re
import sys

# Records are blocks of "==pid== " lines separated by blank ones.
records = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("memcheck.*.log")):
    current = []
    for line in path.read_text(errors="replace").splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip():
            current.append(body)
        elif current:
            records.append(current)
            current = []
    if current:
        records.append(current)

def in_module(record):
    return any("tarsk_py" in l or "/tarsk/" in l or "tarsk::" in l for l in record)


access = re.compile(r"(Invalid (read|write|free)|Mismatched free|Source and destination overlap)")
bad_access = [r for r in records if access.match(r[0]) and in_module(r)]
# The interpreter's own reports (the C library's vectorised string functions
# read whole aligned words past the end of a string, which memcheck flags)
# are listed by their first frames, not counted against the module.
foreign_access = [r for r in records if access.match(r[0]) and not in_module(r)]
module_leaks = [r for r in records if "definitely lost" in r[0] and in_module(r)]
other_errors = [r for r in records
                if re.match(r"(Conditional jump|Use of uninitialised|Syscall param)", r[0])
                and in_module(r)]
summary = [l for r in records for l in r if l.startswith(("ERROR SUMMARY", "definitely lost"))]
for title, found in (("invalid accesses in the module", bad_access),
                     ("definite leaks from the module", module_leaks),
                     ("uninitialised values in the module", other_errors)):
    print(f"valgrind: {len(found)} {title}")
    for r in found:
        print("\n".join(r))
        print()
print(f"valgrind: {len(foreign_access)} invalid accesses outside the module (not the module's):")
for r in foreign_access:
    print("   " + " <- ".join([r[0]] + [l.strip() for l in r[1:4]]))
print("valgrind: " + "; ".join(summary))
sys.exit(1 if bad_access or module_leaks or other_errors else 0)
EOF
echo "valgrind: logs in $logs"
exit "$status"
