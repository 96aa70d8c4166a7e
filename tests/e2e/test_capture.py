"""The default capture path end to end: the daemon with two emulated cameras
and "-allcamson" keeps pictures of all four inputs, and an alert or a user
request written into the control file turns them into one Motion-JPEG AVI
per input in the upload queue.

Every frame of an emulated camera carries its camera number and frame
counter in a block pattern, so each clip is read back with Debian's ffmpeg
and checked picture by picture against the daemon's own capture lines:
which device took each picture and which input it was filed under.

The daemon runs under faketime at ten times the speed, so its 1.3 s
capture pauses pass quickly; the cameras keep their real frame rate."""
import glob
import os
import re
import time
import unittest

import harness
from harness import Board

EMUCAM_PRELOAD = getattr(harness, "EMUCAM_PRELOAD", os.path.join(harness.BUILD_DIR, "emulation", "libemucam.so"))
FAKETIME_LIBS = glob.glob("/usr/lib/*/faketime/libfaketime.so.1")
CAMERAS = "0 MJPG 640x480 30; 1 MJPG 640x480 30"  # video2 and video3 missing
SPEEDUP = 10
QUEUE = harness.HOME + "/queue"
CLIP_NAME = re.compile(r"^user([0-3])_\d{14}_\d{6}\.avi$")
CAPTURED = re.compile(r"^video([01]):Captured in \d+ms!!  Memory is \d+ MB, cvf=-?\d+, input: ([0-3])$", re.M)
CLIP_RUN = "Creating usre video thread!"

try:
    import emucam_pattern
except ImportError:  # the emulated cameras are not part of this tree
    emucam_pattern = None


def is_subsequence(part, whole):
    it = iter(whole)
    return all(any(x == y for y in it) for x in part)


