#!/usr/bin/env bash
# Builds the concurrency stress (mesh_stress) and the C++ unit tests with
# ThreadSanitizer into build/tsan and runs both. Any report fails the run: each
# goes to a file of its own (build/tsan/reports/tsan.PID), shown at the end.
# The Python extension is not built here: this interpreter is not instrumented
# (scripts/platforms.sh runs the Python stress test on one that is).
#   scripts/tsan.sh [mesh_stress arguments...]      (CXX=clang++ to use clang)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=build/tsan
REPORTS="$PWD/$BUILD/reports"

rm -rf "$BUILD"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRELL_TESTS=ON -DVRELL_STRESS=ON \
  -DVRELL_TSAN=ON -DVRELL_EXTENSION=OFF >/dev/null
cmake --build "$BUILD" -j2
mkdir -p "$REPORTS"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$REPORTS/tsan"
status=0
"$BUILD/mesh_stress" "$@" | tee "$BUILD/stress.log" || status=$?
if [ "$status" -eq 0 ]; then
  "$BUILD/mesh_tests" --gtest_brief=1 | tee "$BUILD/unit.log" || status=$?
fi

reports=$(find "$REPORTS" -type f | sort)
for r in $reports; do
  echo "== $r" >&2
  head -n 80 "$r" >&2
done
if [ -n "$reports" ]; then
  echo "tsan: $(echo "$reports" | wc -l) report(s)" >&2
  exit 1
fi
[ "$status" -eq 0 ] || exit "$status"
stress=$(sed -n 's/^stress: \([0-9]*\) threads, \([0-9]*\) operations$/\1 threads, \2 operations/p' \
  "$BUILD/stress.log")
unit=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests*\..*/\1/p' "$BUILD/unit.log")
echo "tsan: 0 reports: stress ${stress:-?}; ${unit:-?} C++ unit tests passed"
