#!/bin/sh
# Builds the benchmarks, runs every one of them and prints one table with
# the ratios and the goals (docs/performance.md explains it):
#   1. the streaming reduction (daemon, literal method, entropy-decoding
#      floor): CPU time, instructions per picture on x86-64 (callgrind) and
#      on the board's armhf with NEON (qemu-arm with a counting plugin; only
#      when the armhf sysroot of scripts/armhf-sysroot.sh is there), PSNR;
#   2. the frame handler against plain copies;
#   3. clip writing on the default path, memory and file store;
#   4. the whole daemon on the emulated board (about two minutes), and
#      what durability costs on the clip road (root only: syncs per clip);
#   5. the whole device within the board's budget (root and cgroup v1 only):
#      the share of one core calibrated from 1. (IPC 0.4, 0.6, 0.9 of a
#      1 GHz Cortex-A8), the daemon with its converters and upload tool at
#      each share, with and without streaming, uncapped, and on a slow
#      (2 MB/s) card; the converter's candidate settings at the 0.6 share
#      (about 8 minutes per case; CM_BENCH_BUDGET_JOBS capped cases side by
#      side, each in a network namespace of its own; uncapped ones alone).
#
#   scripts/run-benchmarks.sh          everything
#   scripts/run-benchmarks.sh budget   5. only, calibrated by an earlier run's
#                                      results (e.g. an "after" run)
# Environment: CM_BENCH_BUILD_DIR (default build-bench), CM_ARMHF_SYSROOT
# (default /opt/capture_module-armhf-sysroot), CM_BENCH_DAEMON_SECONDS (60),
# CM_BENCH_LABEL (the board-budget results' label, default "run"; e.g.
# "after"), CM_BENCH_BUDGET_SECONDS (420: each case's length from the user
# request on), CM_BENCH_BUDGET_JOBS (1), CM_BENCH_BUDGET_CASES (all: a
# space-separated subset of the case names below, "converter" for the
# converter's candidates), CM_ARMHF_CONVERTER_ROOT (an armhf root with
# ffmpeg for the converter's instruction counts, made by
# scripts/armhf-sysroot.sh; default /opt/capture_module-armhf-converter).
# Results stay in <build>/results (JSON and TSV) and <build>/budget/<label>;
# the table is also written to <build>/results/table.txt. The table shows
# the board-budget results of every label kept in bench/budget-results/ too
# (copy <build>/budget/<label> there to keep a run's).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test
build="${CM_BENCH_BUILD_DIR:-$top/build-bench}"
sysroot="${CM_ARMHF_SYSROOT:-/opt/capture_module-armhf-sysroot}"
busy_seconds="${CM_BENCH_DAEMON_SECONDS:-60}"
out="$build/results"
python=/usr/bin/python3
only="${1:-all}"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCM_BUILD_TESTS=OFF -DCM_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j 2
if [ "$only" != budget ]; then
  rm -rf "$out"
  mkdir -p "$out/frames"
  bench="$build/bench"

  echo "== frames and picture quality"
  "$bench/bench_reduce_count" --write-frames "$out/frames"
  "$bench/bench_reduce_count" --quality "$out/frames" > "$out/quality.tsv"
  sets=$(ls "$out/frames" | sed -n 's/-0\.jpg$//p')
  frames=8

  echo "== instructions per picture, x86-64 (callgrind)"
  if command -v valgrind >/dev/null; then
    printf 'set\tmethod\tinstructions\n' > "$out/counts-x86.tsv"
    for set in $sets; do
      for method in daemon literal floor; do
        # Only the instructions inside cmbench_counted_reductions count: the
        # frames reduced there, after every frame was reduced once uncounted.
        collected=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null \
          --toggle-collect=cmbench_counted_reductions \
          "$bench/bench_reduce_count" --count "$method" "$out/frames" "$set" "$frames" 2>&1 >/dev/null |
          sed -n 's/.*Collected : \([0-9]*\).*/\1/p')
        printf '%s\t%s\t%s\n' "$set" "$method" "$((${collected:-0} / frames))" >> "$out/counts-x86.tsv"
      done
    done
  else
    echo "valgrind is not installed: no x86 instruction counts"
  fi

  echo "== instructions per picture, armhf with NEON (qemu-arm)"
  plugin="$bench/libqemu_insn_count.so"
  if [ -d "$sysroot/usr/lib/arm-linux-gnueabihf" ] && command -v qemu-arm >/dev/null && [ -f "$plugin" ]; then
    armbuild="$build-armhf"
    cmake -S "$top" -B "$armbuild" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-armhf.cmake" \
      -DCM_ARMHF_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCM_BUILD_TESTS=OFF -DCM_BUILD_BENCHMARKS=ON >/dev/null
    cmake --build "$armbuild" -j 2 --target bench_reduce_count
    armcount() {
      # The board's /proc/cpuinfo names NEON, which libjpeg-turbo looks for;
      # under qemu-arm the host's does not, so it is named here.
      JSIMD_FORCENEON=1 qemu-arm -plugin "$plugin" -L "$sysroot" "$armbuild/bench/bench_reduce_count" \
        --count "$1" "$out/frames" "$2" "$3" 2>&1 >/dev/null | sed -n 's/^guest instructions: //p'
    }
    printf 'set\tmethod\tinstructions\n' > "$out/counts-armhf.tsv"
    for set in $sets; do
      for method in daemon literal floor; do
        # Two runs that differ only in the number of counted frames.
        base=$(armcount "$method" "$set" 0)
        more=$(armcount "$method" "$set" "$frames")
        printf '%s\t%s\t%s\n' "$set" "$method" "$(((more - base) / frames))" >> "$out/counts-armhf.tsv"
      done
    done
  else
    echo "no armhf sysroot ($sysroot; scripts/armhf-sysroot.sh makes it) or no qemu-arm: no armhf counts"
  fi

  echo "== reduction, frame handler and clip writer timings"
  gb="--benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_out_format=json"
  # shellcheck disable=SC2086
  "$bench/bench_streaming_reduce" $gb --benchmark_min_time=0.5 --benchmark_out="$out/reduce.json" >/dev/null
  # Copies of a few microseconds are disturbed by anything else the machine
  # does: every repetition is kept and the least disturbed one compared.
  "$bench/bench_frame_handler" --benchmark_repetitions=9 --benchmark_min_time=0.2 --benchmark_enable_random_interleaving=true \
    --benchmark_out_format=json \
    --benchmark_out="$out/frame_handler.json" >/dev/null 2>&1
  # shellcheck disable=SC2086
  "$bench/bench_clip_writer" --benchmark_out_format=json --benchmark_out="$out/clip_writer.json" >/dev/null

  echo "== the whole daemon on the emulated board"
  "$python" "$top/bench/daemon_bench.py" --build "$build" --busy-seconds "$busy_seconds" > "$out/daemon.json"

  echo "== durability on the clip road"
  if [ "$(id -u)" = 0 ]; then
    "$top/tests/e2e/own_network.sh" "$python" "$top/bench/clip_road_bench.py" --build "$build" > "$out/clip_road.json" ||
      echo "   the clip road run failed"
  else
    echo "   not root (a loop device and mounts): not measured"
  fi

