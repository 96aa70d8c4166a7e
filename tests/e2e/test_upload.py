"""The daemon uploads its queue to a real FTP server with Debian's ncftpput
and leaves one notification record per uploaded file."""
import os
import re
import time
import unittest

import harness
from harness import FTP_HOST, HOME, QUEUE_DIR, QUICK_REDIAL_TOOL, Board, FtpServer

SERIAL = "BBBK1234"


def notify_url(path, serial=SERIAL):
    return "/notify_file_upload.php?deviceid=%s&fpath=%s" % (serial, path)


class UploadTestBase(unittest.TestCase):
    serial = SERIAL

    def setUp(self):
        self.board = Board(serial=self.serial)
        self.addCleanup(self.board.cleanup)
        self.server_dir = self.board.path("/ftp")

    def serve(self, up=True):
        server = FtpServer(self.server_dir, up=up)
        self.addCleanup(server.close)
        return server

    def on_server(self, name, serial=None):
        with open(os.path.join(self.server_dir, serial or self.serial, name), "rb") as f:
            return f.read()

    def wait_until(self, condition, timeout, what):
        harness.wait_until(condition, timeout, what, self.board.daemon, step=0.05)


class UploadTest(UploadTestBase):
    def test_clip_in_the_queue_arrives_on_the_server_and_is_announced_once(self):
        self.serve()
        d = self.board.start()
        d.wait_for("FTP thread created successfully!")
        data = os.urandom(250000)
        clip = self.board.queue_file("user0_20240105100000_000001.avi", data)
        deep = self.board.queue_file("2/3/usb_1_20240105100000_000002.mp4", b"deeper")
        d.wait_for(re.escape("saving a notification call: " + notify_url(clip)), timeout=30)
        d.wait_for(re.escape("saving a notification call: " + notify_url(deep)), timeout=30)
        self.assertEqual(self.on_server("user0_20240105100000_000001.avi"), data)
        self.assertEqual(self.on_server("usb_1_20240105100000_000002.mp4"), b"deeper")
        self.assertFalse(os.path.exists(clip))
        self.assertFalse(os.path.exists(deep))
        # A few more walks announce nothing again.
        time.sleep(2.5)
        self.assertEqual(sorted(self.board.notification_urls()), sorted([notify_url(clip), notify_url(deep)]))
        self.assertIn("Calling: " + self.board.path("/usr/bin/ncftpput") + " -S .uploading -z -d "
                      + self.board.path(HOME + "/log/ftp_debug.log") + " -e "
                      + self.board.path(HOME + "/log/ftp_error.log")
                      + " -DD -V -m -t 10 -u kelm_o -p 907 " + FTP_HOST + " /BBBK1234 " + clip + "\n", d.stdout)
        logs = os.listdir(self.board.path(HOME + "/log"))
        daily = [n for n in logs if n.endswith(".txt")]
        self.assertEqual(len(daily), 1, logs)
        log = self.board.read(HOME + "/log/" + daily[0])
        self.assertIn("FTP thread started!", log)
        self.assertIn("file ftped successfully.. deleting: " + clip, log)

    def test_file_still_being_written_is_left_until_it_is_renamed_into_place(self):
        self.serve()
        d = self.board.start()
        d.wait_for("FTP thread created successfully!")
        growing = self.board.path(QUEUE_DIR + "/.incomplete.user1_20240105100000_000003.avi")
        with open(growing, "wb") as f:
            f.write(b"first half")
            f.flush()
            d.wait_for(re.escape("still being written, left for a later walk: " + growing))
            time.sleep(1.5)  # another walk or two
            self.assertTrue(os.path.exists(growing))
            self.assertFalse(os.path.exists(os.path.join(self.server_dir, SERIAL)))
            f.write(b" and the rest")
        final = self.board.path(QUEUE_DIR + "/user1_20240105100000_000003.avi")
        os.rename(growing, final)
        d.wait_for(re.escape("saving a notification call: " + notify_url(final)), timeout=30)
        self.assertEqual(self.on_server("user1_20240105100000_000003.avi"), b"first half and the rest")
        self.assertEqual(self.board.notification_urls(), [notify_url(final)])

    def test_unfinished_file_left_by_a_killed_process_is_removed_at_start(self):
        stale = self.board.path(QUEUE_DIR + "/.incomplete.user0_20240105100000_000004.avi")
        whole = self.board.path(QUEUE_DIR + "/user0_20240105100000_000005.avi")
        for p in (stale, whole):
            with open(p, "wb") as f:
                f.write(b"x")
        server = self.serve(up=False)
        d = self.board.start()
        d.wait_for("Init result:")
        self.assertFalse(os.path.exists(stale))
        self.assertIn("removed an unfinished queue file (its writer ended before completing it): " + stale, d.stdout)
        self.assertTrue(os.path.exists(whole))
        server.start()
        d.wait_for(re.escape("saving a notification call: " + notify_url(whole)), timeout=60)

    def test_server_down_keeps_the_file_and_no_notification_until_it_is_back(self):
        self.board.use_upload_tool(QUICK_REDIAL_TOOL)
        server = self.serve(up=False)
        d = self.board.start()
        d.wait_for("FTP thread created successfully!")
        clip = self.board.queue_file("user0_20240105100000_000006.avi", b"waits for the server")
        self.wait_until(lambda: d.stdout.count("Result: 256\n") >= 2, 30, "two failed uploads")
        self.assertTrue(os.path.exists(clip))
        self.assertEqual(self.board.notification_urls(), [])
        server.start()
        d.wait_for(re.escape("saving a notification call: " + notify_url(clip)), timeout=30)
        time.sleep(2.5)
        self.assertEqual(self.board.notification_urls(), [notify_url(clip)])
        self.assertEqual(self.on_server("user0_20240105100000_000006.avi"), b"waits for the server")
        self.assertFalse(os.path.exists(clip))

    def test_exit_during_an_upload_ends_the_process_after_the_clip_is_stored_and_announced(self):
        server = self.serve()
        server.slow(25000)  # 300 kB take about 12 s: longer than the grace period
        d = self.board.start()
        d.wait_for("FTP thread created successfully!")
        name = "user0_20240105100000_000007.avi"
        data = os.urandom(300000)
        clip = self.board.queue_file(name, data)
        d.wait_for(re.escape("Calling: ") + ".*" + re.escape(clip))
        self.board.control("exit")
        self.assertEqual(d.wait(90), 0)
        # A tool left running by the daemon would store the clip after it ended.
        harness.wait_until(lambda: os.path.exists(os.path.join(self.server_dir, SERIAL, name)), 20,
                           "the clip on the server")
        self.assertEqual(self.on_server(name), data)
        self.assertEqual(self.board.notification_urls(), [notify_url(clip)])
        self.assertIn("waiting for the upload under way to finish", d.stdout)


