"""A full disk during a long upload outage, on the direct path.

The board's /tmp and base directory are small file systems of their own
(tmpfs, mounted in the test's private mount namespace, which the
end-to-end tests get from own_network.sh): each holds the daemon's reserve
of free space and only a few clips more. The FTP server is down while the
companion asks for clips every few seconds, until both file systems have
run short and for a while beyond; then the server comes back and the
daemon, never restarted, uploads what it kept.

Nothing that reaches the queue or the server decodes badly, each uploaded
clip is stored and announced once, every raw clip the daemon saved either
reached the server or a log line says it was removed, the logs stay
within their bounds, the companion's control record and the notification
records stay writable, and the daemon idles while the disks are full. The
daemon runs under faketime ten times faster (its upload retries are
counted in its own minutes; the cameras keep real time)."""
import glob
import os
import re
import subprocess
import time
import unittest

from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, QUEUE, ServerLedger, check_clip_shows_camera,
                            fresh_board, keep_output_on_failure, notify_url, start_direct_path)
from harness import HOME, QUICK_REDIAL_TOOL, FtpServer, probe_clip, wait_until

FASTER = 10
MIB = 1 << 20
# The daemon's reserve (cm::kDiskReserveBytes) and its log bounds
# (log/debug.h, upload/ftp_upload.h: the upload tool's logs are cut back
# before an upload once past 1 MiB, so they may pass it by what one upload
# writes).
RESERVE = 8 * MIB
DAILY_LOG_MAX = 4 * MIB
FTP_LOG_MAX = MIB + 64 * 1024
# A raw clip here (four 320 x 240 Motion-JPEG cameras, 100 frames) takes
# 0.8 to 1 MB, its MP4 about 16 kB, and a request makes one every 9 s or
# so: /tmp holds two raw clips beyond the reserve (a request saves four at
# once), the base directory a dozen MP4s beside its logs.
TMP_SIZE = RESERVE + 2 * MIB
BASE_SIZE = RESERVE + MIB // 4
REQUEST_EVERY = 3.0
# Real seconds without a new raw clip or conversion after which the
# requests are taken to be done (a recording takes about 6 s).
SETTLE = 10.0
CPU_WINDOW = 12.0  # real seconds: two minutes of the daemon's clock
CPU_SHARE_MAX = 0.10
# Output while full and quiet, per minute of the daemon's clock: its upload
# retries say a few lines each; a file logged on every walk of the queue
# would say far more.
OUTPUT_PER_MINUTE_MAX = 16 * 1024

SAVED_RAW = re.compile(r"^\S+: (\S+/tmp/((?:usb|user)_\d_\S+)\.raw)$", re.M)
NOT_WRITTEN = re.compile(r"^Raw clip (\S+) not written: no room", re.M)
EVICTION = re.compile(r"^disk space short for .*$", re.M)
REMOVED = re.compile(r" (\S+) \(\d+ bytes\)")
SET_ASIDE = re.compile(r"^Conversion of (\S+) failed \d+ times: set aside", re.M)


def mount_small(board, board_path, size):
    """Puts a tmpfs of `size` bytes at `board_path`, with what stood there."""
    path = board.path(board_path)
    mode = os.stat(path).st_mode & 0o7777
    seed = path + ".seed"
    os.rename(path, seed)
    os.mkdir(path)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=%o" % (size, mode), "tmpfs", path], check=True)
    subprocess.run(["cp", "-a", seed + "/.", path], check=True)
    subprocess.run(["rm", "-rf", seed], check=True)
    return path


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("CM_E2E_PRIVATE_MOUNTS") == "1",
                     "needs root in a mount namespace of its own (tests/e2e/own_network.sh)")
