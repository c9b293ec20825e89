#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan+UBSan (clang) and runs each for a while.
#   scripts/fuzz.sh [seconds-per-target]     (default 60; CI uses a short run)
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
OUT=build/fuzz
mkdir -p "$OUT"
if ! command -v clang++ >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  else
    echo "clang++ is needed for fuzzing" >&2; exit 1
  fi
fi
CORE=$(ls mesh/src/*.cc | grep -v -e module.cc -e binder.cc)
FLAGS="-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Imesh/src"
for target in json plan; do
  clang++ $FLAGS $CORE "mesh/fuzz/${target}_fuzz.cc" -o "$OUT/${target}_fuzz"
  mkdir -p "$OUT/corpus_$target"
  seeds=()
  [ -d mesh/fuzz/seeds ] && seeds=(mesh/fuzz/seeds)
  status=0
  "$OUT/${target}_fuzz" -max_total_time="$SECONDS_PER_TARGET" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$OUT/${target}-" "$OUT/corpus_$target" "${seeds[@]}" >"$OUT/$target.log" 2>&1 ||
    status=$?
  echo "$target: $(grep -E '^stat::number_of_executed_units' "$OUT/$target.log" || true)"
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$OUT/$target.log" >&2
    exit "$status"
  fi
done
