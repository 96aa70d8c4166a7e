"""Live streaming of the built daemon on the direct path ("-usb") with the
emulated cameras, to the reference streaming server on the default server
address (127.0.0.1:8080 in test builds). The pictures that reach the server
are decoded and their block pattern read back: each must be a quarter-size
picture of the camera of its input."""
import os
import sys
import time
import unittest

import harness
from harness import Board, StreamingServer

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
try:
    import emucam_pattern  # noqa: E402
except ImportError:
    emucam_pattern = None

PRELOAD = getattr(harness, "EMUCAM_PRELOAD", None)
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
CAMERAS = (0, 1, 3)  # input 2 switched off
# A quarter of the 1280 x 720 frames the direct path asks the cameras for.
REDUCED = (320, 180)


@unittest.skipUnless(PRELOAD and os.path.exists(PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras are not part of this build")
class StreamingUsbTest(unittest.TestCase):
    def setUp(self):
        try:
            self.server = StreamingServer(address=harness.DEFAULT_STREAMING_SERVER, http_port=0)
        except RuntimeError as e:
            self.skipTest("the default streaming server address is taken: %s" % e)
        self.addCleanup(self.server.stop)
        self.board = Board(switches="1101")
        # Clips stay in the queue for the test to read: no upload, whatever
        # FTP server may listen on this machine.
        self.board.use_upload_tool("/bin/false")
        self.addCleanup(self.board.cleanup)

    def start(self, faster=None):
        preload, env = PRELOAD, {}
        if faster:
            if not os.path.exists(FAKETIME_LIB):
                self.skipTest("faketime is not installed")
            # The daemon's clock runs `faster` times faster; the cameras
            # keep real time (they read the kernel's clock directly).
            preload = PRELOAD + ":" + FAKETIME_LIB
            env = {"FAKETIME": "+0 x%d" % faster, "FAKETIME_DONT_RESET": "1"}
        d = self.board.start("-usb", cameras=True, preload=preload, env=env)
        try:
            d.wait_for(r"/dev/video0: USB capture thread created successfully!", timeout=15, stream="stderr")
        except AssertionError:
            self.skipTest("the common capture starter does not start the direct path's workers in this build")
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=60, stream="stderr")
        time.sleep(1.5)
        return d

    def check_pictures(self):
        """The newest picture of every input at the server: a quarter of the
        camera's frame, showing the camera of that input."""
        for i in range(4):
            path = os.path.join(self.server.save_dir, "input%d.jpg" % i)
            if i not in CAMERAS:
                self.assertFalse(os.path.exists(path), "input %d is switched off" % i)
                continue
            with open(path, "rb") as f:
                data = f.read()
            self.assertEqual(emucam_pattern.jpeg_size(data), REDUCED)
            reading = emucam_pattern.read_jpeg(data)
            self.assertIsNotNone(reading, "no pattern in the picture of input %d" % i)
            self.assertEqual(reading[0], i)

    def test_set_mode_sends_about_ten_requests_a_second_of_the_right_cameras(self):
        d = self.start()
        self.board.write_control(stream=1700000001)
        d.wait_for(r"capture module received streaming request\. Streaming: 1", timeout=5)
        self.assertTrue(self.server.wait_for(lambda s: len(s.messages()) >= 5, 15), d.stdout[-3000:])
        time.sleep(5)
        msgs = [m for m in self.server.messages()]
        self.assertTrue(all(m["mode"] == "set" for m in msgs))
        # Steady pace over the last seconds: one request per 100 ms pass at most.
        recent = [m for m in msgs if m["time"] >= msgs[-1]["time"] - 4.0]
        rate = (len(recent) - 1) / (recent[-1]["time"] - recent[0]["time"])
        self.assertGreater(rate, 5)
        self.assertLess(rate, 11)
        for m in msgs:
            self.assertTrue(m["text"].startswith("/set4Jpegs?deviceid=BBBK1234&idx="), m["text"])
            self.assertEqual(m["ver"], "0.5_PC_C_Tester")
            for p in m["pictures"]:
                self.assertIn(p["input"], CAMERAS)
                self.assertEqual((p["width"], p["height"]), REDUCED)
        self.assertEqual(self.server.entries("error"), [])
        self.check_pictures()
        # The first request queued a started-streaming notification.
        records = self.board.read(harness.NOTIFY_FILE, "rb")
        self.assertGreaterEqual(len(records), harness.NOTIFY_RECORD_SIZE)
        self.assertIn(b"/started_streaming_video.php?deviceid=BBBK1234&query=0&idx=0&ver=0.5_PC_C_Tester&cams=",
                      records)

    def test_stamps_switch_to_stream_mode_and_off_after_the_holds(self):
        d = self.start(faster=10)
        self.board.write_control(stream=1700000011)
        d.wait_for(r"Streaming: 1", timeout=10)
        self.assertTrue(self.server.wait_for(lambda s: len(s.messages()) >= 5, 15), d.stdout[-3000:])
        self.board.write_control(stream=1700000019)  # taken after the hold of about 121 s
        d.wait_for(r"capture module received streaming request\. Streaming: 9", timeout=25)
        self.server.wait_for(lambda s: any(m["mode"] == "stream" for m in s.messages()), 10)
        os.unlink(os.path.join(self.server.save_dir, "input0.jpg"))
        self.assertTrue(self.server.wait_for(
            lambda s: sum(m["mode"] == "stream" for m in s.messages()) >= 5
            and os.path.exists(os.path.join(s.save_dir, "input0.jpg")), 15))
        self.board.write_control(stream=1700000020)
        d.wait_for("Streaming stopped", timeout=25)
        time.sleep(1.0)
        count = len(self.server.messages())
        time.sleep(1.5)
        self.assertEqual(len(self.server.messages()), count, "requests after streaming stopped")
        modes = [m["mode"] for m in self.server.messages()]
        first_stream = modes.index("stream")
        self.assertEqual(set(modes[:first_stream]), {"set"})
        self.assertEqual(set(modes[first_stream:]), {"stream"})
        self.assertTrue(all(m["text"].startswith("/stream4Jpegs?") for m in self.server.messages()[first_stream:]))
        self.assertEqual(self.server.entries("error"), [])
        self.check_pictures()
        self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    unittest.main()
