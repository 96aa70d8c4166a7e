#!/bin/sh
# The main job: installs what is missing, builds, and runs the daemon on an
# emulated board. Ctrl-C stops everything it started.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_BUILD_DIR:-$top/build}"
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
exec /usr/bin/python3 "$top/emulation/demo.py" --build "$build" "$@"
