#!/usr/bin/python3
"""The whole device within the board's budget: the real daemon, its real
converter front end and upload tool, at the board-equivalent share of one
core of this machine and with the board's memory limit.

What runs (all on loopback; emulated board root as in tests/e2e/harness.py):
  - capture_module -usb with four emulated 1280 x 720 Motion-JPEG cameras
    at 30 frames a second (EMUCAM_CONFIG), every camera switch on;
  - the converter front end packaging/avconv (Debian's ffmpeg) and
    Debian's ncftpput, started by the daemon;
  - emulation/ftp_server.py, and the reference streaming server
    (bench/picture_age_server.py: emulation/streaming_server.py keeping a
    sample of the pictures).
The daemon starts inside cgroup v1 groups (bench/cgroups.py): a cfs quota
of --share of one core, --memory-mb of memory; its children (converters,
ncftpput, the shells around them) inherit them. The emulated cameras'
producer threads ("emucam0".."emucam3", inside the daemon's process) stand
for camera hardware: each is moved, by thread id, into an unlimited sibling
group as soon as it appears (cgroup v1's cpu and cpuacct controllers take
single threads); the figure "threads released" says whether the kernel
placed them.
With --shared-core the share is a weight instead of a quota: the daemon
and its children are held to the machine's last core beside a busy
competitor, and get --share of it while both are runnable (a thread that
wakes runs soon, as on a slow core of its own; the quota makes it wait for
the next period). Everything else, this script and its servers and the
released camera threads included, keeps off that core. Cases with it run
one at a time.

Workload, as a device maker expects it: streaming on (capture_control
"stream 1", renewed every 100 s) unless --no-streaming, a user video
request --request-after s after the cameras are up, an alert
--alert-after s after that; the run ends --seconds after the request, or
once all eight clips are on the server.

What it reports (JSON on standard output, or --out FILE):
  - each clip's time from its request to the server (and to its save);
  - streaming requests per second and picture age (the camera frame
    counter in each kept picture's block pattern against the time the
    emulated camera made that frame, EMUCAM_FRAME_LOG), over the whole
    run and from the request on (while clips are saved and converted);
  - frames per camera: made by the camera, taken into a queued buffer,
    dropped for want of one; the time the camera was not streaming (its
    saves); frames missing from each clip on the server, of which the
    camera dropped;
  - CPU: the group's (cpuacct), the daemon's threads by name, the
    converters and upload tools (the daemon's reaped children, and those
    still running) by program; throttled periods;
  - memory: the daemon's peak resident set and what held it then
    (/proc/PID/smaps), the peak of daemon plus children sampled together
    (proportional set sizes, so that shared pages count once), each
    converter's peak, the group's peak usage (page cache included) and how
    often it hit its limit (memory.failcnt), OOM kills;
  - the machine's load average at the start and end.
--slow-card puts /tmp and the base directory on an ext4 file system on a
loop device whose writes are throttled (blkio.throttle.write_bps_device,
--card-bps) and reports the device's actual write rate. cgroup v1 throttles
a group's own direct and synced writes only: the page cache's writeback is
issued by the kernel's threads in the root group. --card-throttle device
(the default) therefore throttles the device in the root group, every
writer alike, as a slow card is; "group" throttles the daemon's group only.

Needs root and cgroup v1 (exits 77 otherwise, as a skipped test).

Usage: board_budget.py [--build DIR] [--share S | --calibration RESULTS --ipc 0.6 | --uncapped]
                       [--seconds 420] [--request-after 20] [--alert-after 60] [--no-streaming]
                       [--memory-mb 400] [--slow-card] [--card-bps 2000000] [--out FILE] [--label L]
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import board_share  # noqa: E402
import cgroups  # noqa: E402
import daemon_bench  # noqa: E402
import emucam_pattern  # noqa: E402

CAMERAS = daemon_bench.CAMERAS
FRAME_PERIOD = 1 / 30.0
STREAM_RENEW_SECONDS = 100
PICTURE_SERVER = os.path.join(HERE, "picture_age_server.py")
SAMPLE_SECONDS = 0.25
SKIPPED = 77
ROOT_BLKIO_THROTTLE = os.path.join(cgroups.ROOT, "blkio", "blkio.throttle.write_bps_device")


def percentile(values, q):
    if not values:
        return None
    v = sorted(values)
    return v[min(len(v) - 1, int(q * (len(v) - 1) + 0.5))]


def pss_kb(pid):
    """Proportional set size: each shared page counted once over all the
    processes that map it, so that a sum over processes is what they hold."""
    m = re.search(r"^Pss:\s+(\d+) kB", daemon_bench.read("/proc/%d/smaps_rollup" % pid) or "", re.M)
    return int(m.group(1)) if m else 0


def proc_stat(pid):
    """(comm, ppid, session, utime+stime s, cutime+cstime s) or None."""
    text = daemon_bench.read("/proc/%d/stat" % pid)
    if text is None:
        return None
    comm = text[text.index("(") + 1:text.rindex(")")]
    f = text[text.rindex(")") + 2:].split()
    t = daemon_bench.TICKS
    return comm, int(f[1]), int(f[3]), (int(f[11]) + int(f[12])) / t, (int(f[13]) + int(f[14])) / t


POLICIES = {0: "other", 3: "batch", 5: "idle"}


def scheduling(stat_path):
    """"nice N" of a process or thread from its stat file, with its
    scheduling class when that is not the ordinary one; None when gone."""
    text = daemon_bench.read(stat_path)
    if text is None:
        return None
    f = text[text.rindex(")") + 2:].split()
    policy = int(f[38])
    return "nice %s" % f[16] + ("" if policy == 0 else " " + POLICIES.get(policy, "policy %d" % policy))


def thread_scheduling(pid):
    """{thread name: "nice N"} of the daemon's threads (numbered ones as N)."""
    out = {}
    for t in daemon_bench.task_ids(pid):
        comm = (daemon_bench.read("/proc/%d/task/%s/comm" % (pid, t)) or "").strip()
        sched = scheduling("/proc/%d/task/%s/stat" % (pid, t))
        if comm and sched:
            out[re.sub(r"\d+$", "N", comm) if re.search(r"(v4l2-|capture|emucam)\d+$", comm) else comm] = sched
    return out


