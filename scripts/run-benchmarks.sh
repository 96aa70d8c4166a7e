#!/bin/sh
# Builds the benchmarks, runs every one of them and prints one table with
# the ratios and the goals (docs/performance.md explains it):
#   1. the streaming reduction (daemon, literal method, entropy-decoding
#      floor): CPU time, instructions per picture on x86-64 (callgrind) and
#      on the board's armhf with NEON (qemu-arm with a counting plugin; only
#      when the armhf sysroot of scripts/armhf-sysroot.sh is there), PSNR;
#   2. the frame handler against plain copies;
#   3. clip writing on the default path, memory and file store;
#   4. the whole daemon on the emulated board (about two minutes).
#
#   scripts/run-benchmarks.sh
# Environment: CM_BENCH_BUILD_DIR (default build-bench), CM_ARMHF_SYSROOT
# (default /opt/capture_module-armhf-sysroot), CM_BENCH_DAEMON_SECONDS (60).
# Results stay in <build>/results (JSON and TSV); the table is also written
# to <build>/results/table.txt.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh" test
build="${CM_BENCH_BUILD_DIR:-$top/build-bench}"
sysroot="${CM_ARMHF_SYSROOT:-/opt/capture_module-armhf-sysroot}"
busy_seconds="${CM_BENCH_DAEMON_SECONDS:-60}"
out="$build/results"
python=/usr/bin/python3

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCM_BUILD_TESTS=OFF -DCM_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j 2
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

echo
"$python" "$top/bench/report.py" "$out" | tee "$out/table.txt"
