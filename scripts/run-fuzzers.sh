#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time from its seed
# corpus. Any finding fails the run.
#   scripts/run-fuzzers.sh [SECONDS_PER_TARGET]   (default 30)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_FUZZ_BUILD_DIR:-$top/build-fuzz}"
seconds="${1:-30}"
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCM_FUZZ=ON -DCM_SANITIZE=address \
  -DCM_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzzers
# CM_BUILD_ONLY=1: build the targets, run nothing.
[ "${CM_BUILD_ONLY:-0}" = 1 ] && exit 0
for target in "$build"/fuzz/fuzz_*; do
  name=$(basename "$target" | sed 's/^fuzz_//')
  work="$build/fuzz-corpus/$name"
  mkdir -p "$work"
  seeds="$top/fuzz/corpus/$name"
  echo "fuzzing $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 "$work" "$seeds" \
    > "$build/fuzz-$name.log" 2>&1 || { tail -50 "$build/fuzz-$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$build/fuzz-$name.log" || true
done
