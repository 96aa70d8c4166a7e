"""The roads of a user video request and of an alert on the direct V4L2 path
("-usb"), from the companion to the notification record: capture_control
writes the request, each selected camera's worker saves a raw clip, the
system command thread has the converter (the package's front end on Debian's ffmpeg) turn it
into an MP4 file in the upload queue, the FTP thread uploads it with
Debian's ncftpput, deletes it and leaves one notification record, which the
companion reads back.

Four emulated cameras are attached; inputs 0 and 2 are switched off on the
board, so only cameras 1 and 3 record. Every clip that reaches the FTP
server is decoded with ffprobe and its frames read back: each must show its
own camera, frame after frame, in order."""
import json
import os
import re
import subprocess
import sys
import time
import unittest

import harness
from harness import Board, FtpServer, QUEUE_DIR

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
try:
    import emucam_pattern  # noqa: E402
except ImportError:
    emucam_pattern = None

SERIAL = "ROADMP401"
SELECTED = (1, 3)
CLIP = re.compile(r"^(user|usb)_([0-3])_\d{14}_\d{6}\.mp4$")


def probe(path):
    out = subprocess.run(["/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=codec_name,width,height", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    s = json.loads(out)["streams"][0]
    return s["codec_name"], s["width"], s["height"]


@unittest.skipUnless(os.path.exists(harness.EMUCAM_PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras are not part of this build")
class DirectPathClipRoadsTest(unittest.TestCase):
    def setUp(self):
        self.board = Board(serial=SERIAL, switches="0101")
        self.addCleanup(self.board.cleanup)
        self.server_dir = self.board.path("/ftp-server")
        self.server = FtpServer(self.server_dir)
        self.addCleanup(self.server.close)

    def wait_until(self, condition, what, timeout):
        harness.wait_until(condition, timeout, what, self.daemon, step=0.2)

    def on_server(self, kind):
        """{camera: name} of the whole files of one kind on the server."""
        d = os.path.join(self.server_dir, SERIAL)
        found = {}
        for name in os.listdir(d) if os.path.isdir(d) else []:
            m = CLIP.match(name)
            if m and m.group(1) == kind:
                self.assertNotIn(int(m.group(2)), found, "two %s clips of one camera: %s" % (kind, name))
                found[int(m.group(2))] = name
        return found

    def check_clip(self, name, camera):
        path = os.path.join(self.server_dir, SERIAL, name)
        # The cameras deliver 1280 x 720 Motion-JPEG (the daemon's default
        # format); the converter makes H.264 of the same size.
        self.assertEqual(probe(path), ("h264", 1280, 720), name)
        readings = emucam_pattern.read_clip(path)
        self.assertTrue(readings, name)
        self.assertNotIn(None, readings, "a frame without a readable pattern in " + name)
        self.assertEqual({c for c, _ in readings}, {camera}, name)
        counters = [n for _, n in readings]
        harness.check_frame_counters(self, counters, name, self.board.camera_drops(camera, self.daemon.proc.pid))
        return counters[-1] - counters[0] + 1

    def test_user_request_and_alert_give_converted_clips_uploaded_and_announced(self):
        d = self.daemon = self.board.start("-usb", cameras=True)
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        for cam in SELECTED:
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=30, stream="stderr")

        self.board.control("user-video")
        d.wait_for(r"capture module received an user video recording", timeout=10)
        self.wait_until(lambda: len(self.on_server("user")) == len(SELECTED), "the user clips on the server", 120)

        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10)
        self.board.control("alert", "off")
        self.wait_until(lambda: len(self.on_server("usb")) == len(SELECTED), "the alert clips on the server", 120)
        self.wait_until(lambda: len(self.board.companion_notifications()) >= 2 * len(SELECTED),
                        "a notification record per clip", 20)
        time.sleep(2.5)  # two more walks of the queue: nothing more may come

        users, alerts = self.on_server("user"), self.on_server("usb")
        self.assertEqual(sorted(users), list(SELECTED))
        self.assertEqual(sorted(alerts), list(SELECTED))
        self.assertEqual(len(os.listdir(os.path.join(self.server_dir, SERIAL))), 2 * len(SELECTED))
        for cam in SELECTED:
            # A user clip runs on to nearly the end of the countdown the clip
            # maker sets (at least three seconds of frames at 30 a second); an
            # alert clip holds its capture loop up to about 3 s after the alert.
            self.assertGreaterEqual(self.check_clip(users[cam], cam), 85)
            # An alert clip holds the running loop's frames: a loop that
            # ended just before the save leaves a short one (see test_usb_path).
            self.assertGreaterEqual(self.check_clip(alerts[cam], cam), 1)

        names = list(users.values()) + list(alerts.values())
        expected = sorted("/notify_file_upload.php?deviceid=%s&fpath=%s/%s" % (SERIAL, self.board.path(QUEUE_DIR), n)
                          for n in names)
        self.assertEqual(sorted(self.board.companion_notifications()), expected)
        # Every raw clip converted and removed, the queue empty, and each
        # conversion run exactly once and successfully.
        self.assertEqual([n for n in os.listdir(self.board.path("/tmp")) if n.endswith((".raw", ".mp4"))], [])
        self.assertEqual(os.listdir(self.board.path(QUEUE_DIR)), [])
        out = d.stdout
        self.assertEqual(out.count("running cmd: "), 2 * len(SELECTED))
        self.assertEqual(out.count("cmd result: 0\n"), 2 * len(SELECTED))
        self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    unittest.main()