class Children:
    """The daemon's descendants (its session: converters, the upload tool
    and the shells, flock and timeout around them), sampled: CPU by
    program, each one's peak resident set, and their proportional sets
    added."""

    def __init__(self, session):
        self.session = session
        self.seen = {}  # pid -> {"comm", "cpu", "hwm_kb"}

    def sample(self):
        pss = 0
        for name in os.listdir("/proc"):
            if not name.isdigit() or int(name) == self.session:
                continue
            pid = int(name)
            st = proc_stat(pid)
            if st is None or st[2] != self.session:
                continue
            kb = daemon_bench.status_kb(pid)
            comm = st[0]
            e = self.seen.setdefault(pid, {"comm": comm, "cpu": 0.0, "hwm_kb": 0, "first": time.monotonic()})
            # A shell that execs the converter changes its name.
            e["comm"] = comm
            e["cpu"] = max(e["cpu"], st[3])
            e["hwm_kb"] = max(e["hwm_kb"], kb.get("VmHWM", 0))
            e["scheduling"] = scheduling("/proc/%d/stat" % pid) or e.get("scheduling")
            e["last"] = time.monotonic()
            pss += pss_kb(pid)
        return pss

    def by_program(self):
        out = {}
        for e in self.seen.values():
            p = out.setdefault(e["comm"], {"processes": 0, "cpu_seconds_sampled": 0.0, "peak_rss_kb": 0})
            p["processes"] += 1
            p["cpu_seconds_sampled"] = round(p["cpu_seconds_sampled"] + e["cpu"], 2)
            p["peak_rss_kb"] = max(p["peak_rss_kb"], e["hwm_kb"])
            if e.get("scheduling"):
                p["scheduling"] = sorted(set(p.get("scheduling", [])) | {e["scheduling"]})
        return out


