#!/bin/sh
# Installs what is missing, builds, and runs every test:
#   1. the native build's unit, end-to-end and package tests, and one short
#      run of each benchmark;
#   2. the unit tests of the board (armhf) build under qemu-arm;
#   3. the unit and end-to-end tests under ASan+UBSan and under TSan;
#   4. every libFuzzer target for a bounded time;
#   5. the package installed and run on Debian 12 images (amd64, armhf).
#   scripts/run-tests.sh            all of it
#   scripts/run-tests.sh -L unit    only native tests matching a ctest
#                                   selection (extra arguments go to ctest;
#                                   stages 2 to 4 are then skipped)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_BUILD_DIR:-$top/build}"
started=$(date +%s)
# Prints how long each stage took, so that the run's time can be watched.
stage_done() {
  now=$(date +%s)
  echo "=== $1: $((now - started)) s"
  started=$now
}
"$top/scripts/install-deps.sh" test
stage_done "packages"
# The benchmarks are built too, so that they keep building and running;
# scripts/run-benchmarks.sh measures with them.
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCM_BUILD_TESTS=ON -DCM_BUILD_BENCHMARKS=ON
cmake --build "$build"
stage_done "native build"
if [ $# -eq 0 ]; then
  # The other builds (board, sanitizers, fuzzers) go on at the lowest
  # priority while the native tests run: those mostly wait on the emulated
  # cameras' real time and keep the first claim on the processors.
  # They run in a process group of their own, ended with this script.
  builds_log="$build/other-builds.log"
  CM_BUILD_ONLY=1 setsid nice -n 19 sh -c '
    "$1/scripts/run-armhf-tests.sh" &&
      "$1/scripts/run-sanitizer-tests.sh" address thread &&
      "$1/scripts/run-fuzzers.sh"' other-builds "$top" > "$builds_log" 2>&1 &
  builds=$!
  # The board images' base roots are made meanwhile too, at the same low
  # priority (on the first run only: then they are kept).
  roots_log="$build/board-image-roots.log"
  setsid nice -n 19 "$top/scripts/run-board-image-tests.sh" --roots > "$roots_log" 2>&1 &
  roots=$!
  trap 'for g in $builds $roots; do kill -- -"$g" 2>/dev/null || true; done' EXIT
fi
if [ $# -gt 0 ]; then
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@")
else
  # The end-to-end suites mostly wait on the emulated cameras' real time
  # and on their servers, so more of them run at once than there are cores.
  # The unit tests run first, on their own: several of them drive emulated
  # cameras at a hundred frames a second and expect no frame lost.
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" -LE "e2e|faults|soak" &&
    ctest --output-on-failure -j "${CM_E2E_JOBS:-4}" -L "e2e|faults|soak")
fi
stage_done "native tests"
if [ $# -eq 0 ]; then
  status=0
  wait "$builds" || status=$?
  builds=""
  if [ "$status" -ne 0 ]; then
    tail -100 "$builds_log"
    echo "the board, sanitizer or fuzzer build failed"
    exit 1
  fi
  stage_done "the other builds, after the native tests"
  "$top/scripts/run-armhf-tests.sh"
  stage_done "armhf build and tests"
  "$top/scripts/run-sanitizer-tests.sh" address
  stage_done "AddressSanitizer build and tests"
  "$top/scripts/run-sanitizer-tests.sh" thread
  stage_done "ThreadSanitizer build and tests"
  "$top/scripts/run-fuzzers.sh" "${CM_FUZZ_SECONDS:-20}"
  stage_done "fuzzers"
  status=0
  wait "$roots" || status=$?
  roots=""
  if [ "$status" -ne 0 ]; then
    tail -50 "$roots_log"
    echo "the board images' base roots could not be made"
    exit 1
  fi
  stage_done "the board images' base roots, after the fuzzers"
  "$top/scripts/run-board-image-tests.sh"
  stage_done "board images"
fi