class HostileSerialUploadTest(UploadTestBase):
    # An EEPROM serial (12 characters at most) made of shell syntax: run by a
    # shell it would create files "z" and "y" in the daemon's directory. The
    # daemon keeps only its leading letters, digits, '-' and '_': "a".
    serial = "a'$(>z)`>y`"

    def test_hostile_serial_is_cut_and_a_hostile_name_arrives_whole_running_nothing(self):
        self.serve()
        d = self.board.start(cwd=self.board.dir)
        d.wait_for("FTP thread created successfully!")
        self.assertIn("serial cut there", d.stdout)
        clip = self.board.queue_file("it's $(>x) `>w`;>v.avi", b"hostile but whole")
        d.wait_for("saving a notification call: ", timeout=30)
        self.assertEqual(self.on_server("it's $(>x) `>w`;>v.avi", serial="a"), b"hostile but whole")
        self.assertEqual(os.listdir(self.server_dir), ["a"])
        self.assertEqual(self.board.notification_urls(), [notify_url(clip, "a")])
        for marker in ("z", "y", "x", "w", "v"):
            self.assertFalse(os.path.exists(self.board.path("/" + marker)), marker)
            self.assertFalse(os.path.exists(self.board.path(QUEUE_DIR + "/" + marker)), marker)


if __name__ == "__main__":
    unittest.main()