class Watch(threading.Thread):
    """Every SAMPLE_SECONDS: moves new camera producer threads out of the
    limit, samples the daemon (daemon_bench.Sampler), its children and the
    group; every 0.1 s otherwise, for the cameras' threads."""

    def __init__(self, budget, pid):
        super().__init__(daemon=True)
        self.budget = budget
        self.pid = pid
        self.sampler = daemon_bench.Sampler(pid)
        self.children = Children(pid)
        self.released = {}
        self.refused = {}
        self.peak_together_kb = 0
        self.peak_rss_kb = 0
        self.peak_breakdown = {}
        self.peak_cgroup_rss = 0
        self.stop = threading.Event()
        self.lock = threading.Lock()

    def release_cameras(self):
        try:
            tids = os.listdir("/proc/%d/task" % self.pid)
        except OSError:
            return
        for t in tids:
            tid = int(t)
            if tid in self.released or tid in self.refused:
                continue
            comm = (daemon_bench.read("/proc/%d/task/%d/comm" % (self.pid, tid)) or "").strip()
            if comm.startswith("emucam"):
                if self.budget.release_thread(self.pid, tid):
                    self.released[tid] = comm
                elif os.path.exists("/proc/%d/task/%d" % (self.pid, tid)):
                    self.refused[tid] = comm

    def start_sampling(self):
        with self.lock:
            self.sampler.start()

    def run(self):
        next_sample = 0.0
        while not self.stop.is_set():
            self.release_cameras()
            now = time.monotonic()
            if now >= next_sample and hasattr(self.sampler, "t0"):
                next_sample = now + SAMPLE_SECONDS
                with self.lock:
                    self.sampler.sample()
                    rss = daemon_bench.status_kb(self.pid).get("VmRSS", 0)
                    if rss > self.peak_rss_kb:
                        self.peak_rss_kb = rss
                        self.peak_breakdown = smaps_breakdown(self.pid)
                    together = pss_kb(self.pid) + self.children.sample()
                    self.peak_together_kb = max(self.peak_together_kb, together)
                    self.peak_cgroup_rss = max(self.peak_cgroup_rss, self.budget.stats()["memory_rss_bytes"])
            time.sleep(0.1)

    def finish(self):
        self.stop.set()
        self.join(5)
        with self.lock:
            self.sampler.run(0)


class SlowCard:
    """An ext4 file system on a loop device over a file in `workdir`,
    mounted there; its major:minor for the blkio throttle."""

    def __init__(self, workdir, size_mb=2048):
        self.image = os.path.join(workdir, "card.img")
        self.mount = os.path.join(workdir, "card")
        os.makedirs(self.mount)
        with open(self.image, "wb") as f:
            f.truncate(size_mb << 20)
        subprocess.run(["mkfs.ext4", "-q", "-F", self.image], check=True)
        self.loop = subprocess.run(["losetup", "-f", "--show", self.image], check=True, capture_output=True,
                                   text=True).stdout.strip()
        subprocess.run(["mount", "-t", "ext4", self.loop, self.mount], check=True)
        st = os.stat(self.loop)
        self.devno = "%d:%d" % (os.major(st.st_rdev), os.minor(st.st_rdev))
        self.name = os.path.basename(self.loop)

    def bind(self, board, board_path):
        """Puts the board's directory on the card (its content copied)."""
        target = board.path(board_path)
        on_card = os.path.join(self.mount, board_path.strip("/").replace("/", "-"))
        shutil.copytree(target, on_card, symlinks=True)
        shutil.copystat(target, on_card)
        subprocess.run(["mount", "--bind", on_card, target], check=True)
        return target

    def throttle_device(self, bps):
        """Throttles every write to the device, whoever issues it: the
        blkio hierarchy's root group, where the kernel's writeback threads
        are. (In a group of the daemon's, cgroup v1 throttles only the
        writes its own threads issue: direct and synced ones; the page
        cache's writeback is issued from the root group and passes.)"""
        cgroups.write(ROOT_BLKIO_THROTTLE, "%s %d" % (self.devno, bps))
        self.throttled = True

    def written_bytes(self):
        """Sectors written to the loop device (the kernel's own count)."""
        text = daemon_bench.read("/sys/block/%s/stat" % self.name) or ""
        f = text.split()
        return int(f[6]) * 512 if len(f) > 6 else 0

    def unthrottle(self):
        if getattr(self, "throttled", False):
            cgroups.write(ROOT_BLKIO_THROTTLE, "%s 0" % self.devno)
            self.throttled = False

    def close(self, bound):
        self.unthrottle()
        for target in reversed(bound):
            subprocess.run(["umount", "-l", target], check=False)
        subprocess.run(["umount", "-l", self.mount], check=False)
        subprocess.run(["losetup", "-d", self.loop], check=False)


