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
# One target, its findings kept in its log; status 0 when it found nothing.
fuzz_one() {
  name=$(basename "$1" | sed 's/^fuzz_//')
  work="$build/fuzz-corpus/$name"
  mkdir -p "$work"
  "$1" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 "$work" "$top/fuzz/corpus/$name" \
    > "$build/fuzz-$name.log" 2>&1
}
# As many targets at a time as there are processors (each uses one).
jobs=$(nproc)
failed=""
set -- "$build"/fuzz/fuzz_*
while [ $# -gt 0 ]; do
  pids=""
  batch=""
  i=0
  while [ $# -gt 0 ] && [ "$i" -lt "$jobs" ]; do
    echo "fuzzing $(basename "$1" | sed 's/^fuzz_//') for ${seconds}s"
    fuzz_one "$1" &
    pids="$pids $!"
    batch="$batch $(basename "$1" | sed 's/^fuzz_//')"
    i=$((i + 1))
    shift
  done
  set -f
  for pid in $pids; do
    wait "$pid" || failed=yes
  done
  set +f
  for name in $batch; do
    grep -E '^stat::number_of_executed_units' "$build/fuzz-$name.log" | sed "s/^/$name: /" || true
  done
done
if [ -n "$failed" ]; then
  for log in "$build"/fuzz-*.log; do
    if grep -qE '^(==[0-9]+==ERROR|SUMMARY|INFO: a leak|==[0-9]+== ERROR)' "$log" || ! grep -q '^Done ' "$log"; then
      echo "== $log"
      tail -50 "$log"
    fi
  done
  exit 1
fi
