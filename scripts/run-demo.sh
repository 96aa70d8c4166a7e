#!/bin/sh
# The main job: installs what is missing, builds, and runs the daemon on an
# emulated board. Ctrl-C stops everything it started.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_BUILD_DIR:-$top/build}"
"$top/scripts/install-deps.sh" run
# The demo installs only the run set of packages, without the test
# frameworks: a build directory it configures first builds no tests (the
# test command turns them on again); one configured for tests keeps them.
tests=""
[ -f "$build/CMakeCache.txt" ] || tests="-DCM_BUILD_TESTS=OFF"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $tests >/dev/null
cmake --build "$build"
exec /usr/bin/python3 "$top/emulation/demo.py" --build "$build" "$@"
