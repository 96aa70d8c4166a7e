#!/bin/sh
# Installs what is missing, builds, and runs every test: the native build's
# unit and end-to-end tests, then the unit tests of the board (armhf) build
# under qemu-arm.
#   scripts/run-tests.sh            all tests
#   scripts/run-tests.sh -L unit    only the native tests matching a ctest
#                                   selection (extra arguments go to ctest;
#                                   the armhf stage is then skipped)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_BUILD_DIR:-$top/build}"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
(cd "$build" && ctest --output-on-failure -j "$(nproc)" "$@")
if [ $# -eq 0 ]; then
  "$top/scripts/run-armhf-tests.sh"
fi
