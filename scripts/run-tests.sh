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
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
(cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@")
if [ $# -eq 0 ]; then
  "$top/scripts/run-armhf-tests.sh"
  "$top/scripts/run-sanitizer-tests.sh"
  "$top/scripts/run-fuzzers.sh" "${CM_FUZZ_SECONDS:-30}"
fi