fi

echo "== the whole device within the board's budget"
label="${CM_BENCH_LABEL:-run}"
budget="$build/budget/$label"
budget_seconds="${CM_BENCH_BUDGET_SECONDS:-420}"
budget_jobs="${CM_BENCH_BUDGET_JOBS:-1}"
converter_root="${CM_ARMHF_CONVERTER_ROOT:-/opt/capture_module-armhf-converter}"
all_cases="uncapped-streaming ipc0.4-streaming ipc0.6-streaming ipc0.9-streaming ipc0.4-nostreaming
ipc0.6-nostreaming ipc0.9-nostreaming card-uncapped card-ipc0.6 converter"
cases="${CM_BENCH_BUDGET_CASES:-$all_cases}"
case_args() {
  case $1 in
    uncapped-streaming) echo "--uncapped" ;;
    ipc*-streaming) ipc=${1#ipc}; echo "--calibration $out --ipc ${ipc%-streaming}" ;;
    ipc*-nostreaming) ipc=${1#ipc}; echo "--calibration $out --ipc ${ipc%-nostreaming} --no-streaming" ;;
    card-uncapped) echo "--uncapped --slow-card" ;;
    card-ipc*) echo "--calibration $out --ipc ${1#card-ipc} --slow-card" ;;
  esac
}
why=$("$python" -c "import sys; sys.path.insert(0, '$top/bench'); import cgroups; print(cgroups.available() or '')")
if [ -n "$why" ]; then
  echo "no board-budget runs: $why"
elif ! "$python" "$top/bench/board_share.py" "$out" > "$out/share.json"; then
  echo "no board-budget runs: no armhf counts to calibrate the share with"
else
  rm -rf "$budget"
  mkdir -p "$budget"
  cp "$out/share.json" "$budget/share.json"
  # The daemon's peers listen on fixed ports: each case in a network
  # namespace of its own, so that cases (and tests) may run side by side.
  # Capped cases run CM_BENCH_BUDGET_JOBS at a time (each has its own
  # quota); the uncapped ones and the converter's candidates alone.
  run_case() {
    echo "   $1 (load $(cut -d' ' -f1-3 /proc/loadavg))"
    # shellcheck disable=SC2046
    "$top/tests/e2e/own_network.sh" "$python" "$top/bench/board_budget.py" --build "$build" $(case_args "$1") \
      --seconds "$budget_seconds" --label "$label" --out "$budget/$1.json" > "$budget/$1.log" 2>&1
  }
  running=0
  for c in $cases; do
    case $c in
      ipc*|card-ipc*)
        run_case "$c" &
        running=$((running + 1))
        if [ "$running" -ge "$budget_jobs" ]; then
          wait
          running=0
        fi ;;
    esac
  done
  wait
  for c in $cases; do
    case $c in
      *uncapped*) run_case "$c" ;;
      converter)
        share=$("$python" -c "import json; print(json.load(open('$out/share.json'))['shares']['0.6'])")
        echo "   converter settings at a share of $share"
        # The board's own ffmpeg, counted under qemu-arm (a root of about
        # 230 armhf packages, made once).
        armhf=""
        if command -v qemu-arm >/dev/null && "$top/scripts/armhf-sysroot.sh" "$converter_root" ffmpeg >/dev/null; then
          armhf="--armhf-root $converter_root"
        fi
        # shellcheck disable=SC2086
        "$python" "$top/bench/converter_settings.py" --build "$build" --frames "$out/frames" --share "$share" $armhf \
          --out "$budget/converter.json" > "$budget/converter.log" 2>&1 || echo "   converter settings failed: $budget/converter.log" ;;
    esac
  done
  for c in $cases; do
    [ "$c" = converter ] || [ -s "$budget/$c.json" ] || echo "   $c failed: $budget/$c.log"
  done
fi

echo
"$python" "$top/bench/report.py" "$out" | tee "$out/table.txt"
