"""The wall clock stepped back 2 h and forward 27 years around requests, on both paths at once: libfaketime
with an offset rewritten while the daemons run, the monotonic clock left alone, as by NTP. (The kernel stamps
files by its own clock, so the order of eviction after a step is a unit test's: disk_space_test.)"""
import glob
import os
import time
import unittest

from faults_support import FAKETIME_LIBS, HAVE_CAMERAS, PRELOAD, QUEUE, SMALL_CLIPS, ServerLedger, notify_url
from harness import HOME, Board, FtpServer, board_root, wait_until


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
class ClockStepsTest(unittest.TestCase):
    def step(self, seconds):
        with open(self.offset + ".new", "w") as f:
            f.write("%+d\n" % seconds)
        os.replace(self.offset + ".new", self.offset)
        time.sleep(1.5)  # taken up within a second

    def test_clips_retries_store_and_daily_log_through_steps(self):
        usb, avi = Board(switches="1100"), Board(serial="CLOCKAVI", switches="1000")
        ftp = FtpServer(usb.path("/ftp"))
        for cleanup in (usb.cleanup, avi.cleanup, ftp.close):
            self.addCleanup(cleanup)
        ledgers = {usb: ServerLedger(ftp), avi: ServerLedger(ftp, "CLOCKAVI")}
        days = {b: lambda b=b: {os.path.basename(p) for p in glob.glob(b.path(HOME + "/log/2*.txt"))} for b in ledgers}
        pictures, store = lambda: glob.glob(avi.path(HOME + "/1/video*.png")), []  # input 0's store, on disk
        self.offset, converter = usb.path("/offset"), usb.path("/usr/bin/avconv")
        self.step(0)
        os.unlink(converter)  # conversions fail until it is back, as while the package is upgraded
        env = {"FAKETIME_TIMESTAMP_FILE": self.offset, "FAKETIME_CACHE_DURATION": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1"}
        preload = PRELOAD + " " + FAKETIME_LIBS[0]
        d = usb.start(*SMALL_CLIPS, env=dict(env, EMUCAM_CONFIG="0 MJPG 320x240 30; 1 MJPG 320x240 30"), preload=preload)
        a = avi.start("-sl30", env=dict(env, EMUCAM_CONFIG="0 MJPG 640x480 30; 1 MJPG 640x480 30"), preload=preload)
        wait_until(lambda: len(pictures()) >= 30, 120, "a full store (-sl30)", a)
        boot_days = {b: days[b]() for b in ledgers}
        usb.control("user-video")
        wait_until(lambda: d.stdout.count("attempt 1 of 5; trying again in 30 s") == 2, 60, "two failed conversions", d)
        board_root.link(converter, board_root.CONVERTER)
        self.step(-2 * 3600)
        wait_until(lambda: store.append(len(pictures())) or len(ledgers[usb].files()) == 2, 60, "the retries 30 s on", d)
        avi.control("user-video")
        wait_until(lambda: len(ledgers[avi].files()) == 1, 60, "the default path's clip", a)
        self.step(27 * 365 * 24 * 3600)
        wait_until(pictures, 30, "a picture for the default path's next clip", a)
        for b in ledgers:
            b.control("user-video")
        wait_until(lambda: len(ledgers[usb].files()) == 4 and len(ledgers[avi].files()) == 2, 90, "the last clips", d)
        time.sleep(2.5)  # more walks of the queues: nothing more may come
        # The store keeps its length: two capture threads, one picture each between its file and the trim.
        self.assertLessEqual(max(store), 32)
        self.assertLessEqual(int(a.stdout.split("images to add: ")[1].split()[0]), 32)
        for b, serial in ((usb, "BBBK1234"), (avi, "CLOCKAVI")):
            self.assertIsNone(b.daemon.proc.poll())
            self.assertEqual(set(ledgers[b].store_counts().values()), {1})
            self.assertEqual(sorted(b.notification_urls()),
                             [notify_url(b.path(QUEUE + "/" + n), serial) for n in ledgers[b].files()])
            self.assertLessEqual(boot_days[b], days[b]())  # the boot's day survives the step forward
            self.assertTrue([n for n in days[b]() if n > "2050"], days[b]())
