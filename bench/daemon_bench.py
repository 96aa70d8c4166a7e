#!/usr/bin/python3
"""The whole daemon on the emulated board: what it costs in CPU, wake-ups
and resident memory.

Phases (each a fresh board root and a fresh daemon):
  busy        "-usb" with four emulated Motion-JPEG cameras at 1280 x 720,
              30 frames a second, every camera switch on: all four devices
              record, and a stream-mode request (stamp digit 9) has the
              daemon stream to the reference streaming server on the
              default address (127.0.0.1:8080 in development builds).
              Measured over --busy-seconds once all four record and the
              server receives pictures.
  idle-usb    "-usb", cameras present, every camera switch off, no request:
              nothing to do.
  idle-default the default path, every camera switch off, no request.

Measured from /proc, sampled every 0.25 s:
  CPU         utime + stime of the whole process (threads that ended
              included); the emulated cameras' producer threads (named
              "emucam<N>") run inside the daemon's process and are counted
              apart and taken off: they stand for the camera driver's work,
              which on the board happens in the kernel.
  wake-ups    voluntary and involuntary context switches of all threads.
  memory      VmHWM (peak resident set), the peak of RssAnon, RssShmem
              (the cameras' buffers, shared with the emulation) and the
              resident part of the 100,000,000-byte frame memory buffers
              against their mapped size (from /proc/PID/smaps).

Prints one JSON object on standard output (scripts/run-benchmarks.sh puts
it into the table). Sends nothing outside 127.0.0.0/8.

Usage: daemon_bench.py [--build DIR] [--busy-seconds 60] [--idle-seconds 30]
                       [--phases busy,idle-usb,idle-default] [--profile perf.data]
"""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from cgroups import read  # noqa: E402  (a file's text, or None)

CAMERAS = "; ".join("%d MJPG 1280x720 30" % i for i in range(4))
TICKS = os.sysconf("SC_CLK_TCK")
FRAME_BUFFER_BYTES = 100000000
SAMPLE_SECONDS = 0.25


def process_cpu_seconds(pid):
    """utime + stime of the whole process, threads that ended included."""
    text = read("/proc/%d/stat" % pid)
    if text is None:
        return None
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def task_ids(pid):
    """The ids (text) of the process's live threads; none once it is gone."""
    try:
        return os.listdir("/proc/%d/task" % pid)
    except OSError:
        return []


def tasks(pid):
    """{tid: (name, cpu ns, context switches)} of the live threads."""
    out = {}
    for tid in task_ids(pid):
        base = "/proc/%d/task/%s/" % (pid, tid)
        name, sched, status = read(base + "comm"), read(base + "schedstat"), read(base + "status")
        if name is None or sched is None or status is None:
            continue
        switches = sum(int(v) for v in re.findall(r"^(?:non)?voluntary_ctxt_switches:\s+(\d+)", status, re.M))
        out[int(tid)] = (name.strip(), int(sched.split()[0]), switches)
    return out


def status_kb(pid):
    text = read("/proc/%d/status" % pid) or ""
    return {k: int(v) for k, v in re.findall(r"^(\w+):\s+(\d+) kB", text, re.M)}


def frame_buffers_kb(pid):
    """(mapped kB, resident kB) of the frame memory buffers: the anonymous
    mappings of at least a buffer's size (the kernel merges neighbouring
    ones into one mapping)."""
    text = read("/proc/%d/smaps" % pid) or ""
    mapped = resident = 0
    size = 0
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) \S+ \S+ \S+ \S+\s*(\S*)$", line)
        if m:
            size = int(m.group(2), 16) - int(m.group(1), 16)
            if size < FRAME_BUFFER_BYTES or m.group(3):
                size = 0
            continue
        if size and line.startswith("Rss:"):
            mapped += size // 1024
            resident += int(line.split()[1])
    return mapped, resident


