"""Upload faults with the daemon's own clips: the FTP server down, then
refusing every login, then back but reading slowly. Clips made meanwhile
wait in the queue without a notification; once the server takes them each
arrives whole, is stored once and announced by exactly one record."""
import os
import time
import unittest

from faults_support import (HAVE_CAMERAS, QUEUE, ServerLedger, check_clip_shows_camera, clips_by_device,
                            converted_clips, fresh_board, keep_output_on_failure, notify_url,
                            start_direct_path)
from harness import QUICK_REDIAL_TOOL, FtpServer, wait_until


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
class UploadFaultsTest(unittest.TestCase):
    def setUp(self):
        # Inputs 0 and 1: two clips per request.
        self.board = fresh_board(self, switches="1100")
        keep_output_on_failure(self, lambda: self.board.daemon)
        self.ftp = FtpServer(self.board.path("/ftp"), up=False)
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)

    def request_clips(self, d, stamp, count_before):
        """A user request; waits until both cameras' clips stand in the queue."""
        self.board.write_control(user_video=stamp)

        def queued():
            made = converted_clips(d.stdout)
            return len(made) >= count_before + 2 and all(
                os.path.exists(p) or os.path.basename(p) in self.ledger.files() for p in made) and made
        return wait_until(queued, 60, "the clips of request %d" % stamp, d, step=0.2)

    def failed_uploads(self, d):
        return d.stdout.count("Result: ") - d.stdout.count("Result: 0\n")

    def test_down_refusing_and_slow_server_lose_no_clip_and_upload_none_twice(self):
        # Failed connections cost 2 s each instead of 40 with this tool.
        self.board.use_upload_tool(QUICK_REDIAL_TOOL)
        d = start_direct_path(self.board, True)
        d.wait_for(r"/dev/video1 format succeeded!", timeout=30, stream="stderr")
        time.sleep(8)

        # The server is down.
        made = self.request_clips(d, 1700000001, 0)
        failed = self.failed_uploads(d)
        wait_until(lambda: self.failed_uploads(d) >= failed + 2, 30, "uploads failing against a server that is down", d)
        self.assertEqual(self.board.notification_urls(), [])
        for p in made:
            self.assertTrue(os.path.exists(p), p)

        # Up, but every login is refused.
        self.ftp.refuse_logins(True)
        self.ftp.start()
        failed = self.failed_uploads(d)
        made = self.request_clips(d, 1700000002, len(made))
        wait_until(lambda: self.failed_uploads(d) >= failed + 4, 30, "uploads failing on refused logins", d)
        self.assertEqual(self.board.notification_urls(), [])
        self.assertEqual(self.ledger.files(), [])
        for p in made:
            self.assertTrue(os.path.exists(p), p)

        # Logins accepted, transfers slow (the real tool: the quick one's
        # shortened time-out is too short for these).
        self.board.use_upload_tool("/usr/bin/ncftpput")
        self.ftp.slow(30000)
        self.ftp.refuse_logins(False)
        made = self.request_clips(d, 1700000003, len(made))
        self.assertEqual(len(made), 6)
        wait_until(lambda: {notify_url(p) for p in made} <= set(self.board.notification_urls()), 120,
                   "every clip uploaded and announced", d, step=0.5)
        time.sleep(3)  # more queue walks: nothing is announced again
        d.stop()

        urls = self.board.notification_urls()
        self.assertEqual(sorted(urls), sorted(notify_url(p) for p in made))
        names = sorted(os.path.basename(p) for p in made)
        self.assertEqual(self.ledger.files(), names)
        self.assertEqual(sorted(os.listdir(self.ledger.dir)), names, "a partial upload left on the server")
        counts = self.ledger.store_counts()
        self.assertEqual({n: counts.get(n) for n in names}, {n: 1 for n in names})
        self.assertEqual(os.listdir(self.board.path(QUEUE)), [])
        for device, clips in clips_by_device(made).items():
            for name in clips:
                check_clip_shows_camera(self, os.path.join(self.ledger.dir, name), device)


if __name__ == "__main__":
    unittest.main()