class FullDiskTest(unittest.TestCase):
    def setUp(self):
        self.board = fresh_board(self, switches="1111")
        self.tmp = mount_small(self.board, "/tmp", TMP_SIZE)
        self.base = mount_small(self.board, HOME, BASE_SIZE)

        def unmount():
            if self.board.daemon is not None:
                self.board.daemon.stop()
            for path in (self.tmp, self.base):
                subprocess.run(["umount", "-l", path])
        self.addCleanup(unmount)
        keep_output_on_failure(self, lambda: self.board.daemon)  # before the file systems go
        self.ftp = FtpServer(self.board.path("/ftp"), up=False)
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)
        self.board.use_upload_tool(QUICK_REDIAL_TOOL)

    def queue_files(self):
        return sorted(n for n in os.listdir(self.board.path(QUEUE)) if not n.startswith("."))

    def test_full_disks_lose_no_clip_without_a_word_and_recover_without_a_restart(self):
        d = start_direct_path(self.board, True, faster=FASTER)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=30, stream="stderr")
        time.sleep(2)

        # Requests every few seconds through the companion tool (which
        # fails the test when it cannot write the record) until both file
        # systems ran short, then a few more.
        def short_of(what):
            return [line for line in EVICTION.findall(d.stdout) if line.startswith("disk space short for " + what)]
        requests, beyond = 0, None
        deadline = time.monotonic() + 150
        while beyond is None or requests < beyond:
            self.assertLess(time.monotonic(), deadline, "the disks did not fill:\n" + d.stdout[-3000:])
            self.assertIsNone(d.proc.poll(), d.stderr[-3000:])
            self.board.control("user-video", 1700000000 + requests)
            requests += 1
            time.sleep(REQUEST_EVERY)
            if beyond is None and short_of("the raw clip") and short_of("the converted clip"):
                beyond = requests + 4
        self.assertEqual(self.ledger.files(), [])

        # Full: the recordings and conversions of the last requests end
        # (no raw clip left and none saved or converted for a while), then
        # a quiet stretch in which the daemon only retries its uploads.
        settled = {"events": None, "since": 0.0}

        def clips_settled():
            events = (len(SAVED_RAW.findall(d.stderr)), d.stdout.count("mp4 convert cmd: "))
            now = time.monotonic()
            if events != settled["events"] or glob.glob(self.tmp + "/*.raw"):
                settled.update(events=events, since=now)
            return now - settled["since"] > SETTLE
        wait_until(clips_settled, 90, "the last clips recorded and converted", d, step=0.5)
        kept = self.queue_files()
        full = {"tmp": free_bytes(self.tmp), "base": free_bytes(self.base), "queued": len(kept)}
        ticks, start, out_before = cpu_ticks(d.proc.pid), time.monotonic(), len(d.stdout)
        time.sleep(CPU_WINDOW)
        share = (cpu_ticks(d.proc.pid) - ticks) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - start)
        out_growth = len(d.stdout) - out_before
        print("\nfull: %s; daemon CPU %.3f of a core, %d bytes of output over %.0f s" % (
            full, share, out_growth, CPU_WINDOW))
        self.assertLess(share, CPU_SHARE_MAX, "the daemon is busy while the disks are full")
        self.assertLess(out_growth, OUTPUT_PER_MINUTE_MAX * CPU_WINDOW * FASTER / 60, "the daemon chatters while full")
        self.assertLess(full["base"], RESERVE + MIB // 2, "the base directory never filled")
        for name in self.queue_files():
            codec, width, height, frames = probe_clip(os.path.join(self.board.path(QUEUE), name))
            self.assertEqual((codec, width, height), ("h264", 320, 240), name)
            self.assertGreater(frames, 0, name)
        self.assertEqual(self.board.companion_notifications(), [])

        # The server is back: the same daemon uploads everything it kept.
        self.ftp.start()

        def delivered():
            return (not self.queue_files() and not glob.glob(self.tmp + "/*.raw") and
                    len(self.board.notification_urls()) == len(self.ledger.files()) > 0)
        wait_until(delivered, 120, "every kept clip uploaded", d, step=0.5)
        self.assertIsNone(d.proc.poll(), "the daemon ended")
        time.sleep(2)  # more walks of the queue: nothing comes twice
        d.stop()
        out, err = d.stdout, d.stderr

        # Each uploaded clip decodes, shows its own camera, was stored and
        # announced once; the notification file is whole records.
        uploaded = self.ledger.files()
        self.assertEqual(sorted(set(kept) - set(uploaded)), [], "clips kept through the outage, not uploaded")
        counts = self.ledger.store_counts()
        urls = self.board.notification_urls()
        self.assertEqual(sorted(urls), sorted(notify_url(self.board.path(QUEUE + "/" + n)) for n in uploaded))
        for name in uploaded:
            self.assertEqual(counts.get(name), 1, "%s stored %s times" % (name, counts.get(name)))
            path = os.path.join(self.ledger.dir, name)
            self.assertEqual(probe_clip(path)[:3], ("h264", 320, 240), name)
            check_clip_shows_camera(self, path, int(re.match(r"user_(\d)_", name).group(1)))

        # Every raw clip saved reached the server or was removed with a log
        # line (its raw clip, or its MP4 from the queue); none remains.
        removed = set()
        for line in EVICTION.findall(out):
            removed.update(REMOVED.findall(line))
        removed.update(SET_ASIDE.findall(out))
        not_written = set(NOT_WRITTEN.findall(out))
        saved = {raw: stem for raw, stem in SAVED_RAW.findall(err) if raw not in not_written}
        self.assertTrue(saved)
        lost = [raw for raw, stem in saved.items()
                if stem + ".mp4" not in uploaded and raw not in removed
                and self.board.path(QUEUE + "/" + stem + ".mp4") not in removed]
        self.assertEqual(lost, [], "clips gone without a word")
        self.assertEqual([n for n in os.listdir(self.tmp) if ".raw" in n and ".failed" not in n], [])
        dropped = len(saved) - len([s for s in saved.values() if s + ".mp4" in uploaded])
        self.assertGreater(dropped, 0, "no clip had to make room")
        print("requests %d, raw clips saved %d, not written %d, uploaded %d, removed %d" % (
            requests, len(saved), len(not_written), len(uploaded), dropped))

        # The logs kept within their bounds.
        logs = self.board.path(HOME + "/log")
        for path in glob.glob(logs + "/*"):
            bound = DAILY_LOG_MAX if os.path.basename(path)[:1].isdigit() else FTP_LOG_MAX
            self.assertLessEqual(os.path.getsize(path), bound, path)
        print("logs: " + ", ".join("%s %d" % (os.path.basename(p), os.path.getsize(p))
                                   for p in sorted(glob.glob(logs + "/*"))))


if __name__ == "__main__":
    unittest.main()
