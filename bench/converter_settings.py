#!/usr/bin/python3
"""Candidate encoder settings of the converter front end (packaging/avconv)
at the board's share of one core: seconds per clip, bytes, quality and
memory.

Each candidate is the front end itself with its `encoder_settings=` line
replaced (the line shipped is reported as "shipped"), run with the
daemon's own command line for a 1280 x 720 Motion-JPEG clip of 10 s at 30
frames a second (v4l2/converter_command.cpp: "-f mjpeg -r 30 -i RAW -r
30000/1001 -y -aspect 16:9 OUT.mp4"), inside a cgroup v1 group with a cfs
quota of --share of one core (bench/cgroups.py; candidates run side by
side, each in its own group). "decode" is the floor any setting pays:
ffmpeg only decoding the clip.

Clips (made once into --work):
  scene     a webcam's view of a room: the benchmarks' natural-looking
            1280 x 720 picture (bench_reduce_count --write-frames), panned
            slowly, with sensor noise that changes every frame, encoded as
            a UVC camera does (Motion-JPEG 4:2:2, about 36 KB a frame);
  emulated  300 frames of an emulated camera (libemucam.so, quality 95, as
            the daemon asks its cameras), read with v4l2-ctl.
Measured per candidate and clip: wall seconds at the share, CPU seconds,
peak resident set (the converter's maxrss), output bytes, SSIM and PSNR of
the output against the clip's frames (ffmpeg's ssim and psnr filters on
both decoded to raw 4:2:0 pictures, frame n against frame n).

With --armhf-root (a root of the board's architecture holding ffmpeg, made
by scripts/armhf-sysroot.sh ROOT ffmpeg), each candidate's instructions per
frame of the scene clip on the board's instruction set are counted too
(qemu-arm with the counting plugin): the board's seconds per clip follow
from them without this machine's timing.

Usage: converter_settings.py --build DIR --frames DIR --share S [--work DIR] [--jobs 8]
                             [--armhf-root ROOT] [--out FILE]
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import cgroups  # noqa: E402

FRONT_END = os.path.join(SOURCE_DIR, "packaging", "avconv")
FFMPEG = "/usr/bin/ffmpeg"
SETTINGS_LINE = re.compile(r'^encoder_settings="[^"]*"$', re.M)
FRAMES = 300
SIZE = (1280, 720)
FRAME_BYTES = SIZE[0] * SIZE[1] * 3 // 2
# The daemon's command line for a 1280 x 720 Motion-JPEG clip at 30 frames
# a second with the default options (no -s, no -b).
INPUT_ARGS = ["-f", "mjpeg", "-r", "30"]
OUTPUT_ARGS = ["-r", "30000/1001", "-y", "-aspect", "16:9"]

CANDIDATES = [
    # What the front end did before it had settings: ffmpeg's own choice
    # for MP4 (x264, preset medium, threads as the machine has cores).
    ("ffmpeg-defaults", "-c:v libx264"),
    ("medium", "-c:v libx264 -preset medium -threads 1"),
    ("faster", "-c:v libx264 -preset faster -threads 1"),
    ("veryfast", "-c:v libx264 -preset veryfast -threads 1"),
    ("superfast", "-c:v libx264 -preset superfast -threads 1"),
    ("ultrafast", "-c:v libx264 -preset ultrafast -threads 1"),
    ("veryfast-ref1-la10", "-c:v libx264 -preset veryfast -threads 1 -x264-params ref=1:rc-lookahead=10"),
    ("superfast-zerolatency", "-c:v libx264 -preset superfast -tune zerolatency -threads 1"),
    ("superfast-crf26", "-c:v libx264 -preset superfast -crf 26 -threads 1"),
    ("decode", "decode"),
]


def shipped_settings():
    with open(FRONT_END) as f:
        m = SETTINGS_LINE.search(f.read())
    return m.group(0) if m else None


def front_end_with(settings, path):
    """A copy of the front end with `settings` as its encoder settings."""
    with open(FRONT_END) as f:
        text = f.read()
    if settings is not None:
        text, n = SETTINGS_LINE.subn('encoder_settings="%s"' % settings, text)
        if n != 1:
            raise RuntimeError("no encoder_settings line in " + FRONT_END)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o755)
    return path


def make_scene_clip(frames_dir, path):
    picture = os.path.join(frames_dir, "scene-1280x720-0.jpg")
    # Slow pan over a slightly larger copy, sensor noise anew every frame,
    # Motion-JPEG 4:2:2 as a UVC camera sends it.
    subprocess.run([FFMPEG, "-v", "error", "-nostdin", "-y", "-loop", "1", "-framerate", "30", "-i", picture,
                    "-vf", "scale=1408:792,crop=1280:720:x='min(t*9,128)':y='min(t*5,72)',noise=c0s=6:c1s=3:c2s=3:allf=t",
                    "-frames:v", str(FRAMES), "-pix_fmt", "yuvj422p", "-c:v", "mjpeg", "-q:v", "4", "-f", "mjpeg", path],
                   check=True)


def make_emulated_clip(build, path):
    env = dict(os.environ, LD_PRELOAD=os.path.join(build, "emulation", "libemucam.so"),
               EMUCAM_CONFIG="0 MJPG 1280x720 30 quality=95")
    subprocess.run(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=1280,height=720,pixelformat=MJPG",
                    "--stream-mmap", "--stream-count=%d" % FRAMES, "--stream-to=" + path],
                   check=True, env=env, capture_output=True)


def start(candidate, settings, clip, work, share):
    """Starts one conversion in a group of its own; (process, group, output, start)."""
    name = "%s-%s" % (candidate, os.path.basename(clip).split(".")[0])
    out = os.path.join(work, name + ".mp4")
    if settings == "decode":
        cmd = [FFMPEG, "-hide_banner", "-nostdin", "-loglevel", "error", "-threads", "1"] + INPUT_ARGS + \
              ["-i", clip, "-f", "null", "-"]
    else:
        front = front_end_with(settings, os.path.join(work, "avconv-" + candidate))
        cmd = [front] + INPUT_ARGS + ["-i", clip] + OUTPUT_ARGS + [out]
    group = cgroups.Budget("cm-conv-%d-%s" % (os.getpid(), name), share=share)
    with group.inside():
        proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return proc, group, out, time.monotonic(), name


def raw_frames(path, raw, input_args=()):
    """Decodes every frame of `path` into `raw` as 4:2:0 pictures, one for
    one (no frame dropped or repeated for a rate); the frame count."""
    subprocess.run([FFMPEG, "-v", "error", "-nostdin", "-y"] + list(input_args) + ["-i", path, "-fps_mode", "passthrough",
                    "-pix_fmt", "yuv420p", "-f", "rawvideo", raw], check=True)
    return os.path.getsize(raw) // FRAME_BYTES


def quality(out, reference):
    """(SSIM, PSNR dB, frames) of `out` against the clip's frames decoded
    into `reference`, frame n against frame n. Both are laid out as raw
    pictures first: ffmpeg's ssim and psnr filters pair their inputs by
    time, and the clip's rate (30) and the output's (30000/1001) would pair
    some frames with their neighbours."""
    raw = out + ".yuv"
    try:
        frames = raw_frames(out, raw)
        raw_in = ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "%dx%d" % SIZE, "-r", "30"]
        r = subprocess.run([FFMPEG, "-hide_banner", "-nostdin"] + raw_in + ["-i", raw] + raw_in + ["-i", reference,
                            "-lavfi", "[0:v]split[a1][a2];[1:v]split[b1][b2];[a1][b1]ssim;[a2][b2]psnr",
                            "-f", "null", "-"], capture_output=True, text=True)
    finally:
        if os.path.exists(raw):
            os.unlink(raw)
    ssim = re.search(r"SSIM .* All:([0-9.]+)", r.stderr)
    psnr = re.search(r"PSNR .* average:([0-9.inf]+)", r.stderr)
    return float(ssim.group(1)) if ssim else None, float(psnr.group(1)) if psnr else None, frames


def first_frames(clip, n, path):
    """The first `n` frames of a Motion-JPEG clip, as a clip of their own."""
    with open(clip, "rb") as f:
        data = f.read()
    starts = [m.start() for m in re.finditer(b"\xff\xd8\xff", data)]
    with open(path, "wb") as f:
        f.write(data[:starts[n]] if n < len(starts) else data)
    return path


def armhf_counts(root, plugin, clip, candidates, work, few=30, more=90):
    """Instructions per frame of the board's own ffmpeg (armhf, NEON, from
    a root made by scripts/armhf-sysroot.sh ROOT ffmpeg) under qemu-arm
    with the counting plugin, for each candidate: two runs of the front
    end's command line on the first `few` and `more` frames of the clip,
    their difference per frame (start-up and the last frames' flush
    cancel out). One decoder thread, as on the board's one core."""
    short, longer = first_frames(clip, few, os.path.join(work, "few.raw")), first_frames(clip, more, os.path.join(work, "more.raw"))
    out = {}
    for c, s in candidates:
        counts = []
        for sub in (short, longer):
            cmd = ["qemu-arm", "-plugin", plugin, "-L", root, root + FFMPEG, "-loglevel", "error", "-nostdin",
                   "-threads", "1"] + INPUT_ARGS + ["-i", sub]
            if s == "decode":
                cmd += ["-f", "null", "-"]
            else:
                cmd += OUTPUT_ARGS + s.split() + ["-pix_fmt", "yuv420p", os.path.join(work, "armhf.mp4")]
            r = subprocess.run(cmd, capture_output=True, text=True)
            m = re.search(r"^guest instructions: (\d+)", r.stderr, re.M)
            counts.append(int(m.group(1)) if r.returncode == 0 and m else None)
        out[c] = (counts[1] - counts[0]) / (more - few) if None not in counts else None
    return out


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--frames", required=True, help="bench_reduce_count --write-frames output")
    ap.add_argument("--share", type=float, required=True)
    ap.add_argument("--work")
    ap.add_argument("--jobs", type=int, default=8)
    ap.add_argument("--candidates", help="comma-separated names (default: all)")
    ap.add_argument("--armhf-root", help="an armhf root with ffmpeg: count the board's instructions per frame too")
    ap.add_argument("--plugin", help="the qemu counting plugin (default: BUILD/bench/libqemu_insn_count.so)")
    ap.add_argument("--out")
    a = ap.parse_args(argv)
    why = cgroups.available()
    if why:
        print("converter settings: %s; skipped" % why)
        return 77
    work = a.work or tempfile.mkdtemp(prefix="cm-conv-")
    os.makedirs(work, exist_ok=True)
    clips = {"scene": os.path.join(work, "scene.raw"), "emulated": os.path.join(work, "emulated.raw")}
    if not os.path.exists(clips["scene"]):
        make_scene_clip(a.frames, clips["scene"])
    if not os.path.exists(clips["emulated"]):
        make_emulated_clip(a.build, clips["emulated"])
    references = {k: os.path.join(work, k + ".yuv") for k in clips}
    for k, path in clips.items():
        raw_frames(path, references[k], INPUT_ARGS)
    chosen = [c for c in CANDIDATES if not a.candidates or c[0] in a.candidates.split(",")]
    todo = [(c, s, clip) for c, s in chosen for clip in clips.values()]
    results = {"share": a.share, "shipped": shipped_settings(), "load_start": os.getloadavg(),
               "clips": {k: {"bytes": os.path.getsize(p), "frames": FRAMES} for k, p in clips.items()},
               "candidates": {}}
    running = []
    while todo or running:
        while todo and len(running) < a.jobs:
            c, s, clip = todo.pop(0)
            running.append((c, s, clip) + start(c, s, clip, work, a.share))
        time.sleep(0.2)
        for item in list(running):
            c, s, clip, proc, group, out, t0, name = item
            if proc.poll() is None:
                continue
            wall = time.monotonic() - t0
            running.remove(item)
            err = proc.stderr.read().decode(errors="replace")
            proc.stderr.close()
            usage = group.stats()
            group.close()
            kind = os.path.basename(clip).split(".")[0]
            r = {"settings": s, "status": proc.returncode, "wall_seconds": round(wall, 1),
                 "cpu_seconds": round(usage["cpu_seconds"], 2), "error": err.strip()[-300:] or None}
            if s != "decode" and proc.returncode == 0:
                r["bytes"] = os.path.getsize(out)
                r["ssim"], r["psnr_db"], r["frames"] = quality(out, references[kind])
            results["candidates"].setdefault(c, {})[kind] = r
    # Peak memory: rerun each candidate once, uncapped, alone, for its
    # maxrss (a group's quota does not change what a converter holds).
    for c, s in chosen:
        clip = clips["scene"]
        proc, group, out, t0, name = start(c, s, clip, work, None)
        _, status, ru = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        proc.stderr.close()
        group.close()
        results["candidates"][c]["peak_rss_kb"] = ru.ru_maxrss
        results["candidates"][c]["cpu_seconds_uncapped_scene"] = round(ru.ru_utime + ru.ru_stime, 2)
    if a.armhf_root:
        plugin = a.plugin or os.path.join(a.build, "bench", "libqemu_insn_count.so")
        for c, n in armhf_counts(a.armhf_root, plugin, clips["scene"], [x for x in chosen if x[1]], work).items():
            results["candidates"][c]["armhf_instructions_per_frame"] = n
    results["load_end"] = os.getloadavg()
    text = json.dumps(results, indent=1, sort_keys=True)
    if a.out:
        with open(a.out, "w") as f:
            f.write(text + "\n")
    else:
        print(text)
    for path in references.values():
        os.unlink(path)
    if not a.work:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
