"""The road of a streaming request on the direct path, in both modes, from
the companion to the reference streaming server and the started-streaming
notification records: capture_control writes a new stream-video stamp whose
last digit is the mode, the daemon reduces the newest picture of every
selected camera to a quarter and sends framed messages to port 8080 of the
build's default streaming server address, and queues started-streaming
records that the companion reads back with capture_control.

Input 3 is switched off on the board, so the messages carry the pictures of
inputs 0 to 2, each read back to show its own camera."""
import os
import re
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

# A serial of its own: messages of any other daemon on this machine that
# reaches the same server are told apart (and ignored).
SERIAL = "ROADSTRM1"
SELECTED = (0, 1, 2)
REDUCED = (320, 180)  # a quarter of the cameras' 1280 x 720 frames
STARTED = re.compile(r"^http://%s/started_streaming_video\.php\?deviceid=%s&query=0&idx=(\d+)"
                     r"&ver=0\.5_PC_C_Tester&cams=$" % (re.escape(harness.DEFAULT_STREAMING_SERVER), SERIAL))
SPEEDUP = 10


@unittest.skipUnless(os.path.exists(harness.EMUCAM_PRELOAD) and emucam_pattern is not None,
                     "the emulated cameras are not part of this build")
class StreamingRoadTest(unittest.TestCase):
    def setUp(self):
        try:
            self.server = StreamingServer(address=harness.DEFAULT_STREAMING_SERVER)
        except RuntimeError as e:
            self.fail("the reference streaming server cannot listen on the default address: %s" % e)
        self.addCleanup(self.server.stop)
        self.board = Board(serial=SERIAL, switches="1110")
        self.addCleanup(self.board.cleanup)
        # No clip is asked for; should one be made, it never reaches an FTP
        # server of another test.
        self.board.use_upload_tool("/bin/false")

    def start(self, faster=None):
        preload, env = harness.EMUCAM_PRELOAD, {}
        if faster:
            lib = harness.faketime_library()
            if lib is None:
                self.fail("faketime is not installed (Debian package faketime)")
            # The camera library first: it answers the camera paths; faketime
            # after it fakes the daemon's clock only.
            preload += ":" + lib
            env = {"FAKETIME": "+0 x%d" % faster, "FAKETIME_DONT_RESET": "1"}
        d = self.daemon = self.board.start("-usb", cameras=True, preload=preload, env=env)
        d.wait_for("video streaming monitoring thread start!", timeout=60)
        for cam in SELECTED:
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=30, stream="stderr")
        return d

    def started_records(self):
        """idx of every record the companion reads; all must be started-streaming records."""
        out = []
        for url in self.board.companion_notifications():
            m = STARTED.match(url)
            self.assertIsNotNone(m, "not a started-streaming record: " + url)
            out.append(int(m.group(1)))
        return out

    def messages(self):
        return [m for m in self.server.messages() if m["deviceid"] == SERIAL]

    def check_messages(self, mode, prefix):
        msgs = self.messages()
        self.assertTrue(msgs)
        self.assertEqual(self.server.entries("error"), [])
        for m in msgs:
            self.assertEqual(m["mode"], mode)
            self.assertTrue(m["text"].startswith(prefix + "?deviceid=%s&idx=" % SERIAL), m["text"])
            self.assertEqual(m["ver"], "0.5_PC_C_Tester")
            for p in m["pictures"]:
                self.assertIn(p["input"], SELECTED)
                self.assertEqual((p["width"], p["height"]), REDUCED)
        # The newest picture of every selected input, read back: its camera.
        for i in range(4):
            path = os.path.join(self.server.save_dir, "input%d.jpg" % i)
            if i not in SELECTED:
                self.assertFalse(os.path.exists(path), "input %d is switched off" % i)
                continue
            with open(path, "rb") as f:
                reading = emucam_pattern.read_jpeg(f.read())
            self.assertIsNotNone(reading, "no pattern in the picture of input %d" % i)
            self.assertEqual(reading[0], i)
        return msgs

    def test_set_mode_request_streams_with_replies_and_one_started_record(self):
        d = self.start()
        self.board.control("stream", 1)
        d.wait_for(r"capture module received streaming request\. Streaming: 1", timeout=5)
        self.assertTrue(self.server.wait_for(lambda s: len(self.messages()) >= 30, 20), d.stdout[-3000:])
        msgs = self.check_messages("set", "/set4Jpegs")
        self.assertEqual([m["idx"] for m in msgs[:3]], ["0", "1", "2"])
        # Each request is answered; the daemon counts the replies with "success".
        self.assertIn("Received: request accepted: success", d.stdout)
        self.assertNotIn("EURL: rror recieving from server", d.stdout)
        # The first request queued the started-streaming record; the next one
        # comes only after a minute (or 40 s into the hold).
        self.assertEqual(self.started_records(), [0])
        self.assertIsNone(d.proc.poll())

    def test_stream_mode_request_streams_a_whole_hold_without_replies_then_stops(self):
        # The daemon's clock runs ten times faster: the hold of about 121 s
        # passes in about 12 s; the cameras keep their real pace.
        d = self.start(faster=SPEEDUP)
        self.board.control("stream", 9)
        d.wait_for(r"capture module received streaming request\. Streaming: 9", timeout=5)
        d.wait_for("Streaming stopped", timeout=3 * 121 / SPEEDUP + 10)
        time.sleep(1.0)
        records = self.started_records()
        count = len(self.messages())
        time.sleep(1.5)  # 15 s of the daemon's time
        self.assertEqual(len(self.messages()), count, "requests after streaming stopped")
        self.assertEqual(self.started_records(), records, "records after streaming stopped")

        msgs = self.check_messages("stream", "/stream4Jpegs")
        self.assertGreater(len(msgs), 100)
        self.assertNotIn("Received: ", d.stdout)  # no reply is read in this mode
        self.assertNotIn("recv Thread created successfully", d.stdout)  # and no disconnect watchdog
        # Records: the first request's, one a minute after it (about 60 and
        # 120 s in), and the hold's at 40, 80 and 120 s while connected.
        self.assertEqual(records[0], 0)
        self.assertEqual(records, sorted(records))
        self.assertGreaterEqual(len(records), 5, records)
        self.assertLessEqual(len(records), 6, records)
        self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    unittest.main()
