#!/bin/sh
# Installs what is missing, builds, and runs every test:
#   1. the native build's unit, end-to-end and package tests;
#   2. the unit tests of the board (armhf) build under qemu-arm;
#   3. the unit and end-to-end tests under ASan+UBSan and under TSan;
#   4. every libFuzzer target for a bounded time.
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
"$top/scripts/install-deps.sh"
stage_done "packages"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
stage_done "native build"
if [ $# -gt 0 ]; then
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@")
else
  # The end-to-end suites mostly wait on the emulated cameras' real time
  # and on their servers, so more of them run at once than there are cores.
  (cd "$build" && ctest --output-on-failure -j "$(nproc)" -LE "e2e|faults|soak" &&
    ctest --output-on-failure -j "${CM_E2E_JOBS:-4}" -L "e2e|faults|soak")
fi
stage_done "native tests"
if [ $# -eq 0 ]; then
  "$top/scripts/run-armhf-tests.sh"
  stage_done "armhf build and tests"
  "$top/scripts/run-sanitizer-tests.sh" address
  stage_done "AddressSanitizer build and tests"
  "$top/scripts/run-sanitizer-tests.sh" thread
  stage_done "ThreadSanitizer build and tests"
  "$top/scripts/run-fuzzers.sh" "${CM_FUZZ_SECONDS:-20}"
  stage_done "fuzzers"
fi
