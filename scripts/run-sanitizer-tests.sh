#!/bin/sh
# Builds with AddressSanitizer + UndefinedBehaviorSanitizer and with
# ThreadSanitizer, and runs the unit and end-to-end tests in each build.
# A sanitizer report fails the test that produced it.
#   scripts/run-sanitizer-tests.sh [address|thread ...]   (default: both)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
kinds="${*:-address thread}"
for kind in $kinds; do
  build="$top/build-$kind"
  # -O1 and line tables: what the sanitizers' reports need, at a fraction
  # of the compile time of full debug information.
  cmake -S "$top" -B "$build" -G Ninja -DCM_SANITIZE="$kind" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" >/dev/null
  cmake --build "$build"
  # CM_BUILD_ONLY=1: build, run nothing.
  [ "${CM_BUILD_ONLY:-0}" = 1 ] && continue
  (
    cd "$build"
    # Reports end the process with a failure status; suppressions, where
    # any are needed, are listed with their reasons in tests/sanitizers/.
    export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:halt_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$top/tests/sanitizers/tsan.supp"
    export LSAN_OPTIONS="suppressions=$top/tests/sanitizers/lsan.supp"
    ctest --output-on-failure -j "$(nproc)" -L unit
    # The end-to-end tests mostly wait on the cameras' real time.
    ctest --output-on-failure -j "${CM_E2E_JOBS:-3}" -L e2e
  )
done
