#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan+UBSan (clang) and runs each for a while:
#   json  the JSON reader: what parses writes and re-reads to the same text
#   plan  the plan parser: a parsed plan writes back to the same plan
#   ops   the Python binding, driven by byte-coded call sequences on one mesh
#
#   scripts/fuzz.sh [seconds-per-target] [target...]   (default 60 s, all targets)
#
# Every input under mesh/fuzz/regressions/<target>/ (inputs that once failed)
# is replayed before the target fuzzes. A failing input is left in build/fuzz
# as <target>-crash-... ; reproduce it with build/fuzz/<target>_fuzz FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(json plan ops)
PYTHON=${PYTHON:-python3}
OUT=build/fuzz
mkdir -p "$OUT/obj"

if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  else
    echo "clang++ is needed for fuzzing" >&2; exit 1
  fi
fi

SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined"
CXXFLAGS="-std=c++20 -O1 -g -fno-omit-frame-pointer $SAN -fsanitize=fuzzer-no-link -Imesh/src"
PY_INCLUDES=$("$PYTHON"-config --includes 2>/dev/null || "$PYTHON" -c \
  'import sysconfig; print("-I" + sysconfig.get_paths()["include"])')
PY_LDFLAGS=$("$PYTHON"-config --embed --ldflags 2>/dev/null || "$PYTHON" -c 'import sysconfig
lib, ver, libs = (sysconfig.get_config_var(k) for k in ("LIBDIR", "LDVERSION", "LIBS"))
print("-L%s -Wl,-rpath,%s -lpython%s %s" % (lib, lib, ver, libs))')

# Each source once, into objects shared by the targets (rebuilt when newer).
compile() {
  local src=$1 obj="$OUT/obj/$(basename "${1%.cc}").o"
  shift
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find mesh/src \( -name '*.h' -o -name '*.inc' \) -newer "$obj")" ]; then
    clang++ $CXXFLAGS "$@" -c "$src" -o "$obj"
  fi
  echo "$obj"
}
CORE=()
for src in mesh/src/*.cc; do
  case "$src" in */module.cc | */methods.cc | */binder.cc) continue ;; esac
  CORE+=("$(compile "$src")")
done

build_target() {
  local target=$1 objs=("${CORE[@]}") libs=()
  if [ "$target" = ops ]; then
    objs+=("$(compile mesh/src/module.cc $PY_INCLUDES)" "$(compile mesh/src/methods.cc $PY_INCLUDES)")
    objs+=("$(compile mesh/src/binder.cc $PY_INCLUDES)")
    objs+=("$(compile mesh/fuzz/ops_fuzz.cc $PY_INCLUDES)")
    # shellcheck disable=SC2206
    libs=($PY_LDFLAGS)
  else
    objs+=("$(compile "mesh/fuzz/${target}_fuzz.cc")")
  fi
  clang++ $SAN -fsanitize=fuzzer "${objs[@]}" "${libs[@]}" -o "$OUT/${target}_fuzz"
}

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

for target in "${TARGETS[@]}"; do
  build_target "$target"
  # A leak check after every input of the ops target would walk the whole
  # interpreter heap each time (a hundredth of the speed); tests/test_leaks.py
  # covers its leaks instead.
  leaks=1
  [ "$target" = ops ] && leaks=0
  export ASAN_OPTIONS=${FUZZ_ASAN_OPTIONS:-detect_leaks=$leaks}
  corpus="$OUT/corpus_$target"
  mkdir -p "$corpus"
  regressions="mesh/fuzz/regressions/$target"
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    "$OUT/${target}_fuzz" -runs=0 "$regressions"/* >"$OUT/$target-regressions.log" 2>&1 || {
      tail -n 40 "$OUT/$target-regressions.log" >&2
      echo "$target: a regression input fails again" >&2
      exit 1
    }
  fi
  seeds=()
  [ -d mesh/fuzz/seeds ] && seeds=(mesh/fuzz/seeds)
  status=0
  "$OUT/${target}_fuzz" -max_total_time="$SECONDS_PER_TARGET" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$OUT/${target}-" "$corpus" "${seeds[@]}" \
    >"$OUT/$target.log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$OUT/$target.log")
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$OUT/$target.log")
  echo "fuzz $target: ${runs:-?} executions in ${secs:-?} s, corpus $(ls "$corpus" | wc -l) inputs"
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$OUT/$target.log" >&2
    exit "$status"
  fi
done
