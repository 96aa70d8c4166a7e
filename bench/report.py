#!/usr/bin/python3
"""Puts the results of one scripts/run-benchmarks.sh run together into one
table with the ratios and the goals.

Usage: report.py RESULTS_DIR
Reads from RESULTS_DIR: reduce.json, frame_handler.json, clip_writer.json
(Google Benchmark JSON), quality.tsv, counts-x86.tsv, counts-armhf.tsv (may
be missing), daemon.json; and the board-budget results of every run label,
kept in bench/budget-results/LABEL/ and made in RESULTS_DIR/../budget/LABEL/
(share.json, <case>.json, converter.json); prints the table.
"""
import csv
import json
import os
import sys

REDUCTION_GOAL = 0.35  # daemon / literal instructions, ordinary 1280 x 720 pictures
PSNR_GOAL = 30.0
HANDLER_GOAL = 1.2
IDLE_CPU_GOAL = 0.5  # percent of a core
GOAL_SET = "scene-1280x720"


def load_json(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def load_tsv(path):
    try:
        with open(path) as f:
            return list(csv.DictReader(f, delimiter="\t"))
    except OSError:
        return []


def bench_min_runs(doc):
    """{benchmark name: run}: of every repetition, the one with the least
    CPU time, the run least disturbed by other work on the machine."""
    out = {}
    if not doc:
        return out
    for b in doc.get("benchmarks", []):
        if b.get("error_occurred") or b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        if name not in out or b["cpu_time"] < out[name]["cpu_time"]:
            out[name] = b
    return out


def bench_runs(doc):
    """{benchmark name: run}: the median of repetitions where there are
    several, else the single run."""
    out = {}
    if not doc:
        return out
    for b in doc.get("benchmarks", []):
        name = b.get("run_name", b["name"])
        if b.get("error_occurred"):
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                out[name] = b
        else:
            out.setdefault(name, b)
    return out


def to_ms(run, key="cpu_time"):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[run.get("time_unit", "ns")]
    return run[key] * scale


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt(v, form, width):
    return ("%" + str(width) + "s") % ("-" if v is None else format(v, form))


def counts(path):
    """{(set, method): instructions per picture}"""
    return {(r["set"], r["method"]): float(r["instructions"]) for r in load_tsv(path)}


def reduction(d, lines):
    runs = bench_runs(load_json(os.path.join(d, "reduce.json")))
    quality = {(r["set"], r["method"]): r for r in load_tsv(os.path.join(d, "quality.tsv"))}
    x86 = counts(os.path.join(d, "counts-x86.tsv"))
    arm = counts(os.path.join(d, "counts-armhf.tsv"))
    sets = sorted({s for s, _ in x86} | {n.split("/")[2] for n in runs if n.startswith("reduce/")},
                  key=lambda s: (s.split("-")[1] != "1280x720", s))
    lines.append("1. Streaming reduction to a quarter of width and height, per picture")
    lines.append("   time: CPU ms on this machine; Minstr: million instructions, x86-64 (callgrind) and")
    lines.append("   armhf with NEON as on the board (qemu-arm); ratios to the literal method and to the floor")
    lines.append("   %-15s %7s %-8s %7s %7s %6s %6s %7s %6s %6s %7s %7s" % (
        "frames", "in KB", "method", "CPU ms", "x86 Mi", "/lit", "/floor", "arm Mi", "/lit", "/floor",
        "PSNR", "worst"))
    goal = {}
    for s in sets:
        for m in ("daemon", "literal", "floor"):
            run = runs.get("reduce/%s/%s" % (m, s))
            q = quality.get((s, m), {})
            inkb = float(quality.get((s, "daemon"), {}).get("in_bytes", 0)) / 1000 or None
            xi, ai = x86.get((s, m)), arm.get((s, m))
            row = "   %-15s %7s %-8s %7s %7s %6s %6s %7s %6s %6s %7s %7s" % (
                s if m == "daemon" else "", fmt(inkb, ".1f", 7) if m == "daemon" else "", m,
                fmt(to_ms(run) if run else None, ".3f", 7),
                fmt(xi / 1e6 if xi else None, ".2f", 7),
                fmt(ratio(xi, x86.get((s, "literal"))), ".3f", 6), fmt(ratio(xi, x86.get((s, "floor"))), ".2f", 6),
                fmt(ai / 1e6 if ai else None, ".2f", 7),
                fmt(ratio(ai, arm.get((s, "literal"))), ".3f", 6), fmt(ratio(ai, arm.get((s, "floor"))), ".2f", 6),
                fmt(float(q["psnr_db"]) if q else None, ".2f", 7), fmt(float(q["psnr_worst_db"]) if q else None, ".2f", 7))
            lines.append(row)
            if s == GOAL_SET and m == "daemon":
                goal = {"x86": ratio(xi, x86.get((s, "literal"))), "arm": ratio(ai, arm.get((s, "literal"))),
                        "psnr": float(q["psnr_worst_db"]) if q else None}
    lit_ms = to_ms(runs["reduce/literal/" + GOAL_SET]) if "reduce/literal/" + GOAL_SET in runs else None
    day_ms = to_ms(runs["reduce/daemon/" + GOAL_SET]) if "reduce/daemon/" + GOAL_SET in runs else None
    lines.append("   goal on %s: daemon <= %.2f x literal instructions, PSNR >= %.0f dB" % (GOAL_SET, REDUCTION_GOAL, PSNR_GOAL))
    for isa in ("arm", "x86"):
        r = goal.get(isa)
        if r is not None:
            lines.append("     %-4s %.3f  %s" % (isa, r, "met" if r <= REDUCTION_GOAL else "NOT met"))
    if day_ms and lit_ms:
        lines.append("     time: literal / daemon = %.2f (CPU time)" % (lit_ms / day_ms))
    if goal.get("psnr") is not None:
        lines.append("     worst PSNR %.2f dB  %s" % (goal["psnr"], "met" if goal["psnr"] >= PSNR_GOAL else "NOT met"))
    lines.append("")


def frame_handler(d, lines):
    runs = bench_min_runs(load_json(os.path.join(d, "frame_handler.json")))
    lines.append("2. Frame handler of the direct path, per frame (CPU time, us; the least of the repetitions)")
    lines.append("   %-8s %8s %8s %6s   %8s %10s %6s" % ("bytes", "copy", "handler", "ratio", "2 copies", "streaming", "ratio"))
    worst = None
    for size in ("20000", "100000", "300000"):
        c, h = runs.get("BM_PlainCopy/" + size), runs.get("BM_FrameHandler/" + size)
        c2, hs = runs.get("BM_PlainCopyTwice/" + size), runs.get("BM_FrameHandlerStreaming/" + size)
        us = lambda r: to_ms(r) * 1000 if r else None  # noqa: E731
        r1, r2 = ratio(us(h), us(c)), ratio(us(hs), us(c2))
        for r in (r1, r2):
            if r is not None:
                worst = r if worst is None else max(worst, r)
        lines.append("   %-8s %8s %8s %6s   %8s %10s %6s" % (size, fmt(us(c), ".2f", 8), fmt(us(h), ".2f", 8), fmt(r1, ".2f", 6),
                                                            fmt(us(c2), ".2f", 8), fmt(us(hs), ".2f", 10), fmt(r2, ".2f", 6)))
    if worst is not None:
        lines.append("   goal: within %.1f x the plain copies: worst %.2f  %s" % (HANDLER_GOAL, worst, "met" if worst <= HANDLER_GOAL else "NOT met"))
    lines.append("")


def clip_writer(d, lines):
    runs = bench_runs(load_json(os.path.join(d, "clip_writer.json")))
    lines.append("3. Clip writing on the default path (640 x 480 pictures, 60 per clip)")
    for label, key in (("memory store", "BM_ClipWriterMemoryStore"), ("file store (PNG)", "BM_ClipWriterFileStore")):
        run = next((r for n, r in runs.items() if n.startswith(key)), None)
        pps = run.get("pictures_per_second") if run else None
        lines.append("   %-18s %s pictures per second" % (label, fmt(pps, ".1f", 8)))
    lines.append("")


def daemon(d, lines):
    doc = load_json(os.path.join(d, "daemon.json"))
    lines.append("4. The whole daemon on the emulated board")
    if not doc:
        lines.append("   (not measured)")
        return
    b = doc.get("busy")
    if b:
        mb = lambda kb: kb / 1024  # noqa: E731
        lines.append("   recording and streaming, four 1280x720 MJPEG cameras at 30 fps, %.0f s:" % b["seconds"])
        lines.append("     CPU                 %.2f s per minute (%.2f%% of one core of this machine)" % (
            b["daemon_cpu_seconds_per_minute"], b["daemon_core_percent"]))
        lines.append("     emulated cameras    %.2f s per minute, counted apart (the driver's work on the board)" % (
            b["emulated_cameras_cpu_seconds"] * 60 / b["seconds"]))
        lines.append("     wake-ups            %.0f per second" % b["wakeups_per_second"])
        lines.append("     streaming           %.1f requests, %.1f pictures per second" % (b["requests_per_second"], b["pictures_per_second"]))
        lines.append("     peak resident       %.1f MB (VmHWM): anonymous %.1f MB, camera buffers (shared) %.1f MB, files %.1f MB" % (
            mb(b["vm_hwm_kb"]), mb(b["rss_anon_peak_kb"]), mb(b["rss_shmem_peak_kb"]), mb(b["rss_file_peak_kb"])))
        lines.append("     frame buffers       %.1f MB resident of %.1f MB mapped (%s frames per capture loop)" % (
            mb(b["frame_buffers_rss_peak_kb"]), mb(b["frame_buffers_mapped_kb"]), b.get("frames_per_capture_loop")))
    for key, label in (("idle_usb", "idle, direct path"), ("idle_default", "idle, default path")):
        i = doc.get(key)
        if not i:
            continue
        pct = i["daemon_threads_core_percent"]
        lines.append("   %-20s CPU %.3f%% of a core, %.1f wake-ups per second, %d threads, %.0f s  %s" % (
            label + ":", pct, i["wakeups_per_second"], i["threads"], i["seconds"],
            "(goal < %.1f%%: %s)" % (IDLE_CPU_GOAL, "met" if pct < IDLE_CPU_GOAL else "NOT met")))
    lines.append("")


# The board-budget runs (bench/board_budget.py): their cases in the
# table's order, and the goals at the board share (IPC 0.6).
BUDGET_CASES = [
    ("uncapped-streaming", "this machine, streaming"),
    ("ipc0.4-streaming", "IPC 0.4, streaming"),
    ("ipc0.6-streaming", "IPC 0.6, streaming"),
    ("ipc0.9-streaming", "IPC 0.9, streaming"),
    ("ipc0.4-nostreaming", "IPC 0.4, no streaming"),
    ("ipc0.6-nostreaming", "IPC 0.6, no streaming"),
    ("ipc0.9-nostreaming", "IPC 0.9, no streaming"),
]
CARD_CASES = [
    ("card-uncapped", "this machine, slow card"),
    ("card-ipc0.6", "IPC 0.6, slow card"),
]
# Results kept in the source tree per run label (a "before" and an
# "after"), then those of this build's runs (scripts/run-benchmarks.sh,
# CM_BENCH_LABEL), which take a kept label's place.
KEPT_BUDGET = os.path.join(os.path.dirname(os.path.abspath(__file__)), "budget-results")


def budget_runs(results_dir):
    """{label: {case: result}} of the kept results and this build's."""
    out = {}
    for top in (KEPT_BUDGET, os.path.join(os.path.dirname(os.path.abspath(results_dir)), "budget")):
        try:
            labels = sorted(os.listdir(top))
        except OSError:
            continue
        for label in labels:
            d = os.path.join(top, label)
            if not os.path.isdir(d):
                continue
            runs = {}
            for name in os.listdir(d):
                if name.endswith(".json"):
                    doc = load_json(os.path.join(d, name))
                    if doc is not None:
                        runs[name[:-5]] = doc
            if runs:
                out[label] = runs
    return out


def clip_times(doc, kind):
    """Seconds from the request to the server of its clips, in order."""
    return sorted(c["on_server_after_s"] for c in doc.get("clips", {}).values()
                  if c.get("request") == kind and "on_server_after_s" in c)


def drops(frames):
    """Per camera, the percentage of the frames it made that the daemon did
    not take (no buffer queued); under 1 % with a decimal, so that a few
    frames lost do not read as none."""
    vals = [("%.1f" if 0 < f["dropped_percent"] < 1 else "%.0f") % f["dropped_percent"]
            for _, f in sorted((frames or {}).items()) if f.get("dropped_percent") is not None]
    return "/".join(vals) if vals else "-"


def budget(d, lines):
    runs = budget_runs(d)
    lines.append("5. The whole device within the board's budget (bench/board_budget.py)")
    if not runs:
        lines.append("   (not measured)")
        lines.append("")
        return
    shares = {}
    for label, cases in runs.items():
        if "share" in cases:
            shares[label] = cases["share"].get("shares", {})
    for label, sh in sorted(shares.items()):
        lines.append("   %-7s share of one core of this machine: %s" % (label, ", ".join(
            "%.2f%% at IPC %s" % (100 * v, k) for k, v in sorted(sh.items()))))
    lines.append("   four 1280x720 MJPEG cameras at 30 fps; a user request, an alert 60 s later; memory limit 400 MB")
    lines.append("   clips: on the server of 8; user: s from the request to its last clip; alert: s from the alert to its")
    lines.append("   first / last clip ('-': not there when the run ended); req/s and picture age (median / 90 %) from the")
    lines.append("   request on; lost: per camera, of the frames it made, those the daemon did not take (no buffer queued);")
    lines.append("   CPU s: daemon threads / converters and upload; peak MB: daemon + children sampled together")
    lines.append("   (proportional sets; the group's peak, page cache included); hits: times the group hit its memory")
    lines.append("   limit (memory.failcnt); load: the machine's at the start")
    hdr = "   %-24s %-8s %5s %5s %9s %6s %11s %11s %12s %13s %5s %5s"
    lines.append(hdr % ("run", "label", "clips", "user", "alert", "req/s", "age s", "lost %",
                        "CPU s d/conv", "peak MB (grp)", "hits", "load"))
    for case, title in BUDGET_CASES:
        for label in sorted(runs):
            doc = runs[label].get(case)
            if not doc:
                continue
            user, alert = clip_times(doc, "user"), clip_times(doc, "alert")
            mem, cpu = doc.get("memory", {}), doc.get("cpu", {})
            age = doc.get("picture_age_from_request", {})
            lines.append(hdr % (
                title, label, "%d/8" % doc.get("clips_on_server", 0),
                "%.0f" % user[-1] if len(user) == 4 else "-",
                "%s / %s" % ("%.0f" % alert[0] if alert else "-", "%.0f" % alert[-1] if len(alert) == 4 else "-"),
                fmt(doc.get("streaming_requests_per_second_from_request") if doc.get("streaming") else None, ".2f", 6),
                "%s / %s" % (fmt(age.get("median_s"), ".2f", 1), fmt(age.get("p90_s"), ".2f", 1)) if age.get("pictures") else "-",
                drops(doc.get("frames")),
                "%.0f / %.0f" % (cpu.get("daemon_seconds", 0), cpu.get("children_seconds", 0)),
                "%.0f (%.0f)" % (mem.get("together_peak_pss_kb", mem.get("together_peak_rss_kb", 0)) / 1024, (mem.get("group_peak_bytes") or 0) / 2 ** 20),
                fmt(mem.get("group_limit_hits"), "d", 5), fmt((doc.get("load_start") or [None])[0], ".1f", 6)))
    card_rows = [(case, title, label, runs[label][case]) for case, title in CARD_CASES for label in sorted(runs)
                 if case in runs[label]]
    if card_rows:
        lines.append("   slow card: /tmp and the base directory on ext4 on a loop device, writes throttled to 2 MB/s;")
        lines.append("   while the requests' clips are saved: streaming req/s, frames dropped per camera (no buffer) and")
        lines.append("   seconds each camera was blind (not streaming: its own save); the card's actual write rate")
        for case, title, label, doc in card_rows:
            ds = doc.get("during_saves", {})
            fr = ds.get("frames", {})
            lines.append("   %-24s %-7s req/s %s over %s s; dropped %s; blind s %s; card %.2f MB/s" % (
                title, label, fmt(ds.get("streaming_requests_per_second"), ".2f", 1), ds.get("seconds"),
                " ".join(str(fr[c]["dropped"]) for c in sorted(fr)),
                " ".join("%.1f" % fr[c]["not_streaming_seconds"] for c in sorted(fr)),
                doc.get("card", {}).get("write_bytes_per_second", 0) / 1e6))
    conv = {label: cases["converter"] for label, cases in runs.items() if "converter" in cases}
    for label, doc in sorted(conv.items()):
        share = doc["share"]
        lines.append("   converter settings (%s): one 10 s 1280x720 clip, the daemon's command line, at %.2f%% of a core" % (
            label, 100 * share))
        lines.append("   s: the group's CPU seconds / the share (wall at the share in brackets); A8 s: the board's ffmpeg,")
        lines.append("   armhf instructions per frame x 300 at IPC 0.6; KB, SSIM, PSNR dB against the clip's frames; peak: maxrss")
        lines.append("   %-22s %12s %12s %6s %7s %7s %6s %7s %6s %5s" % (
            "candidate", "scene s", "emul. s", "A8 s", "KB", "SSIM", "PSNR", "emul.KB", "PSNR", "peak"))
        for name, r in sorted(doc["candidates"].items(), key=lambda kv: -(kv[1].get("scene", {}).get("cpu_seconds") or 0)):
            sc, em = r.get("scene", {}), r.get("emulated", {})
            secs = lambda x: "%.0f (%.0f)" % (x["cpu_seconds"] / share, x["wall_seconds"]) if x.get("cpu_seconds") else "-"  # noqa: E731
            n = r.get("armhf_instructions_per_frame")
            lines.append("   %-22s %12s %12s %6s %7s %7s %6s %7s %6s %5s" % (
                name, secs(sc), secs(em), fmt(n * 300 / 0.6e9 if n else None, ".0f", 6),
                fmt(sc.get("bytes", 0) / 1000 if sc.get("bytes") else None, ".0f", 7), fmt(sc.get("ssim"), ".4f", 7),
                fmt(sc.get("psnr_db"), ".2f", 6), fmt(em.get("bytes", 0) / 1000 if em.get("bytes") else None, ".0f", 7),
                fmt(em.get("psnr_db"), ".2f", 6), fmt(r.get("peak_rss_kb", 0) / 1024 if r.get("peak_rss_kb") else None, ".0f", 5)))
    lines.append("")


def clip_road(d, lines):
    doc = load_json(os.path.join(d, "clip_road.json"))
    if lines and lines[-1] == "":
        lines.pop()  # part of 4.
    lines.append("   durability (bench/clip_road_bench.py): one request's four clips, /tmp and the base directory on ext4")
    if not doc:
        lines.append("     (not measured)")
    else:
        lines.append("     %.2f syncs and %.1f ms of syncing per clip; request to server %s s" % (
            doc["syncs_per_clip"], doc["sync_seconds_per_clip"] * 1000,
            " ".join("%.1f" % s for s in doc["request_to_server_s"])))
    lines.append("")


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    d = argv[0]
    lines = []
    reduction(d, lines)
    frame_handler(d, lines)
    clip_writer(d, lines)
    daemon(d, lines)
    clip_road(d, lines)
    budget(d, lines)
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
