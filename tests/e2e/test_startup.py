"""Start-up of the daemon on an emulated board root."""
import os
import unittest

from harness import BUILD_DIR, Board, CONTROL_FILE, HOME, board_root, control_record


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.board = Board()
        self.addCleanup(self.board.cleanup)

    def test_exit_option_ends_with_827_before_touching_anything(self):
        d = self.board.run("-sl30", "-usb", "-exit", "-ms")
        self.assertEqual(d.proc.returncode, 827 & 0xff)  # the parent sees 59
        self.assertIn("Processing argument# 3 of 4: -exit", d.stdout)
        self.assertNotIn("Processing argument# 4 of 4", d.stdout)
        self.assertFalse(os.path.exists(self.board.path(CONTROL_FILE)))
        self.assertEqual(self.board.read("/sys/class/gpio/export"), "")
        self.assertEqual(sorted(os.listdir(self.board.path(HOME))), ["log", "queue"])
        self.assertNotIn("Init result", d.stdout)

    def test_exit_flag_found_up_is_lowered_in_the_file_and_the_process_ends(self):
        before = control_record(alert=1, exit_flag=1, user_video=-5, cams=3, stream=71,
                                reserved=b"abcdef", tail=b"01234567")
        with open(self.board.path(CONTROL_FILE), "wb") as f:
            f.write(before)
        d = self.board.run()
        self.assertEqual(d.proc.returncode, 0)
        self.assertIn("Exiting flag initially up.. turning it down and exit.. cya!!", d.stdout)
        after = self.board.read_control()
        self.assertEqual(len(after), 40)
        self.assertEqual(after[1], 0)
        self.assertEqual(after[:1] + after[2:], before[:1] + before[2:])
        self.assertNotIn("restart thread created", d.stdout)
        # The next start runs normally.
        d2 = self.board.start()
        d2.wait_for("restart thread created successfully!")
        self.assertIsNone(d2.proc.poll())

    def test_normtest_tree_moves_while_record_and_log_stay_home(self):
        d = self.board.start("-normtest")
        d.wait_for(r"Init result: 0")
        base = self.board.path("/tmp/normtest")
        self.assertIn("NROM TEST!, path to test files: " + base, d.stdout)
        for sub in ("queue", "1", "2", "3", "4"):
            self.assertTrue(os.path.isdir(os.path.join(base, sub)), sub)
        self.assertFalse(os.path.exists(self.board.path(HOME + "/1")))
        logs = os.listdir(self.board.path(HOME + "/log"))
        self.assertEqual(len(logs), 1)
        self.assertIn("capture module starting!", self.board.read(HOME + "/log/" + logs[0]))

    def test_summary_lines_follow_the_arguments(self):
        d = self.board.start("-s1280x720", "-noresize", "-b768k", "-ms", "-ci2", "-sl120", "-camfps5",
                             "-localwin", "-yuyv")
        d.wait_for("Init result:")
        out = d.stdout
        expected = [
            "Arguments count: 10",
            "Processing arguments..",
            "Processing argument# 1 of 9: -s1280x720",
            "Done processing argument storage Length=120 frames",
            "Control Input=2",
            "Memory Store=1",
            "USB=0",
            "Files resizer: \n",
            "Sampling Bitrate: -b 768k",
            "Norm Test=0",
            "Streaming Server: 127.0.0.2",
            "force_format2 = 50 (input format)\ng_nDevWidth  = 1280\ng_nDevHeight = 720\ng_nField = 4\n"
            "g_nPixelFormat = 1448695129\n",
        ]
        pos = 0
        for line in expected:
            i = out.find(line, pos)
            self.assertGreaterEqual(i, 0, "missing or out of order: %r\n%s" % (line, out))
            pos = i
        d.wait_for("Frames count=50")
        self.assertIn("Frame rate=5", d.stdout)

    def test_without_arguments_no_switch_override_and_no_summary(self):
        self.board.set_gpio(10, 1)  # DIP switch 6 on
        d = self.board.start()
        d.wait_for("Init result:")
        self.assertIn("Arguments count: 1", d.stdout)
        self.assertNotIn("Processing arguments..", d.stdout)
        self.assertNotIn("Override USB handling", d.stdout)
        self.assertNotIn("Done processing argument", d.stdout)

    def test_switch_six_selects_the_direct_path_when_arguments_are_given(self):
        self.board.set_gpio(10, 1)
        self.board.set_gpio(27, 1)
        d = self.board.start("-ms")
        d.wait_for("Init result:")
        self.assertIn("Override norm to NTSC by switch#5!", d.stdout)
        self.assertIn("Override USB handling by switch#6!", d.stdout)
        self.assertIn("USB=1", d.stdout)

    def test_every_worker_carries_its_name(self):
        d = self.board.start("-usb", "-ms", cameras=True)
        d.wait_for("stream video monitoring thread created successfully!", timeout=60)
        task_dir = "/proc/%d/task" % d.proc.pid
        names = []
        for tid in os.listdir(task_dir):
            try:
                with open(os.path.join(task_dir, tid, "comm")) as f:
                    names.append(f.read().strip())
            except FileNotFoundError:
                pass  # a thread that ended meanwhile
        workers = sorted(n for n in names if n.startswith("cm-"))
        self.assertEqual(workers, sorted(["cm-watchdog", "cm-v4l2-0", "cm-v4l2-1", "cm-v4l2-2", "cm-v4l2-3",
                                          "cm-video", "cm-ftp", "cm-commands", "cm-streaming",
                                          "cm-stream-mon", "cm-log"]), names)
        # The rest: the main thread (and ThreadSanitizer's own background
        # thread, which takes the process's name); the emulated cameras'
        # producers name themselves.
        others = sorted(n for n in names if not n.startswith(("cm-", "emucam")))
        runtime = 1 if board_root.cache_value(BUILD_DIR, "CM_SANITIZE", "") == "thread" else 0
        self.assertEqual(others, ["capture_module"] * (1 + runtime), names)

    def test_no_camera_switch_on_warns(self):
        for pin in (66, 47, 34, 38):
            self.board.set_gpio(pin, 0)
        d = self.board.start()
        d.wait_for(r"Warning\.\. No inputs are selected\.\. sleeping for 3 seconds!!", timeout=15)
        self.assertIn("Camera switch changed! currently: 0-0-0-0", d.stdout)


if __name__ == "__main__":
    unittest.main()