def smaps_breakdown(pid):
    """The resident set of process `pid` by what holds it (kB), from
    /proc/PID/smaps: the frame memory blocks (anonymous mappings of at least
    a block's size), the cameras' buffers (the emulated cameras' shared
    memory files, V4L2 buffers on the board), thread stacks (anonymous
    mappings of 8 MiB), the rest of the anonymous memory (the C library's
    heap and arenas: OpenCV, streaming buffers, ...), OpenCV's and
    ffmpeg's libraries (OpenCV's video I/O loads ffmpeg's), other
    libraries and the program."""
    text = daemon_bench.read("/proc/%d/smaps" % pid) or ""
    out = {}
    key = None
    for line in text.splitlines():
        m = re.match(r"^([0-9a-f]+)-([0-9a-f]+) \S+ \S+ \S+ \S+\s*(.*)$", line)
        if m:
            size = int(m.group(2), 16) - int(m.group(1), 16)
            name = m.group(3)
            base = os.path.basename(name)
            if not name:
                key = ("frame memory blocks" if size >= daemon_bench.FRAME_BUFFER_BYTES
                       else "thread stacks" if size in (8 << 20, (8 << 20) + 4096) else "heap and other anonymous")
            elif "memfd:" in name or name.startswith("/dev/video"):
                key = "camera buffers"
            elif name == "[heap]":
                key = "heap and other anonymous"
            elif name == "[stack]":
                key = "thread stacks"
            elif base.startswith("libopencv"):
                key = "OpenCV libraries"
            elif re.match(r"lib(av|sw|postproc|x26|vpx|aom|dav1d|svt|rav1e|codec2)", base):
                key = "ffmpeg and codec libraries"
            elif name.startswith("/") and ".so" in base:
                key = "other libraries"
            elif name.startswith("/"):
                key = "program and other files"
            else:
                key = "other"
            continue
        if key and line.startswith("Rss:"):
            out[key] = out.get(key, 0) + int(line.split()[1])
    return out


def frame_log(path, pid):
    """{camera: [(counter, delivered, seconds)]} of process `pid`, in order."""
    out = {}
    try:
        with open(path) as f:
            for line in f:
                w = line.split()
                if len(w) == 5 and int(w[0]) == pid:
                    out.setdefault(int(w[1]), []).append((int(w[2]), w[3] == "1", int(w[4]) / 1e9))
    except OSError:
        pass
    return out


def camera_frames(frames, since, windows=None):
    """Per camera from `since` on (or within the (start, end) `windows`):
    made, delivered, dropped, and the gaps in which the camera was not
    streaming (its saves)."""
    out = {}
    for cam, every in sorted(frames.items()):
        spans = [(since, float("inf"))] if windows is None else [(max(a, since), b) for a, b in windows]
        rows, gaps = [], []
        # A gap is the camera not streaming between two frames; the part of
        # it inside a span counts.
        all_gaps = [(x[2], y[2]) for x, y in zip(every, every[1:]) if y[2] - x[2] > 3 * FRAME_PERIOD]
        for a, b in spans:
            rows += [r for r in every if a <= r[2] <= b]
            gaps += [min(y, b) - max(x, a) for x, y in all_gaps if min(y, b) > max(x, a)]
        made = len(rows)
        delivered = sum(1 for r in rows if r[1])
        out[str(cam)] = {"made": made, "delivered": delivered, "dropped": made - delivered,
                         "dropped_percent": round(100.0 * (made - delivered) / made, 2) if made else None,
                         "not_streaming_gaps": len(gaps), "not_streaming_seconds": round(sum(gaps), 2),
                         "longest_gap_seconds": round(max(gaps), 2) if gaps else 0.0}
    return out


def picture_ages(keep_dir, frames, since):
    """Ages (s) of the kept pictures: arrival at the server minus the time
    the camera made the frame; (all, from `since` on, unreadable count)."""
    made = {(cam, r[0]): r[2] for cam, rows in frames.items() for r in rows}
    arrivals = {}
    try:
        with open(os.path.join(keep_dir, "arrivals.txt")) as f:
            for line in f:
                i, t = line.split()
                arrivals.setdefault(int(i), []).append(float(t))
    except OSError:
        return [], [], 0
    ages, later, unreadable = [], [], 0
    for i, times in sorted(arrivals.items()):
        path = os.path.join(keep_dir, "input%d.mjpeg" % i)
        try:
            readings = emucam_pattern.read_clip(path, fmt="mjpeg")
        except (subprocess.CalledProcessError, OSError, IndexError, KeyError, ValueError):
            unreadable += len(times)
            continue
        for t, r in zip(times, readings):
            if r is None or (r[0], r[1]) not in made:
                unreadable += 1
                continue
            age = t - made[(r[0], r[1])]
            ages.append(age)
            if t >= since:
                later.append(age)
    return ages, later, unreadable