@unittest.skipUnless(os.path.exists(EMUCAM_PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras (libemucam.so, emucam_pattern.py) are not built in this tree")
class CapturePathTest(unittest.TestCase):
    def setUp(self):
        self.assertTrue(FAKETIME_LIBS, "faketime is not installed")
        self.board = Board(switches="0000")  # "-allcamson" selects all four inputs anyway
        self.addCleanup(self.board.cleanup)
        # Uploads fail, so the clips stay in the queue to be read, and this
        # test never reaches an FTP server another test may have started.
        self.board.use_upload_tool("/bin/false")
        self.board.write_control()

    def start(self, *args):
        env = {"EMUCAM_CONFIG": CAMERAS}
        preload = EMUCAM_PRELOAD
        env["FAKETIME"] = "+0 x%d" % SPEEDUP
        preload += " " + FAKETIME_LIBS[0]
        d = self.board.start("-allcamson", *args, env=env, preload=preload)
        d.wait_for("Capture video thread created successfully!", timeout=30)
        return d

    def wait_until(self, condition, what, timeout=60):
        harness.wait_until(condition, timeout, what, self.board.daemon, step=0.05)

    def wait_for_pictures_of_every_input(self, d, after=0):
        """Waits until both cameras have filed two pictures under every input
        (after the output position `after`)."""
        def enough():
            seen = CAPTURED.findall(d.stdout[after:])
            return all(sum(1 for v, k in seen if v == str(cam) and k == str(inp)) >= 2
                       for cam in (0, 1) for inp in range(4))
        self.wait_until(enough, "pictures of both cameras in every input")

    def queue(self):
        return sorted(os.listdir(self.board.path(QUEUE)))

    def clips_of_run(self, d, run, before):
        """Waits for clip run number `run` (1-based) to end; returns {input: path} of its new clips."""
        def ended():
            out = d.stdout
            return (out.count(CLIP_RUN) >= run and out.count("video created with") >= 4 * run)
        self.wait_until(ended, "clip run %d" % run)
        new = [n for n in self.queue() if n not in before]
        self.assertEqual(len(new), 4, new)
        clips = {}
        for name in new:
            m = CLIP_NAME.match(name)
            self.assertIsNotNone(m, "not a complete clip name: " + name)
            clips[int(m.group(1))] = self.board.path(QUEUE + "/" + name)
        self.assertEqual(sorted(clips), [0, 1, 2, 3])
        return clips

    def read_clips(self, clips, d, run):
        """Frame readings {input: [(camera, counter)...]} of a run's clips, each
        checked to decode as Motion-JPEG at the cameras' frame size with as many
        frames as the daemon added."""
        out = d.stdout
        start = 0
        for _ in range(run):
            start = out.index(CLIP_RUN, start) + 1
        added = {int(k): int(n) for n, k in re.findall(r"^images to add: (\d+) for input: (\d)$", out[start:], re.M)[:4]}
        readings = {}
        for inp, path in clips.items():
            codec, width, height, count = harness.probe_clip(path)
            self.assertEqual((codec, width, height), ("mjpeg", 640, 480), path)
            self.assertEqual(count, added[inp], path)
            frames = emucam_pattern.read_clip(path)
            self.assertEqual(len(frames), count)
            self.assertNotIn(None, frames, "a frame without a readable pattern in " + path)
            readings[inp] = frames
        return readings

    def check_inputs_in_capture_order(self, readings, d):
        """Each camera's pictures, ordered by its frame counter, sit in the clips
        of the inputs its capture thread filed them under, in that order: every
        picture stored before the first run began, later ones only while their
        input had not yet been taken."""
        out = d.stdout
        run_at = out.index(CLIP_RUN)
        run_end = run_at
        for _ in range(4):
            run_end = out.index("video created with", run_end) + 1
        for cam in (0, 1):
            frames = sorted((counter, inp) for inp, fs in readings.items() for c, counter in fs if c == cam)
            counters = [c for c, _ in frames]
            self.assertEqual(len(counters), len(set(counters)), "a picture in two clips")
            labels = [inp for _, inp in frames]
            filed = [int(k) for v, k in CAPTURED.findall(out[:run_end]) if v == str(cam)]
            before = [int(k) for v, k in CAPTURED.findall(out[:run_at]) if v == str(cam)]
            # The last picture before the run may still have been on its way in.
            self.assertEqual(labels[:len(before) - 1], before[:-1], "camera %d" % cam)
            self.assertTrue(is_subsequence(labels, filed), "camera %d: %s not within %s" % (cam, labels, filed))

    def test_memory_store_user_requests_and_alert(self):
        d = self.start("-ms")
        self.wait_for_pictures_of_every_input(d)
        self.board.write_control(user_video=41)
        first = self.clips_of_run(d, 1, [])
        readings = self.read_clips(first, d, 1)
        self.check_inputs_in_capture_order(readings, d)
        self.assertNotIn("No videowrite here!", d.stdout)

        # The same command value again makes no second run.
        self.board.write_control(user_video=41)
        time.sleep(1.5)
        self.assertEqual(d.stdout.count(CLIP_RUN), 1)

        # An alert once every input has new pictures: a second run of later
        # pictures only, the first run's pictures having left the store.
        self.wait_for_pictures_of_every_input(d, after=d.stdout.rindex("video created with"))
        self.board.write_control(user_video=41, alert=1)
        second = self.clips_of_run(d, 2, self.queue_names(first))
        later = self.read_clips(second, d, 2)
        for cam in (0, 1):
            used = [n for fs in readings.values() for c, n in fs if c == cam]
            again = [n for fs in later.values() for c, n in fs if c == cam]
            self.assertTrue(again, "camera %d has no picture in the second run" % cam)
            self.assertGreater(min(again), max(used), "camera %d: a used picture came back" % cam)
        self.assertEqual(d.stdout.count("capture module received an user video recording"), 1)
        self.assertEqual(d.stdout.count("capture module received an alert!"), 1)

    def test_file_store_alert(self):
        d = self.start("-ds")
        self.wait_for_pictures_of_every_input(d)
        self.board.write_control(alert=1)
        d.wait_for("sleep for 45 seconds after creating videos!")
        self.board.write_control(alert=0)
        clips = self.clips_of_run(d, 1, [])
        readings = self.read_clips(clips, d, 1)
        self.check_inputs_in_capture_order(readings, d)

        # Frame j of a clip is the picture the writer named for it: a file of
        # the input's own directory, taken by the device the frame shows, and
        # deleted once the clip was complete.
        out = d.stdout
        sections = out.split("Creating video of input: ")[1:5]
        for section in sections:
            inp = int(section[0])
            names = re.findall(r"^Adding image#: \d+ name: (.*)$", section, re.M)
            self.assertEqual(len(names), len(readings[inp]))
            for name, (camera, _) in zip(names, readings[inp]):
                self.assertEqual(os.path.dirname(name), self.board.path(harness.HOME + "/%d" % (inp + 1)))
                self.assertTrue(os.path.basename(name).startswith("video%d:-" % camera), name)
                self.assertFalse(os.path.exists(name), "used picture not deleted: " + name)
            # What the input keeps is newer than anything its clip took.
            left = os.listdir(self.board.path(harness.HOME + "/%d" % (inp + 1)))
            for camera in (0, 1):
                prefix = "video%d:-" % camera
                used = [os.path.basename(n) for n in names if os.path.basename(n).startswith(prefix)]
                kept = [n for n in left if n.startswith(prefix)]
                if used and kept:
                    self.assertLess(max(used), min(kept), "input %d camera %d" % (inp, camera))

    def queue_names(self, clips):
        return [os.path.basename(p) for p in clips.values()]


if __name__ == "__main__":
    unittest.main()
