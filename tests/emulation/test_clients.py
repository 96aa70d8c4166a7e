"""Real V4L2 clients that nobody here wrote capture from the emulated
cameras through the preload library, and the block pattern is read back
from what they got."""
import os
import re
import shutil
import tempfile
import unittest

from emucam_support import OPENCV_CAPTURE, emucam_pattern, run


class Tmp(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="emucam-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)


def v4l2ctl_stream(device, count, out, fmt=None, config=None):
    cmd = ["v4l2-ctl", "-d", device]
    if fmt:
        cmd.append("--set-fmt-video=" + fmt)
    cmd += ["--stream-mmap", "--stream-count=%d" % count, "--stream-to=" + out]
    return run(cmd, config=config)


def assert_consecutive(test, readings, camera):
    test.assertTrue(readings)
    test.assertNotIn(None, readings)
    test.assertEqual({r[0] for r in readings}, {camera})
    counters = [r[1] for r in readings]
    test.assertEqual(counters, sorted(counters))
    test.assertEqual(len(set(counters)), len(counters))


class V4l2CtlTest(Tmp):
    def test_device_information(self):
        r = run(["v4l2-ctl", "-d", "/dev/video3", "--all", "--list-formats-ext"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("uvcvideo", r.stdout)
        self.assertIn("Video Capture", r.stdout)
        self.assertIn("Streaming", r.stdout)
        self.assertIn("'MJPG'", r.stdout)
        self.assertIn("'YUYV'", r.stdout)
        self.assertIn("1280x720", r.stdout)
        self.assertRegex(r.stdout, r"Interval: Discrete 0\.033s \(30\.000 fps\)")

    def test_streams_motion_jpeg_at_1280x720(self):
        out = self.path("video1.mjpeg")
        r = v4l2ctl_stream("/dev/video1", 12, out, "width=1280,height=720,pixelformat=MJPG")
        self.assertEqual(r.returncode, 0, r.stderr)
        w, h, frames = emucam_pattern.gray_frames(out, "mjpeg")
        self.assertEqual((w, h), (1280, 720))
        self.assertEqual(len(frames), 12)
        assert_consecutive(self, [emucam_pattern.read_pattern(f, w, h) for f in frames], 1)

    def test_streams_yuyv(self):
        out = self.path("video2.yuyv")
        r = v4l2ctl_stream("/dev/video2", 5, out, "width=640,height=480,pixelformat=YUYV")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(out), 5 * 640 * 480 * 2)
        assert_consecutive(self, emucam_pattern.read_clip(out, "yuyv", (640, 480)), 2)

    def test_h264_request_gets_a_format_the_camera_has(self):
        r = run(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=640,height=480,pixelformat=H264",
                 "--get-fmt-video"])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("'MJPG'", r.stdout)

    def test_frames_without_huffman_tables_reach_ffmpeg_whole(self):
        out = self.path("nohuff.mjpeg")
        r = v4l2ctl_stream("/dev/video0", 6, out, config="0 MJPG 640x480 30 no-huffman")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(out, "rb") as f:
            self.assertNotIn(b"\xff\xc4", f.read())
        assert_consecutive(self, emucam_pattern.read_clip(out, "mjpeg"), 0)

    def test_busy_format_is_seen_by_the_client(self):
        r = run(["v4l2-ctl", "-d", "/dev/video0", "--set-fmt-video=width=1280,height=720,pixelformat=MJPG"],
                config="0 MJPG 640x480 30 busy=1")
        self.assertIn("Device or resource busy", r.stderr + r.stdout)

    def test_missing_and_regular_nodes(self):
        r = run(["v4l2-ctl", "-d", "/dev/video1", "--all"], config="0 MJPG 640x480 30\n1 missing")
        self.assertNotEqual(r.returncode, 0)
        r = run(["stat", "-c", "%F", "/dev/video2"], config="2 regular")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "regular empty file")


class OpenCvCaptureTest(Tmp):
    LINE = re.compile(r"frame (\d+) (\d+)x(\d+) camera (\d+) counter (\d+)")

    def capture(self, *args, config=None):
        r = run([OPENCV_CAPTURE] + [str(a) for a in args], config=config)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        return r.stdout

    def readings(self, out):
        return [(int(m.group(4)), int(m.group(5))) for m in self.LINE.finditer(out)]

    def test_default_capture(self):
        out = self.capture(2, 6)
        self.assertRegex(out, r"opened \w{4} 640x480")
        readings = self.readings(out)
        self.assertEqual(len(readings), 6, out)
        assert_consecutive(self, readings, 2)

    def test_motion_jpeg_at_1280x720(self):
        out = self.capture(3, 4, "MJPG", 1280, 720)
        self.assertIn("opened MJPG 1280x720", out)
        self.assertEqual(len(self.readings(out)), 4, out)
        assert_consecutive(self, self.readings(out), 3)

    def test_frames_without_huffman_tables(self):
        out = self.capture(0, 4, config="0 MJPG 640x480 30 no-huffman")
        self.assertIn("opened MJPG", out)
        assert_consecutive(self, self.readings(out), 0)
        self.assertEqual(len(self.readings(out)), 4, out)

    def test_damaged_frames_show_no_pattern(self):
        out = self.capture(0, 8, config="0 MJPG 640x480 30 corrupt=2")
        readings = self.readings(out)
        unreadable = out.count("unreadable")
        self.assertGreaterEqual(unreadable, 3, out)
        self.assertGreaterEqual(len(readings), 3, out)
        # Every second frame (counter + 1 even) is damaged; the rest come whole.
        for _, counter in readings:
            self.assertEqual((counter + 1) % 2, 1)

    def test_disconnect_ends_the_frames(self):
        out = self.capture(0, 30, config="0 MJPG 640x480 30 disconnect=0.3:30")
        self.assertGreaterEqual(len(self.readings(out)), 3, out)
        self.assertIn("frame 29 none", out)


if __name__ == "__main__":
    unittest.main()