def age_summary(ages):
    return {"pictures": len(ages), "median_s": round(statistics.median(ages), 3) if ages else None,
            "p90_s": round(percentile(ages, 0.9), 3) if ages else None,
            "max_s": round(max(ages), 3) if ages else None}


def clip_frames(path, frames):
    """Frames of a clip on the server: the counters it holds, and how many
    in its span are missing, of which the camera dropped."""
    try:
        readings = [r for r in emucam_pattern.read_clip(path) if r is not None]
    except (subprocess.CalledProcessError, OSError, IndexError, KeyError, ValueError):
        return {"readable": False}
    if not readings:
        return {"readable": False}
    cam = readings[0][0]
    counters = sorted({r[1] for r in readings})
    missing = set(range(counters[0], counters[-1] + 1)) - set(counters)
    dropped = {r[0] for r in frames.get(cam, []) if not r[1]}
    return {"readable": True, "camera": cam, "frames": len(readings), "first": counters[0], "last": counters[-1],
            "missing": len(missing), "missing_dropped_by_camera": len(missing & dropped)}


def say(text, t0=[]):
    """A progress line on standard error, with the seconds since the first."""
    if not t0:
        t0.append(time.monotonic())
    print("board budget %6.1f s: %s" % (time.monotonic() - t0[0], text), file=sys.stderr, flush=True)


