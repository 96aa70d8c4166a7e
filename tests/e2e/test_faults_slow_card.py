"""A slow card on the direct path: four cameras, streaming on, an alert.

The board's /tmp and base directory are on one ext4 file system on a loop
device (mounted in the test's private mount namespace, own_network.sh)
whose writes are throttled to 2 MB/s: the loop device's throttle is set in
the blkio hierarchy's root group, so that the kernel's writeback is
throttled as well as synced writes (cgroup v1 throttles only a group's own
writes, and writeback is issued from the root group). This machine keeps
gigabytes of dirty pages in its page cache before it holds a writer back,
where a board of 512 MB does so at a few tens of MB: the loop device is
given the board's dirty limit (its backing device's strict limit at 40 MB,
20 % of the 200 MB or so that a board running the daemon and a converter
has left for the page cache: writers are held back from about 30 MB of
dirty pages on). Four emulated cameras of 1280 x 720 Motion-JPEG at 30
frames a second make alert clips of about 15 MB each, 60 MB and half a
minute of the card for the four.

While the clips go to the card:
  - no camera is blind for longer than BLIND_MAX (no frame delivered: the
    emulated cameras' frame log has every frame made, delivered or
    dropped, with the time it was made);
  - streaming keeps STREAMING_SHARE_MIN of its rate before the alert;
  - every clip reaches the FTP server, and its record.
The figures (seconds blind and frames lost per camera, streaming messages
per second before and during the saves, the card's write rate, the
daemon's peak resident memory) are printed."""
import os
import re
import tempfile
import shutil
import threading
import time
import unittest

import harness
from faults_support import (HAVE_CAMERAS, QUEUE, SERIAL, Card, ServerLedger, fresh_board,
                            keep_output_on_failure, notify_url, proc_sample, put_on_card)
from harness import HOME, FtpServer, StreamingServer, probe_clip, wait_until

CARD_MB = 320
CARD_BYTES_PER_SECOND = 2000000
DIRTY_LIMIT_BYTES = 40 << 20
ROOT_THROTTLE = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device"
CAMERAS = 4
RATE = 30
BLIND_MAX = 2.0
STREAMING_SHARE_MIN = 0.7
BASELINE_SECONDS = 10
SAVED = re.compile(r"^camera (\d): clip \S+/tmp/(usb_\d_\S+)\.raw saved, (\d+) bytes", re.M)


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def read(path):
    with open(path) as f:
        return f.read()


class SlowCard(Card):
    """The card, throttled, with the board's dirty limit; both undone by
    close() (the loop device is the machine's, and the next user of its
    number must find it as it was)."""

    def __init__(self, image):
        super().__init__(image, CARD_MB)
        self.bdi = "/sys/class/bdi/" + self.devno
        write(ROOT_THROTTLE, "%s %d" % (self.devno, CARD_BYTES_PER_SECOND))
        write(self.bdi + "/strict_limit", "1")
        write(self.bdi + "/max_bytes", str(DIRTY_LIMIT_BYTES))
        with open("/sys/block/%s/stat" % os.path.basename(self.loop)) as f:
            self.sectors_written = int(f.read().split()[6])

    def written_bytes(self):
        with open("/sys/block/%s/stat" % os.path.basename(self.loop)) as f:
            return (int(f.read().split()[6]) - self.sectors_written) * 512

    def close(self):
        if self.loop:
            write(ROOT_THROTTLE, "%s 0" % self.devno)
            write(self.bdi + "/strict_limit", "0")
            write(self.bdi + "/max_ratio", "100")
        super().close()


def frame_log(path, pid):
    """{camera: [(monotonic ns, delivered)]} of process `pid`."""
    out = {}
    with open(path) as f:
        for line in f:
            p, camera, _, delivered, ns = (int(w) for w in line.split())
            if p == pid:
                out.setdefault(camera, []).append((ns, delivered == 1))
    return out


def blind_and_lost(frames, start, end):
    """(longest time without a delivered frame, frames lost) of one camera
    between monotonic ns `start` and `end`: frames made but dropped, and
    the frames a blind stretch (streaming off) would have held."""
    period = 1e9 / RATE
    delivered = [ns for ns, ok in frames if ok and start <= ns <= end]
    dropped = sum(1 for ns, ok in frames if not ok and start <= ns <= end)
    gaps = [b - a for a, b in zip([start] + delivered, delivered + [end])]
    unseen = sum(max(0, round(g / period) - 1) for g in gaps if g > 1.5 * period)
    return max(gaps) / 1e9, dropped + unseen


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("CM_E2E_PRIVATE_MOUNTS") == "1"
                     and os.path.exists(ROOT_THROTTLE),
                     "needs root in a mount namespace of its own (tests/e2e/own_network.sh) and cgroup v1 blkio")
class SlowCardTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="cm-card-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.board = fresh_board(self, switches="1111", serial=SERIAL)
        self.card = SlowCard(os.path.join(self.work, "card.img"))
        self.addCleanup(self.card.close)
        put_on_card(self.board, self.card, os.path.join(self.work, "top"), ["/tmp", HOME])
        self.addCleanup(lambda: self.board.daemon and self.board.daemon.stop())  # before the card goes
        keep_output_on_failure(self, lambda: self.board.daemon)
        try:
            self.streaming = StreamingServer(address=harness.DEFAULT_STREAMING_SERVER)
        except RuntimeError as e:
            self.fail("the reference streaming server cannot listen on the default address: %s" % e)
        self.addCleanup(self.streaming.stop)
        self.ftp = FtpServer(os.path.join(self.work, "ftp"))
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)

    def upload_records(self):
        return [u for u in self.board.notification_urls() if u.startswith("/notify_file_upload.php")]

    def messages_between(self, start, end):
        return sum(1 for m in self.streaming.messages() if start <= m["time"] <= end and m["deviceid"] == SERIAL)

    def test_an_alert_on_a_slow_card_blinds_no_camera_nor_streaming_and_loses_no_clip(self):
        frames_path = os.path.join(self.work, "frames.log")
        d = self.board.start("-usb", cameras=True, env={"EMUCAM_FRAME_LOG": frames_path})
        for cam in range(CAMERAS):
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=60, stream="stderr")
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        time.sleep(1.5)  # the monitor takes the stamp it finds at its start as seen
        self.board.control("stream", 1)
        d.wait_for(r"capture module received streaming request\. Streaming: 1", timeout=10)
        time.sleep(2)
        base_start = time.time()
        time.sleep(BASELINE_SECONDS)
        baseline = self.messages_between(base_start, time.time()) / (time.time() - base_start)

        peak = {"rss": 0}
        sampling = threading.Event()

        def sample():
            while not sampling.wait(0.25):
                s = proc_sample(d.proc.pid)
                if s:
                    peak["rss"] = max(peak["rss"], s[1])
        sampler = threading.Thread(target=sample, daemon=True)
        sampler.start()
        written_before = self.card.written_bytes()
        alert_wall, alert_mono = time.time(), time.monotonic_ns()
        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10)
        self.board.control("alert", "off")
        saved = wait_until(lambda: len(SAVED.findall(d.stdout)) >= CAMERAS and SAVED.findall(d.stdout), 180,
                           "the alert's raw clips written", d, step=0.1)
        saved_wall, saved_mono = time.time(), time.monotonic_ns()
        written = self.card.written_bytes() - written_before
        self.board.control("stream", 1)  # the hold renewed for the uploads
        during = self.messages_between(alert_wall + 3, saved_wall) / max(saved_wall - alert_wall - 3, 1e-3)

        clips = sorted(stem + ".mp4" for _, stem, _ in saved)
        wait_until(lambda: set(clips) <= set(self.ledger.files()) and len(self.upload_records()) >= CAMERAS,
                   240, "the alert's clips on the server", d, step=0.5)
        sampling.set()
        sampler.join()
        d.stop()

        log = frame_log(frames_path, d.proc.pid)
        per_camera = {cam: blind_and_lost(log.get(cam, []), alert_mono, saved_mono + 2 * 10**9)
                      for cam in range(CAMERAS)}
        seconds = saved_wall - alert_wall
        print("\nslow card: saves took %.1f s, the card wrote %.1f MB at %.2f MB/s; per camera blind s %s, frames "
              "lost %s; streaming %.2f messages/s before, %.2f during the saves; peak resident %.1f MB" % (
                  seconds, written / 1e6, written / 1e6 / seconds,
                  " ".join("%.2f" % per_camera[c][0] for c in range(CAMERAS)),
                  " ".join("%d" % per_camera[c][1] for c in range(CAMERAS)), baseline, during, peak["rss"] / 1024))

        self.assertEqual(sorted(int(c) for c, _, _ in saved), list(range(CAMERAS)))
        for cam in range(CAMERAS):
            self.assertLessEqual(per_camera[cam][0], BLIND_MAX, "camera %d blind" % cam)
        self.assertGreaterEqual(during, STREAMING_SHARE_MIN * baseline, "streaming slowed down by the saves")
        # A clip said saved is on the card.
        self.assertGreaterEqual(written, sum(int(b) for _, _, b in saved))
        self.assertEqual(sorted(self.upload_records()), sorted(notify_url(self.board.path(QUEUE + "/" + n)) for n in clips))
        for name in clips:
            self.assertEqual(probe_clip(os.path.join(self.ledger.dir, name))[:3], ("h264", 1280, 720), name)


if __name__ == "__main__":
    unittest.main()
