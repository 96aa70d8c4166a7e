"""The converter stand-in "/usr/bin/avconv" of the emulated board runs the
daemon's converter command lines, as the system command queue hands them
to the shell, and the clips it makes still show every camera's frames."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from emucam_support import SOURCE_DIR, emucam_pattern, run

import sys
sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import board_root  # noqa: E402


class ConverterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.clips = tempfile.mkdtemp(prefix="emucam-clips-")
        # Raw clips as the daemon writes them: frames back to back as the
        # camera delivered them.
        cls.mjpeg = os.path.join(cls.clips, "mjpeg.raw")
        r = run(["v4l2-ctl", "-d", "/dev/video1", "--set-fmt-video=width=640,height=480,pixelformat=MJPG",
                 "--stream-mmap", "--stream-count=15", "--stream-to=" + cls.mjpeg])
        assert r.returncode == 0, r.stderr
        cls.yuyv = os.path.join(cls.clips, "yuyv.raw")
        r = run(["v4l2-ctl", "-d", "/dev/video2", "--set-fmt-video=width=640,height=480,pixelformat=YUYV",
                 "--stream-mmap", "--stream-count=6", "--stream-to=" + cls.yuyv])
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.clips, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="emucam-board-")
        board_root.make(self.root)
        self.avconv = os.path.join(self.root, "usr/bin/avconv")
        self.queue = os.path.join(self.root, "home/Tarvisel/queue")
        self.tmp = os.path.join(self.root, "tmp")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def convert(self, template, source, name="usb_1_20240105100000_000001", **env):
        """Runs a daemon command line through the shell: convert, remove the
        raw clip, move the MP4 file into the queue."""
        raw = os.path.join(self.tmp, name + ".raw")
        shutil.copy(source, raw)
        tmp_mp4 = os.path.join(self.tmp, name + ".mp4")
        queued = os.path.join(self.queue, name + ".mp4")
        cmd = template.format(avconv=self.avconv, raw=raw, tmp=tmp_mp4) + ";rm %s;mv %s %s" % (raw, tmp_mp4, queued)
        r = subprocess.run(cmd, shell=True, capture_output=True, text=True, timeout=120,
                           env=dict(os.environ, **env))
        self.assertFalse(os.path.exists(raw))
        return r, queued

    def assert_clip(self, path, camera, frames_at_least, size=None):
        self.assertTrue(os.path.exists(path))
        w, h, frames = emucam_pattern.gray_frames(path)
        if size:
            self.assertEqual((w, h), size)
        readings = [emucam_pattern.read_pattern(f, w, h) for f in frames]
        self.assertGreaterEqual(len(readings), frames_at_least)
        self.assertNotIn(None, readings)
        self.assertEqual({r[0] for r in readings}, {camera})
        counters = [r[1] for r in readings]
        self.assertEqual(counters, sorted(counters))
        return counters

    def test_board_root_links_the_stand_in(self):
        self.assertTrue(os.path.islink(self.avconv))
        self.assertEqual(os.path.realpath(self.avconv), os.path.realpath(os.path.join(SOURCE_DIR, "emulation/avconv")))

    def test_default_command_line(self):
        # Format flags "-f mjpeg ", no rate, szFPS, empty size and bit rate.
        r, clip = self.convert("{avconv} -f mjpeg  -i {raw} -r 30000/1001   -y {tmp}", self.mjpeg)
        self.assertEqual(r.returncode, 0, r.stderr)
        counters = self.assert_clip(clip, 1, 15, (640, 480))
        self.assertEqual(counters[0], 0)
        self.assertEqual(counters[-1], 14)
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name,pix_fmt", "-of", "json", clip],
                               capture_output=True, text=True).stdout
        stream = json.loads(probe)["streams"][0]
        self.assertEqual((stream["codec_name"], stream["pix_fmt"]), ("h264", "yuv420p"))

    def test_rate_size_bitrate_and_aspect(self):
        r, clip = self.convert("{avconv} -f mjpeg -r 30 -i {raw} -r 25 -s 320x240 -b 1024k -y -aspect 16:9 {tmp}",
                               self.mjpeg)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_clip(clip, 1, 10, (320, 240))
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=display_aspect_ratio", "-of", "csv=p=0",
                                clip], capture_output=True, text=True).stdout
        self.assertEqual(probe.strip(), "16:9")

    def test_copy_keeps_the_camera_frames(self):
        r, clip = self.convert("{avconv} -f mjpeg  -i {raw} -vcodec copy {tmp}", self.mjpeg)
        self.assertEqual(r.returncode, 0, r.stderr)
        counters = self.assert_clip(clip, 1, 15)
        self.assertEqual(counters, list(range(15)))

    def test_yuyv_clip_with_the_size_from_the_output(self):
        r, clip = self.convert("{avconv} -f yuyv  -i {raw} -r 30000/1001 -s 640x480  -y {tmp}", self.yuyv)
        self.assertEqual(r.returncode, 0, r.stderr)
        # Raw input is read at 25 frames a second and written at 29.97:
        # some frames repeat, none is lost.
        self.assertEqual(sorted(set(self.assert_clip(clip, 2, 6, (640, 480)))), list(range(6)))

    def test_yuyv_clip_size_found_from_the_frames(self):
        # 6 frames of 640x480 are also 24 of 320x240 or 2 of 1280x720 by length.
        r, clip = self.convert("{avconv} -f yuyv  -i {raw} -r 30000/1001   -y {tmp}", self.yuyv)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_clip(clip, 2, 6, (640, 480))

    def test_yuyv_clip_of_no_known_size_fails_plainly(self):
        odd = os.path.join(self.clips, "odd.raw")
        with open(odd, "wb") as f:
            f.write(b"\x80" * 1001)
        r, clip = self.convert("{avconv} -f yuyv  -i {raw} -r 30000/1001   -y {tmp}", odd)
        self.assertIn("frame size", r.stderr)
        self.assertFalse(os.path.exists(clip))

    def test_command_lines_are_logged_when_asked(self):
        log = os.path.join(self.root, "avconv.log")
        r, _ = self.convert("{avconv} -f mjpeg  -i {raw} -vcodec copy {tmp}", self.mjpeg, EMUCAM_AVCONV_LOG=log)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(log) as f:
            args = json.loads(f.readline())
        self.assertEqual(args[:2], ["-f", "mjpeg"])
        self.assertIn("copy", args)


if __name__ == "__main__":
    unittest.main()