class Sampler:
    """Follows a running daemon: per-thread CPU and switches (threads come
    and go), and the memory figures' peaks."""

    def __init__(self, pid):
        self.pid = pid
        self.first = {}  # tid -> (name, ns, switches) when first seen
        self.last = {}
        self.peak = {}
        self.buffers_peak = (0, 0)

    def start(self):
        self.t0 = time.monotonic()
        self.cpu0 = process_cpu_seconds(self.pid)
        self.first = tasks(self.pid)
        self.last = dict(self.first)
        self.sample()

    def sample(self):
        now = tasks(self.pid)
        for tid, v in now.items():
            if tid not in self.first:
                self.first[tid] = (v[0], 0, 0)  # born during the window
            self.last[tid] = v
        for k, v in status_kb(self.pid).items():
            self.peak[k] = max(self.peak.get(k, 0), v)
        bufs = frame_buffers_kb(self.pid)
        if bufs[1] > self.buffers_peak[1]:
            self.buffers_peak = bufs

    def run(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            time.sleep(SAMPLE_SECONDS)
            self.sample()
        self.t1 = time.monotonic()
        self.cpu1 = process_cpu_seconds(self.pid)

    def result(self):
        wall = self.t1 - self.t0
        emu_ns = threads_ns = 0
        switches = 0
        for tid, (name, ns, sw) in self.last.items():
            _, ns0, sw0 = self.first[tid]
            if name.startswith("emucam"):
                emu_ns += ns - ns0
            else:
                threads_ns += ns - ns0
                switches += sw - sw0
        process = self.cpu1 - self.cpu0
        emu = emu_ns / 1e9
        return {
            "seconds": round(wall, 2),
            "process_cpu_seconds": round(process, 3),
            "emulated_cameras_cpu_seconds": round(emu, 3),
            # The process figure counts whole clock ticks; the per-thread
            # figure (schedstat) is exact for the threads that are alive at
            # the end, which in the idle phases are all of them.
            "daemon_cpu_seconds": round(max(0.0, process - emu), 3),
            "daemon_threads_cpu_seconds": round(threads_ns / 1e9, 4),
            "daemon_cpu_seconds_per_minute": round(max(0.0, process - emu) * 60 / wall, 3),
            "daemon_core_percent": round(100 * max(0.0, process - emu) / wall, 3),
            "daemon_threads_core_percent": round(100 * threads_ns / 1e9 / wall, 4),
            "wakeups_per_second": round(switches / wall, 2),
            "threads": len([1 for n, _, _ in self.last.values() if not n.startswith("emucam")]),
            "vm_hwm_kb": self.peak.get("VmHWM", 0),
            "rss_anon_peak_kb": self.peak.get("RssAnon", 0),
            "rss_shmem_peak_kb": self.peak.get("RssShmem", 0),
            "rss_file_peak_kb": self.peak.get("RssFile", 0),
            "frame_buffers_mapped_kb": self.buffers_peak[0],
            "frame_buffers_rss_peak_kb": self.buffers_peak[1],
        }


def start_profile(pid, path):
    """perf record of the daemon (software clock: no hardware counters
    needed), for reading with perf report; None without a path."""
    if not path:
        return None
    return subprocess.Popen(["perf", "record", "-q", "-e", "cpu-clock", "-F", "499", "-g", "-p", str(pid),
                             "-o", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def stop_profile(proc):
    if proc is not None:
        proc.send_signal(signal.SIGINT)
        proc.wait(30)


def streaming_server(harness, wait_seconds=180):
    """The reference server on the daemon's default address; tests running
    beside the benchmark may hold the port for a while."""
    deadline = time.monotonic() + wait_seconds
    while True:
        try:
            return harness.StreamingServer(address=harness.DEFAULT_STREAMING_SERVER, http_port=0)
        except RuntimeError:
            if time.monotonic() > deadline:
                raise
            time.sleep(2)


def busy(harness, seconds, profile=None):
    server = streaming_server(harness)
    board = harness.Board(switches="1111")
    try:
        d = board.start("-usb", cameras=CAMERAS)
        for n in range(4):
            d.wait_for(r"/dev/video%d format succeeded!" % n, timeout=90, stream="stderr")
        # The monitor takes the stamp it finds at its start as seen.
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        time.sleep(1.5)
        board.write_control(stream=1700000009)
        d.wait_for(r"Streaming: 9", timeout=10)
        if not server.wait_for(lambda s: len(s.messages()) >= 10, 30):
            raise RuntimeError("the streaming server received no pictures")
        time.sleep(2)  # every device past its first frames
        s = Sampler(d.proc.pid)
        before = len(server.messages())
        prof = start_profile(d.proc.pid, profile)
        s.start()
        s.run(seconds)
        stop_profile(prof)
        r = s.result()
        msgs = server.messages()
        sent = msgs[before:]
        r["requests_per_second"] = round(len(sent) / r["seconds"], 2)
        r["pictures_per_second"] = round(sum(len(m.get("pictures", [])) for m in sent) / r["seconds"], 2)
        loops = [int(x) for x in re.findall(r"Loops: \d+, Frames: (\d+)", d.stdout)]
        r["frames_per_capture_loop"] = max(loops) if loops else None
        if d.proc.poll() is not None:
            raise RuntimeError("the daemon ended during the measurement (status %s)" % d.proc.returncode)
        errors = server.entries("error")
        if errors:
            raise RuntimeError("the streaming server saw errors: %r" % errors[:3])
        return r
    finally:
        board.cleanup()
        server.stop()


def idle(harness, seconds, usb):
    board = harness.Board(switches="0000")
    try:
        args = ("-usb",) if usb else ()
        d = board.start(*args, cameras=True)
        # All threads started (one second apart) and past their first turn.
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        time.sleep(5)
        s = Sampler(d.proc.pid)
        s.start()
        s.run(seconds)
        if d.proc.poll() is not None:
            raise RuntimeError("the daemon ended during the measurement (status %s)" % d.proc.returncode)
        return s.result()
    finally:
        board.cleanup()


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    ap.add_argument("--busy-seconds", type=float, default=60)
    ap.add_argument("--idle-seconds", type=float, default=30)
    ap.add_argument("--phases", default="busy,idle-usb,idle-default")
    ap.add_argument("--profile", help="perf record the busy phase into this file")
    a = ap.parse_args(argv)
    os.environ["CM_BUILD_DIR"] = os.path.abspath(a.build)
    import harness  # noqa: E402  (reads CM_BUILD_DIR)
    out = {"cameras": CAMERAS}
    for phase in a.phases.split(","):
        if phase == "busy":
            out["busy"] = busy(harness, a.busy_seconds, a.profile)
        elif phase == "idle-usb":
            out["idle_usb"] = idle(harness, a.idle_seconds, True)
        elif phase == "idle-default":
            out["idle_default"] = idle(harness, a.idle_seconds, False)
        else:
            ap.error("unknown phase " + phase)
    json.dump(out, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main(sys.argv[1:])
