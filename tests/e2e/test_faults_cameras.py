"""Camera faults on the direct path: a camera unplugged and plugged back, a
camera that stops delivering for a while, damaged, cut and oversized frames,
a camera that answers "busy" at first. The daemon runs with four emulated
cameras (emulation/README.md) and a user video request every few seconds;
each request must give a clip of every camera that was delivering, the
healthy cameras never miss one, and a camera that comes back records again.
Every clip is decoded and its frames' block patterns read back."""
import os
import re
import time
import unittest

from faults_support import (HAVE_CAMERAS, QUEUE, check_clip_shows_camera, clip_readings, clips_by_device,
                            converted_clips, fresh_board, healthy_cameras, start_direct_path)
from harness import wait_until

REQUEST_EVERY = 12  # seconds: a clip is 100 frames at 10 a second, plus its save


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
class CameraFaultsTest(unittest.TestCase):
    def setUp(self):
        self.board = fresh_board(self)
        # Uploads fail: the clips stay in the queue to be read.
        self.board.use_upload_tool("/bin/false")

    def run_requests(self, d, count, first_stamp=1700000100):
        """`count` user video requests REQUEST_EVERY seconds apart."""
        for k in range(count):
            time.sleep(REQUEST_EVERY)
            before = d.stdout.count("Creating usre video thread!")
            self.board.write_control(user_video=first_stamp + k)
            wait_until(lambda: d.stdout.count("Creating usre video thread!") > before, 10, "clip run %d" % k, d)

    def wait_for_clips_of_runs(self, d, devices, runs, timeout=60):
        """Waits until each of `devices` has converted clips of `runs`
        distinct clip runs and every conversion has finished."""
        def done():
            made = clips_by_device(converted_clips(d.stdout))
            finished = d.stdout.count("cmd result: ") >= len(converted_clips(d.stdout))
            return finished and all(len(made.get(n, [])) >= runs for n in devices) and made
        return wait_until(done, timeout, "clips of %d runs from cameras %s" % (runs, devices), d, step=0.5)

    def clips_in_queue(self):
        return {n for n in os.listdir(self.board.path(QUEUE)) if n.endswith(".mp4")}

    def run_groups(self, d):
        """The time group of every clip run, from the raw clip names."""
        return sorted(set(re.findall(r"_(\d{14}_\d{6})\.raw", d.stderr)))

    def test_unplugged_and_stalled_cameras_come_back_and_the_others_never_stop(self):
        # Camera 0 is unplugged 14 s after its first frame, for 8 s; camera 1
        # delivers nothing for 6 s from 14 s on; cameras 2 and 3 are healthy.
        cams = healthy_cameras("disconnect=14:8", "stall=14:6")
        d = start_direct_path(self.board, cams)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=40, stream="stderr")
        self.run_requests(d, 4)
        self.wait_for_clips_of_runs(d, (2, 3), 4)
        last_group = max(self.run_groups(d))
        wait_until(lambda: all(any(last_group in n for n in clips_by_device(converted_clips(d.stdout)).get(k, []))
                               for k in (0, 1)), 30, "clips of the last run from the cameras that came back", d)
        wait_until(lambda: d.stdout.count("cmd result: ") >= len(converted_clips(d.stdout)), 30, "conversions", d)
        self.assertIsNone(d.proc.poll(), "the daemon ended")
        err = d.stderr
        # The faults really happened.
        self.assertIn("Cannot identify '/dev/video0': 2, No such file or directory", err)
        self.assertRegex(err, r"select timeout /dev/video1")

        made = clips_by_device(converted_clips(d.stdout))
        queued = self.clips_in_queue()
        for device in (0, 1, 2, 3):
            for name in made.get(device, []):
                self.assertIn(name, queued, "a converted clip is not in the queue")
        # The healthy cameras have a clip of every run, one each.
        for device in (2, 3):
            self.assertEqual(len(made.get(device, [])), 4, "camera %d: %s" % (device, made))
        # The faulty ones are back: clips of the later runs.
        for device in (0, 1):
            self.assertGreaterEqual(len(made.get(device, [])), 2, "camera %d did not come back: %s" % (device, made))
        for device, names in made.items():
            counters = []
            for name in names:
                counters += check_clip_shows_camera(self, self.board.path(QUEUE + "/" + name), device)
            # Frames never come twice into clips of one camera: the counter of
            # the camera only rises from clip to clip.
            self.assertEqual(counters, sorted(counters), "camera %d clips overlap or go back" % device)

    def test_damaged_cut_and_oversized_frames_and_a_busy_camera(self):
        # Camera 0 damages every 5th frame, camera 1 cuts every 6th in half,
        # camera 2 pads every 7th beyond 700,000 bytes, camera 3 refuses its
        # format four times ("busy") and sends frames without Huffman tables.
        cams = healthy_cameras("corrupt=5", "truncate=6", "oversize=7", "busy=4 no-huffman")
        d = start_direct_path(self.board, cams)
        d.wait_for(r"/dev/video3 format succeeded! \.\. after 5 trails", timeout=60, stream="stderr")
        self.run_requests(d, 3)
        self.wait_for_clips_of_runs(d, (0, 1, 2, 3), 3)
        self.assertIsNone(d.proc.poll(), "the daemon ended")
        made = clips_by_device(converted_clips(d.stdout))
        self.assertEqual(sorted(made), [0, 1, 2, 3], made)
        queued = self.clips_in_queue()
        for device, names in made.items():
            self.assertGreaterEqual(len(names), 3, "camera %d missed a run: %s" % (device, made))
            for name in names:
                self.assertIn(name, queued)
                path = self.board.path(QUEUE + "/" + name)
                readings = clip_readings(path)
                good = [r for r in readings if r is not None]
                # Damaged frames may lose their pattern; the rest of the clip
                # shows its own camera and nothing else.
                self.assertGreater(len(good), len(readings) // 2, path)
                self.assertEqual({r[0] for r in good}, {device}, path)
                if device in (2, 3):
                    self.assertEqual(len(good), len(readings), "an intact frame unreadable in " + path)
        # Every conversion succeeded.
        results = re.findall(r"^cmd result: (-?\d+)$", d.stdout, re.M)
        self.assertEqual(set(results), {"0"}, results)


if __name__ == "__main__":
    unittest.main()
