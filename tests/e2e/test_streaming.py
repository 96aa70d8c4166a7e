"""Live streaming in the running daemon on the default capture path, where
no pictures reach the streaming buffers: stamps switch the streaming mode,
nothing is sent, and a SIGPIPE never ends the process."""
import os
import signal
import time
import unittest

from harness import Board


class StreamingDaemonTest(unittest.TestCase):
    def setUp(self):
        self.board = Board()
        # Clips stay in the queue for the test to read: no upload, whatever
        # FTP server may listen on this machine.
        self.board.use_upload_tool("/bin/false")
        self.addCleanup(self.board.cleanup)

    def test_new_stamp_switches_streaming_on_but_without_pictures_nothing_is_sent(self):
        self.board.write_control(stream=1001)  # already there at start: not acted upon
        d = self.board.start()
        d.wait_for("streaming thread successfully created!", timeout=30)
        d.wait_for("video streaming monitoring thread start!")
        time.sleep(1.5)
        self.assertNotIn("capture module received streaming request", d.stdout)

        self.board.write_control(stream=1011)
        d.wait_for(r"capture module received streaming request\. Streaming: 1", timeout=5)
        time.sleep(1.0)
        self.assertNotIn("Connecting to sotcket..", d.stdout)
        self.assertIsNone(d.proc.poll())

    def test_sigpipe_leads_to_a_disconnect_not_to_the_end(self):
        d = self.board.start()
        d.wait_for("video streaming monitoring thread start!", timeout=30)
        time.sleep(0.2)  # the handler is installed before the monitor starts
        os.kill(d.proc.pid, signal.SIGPIPE)
        d.wait_for("SIGPIPE Received!", timeout=5)
        self.assertIsNone(d.proc.poll())
        os.kill(d.proc.pid, signal.SIGPIPE)
        time.sleep(1.5)
        self.assertIsNone(d.proc.poll())
        self.assertEqual(d.stdout.count("SIGPIPE Received!"), 2)


if __name__ == "__main__":
    unittest.main()
