"""The restart roads: the daemon ends on purpose, with status 0, so that the
board's process supervisor starts it again, and the next start on the same
board root runs normally.

  - camera-set change: the companion writes a new camera-set value with
    capture_control; the next start takes that value as its own;
  - exit flag: the companion raises the exit flag with capture_control; the
    flag stays up in the control file, so the next start lowers it and ends
    at once, and the start after that runs normally;
  - watchdog: the cameras are unplugged for good, no work is reported any
    more, and the fourth inactivity warning, about twenty minutes later,
    ends the process; the flag is raised in memory only, so the next start
    (the cameras back) runs normally.

The twenty minutes of the watchdog are not waited for: that daemon runs
under libfaketime (Debian's faketime) with its clock sixty times faster, so
that its real-time clock, its pauses and its waits' time-outs all run fast.
The emulated cameras keep real time: libemucam reads the kernel's monotonic
clock and waits through system calls of its own, so faketime cannot speed
their frames up. LD_PRELOAD names the camera library first, so that it sees
the daemon's device calls before anything else, and faketime after it (a
sanitizer runtime, when the build has one, comes before both). At sixty
times the speed the daemon's one-second wait for a frame lasts 17 ms of real
time, less than the cameras' 33 ms between frames, so most frames come
after one such time-out (counted as a dropped frame); recording still goes
on until the cameras are unplugged."""
import os
import re
import time
import unittest

import harness
from harness import Board

# The default capture path's two cameras (video2 and video3 missing).
TWO_CAMERAS = "0 MJPG 640x480 30; 1 MJPG 640x480 30"
SPEEDUP = 60
UNPLUGGED_AFTER = 4  # real seconds after each camera's first stream-on


def unplugged_for_good(index):
    return "%d MJPG 640x480 30 disconnect=%d:86400" % (index, UNPLUGGED_AFTER)


