"""Helpers of the fault, load and soak tests: the daemon on the direct path
with small clips, a ledger of the clips it makes and where they went, and
samples of its descriptors and memory from /proc."""
import glob
import os
import re
import shlex
import shutil
import sys

import harness
from harness import HOME, Board

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
try:
    import emucam_pattern  # noqa: E402
except ImportError:  # the pattern reader comes with the emulated cameras
    emucam_pattern = None

PRELOAD = harness.EMUCAM_PRELOAD
HAVE_CAMERAS = os.path.exists(PRELOAD) and emucam_pattern is not None
FAKETIME_LIBS = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
QUEUE = HOME + "/queue"
SERIAL = "BBBK1234"

# Small clips, quickly converted: the cameras at 320 x 240 Motion-JPEG and
# 10 frames a second, so a recording (and a clip) is 100 frames, 10 s.
SMALL_CLIPS = ("-usb", "-mjpeg", "-s320x240", "-camfps10")
CLIP_NAME = re.compile(r"^(usb|user)_(\d)_(\d{14}_\d{6}(?:-\d+)?)\.mp4$")


def healthy_cameras(*options_by_camera):
    """EMUCAM_CONFIG for four 320 x 240 Motion-JPEG cameras at 30 frames a
    second (the daemon asks for 10), camera i with the fault options
    options_by_camera[i] (a text, may be empty)."""
    opts = list(options_by_camera) + [""] * (4 - len(options_by_camera))
    return "; ".join(("%d MJPG 320x240 30 %s" % (i, opts[i])).strip() for i in range(4))


def start_direct_path(board, cameras=True, args=(), faster=None, env=None):
    """Starts the daemon on the direct path with SMALL_CLIPS and waits until
    every selected device has its format. `faster` runs the daemon's clock
    that many times faster (faketime; the cameras keep real time)."""
    preload = PRELOAD
    e = dict(env or {})
    if faster:
        preload = PRELOAD + " " + FAKETIME_LIBS[0]
        e.update({"FAKETIME": "+0 x%d" % faster, "FAKETIME_DONT_RESET": "1"})
    if cameras is not True:
        e["EMUCAM_CONFIG"] = cameras
    d = board.start(*(SMALL_CLIPS + tuple(args)), env=e, preload=preload)
    d.wait_for(r"/dev/video0: USB capture thread created successfully!", timeout=30, stream="stderr")
    return d


def notify_url(path, serial=SERIAL):
    return "/notify_file_upload.php?deviceid=%s&fpath=%s" % (serial, path)


def converted_clips(stdout):
    """The queue paths of every clip the daemon queued a conversion for, in
    order, once each (a retry queues the same clip again): from the raw
    clip "<root>/tmp/<stem>.raw" after "-i" of each "mp4 convert cmd: "
    line, "<root>/home/Tarvisel/queue/<stem>.mp4"."""
    out = []
    for line in stdout.splitlines():
        if line.startswith("mp4 convert cmd: "):
            words = shlex.split(line[len("mp4 convert cmd: "):])
            if "-i" not in words:
                continue
            m = re.match(r"^(.*)/tmp/([^/]+)\.raw$", words[words.index("-i") + 1])
            if m:
                path = "%s%s/%s.mp4" % (m.group(1), QUEUE, m.group(2))
                if path not in out:
                    out.append(path)
    return out


def clips_by_device(paths):
    """{device: [names]} of clip paths."""
    out = {}
    for p in paths:
        m = CLIP_NAME.match(os.path.basename(p))
        if m:
            out.setdefault(int(m.group(2)), []).append(os.path.basename(p))
    return out


def proc_sample(pid):
    """(open descriptors, resident kB) of process `pid`, or None when gone."""
    try:
        fds = len(os.listdir("/proc/%d/fd" % pid))
        with open("/proc/%d/status" % pid) as f:
            status = f.read()
    except (FileNotFoundError, ProcessLookupError):
        return None
    m = re.search(r"^VmRSS:\s+(\d+) kB", status, re.M)
    return fds, int(m.group(1)) if m else 0


def descriptor_targets(pid):
    """What the open descriptors of `pid` point at (sockets, files, pipes)."""
    out = []
    for fd in sorted(os.listdir("/proc/%d/fd" % pid), key=int):
        try:
            out.append("%s -> %s" % (fd, os.readlink("/proc/%d/fd/%s" % (pid, fd))))
        except OSError:
            pass
    return out


def clip_readings(path):
    return emucam_pattern.read_clip(path)


def check_clip_shows_camera(test, path, device):
    """Every frame of the clip carries camera `device`'s pattern, its
    counters in order (the converter may repeat a frame, never go back)."""
    readings = clip_readings(path)
    test.assertTrue(readings, "no frames in " + path)
    test.assertNotIn(None, readings, "a frame without a readable pattern in " + path)
    test.assertEqual({r[0] for r in readings}, {device}, path)
    counters = [r[1] for r in readings]
    test.assertTrue(all(b >= a for a, b in zip(counters, counters[1:])), "frames out of order in %s" % path)
    return counters


class ServerLedger:
    """What reached an FTP server (harness.FtpServer): the files under the
    device's directory and how often each was stored."""

    def __init__(self, server, serial=SERIAL):
        self.server = server
        self.dir = os.path.join(server.dir, serial)

    def files(self):
        try:
            return sorted(n for n in os.listdir(self.dir) if not n.endswith(".uploading"))
        except FileNotFoundError:
            return []

    def store_counts(self):
        """{name: times stored}: every complete transfer the server saw,
        under its temporary name or its final one."""
        counts = {}
        for p in list(self.server.stored):
            name = os.path.basename(p)
            if name.endswith(".uploading"):
                name = name[:-len(".uploading")]
            counts[name] = counts.get(name, 0) + 1
        return counts


def fresh_board(test, **layout):
    board = Board(**layout)
    test.addCleanup(board.cleanup)
    return board


def keep_output_on_failure(test, daemon_getter):
    """When CM_FAULTS_KEEP names a directory, a failing test leaves the
    daemon's output there (<test id>.stdout / .stderr)."""
    keep = os.environ.get("CM_FAULTS_KEEP")
    if not keep:
        return

    def save():
        d = daemon_getter()
        if d is None:
            return
        os.makedirs(keep, exist_ok=True)
        for stream in ("stdout", "stderr"):
            with open(os.path.join(keep, "%s.%s" % (test.id(), stream)), "w") as f:
                f.write(getattr(d, stream))
        # The upload tool's own logs, and what the test FTP server holds.
        for name in ("ftp_debug.log", "ftp_error.log"):
            path = d.board.path(HOME + "/log/" + name)
            if os.path.exists(path):
                shutil.copyfile(path, os.path.join(keep, "%s.%s" % (test.id(), name)))
        server = d.board.path("/ftp")
        if os.path.isdir(server):
            with open(os.path.join(keep, "%s.server" % test.id()), "w") as f:
                for top, _, files in os.walk(server):
                    for n in sorted(files):
                        p = os.path.join(top, n)
                        f.write("%s %d\n" % (os.path.relpath(p, server), os.path.getsize(p)))
    test.addCleanup(save)