def run(a, harness):
    say("starting")
    load_start = os.getloadavg()
    work = tempfile.mkdtemp(prefix="cm-budget-")
    frames_path = os.path.join(work, "frames.log")
    ftp_dir = os.path.join(work, "ftp")
    out = {"label": a.label, "streaming": not a.no_streaming, "share": a.share_value, "ipc": a.ipc,
           "memory_limit_mb": a.memory_mb, "cameras": CAMERAS, "slow_card": a.slow_card,
           "converter": a.converter or "packaging/avconv",
           "load_start": [round(x, 2) for x in load_start]}
    card = None
    bound = []
    budget = None
    server = ftp = board = None
    if a.shared_core:
        # This process, its threads and the servers it starts keep off the
        # shared core: only the daemon and its competitor run there.
        os.sched_setaffinity(0, cgroups.cpus_but(cgroups.last_cpu()))
    try:
        if a.slow_card:
            card = SlowCard(work)
        budget = cgroups.Budget("cm-budget-%d" % os.getpid(), share=a.share_value,
                                shared_core=cgroups.last_cpu() if a.shared_core else None,
                                memory_bytes=a.memory_mb << 20 if a.memory_mb else None,
                                write_bps=(card.devno, a.card_bps) if card and a.card_throttle == "group" else None)
        if card and a.card_throttle == "device":
            card.throttle_device(a.card_bps)
        if budget.period_us:
            out["cfs_period_us"], out["cfs_quota_us"] = budget.period_us, budget.quota_us
        if budget.weight:
            out["shared_core"], out["shared_core_weight"] = budget.core, budget.weight
        # The reference server, keeping pictures (its keep directory is
        # beside its log, so harness.StreamingServer starts it unchanged).
        harness.STREAMING_SERVER = PICTURE_SERVER
        server = daemon_bench.streaming_server(harness)
        ftp = harness.FtpServer(ftp_dir)
        board = harness.Board(switches="1111")
        if a.converter:
            harness.board_root.link(board.path("/usr/bin/avconv"), os.path.abspath(a.converter))
        if card:
            bound = [card.bind(board, "/tmp"), card.bind(board, harness.HOME)]
        with budget.inside():
            d = board.start("-usb", cameras=CAMERAS, env={"EMUCAM_FRAME_LOG": frames_path})
        say("daemon started")
        watch = Watch(budget, d.proc.pid)
        watch.start()
        for n in range(4):
            d.wait_for(r"/dev/video%d format succeeded!" % n, timeout=180, stream="stderr")
        d.wait_for("video streaming monitoring thread start!", timeout=120)
        time.sleep(1.5)  # the monitor takes the stamp it finds at its start as seen
        stamp_at = None
        if not a.no_streaming:
            board.control("stream", "1")
            stamp_at = time.monotonic()
        t_up = time.monotonic()
        say("cameras up, measuring")
        watch.start_sampling()
        stats0 = budget.stats()
        cpu0 = proc_stat(d.proc.pid)
        card0 = card.written_bytes() if card else 0

        stored = {}  # name -> monotonic time it was stored
        saved = {}   # clip stem -> monotonic time its conversion was queued
        requests = {}

        def follow():
            text = d.stdout
            for m in re.finditer(r"^mp4 convert cmd: .*/((?:user|usb)_\d_[^ '/]*?)\.raw", text, re.M):
                saved.setdefault(m.group(1), time.monotonic())
            for name in ftp.stored[len(stored):]:
                stored[name] = time.monotonic()
            if d.proc.poll() is not None:
                raise RuntimeError("the daemon ended (status %s):\n%s" % (d.proc.returncode, d.stdout[-2000:]))

        def pause_until(t):
            nonlocal stamp_at
            while time.monotonic() < t:
                follow()
                if stamp_at is not None and time.monotonic() - stamp_at > STREAM_RENEW_SECONDS:
                    board.control("stream", "1")
                    stamp_at = time.monotonic()
                if len(stored) >= 8:
                    return
                time.sleep(0.2)

        pause_until(t_up + a.request_after)
        requests["user"] = time.monotonic()
        board.control("user-video")
        pause_until(requests["user"] + a.alert_after)
        requests["alert"] = time.monotonic()
        mark = len(d.stdout)
        board.control("alert", "on")
        deadline = time.monotonic() + 30
        while "capture module received an alert!" not in d.stdout[mark:] and time.monotonic() < deadline:
            pause_until(time.monotonic() + 0.2)
        board.control("alert", "off")
        pause_until(requests["user"] + a.seconds)
        follow()
        threads_at_end = thread_scheduling(d.proc.pid)
        end = time.monotonic()
        watch.finish()
        stats1 = budget.stats()
        say("run over, reading the results")
        cpu1 = proc_stat(d.proc.pid)
        out["load_end"] = [round(x, 2) for x in os.getloadavg()]
        out["seconds"] = round(end - t_up, 1)
        out["seconds_from_request"] = round(end - requests["user"], 1)

        # Clips: request to save, request to the server.
        clips = {}
        for stem, t in saved.items():
            kind = "user" if stem.startswith("user_") else "alert"
            clips.setdefault(stem, {"request": kind})["saved_after_s"] = round(t - requests[kind], 1)
        for name, t in stored.items():
            # The upload tool stores under a temporary name and renames it
            # at once; the server reports the store.
            name = re.sub(r"\.uploading$", "", name)
            stem = os.path.splitext(os.path.basename(name))[0]
            kind = "user" if stem.startswith("user_") else "alert"
            c = clips.setdefault(stem, {"request": kind})
            c["on_server_after_s"] = round(t - requests[kind], 1)
            c["file"] = name
        out["clips"] = clips
        out["clips_on_server"] = len(stored)

        # Streaming: requests per second over the whole run and from the
        # user request on; picture age from the kept pictures.
        msgs = server.messages()
        times = [m["time"] for m in msgs]  # wall clock of the server's log
        wall = time.time() - time.monotonic()  # the server logs the wall clock
        span_all, span_req = end - t_up, end - requests["user"]
        wall_up, wall_req, wall_end = t_up + wall, requests["user"] + wall, end + wall
        out["streaming_requests_per_second"] = round(len([t for t in times if wall_up <= t <= wall_end]) / span_all, 2)
        out["streaming_requests_per_second_from_request"] = round(
            len([t for t in times if wall_req <= t <= wall_end]) / span_req, 2)
        out["streaming_pictures_per_second_from_request"] = round(
            sum(len(m.get("pictures", [])) for m in msgs if wall_req <= m["time"] <= wall_end) / span_req, 2)
        out["streaming_errors"] = len(server.entries("error"))

        frames = frame_log(frames_path, d.proc.pid)
        ages, later, unreadable = picture_ages(os.path.join(server.dir, "kept"), frames, requests["user"])
        out["picture_age"] = age_summary(ages)
        out["picture_age_from_request"] = age_summary(later)
        out["pictures_unreadable"] = unreadable
        out["frames"] = camera_frames(frames, t_up)
        out["frames_from_request"] = camera_frames(frames, requests["user"])
        # While a request's clips are being saved: from the request until
        # its last raw clip is queued for conversion.
        windows = []
        for kind, t in requests.items():
            ends = [v for k, v in saved.items() if k.startswith("user_" if kind == "user" else "usb_")]
            if ends:
                windows.append((t, max(ends)))
        if windows:
            span = sum(b - a for a, b in windows)
            during = [m for m in msgs if any(a + wall <= m["time"] <= b + wall for a, b in windows)]
            out["during_saves"] = {
                "seconds": round(span, 1),
                "streaming_requests_per_second": round(len(during) / span, 2) if span > 0 else None,
                "frames": camera_frames(frames, t_up, windows)}
        for stem, c in clips.items():
            if "file" in c:
                c.update(clip_frames(os.path.join(ftp_dir, c["file"].lstrip("/")), frames))

        # CPU: the group, the daemon's threads (emulated cameras apart),
        # its children.
        r = watch.sampler.result()
        by_thread = {}
        for tid, (name, ns, _) in watch.sampler.last.items():
            key = re.sub(r"\d+$", "N", name) if name.startswith("emucam") else name
            by_thread[key] = by_thread.get(key, 0) + (ns - watch.sampler.first[tid][1]) / 1e9
        reaped = cpu1[4] - cpu0[4]
        running = sum(e["cpu"] for e in watch.children.seen.values() if e.get("last", 0) >= end - 1)
        out["cpu"] = {
            "group_seconds": round(stats1["cpu_seconds"] - stats0["cpu_seconds"], 2),
            "group_share_of_wall": round((stats1["cpu_seconds"] - stats0["cpu_seconds"]) / span_all, 4),
            "released_camera_threads_seconds": round(stats1["released_threads_cpu_seconds"]
                                                     - stats0["released_threads_cpu_seconds"], 2),
            "daemon_threads_seconds": {k: round(v, 2) for k, v in sorted(by_thread.items())},
            "daemon_seconds": round(r["daemon_threads_cpu_seconds"], 2),
            "children_seconds": round(reaped + running, 2),
            "children_by_program": watch.children.by_program(),
            "throttled_periods": stats1["nr_throttled"] - stats0["nr_throttled"],
            "periods": stats1["nr_periods"] - stats0["nr_periods"],
        }
        out["threads_released"] = {"placed": len(watch.released), "refused": len(watch.refused)}
        out["thread_scheduling"] = threads_at_end
        # Memory.
        out["memory"] = {
            "daemon_peak_rss_kb": r["vm_hwm_kb"],
            "daemon_peak_anon_kb": r["rss_anon_peak_kb"],
            "daemon_peak_file_kb": r["rss_file_peak_kb"],
            "frame_buffers_rss_peak_kb": r["frame_buffers_rss_peak_kb"],
            "together_peak_pss_kb": watch.peak_together_kb,
            "converter_peak_rss_kb": max([e["hwm_kb"] for e in watch.children.seen.values()
                                          if e["comm"] == "ffmpeg"] or [0]),
            "daemon_at_peak_kb": watch.peak_breakdown,
            "group_peak_bytes": stats1["memory_max_usage_bytes"],
            "group_peak_rss_bytes": watch.peak_cgroup_rss,
            "group_limit_hits": stats1["memory_failcnt"],
            "oom_kills": stats1["oom_kills"],
        }
        if card:
            written = card.written_bytes() - card0
            out["card"] = {"bps_limit": a.card_bps, "device": card.devno, "throttle": a.card_throttle,
                           "written_bytes": written, "write_bytes_per_second": round(written / span_all),
                           "throttled_bytes_in_group": stats1["blkio_throttled_write_bytes"]}
        out["daemon_status"] = d.proc.poll()
        say("results read")
        if a.keep:
            shutil.copytree(board.dir, os.path.join(a.keep, "board"), ignore_dangling_symlinks=True, symlinks=True)
            shutil.copy(frames_path, a.keep)
        return out
    finally:
        # Writes held back by the throttle would hold the stopped daemon
        # in the kernel: they are let through first. Each step is tried
        # whatever the one before did, so that nothing is left behind (a
        # server holding the network namespace, a loop device, a group).
        steps = [card and card.unthrottle, budget and budget.unlimit, board and board.cleanup, server and server.stop,
                 ftp and ftp.close, card and (lambda: card.close(bound)), budget and budget.close]
        for step in steps:
            if step:
                try:
                    step()
                except Exception as e:  # noqa: BLE001 (every step must run)
                    say("cleaning up: %s" % e)
        shutil.rmtree(work, ignore_errors=True)
        say("cleaned up")