@unittest.skipUnless(os.path.exists(harness.EMUCAM_PRELOAD), "the emulated cameras are not part of this build")
class RestartRoadsTest(unittest.TestCase):
    def setUp(self):
        self.board = Board(serial="BBBK1234")
        self.addCleanup(self.board.cleanup)
        # Nothing here is uploaded; should a clip be made, it never reaches
        # an FTP server of another test.
        self.board.use_upload_tool("/bin/false")

    def start_default_path(self):
        d = self.board.start(cameras=TWO_CAMERAS)
        d.wait_for("Capture video thread created successfully!", timeout=30)
        d.wait_for(r"video[01]:Captured in \d+ms", timeout=30)
        return d

    def assert_runs_normally(self, d):
        """A start that keeps running: every thread started, pictures
        captured, and no end in sight through several passes of the video
        creation thread (each re-reads the record and checks the camera set)."""
        d.wait_for("streaming thread successfully created!", timeout=30)
        d.wait_for(r"video[01]:Captured in \d+ms", timeout=30)
        time.sleep(3)
        self.assertIsNone(d.proc.poll(), d.stdout[-3000:])
        out = d.stdout
        self.assertNotIn("Cams changed#", out)
        self.assertNotIn("Exiting", out)
        self.assertNotIn("inactivity", out)

    def wait_for_end(self, d, timeout):
        try:
            return d.wait(timeout)
        except Exception:
            self.fail("the daemon did not end within %ss:\n%s" % (timeout, d.stdout[-4000:]))

    def test_camera_set_change_ends_with_status_0_and_the_next_start_keeps_running(self):
        self.board.control("cams", 2)
        d = self.start_default_path()
        self.board.control("cams", 3)
        # The video creation thread re-reads the record every half second,
        # main notices within 0.5 s and waits 3.5 s more.
        self.assertEqual(self.wait_for_end(d, 15), 0)
        out = d.stdout
        self.assertIn("Cams changed# 3.. closing everything and restarting!", out)
        self.assertIn("Exiting.. cya!!", out)
        record = self.board.read_control()
        self.assertEqual(record[1], 0)  # the exit was raised in memory only
        self.assertEqual(int.from_bytes(record[16:24], "little", signed=True), 3)

        # The supervisor starts it again: 3 is now the camera set it knows.
        d2 = self.start_default_path()
        self.assert_runs_normally(d2)

    def test_exit_flag_ends_with_status_0_the_next_start_lowers_it_and_the_one_after_runs(self):
        d = self.start_default_path()
        self.board.control("exit")
        self.assertEqual(self.wait_for_end(d, 15), 0)
        self.assertIn("Exiting.. cya!!", d.stdout)
        before = self.board.read_control()
        self.assertEqual(before[1], 1)  # the ordinary end leaves the flag in the file

        d2 = self.board.start(cameras=TWO_CAMERAS)
        self.assertEqual(self.wait_for_end(d2, 15), 0)
        self.assertIn("Exiting flag initially up.. turning it down and exit.. cya!!", d2.stdout)
        self.assertNotIn("restart thread created", d2.stdout)
        after = self.board.read_control()
        self.assertEqual(after[1], 0)
        self.assertEqual(after[:1] + after[2:], before[:1] + before[2:])

        d3 = self.start_default_path()
        self.assert_runs_normally(d3)

    def test_exit_flag_ends_within_seconds_while_every_reloading_thread_pauses(self):
        # The two threads that re-load the control record both pause: the
        # video creation thread for 45 s after an alert, the streaming
        # monitor through a hold of about two minutes.
        d = self.start_default_path()
        d.wait_for("video streaming monitoring thread start!", timeout=30)
        self.board.control("stream", 1)
        d.wait_for(r"capture module received streaming request\. Streaming: 1", timeout=10)
        self.board.control("alert", "on")
        d.wait_for("sleep for 45 seconds after creating videos!", timeout=10)
        self.board.control("alert", "off")
        asked = time.monotonic()
        self.board.control("exit")
        # Main notices within 0.5 s and ends 3.5 s later.
        self.assertEqual(self.wait_for_end(d, 10), 0)
        self.assertLess(time.monotonic() - asked, 10)
        self.assertIn("Exiting.. cya!!", d.stdout)
        self.assertEqual(self.board.read_control()[1], 1)

    def test_watchdog_ends_a_process_without_work_with_status_0_and_the_next_start_records(self):
        lib = harness.faketime_library()
        if lib is None:
            self.fail("faketime is not installed (Debian package faketime)")
        self.board.control("cams", 4)
        record = self.board.read_control()
        cameras = "; ".join(unplugged_for_good(i) for i in range(4))
        d = self.board.start("-usb", cameras=cameras, preload=harness.EMUCAM_PRELOAD + ":" + lib,
                             env={"FAKETIME": "+0 x%d" % SPEEDUP, "FAKETIME_DONT_RESET": "1"})
        # Four warnings 300 s apart are about 20 minutes of the daemon's
        # time, 20 s of real time; the cameras go after 4 s.
        status = self.wait_for_end(d, 120)
        out, err = d.stdout, d.stderr
        self.assertEqual(status, 0, out[-3000:])
        for cam in range(4):
            # Each camera recorded, then went away for good.
            self.assertIn("/dev/video%d format succeeded! .. after 1 trails" % cam, err)
            self.assertIn("Cannot identify '/dev/video%d': 2, No such file or directory" % cam, err)
        warnings = re.findall(r"^No activity for (\d+) seconds\.\. iteration (\d)!$", out, re.M)
        self.assertEqual([int(i) for _, i in warnings], [0, 1, 2, 3])
        self.assertTrue(all(int(s) >= 300 for s, _ in warnings), warnings)
        expected = ["first inactivity warning", "additional inactivity warning! iteration#2",
                    "additional inactivity warning! iteration#3", "additional inactivity warning! iteration#4",
                    "inactivity warning# 4.. closing everything and restarting!", "Exiting.. cya!!"]
        pos = 0
        for line in expected:
            at = out.find(line + "\n", pos)
            self.assertGreaterEqual(at, 0, "missing or out of order: %r\n%s" % (line, out[-3000:]))
            pos = at
        # The watchdog raised the exit flag in memory only.
        self.assertEqual(self.board.read_control(), record)

        # The supervisor starts it again, the cameras are back, real time.
        d2 = self.board.start("-usb", cameras=True)
        d2.wait_for("streaming thread successfully created!", timeout=60)
        d2.wait_for(r"/dev/video0: capture loop ended\.\.", timeout=30)
        self.assertRegex(d2.stdout, r"Loops: 1, Frames: [1-9]\d*")
        self.assertIsNone(d2.proc.poll())
        self.assertNotIn("inactivity", d2.stdout)
        self.assertNotIn("Cannot identify", d2.stderr)


if __name__ == "__main__":
    unittest.main()
