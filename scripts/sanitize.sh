#!/usr/bin/env bash
# Builds the C++ unit tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer into build/asan, runs the unit tests, then the
# whole Python suite against that extension. Any sanitizer report fails the
# run, including one from a child interpreter that a test starts.
#   scripts/sanitize.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=build/asan
REPORTS="$PWD/$BUILD/reports"

rm -rf "$BUILD"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRELL_TESTS=ON -DVRELL_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD" -j2
mkdir -p "$REPORTS"

# Every report goes to a file of its own (REPORTS/asan.PID, ubsan.PID), so that
# none can hide in a child process's captured output; they are shown at the end.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"
status=0
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:log_path=$REPORTS/asan" \
  "$BUILD/mesh_tests" --gtest_brief=1 | tee "$BUILD/unit.log" || status=$?

# The interpreter is not instrumented: the runtime must be loaded before it,
# and Python's own allocator is bypassed so that every object is checked.
# CPython leaves memory behind at exit by design, hence no leak check there.
if [ "$status" -eq 0 ]; then
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)${LD_PRELOAD:+ $LD_PRELOAD}" \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$REPORTS/asan" PYTHONMALLOC=malloc \
    PYTHONPATH="$PWD/$BUILD" "$PYTHON" -m pytest -q -p no:cacheprovider tests "$@" |
    tee "$BUILD/pytest.log" || status=$?
fi

reports=$(find "$REPORTS" -type f | sort)
for r in $reports; do
  echo "== $r" >&2
  head -n 80 "$r" >&2
done
if [ -n "$reports" ]; then
  echo "sanitizers: $(echo "$reports" | wc -l) report(s)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
unit=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests*\..*/\1/p' "$BUILD/unit.log")
suite=$(grep -E '^[0-9]+ passed' "$BUILD/pytest.log" | tail -n 1 | sed 's/ in [0-9.]*s.*//')
echo "sanitizers: ASan+UBSan clean, 0 reports: ${unit:-?} C++ unit tests passed; Python suite: ${suite:-?}"
