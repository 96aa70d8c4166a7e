"""A slow card under an alert on the direct path, four 1280 x 720 cameras
streaming: /tmp and the base directory on a card written at 2 MB/s with a
board's dirty limit (emulation/board_card.py). The alert's four clips
(about 60 MB) keep the card busy for half a minute; meanwhile no camera is
blind (no frame delivered, by the emulated cameras' frame log) for longer
than BLIND_MAX, streaming keeps its rate, and every clip arrives."""
import os
import re
import shutil
import tempfile
import time
import unittest

import harness
from board_card import THROTTLE, Card
from faults_support import HAVE_CAMERAS, QUEUE, SERIAL, ServerLedger, fresh_board, keep_output_on_failure, notify_url
from harness import HOME, FtpServer, StreamingServer, probe_clip, wait_until

BLIND_MAX = 2.0
STREAMING_SHARE_MIN = 0.7
SAVED = re.compile(r"^camera (\d): clip \S+/tmp/(usb_\d_\S+)\.raw saved, (\d+) bytes", re.M)


def blind_and_lost(frames, start, end, rate=30):
    """Longest stretch without a delivered frame between monotonic ns
    `start` and `end`, and the frames lost: dropped, or not made while the
    camera was not streaming."""
    delivered = [ns for ns, ok in frames if ok and start <= ns <= end]
    gaps = [b - a for a, b in zip([start] + delivered, delivered + [end])]
    unseen = sum(round(g * rate / 1e9) - 1 for g in gaps if g * rate > 1.5e9)
    return max(gaps) / 1e9, unseen + sum(1 for ns, ok in frames if not ok and start <= ns <= end)


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("CM_E2E_PRIVATE_MOUNTS") == "1" and os.path.exists(THROTTLE),
                     "needs root, cgroup v1 blkio and a mount namespace of its own (tests/e2e/own_network.sh)")
class SlowCardTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="cm-card-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.board = fresh_board(self, switches="1111", serial=SERIAL)
        self.card = Card(os.path.join(self.work, "card.img"), 320)
        self.addCleanup(self.card.close)
        self.card.slow(2000000, 40 << 20)
        self.card.put(self.board.dir, os.path.join(self.work, "top"), ["/tmp", HOME])
        self.addCleanup(lambda: self.board.daemon and self.board.daemon.stop())  # before the card goes
        keep_output_on_failure(self, lambda: self.board.daemon)
        self.streaming = StreamingServer(address=harness.DEFAULT_STREAMING_SERVER)
        self.addCleanup(self.streaming.stop)
        self.ftp = FtpServer(os.path.join(self.work, "ftp"))
        self.addCleanup(self.ftp.close)

    def rate(self, start, end):
        return sum(1 for m in self.streaming.messages() if start <= m["time"] <= end) / (end - start)

    def test_an_alert_on_a_slow_card_blinds_no_camera_nor_streaming_and_loses_no_clip(self):
        frame_log = os.path.join(self.work, "frames.log")
        d = self.board.start("-usb", cameras=True, env={"EMUCAM_FRAME_LOG": frame_log})
        for cam in range(4):
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=60, stream="stderr")
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        time.sleep(1.5)  # the monitor takes the stamp it finds at its start as seen
        self.board.control("stream", 1)
        time.sleep(2)
        time.sleep(10)
        before = self.rate(time.time() - 10, time.time())
        written, alert, alert_ns = self.card.written_bytes(), time.time(), time.monotonic_ns()
        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10)
        self.board.control("alert", "off")
        saved = wait_until(lambda: len(SAVED.findall(d.stdout)) == 4 and SAVED.findall(d.stdout), 180,
                           "the alert's four raw clips written", d)
        saved_at, saved_ns = time.time(), time.monotonic_ns()
        written = self.card.written_bytes() - written
        self.board.control("stream", 1)  # renewed for the rest
        during = self.rate(alert + 3, saved_at)
        clips = sorted(stem + ".mp4" for _, stem, _ in saved)
        records = sorted(notify_url(self.board.path(QUEUE + "/" + n)) for n in clips)
        ledger = ServerLedger(self.ftp)
        wait_until(lambda: set(clips) <= set(ledger.files()) and set(records) <= set(self.board.notification_urls()),
                   240, "the alert's clips on the server", d, step=0.5)
        with open("/proc/%d/status" % d.proc.pid) as f:
            peak = int(re.search(r"^VmHWM:\s+(\d+)", f.read(), re.M).group(1))
        d.stop()

        frames = {}
        with open(frame_log) as f:
            for pid, cam, _, ok, ns in (map(int, line.split()) for line in f):
                if pid == d.proc.pid:
                    frames.setdefault(cam, []).append((ns, ok == 1))
        cams = [blind_and_lost(frames.get(c, []), alert_ns, saved_ns + 2 * 10**9) for c in range(4)]
        print("\nslow card: saves %.1f s, %.1f MB written at %.2f MB/s; blind s %s; frames lost %s; streaming "
              "%.2f messages/s before, %.2f during; peak resident %.1f MB" % (
                  saved_at - alert, written / 1e6, written / 1e6 / (saved_at - alert),
                  " ".join("%.2f" % b for b, _ in cams), " ".join(str(n) for _, n in cams), before, during,
                  peak / 1024))
        self.assertEqual([b for b, _ in cams if b > BLIND_MAX], [], "cameras blind")
        self.assertGreaterEqual(during, STREAMING_SHARE_MIN * before, "streaming slowed down by the saves")
        self.assertGreaterEqual(written, sum(int(b) for _, _, b in saved), "a clip said saved is on the card")
        self.assertEqual(sorted(u for u in self.board.notification_urls() if "notify_file_upload" in u), records)
        for name in clips:
            self.assertEqual(probe_clip(os.path.join(ledger.dir, name))[:3], ("h264", 1280, 720), name)


if __name__ == "__main__":
    unittest.main()