def check(r, a):
    """What a run that worked has measured; the problems found."""
    problems = []
    if r.get("daemon_status") is not None:
        problems.append("the daemon ended (status %s)" % r["daemon_status"])
    if r["threads_released"]["placed"] < 4 or r["threads_released"]["refused"]:
        problems.append("camera threads not moved out of the limit: %s" % r["threads_released"])
    for cam in "0123":
        f = r["frames"].get(cam)
        if not f or f["delivered"] == 0:
            problems.append("camera %s delivered no frame" % cam)
    if not a.no_streaming and (not r["picture_age"]["pictures"] or r["pictures_unreadable"] > r["picture_age"]["pictures"]):
        problems.append("no picture ages (%d read, %d unreadable)" % (r["picture_age"]["pictures"], r["pictures_unreadable"]))
    if not any("saved_after_s" in c for c in r["clips"].values()):
        problems.append("no clip saved")
    if r["cpu"]["group_seconds"] <= 0 or r["memory"]["group_peak_bytes"] in (None, 0):
        problems.append("the group counted nothing")
    if a.slow_card and not r.get("card", {}).get("written_bytes"):
        problems.append("nothing written to the card")
    return problems


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    g = ap.add_mutually_exclusive_group()
    g.add_argument("--share", type=float, help="fraction of one core")
    g.add_argument("--calibration", help="results directory with the reduction timings and armhf counts")
    g.add_argument("--uncapped", action="store_true", help="no CPU limit (this machine)")
    ap.add_argument("--ipc", type=float, default=0.6, help="instructions a cycle of the A8 (with --calibration)")
    ap.add_argument("--seconds", type=float, default=420, help="run length from the user request on")
    ap.add_argument("--request-after", type=float, default=20)
    ap.add_argument("--alert-after", type=float, default=60)
    ap.add_argument("--no-streaming", action="store_true")
    ap.add_argument("--shared-core", action="store_true",
                    help="the share by weight on the last core against a busy competitor, not a quota")
    ap.add_argument("--memory-mb", type=int, default=400)
    ap.add_argument("--slow-card", action="store_true")
    ap.add_argument("--card-bps", type=int, default=2000000)
    ap.add_argument("--card-throttle", choices=("device", "group"), default="device",
                    help="throttle every write to the card (device) or only the daemon group's own (group)")
    ap.add_argument("--converter", help="the board's /usr/bin/avconv (default: packaging/avconv)")
    ap.add_argument("--label", default="")
    ap.add_argument("--out")
    ap.add_argument("--keep", help="copy the board root and the frame log here")
    ap.add_argument("--check", action="store_true",
                    help="fail unless the run measured what it reports (a short pass among the tests)")
    a = ap.parse_args(argv)
    why = cgroups.available()
    if why:
        print("board budget: %s; skipped" % why)
        return SKIPPED
    a.share_value = None
    if a.share is not None:
        a.share_value = a.share
        a.ipc = None
    elif a.calibration:
        doc = board_share.calibrate(a.calibration, [a.ipc])
        if doc is None:
            ap.error("no armhf counts in " + a.calibration)
        a.share_value = doc["shares"]["%g" % a.ipc]
    elif not a.uncapped:
        ap.error("give --share, --calibration or --uncapped")
    else:
        a.ipc = None
    os.environ["CM_BUILD_DIR"] = os.path.abspath(a.build)
    import harness  # noqa: E402  (reads CM_BUILD_DIR)
    result = run(a, harness)
    text = json.dumps(result, indent=1, sort_keys=True)
    if a.check:
        problems = check(result, a)
        if problems:
            print(text)
            print("board budget: " + "; ".join(problems))
            return 1
    if a.out:
        os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
        with open(a.out, "w") as f:
            f.write(text + "\n")
    else:
        print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
