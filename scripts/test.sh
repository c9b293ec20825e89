#!/usr/bin/env bash
# Builds everything from a clean tree and runs every test: the C++ unit tests,
# then the Python suite against the freshly built extension, then a short fuzz
# run of every libFuzzer target, both suites once more under ASan+UBSan, and
# the C++ concurrency stress under ThreadSanitizer.
# Installs its own test dependencies (Debian's GoogleTest, and clang for the
# fuzzers, as root; pytest, hypothesis and mypy by pip). A closing note gives
# the reliability figures. FUZZ_SECONDS (default 20) sets the fuzz time per target.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
BUILD=build/test

apt_missing=()
[ -f /usr/include/gtest/gtest.h ] || apt_missing+=(libgtest-dev)
if [ ${#apt_missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${apt_missing[@]}" >/dev/null
  else
    echo "missing Debian packages: ${apt_missing[*]} (run as root to install them)" >&2
    exit 1
  fi
fi
"$PYTHON" -m pip install -q --disable-pip-version-check -r requirements-test.txt

rm -rf "$BUILD"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DVRELL_TESTS=ON -DVRELL_WERROR=ON \
  -DPython_EXECUTABLE="$(command -v "$PYTHON")" >/dev/null
cmake --build "$BUILD" -j2

ctest --test-dir "$BUILD" --output-on-failure
REPORT="$PWD/$BUILD/reliability.txt"
VRELL_TEST_REPORT="$REPORT" PYTHONPATH="$PWD/$BUILD" "$PYTHON" -m pytest -q -p no:cacheprovider tests
# The shipped stubs against the module just built: names, parameters, defaults, final class.
# (Run from the build tree, where its cache lands.)
(cd "$BUILD" && MYPYPATH="$OLDPWD/stubs" PYTHONPATH="$PWD" "$PYTHON" -m mypy.stubtest vrell_mesh)

# Fuzzing, short: every target for FUZZ_SECONDS (scripts/fuzz.sh 600 for a longer run).
bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}" | tee -a "$REPORT"
# The C++ unit tests and the whole Python suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, from a build of their own (build/asan).
bash scripts/sanitize.sh | tee "$BUILD/sanitize.log"
grep '^sanitizers:' "$BUILD/sanitize.log" >>"$REPORT"
# Every component under eight threads, with ThreadSanitizer (build/tsan).
bash scripts/tsan.sh | tee "$BUILD/tsan.log"
grep '^tsan:' "$BUILD/tsan.log" >>"$REPORT"

echo
echo "== reliability"
cat "$REPORT"
