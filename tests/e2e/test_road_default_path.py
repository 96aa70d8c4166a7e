"""The road of an alert on the default capture path, from the companion to
the notification record: the companion raises the alert with capture_control,
the daemon turns the picture store of every selected input into one
Motion-JPEG AVI clip, the FTP thread uploads each clip with Debian's ncftpput
to the emulated board's FTP server, deletes it and leaves one notification
record per clip, which the companion reads back with capture_control.

Two emulated cameras (video0, video1) feed the two capture threads; input 1
is switched off on the board, so inputs 0, 2 and 3 get clips. Every frame
of a clip is read back: it must be a picture of one of the two cameras."""
import os
import re
import sys
import time
import unittest

import harness
from harness import Board, FtpServer, HOME, QUEUE_DIR

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
try:
    import emucam_pattern  # noqa: E402
except ImportError:
    emucam_pattern = None

SERIAL = "ROADAVI01"
CAMERAS = "0 MJPG 640x480 30; 1 MJPG 640x480 30"  # video2 and video3 missing
SELECTED = (0, 2, 3)
CAPTURED = re.compile(r"^video([01]):Captured in \d+ms!!  Memory is \d+ MB, cvf=-?\d+, input: ([0-3])$", re.M)
CLIP = re.compile(r"^user([0-3])_\d{14}_\d{6}\.avi$")


@unittest.skipUnless(os.path.exists(harness.EMUCAM_PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras are not part of this build")
class DefaultPathAlertRoadTest(unittest.TestCase):
    def setUp(self):
        self.board = Board(serial=SERIAL, switches="1011")
        self.addCleanup(self.board.cleanup)
        self.server_dir = self.board.path("/ftp-server")
        self.server = FtpServer(self.server_dir)
        self.addCleanup(self.server.close)

    def wait_until(self, condition, what, timeout):
        harness.wait_until(condition, timeout, what, self.daemon, step=0.1)

    def on_server(self):
        """Whole files on the server (the tool stores under ".uploading" first)."""
        d = os.path.join(self.server_dir, SERIAL)
        if not os.path.isdir(d):
            return []
        return sorted(n for n in os.listdir(d) if not n.endswith(".uploading"))

    def test_alert_gives_one_clip_per_selected_input_uploaded_and_announced_once(self):
        d = self.daemon = self.board.start(cameras=CAMERAS)
        d.wait_for("Capture video thread created successfully!", timeout=30)
        # Two pictures of every selected input in the store.
        self.wait_until(lambda: all(sum(1 for _, k in CAPTURED.findall(d.stdout) if int(k) == i) >= 2
                                    for i in SELECTED), "pictures of every selected input", 60)

        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10)
        # The companion ends the alert; the daemon is in its 45 s pause.
        self.board.control("alert", "off")

        self.wait_until(lambda: len(self.on_server()) >= len(SELECTED) and
                        len(self.board.companion_notifications()) >= len(SELECTED),
                        "three clips uploaded and announced", 60)
        time.sleep(2.5)  # two more walks of the queue: nothing more may come
        names = self.on_server()
        self.assertEqual(len(names), len(SELECTED), names)
        inputs = sorted(int(CLIP.match(n).group(1)) for n in names if CLIP.match(n))
        self.assertEqual(inputs, list(SELECTED), names)

        out = d.stdout
        self.assertEqual(out.count("Creating usre video thread!"), 1)
        added = {int(k): int(n) for n, k in re.findall(r"^images to add: (\d+) for input: (\d)$", out, re.M)}
        self.assertEqual(sorted(added), list(SELECTED))
        for name in names:
            path = os.path.join(self.server_dir, SERIAL, name)
            inp = int(CLIP.match(name).group(1))
            codec, width, height, frames = harness.probe_clip(path)
            self.assertEqual((codec, width, height), ("mjpeg", 640, 480), name)
            self.assertGreaterEqual(frames, 2, name)
            self.assertEqual(frames, added[inp], name)
            readings = emucam_pattern.read_clip(path)
            self.assertEqual(len(readings), frames, name)
            self.assertNotIn(None, readings, "a frame without a readable pattern in " + name)
            self.assertLessEqual({camera for camera, _ in readings}, {0, 1}, name)

        # One record per clip, naming the clip's local path in the queue, as
        # the companion reads them.
        expected = sorted("/notify_file_upload.php?deviceid=%s&fpath=%s/%s" % (SERIAL, self.board.path(QUEUE_DIR), n)
                          for n in names)
        self.assertEqual(sorted(self.board.companion_notifications()), expected)
        self.assertEqual(os.path.getsize(self.board.path(harness.NOTIFY_FILE)), 1000 * len(names))
        # Nothing left in the queue, not even an in-progress name.
        self.assertEqual(os.listdir(self.board.path(QUEUE_DIR)), [])
        self.assertIsNone(d.proc.poll())
        self.assertEqual(self.board.read(HOME + "/capture_control.ini", "rb")[0], 0)


if __name__ == "__main__":
    unittest.main()
