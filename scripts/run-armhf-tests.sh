#!/bin/sh
# Cross-builds the daemon and its unit tests for the board (armhf) and runs
# the unit tests under qemu-arm. The build is optimised as the board's own
# (Release; CM_ARMHF_BUILD_TYPE=RelWithDebInfo for debugging under qemu).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build="${CM_ARMHF_BUILD_DIR:-$top/build-armhf}"
sysroot="${CM_ARMHF_SYSROOT:-/opt/capture_module-armhf-sysroot}"
"$top/scripts/armhf-sysroot.sh" "$sysroot"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake" \
  -DCM_ARMHF_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE="${CM_ARMHF_BUILD_TYPE:-Release}"
cmake --build "$build"
# CM_BUILD_ONLY=1: prepare the build, run nothing (run-tests.sh builds the
# stages while the native tests run).
[ "${CM_BUILD_ONLY:-0}" = 1 ] && exit 0
cd "$build"
# qemu-arm cannot execute the test binary again from inside itself.
export GTEST_DEATH_TEST_STYLE=fast
ctest --output-on-failure -j "$(nproc)" -L unit
# The board's package builds too.
cpack -G DEB -B "$build/package" >/dev/null
ls "$build"/package/capture-module_*_armhf.deb
