#!/usr/bin/python3
"""The share of one core of this machine that does the work of the board's
one 1 GHz Cortex-A8 in the same time.

For the same work (the streaming reduction benchmarks: three methods on two
kinds of 1280 x 720 Motion-JPEG frames) the benchmarks know
  - the CPU time per picture on this machine (bench_streaming_reduce,
    Google Benchmark, median of 3): t_x86;
  - the instructions per picture of the board's armhf build with NEON
    (qemu-arm with the counting plugin): n_arm.
An A8 retiring IPC instructions a cycle at 1 GHz takes n_arm / (IPC x 1e9)
seconds for that picture, so this machine does the board's work in the
same time with a share
    share = t_x86 / (n_arm / (IPC x 1e9))
of one core. The share of each piece of work, and their geometric mean,
for each IPC asked for.

Usage: board_share.py RESULTS_DIR [--ipc 0.4,0.6,0.9]   (prints JSON)
"""
import argparse
import json
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import report  # noqa: E402  (reads the benchmarks' result files)

CLOCK_HZ = 1e9
IPCS = (0.4, 0.6, 0.9)
SIZE = "1280x720"


def pieces(results):
    """[(set, method, x86 seconds, armhf instructions)] per picture."""
    runs = report.bench_runs(report.load_json(os.path.join(results, "reduce.json")))
    arm = report.counts(os.path.join(results, "counts-armhf.tsv"))
    out = []
    for (s, m), n in sorted(arm.items()):
        run = runs.get("reduce/%s/%s" % (m, s))
        if run and n > 0 and s.endswith(SIZE):
            out.append((s, m, report.to_ms(run) / 1e3, n))
    return out


def calibrate(results, ipcs=IPCS):
    """{"pieces": [...], "shares": {ipc: share}}; None without armhf counts."""
    p = pieces(results)
    if not p:
        return None
    doc = {"pieces": [], "shares": {}, "clock_hz": CLOCK_HZ}
    for s, m, t, n in p:
        doc["pieces"].append({"set": s, "method": m, "x86_seconds": t, "armhf_instructions": n,
                              "x86_seconds_per_armhf_instruction": t / n})
    for ipc in ipcs:
        shares = [t / (n / (ipc * CLOCK_HZ)) for _, _, t, n in p]
        doc["shares"]["%g" % ipc] = math.exp(sum(math.log(x) for x in shares) / len(shares))
    return doc


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("results")
    ap.add_argument("--ipc", default=",".join("%g" % i for i in IPCS))
    a = ap.parse_args(argv)
    doc = calibrate(a.results, [float(x) for x in a.ipc.split(",")])
    if doc is None:
        sys.exit("no armhf instruction counts in %s (scripts/armhf-sysroot.sh makes the sysroot)" % a.results)
    json.dump(doc, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main(sys.argv[1:])
