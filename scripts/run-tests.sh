#!/bin/sh
# Installs what is missing, builds, and runs every test.
#   scripts/run-tests.sh            all tests
#   scripts/run-tests.sh -L unit    only the unit tests (any ctest option)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_BUILD_DIR:-$top/build}"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
