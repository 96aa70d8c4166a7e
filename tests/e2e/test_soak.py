"""Soak run: four cameras on the direct path, an alert or a user video
request every few seconds, and the FTP server going down and coming back
all along. Afterwards every clip the daemon made is on the server exactly
once, whole, and the notification file holds exactly one record per upload;
the daemon's descriptor count and resident memory, sampled every two
seconds, are flat: the second half of the run is compared with the first,
within a tolerance.

CM_SOAK_SECONDS sets the length of the run (default 180); a developer
soaks for longer with, say, CM_SOAK_SECONDS=1800. The daemon's clock runs
five times faster (faketime), so that the 45-second pause after an alert
takes nine seconds; the cameras keep real time."""
import os
import statistics
import threading
import time
import unittest

from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, QUEUE, ServerLedger, check_clip_shows_camera,
                            clips_by_device, converted_clips, fresh_board, keep_output_on_failure, notify_url,
                            proc_sample, start_direct_path)
from harness import FtpServer, wait_until

SOAK_SECONDS = float(os.environ.get("CM_SOAK_SECONDS", "180"))
SPEEDUP = 5
SAMPLE_EVERY = 2.0
REQUEST_EVERY = 4.0
# The FTP server is up for UP seconds, then down for DOWN seconds.
UP, DOWN = 14.0, 7.0
# Flatness: the second half may exceed the first by this much.
DESCRIPTOR_SLACK = 2
MEMORY_SLACK_KB = 4096
MEMORY_SLACK_RATIO = 0.10
# No new clip for this long after the last request: the run has settled.
SETTLE_SECONDS = 20.0


class Sampler(threading.Thread):
    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.samples = []  # (descriptors, resident kB)
        self.done = threading.Event()

    def run(self):
        while not self.done.wait(SAMPLE_EVERY):
            s = proc_sample(self.pid)
            if s is None:
                return
            self.samples.append(s)


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
class SoakTest(unittest.TestCase):
    def setUp(self):
        self.board = fresh_board(self)
        keep_output_on_failure(self, lambda: self.board.daemon)
        self.ftp = FtpServer(self.board.path("/ftp"))
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)

    def test_alerts_and_requests_with_a_flapping_server_every_clip_once_and_a_flat_process(self):
        d = start_direct_path(self.board, True, faster=SPEEDUP)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=60, stream="stderr")
        # The first recordings fill the memory the daemon keeps for good.
        time.sleep(12)
        sampler = Sampler(d.proc.pid)
        sampler.start()
        self.addCleanup(sampler.done.set)

        start = time.monotonic()
        next_flap = start + UP
        server_up = True
        stamp = 1700000000
        step = 0
        while time.monotonic() - start < SOAK_SECONDS:
            self.assertIsNone(d.proc.poll(), "the daemon ended:\n" + d.stdout[-3000:])
            # Requests: alert up, alert down, a user request, in turn.
            kind = step % 3
            if kind == 0:
                self.board.write_control(alert=1, user_video=stamp)
            elif kind == 1:
                self.board.write_control(alert=0, user_video=stamp)
            else:
                stamp += 1
                self.board.write_control(alert=0, user_video=stamp)
            step += 1
            now = time.monotonic()
            if now >= next_flap:
                if server_up:
                    self.ftp.stop()
                    next_flap = now + DOWN
                else:
                    self.ftp.start()
                    next_flap = now + UP
                server_up = not server_up
            time.sleep(REQUEST_EVERY)
        sampler.done.set()
        sampler.join(10)
        self.board.write_control(alert=0, user_video=stamp)
        if not server_up:
            self.ftp.start()

        # Every clip made gets uploaded once the server stays up. The last
        # requests' clips may still be recording when the earlier ones are
        # all uploaded: the set of clips must also stay the same for a while.
        settled = {"made": None, "since": 0.0}

        def all_uploaded():
            made = converted_clips(d.stdout)
            finished = d.stdout.count("cmd result: ") >= len(made)
            if not (made and finished and {notify_url(p) for p in made} <= set(self.board.notification_urls())):
                settled["made"] = None
                return None
            if made != settled["made"]:
                settled.update(made=made, since=time.monotonic())
                return None
            return made if time.monotonic() - settled["since"] >= SETTLE_SECONDS else None
        made = wait_until(all_uploaded, 240, "every clip uploaded", d, step=1.0)
        d.stop()
        self.assertEqual(converted_clips(d.stdout), made, "a clip made after the run had settled")

        runs = d.stdout.count("Creating usre video thread!")
        alerts = d.stdout.count("capture module received an alert!")
        self.assertGreaterEqual(alerts, 2, "too few alerts in the run")
        self.assertGreater(runs, alerts, "no user request in the run")
        by_device = clips_by_device(made)
        self.assertEqual(sorted(by_device), [0, 1, 2, 3])
        # Each camera has a clip of most runs (a run may catch a camera
        # between two recordings of too few frames to save).
        for device, names in by_device.items():
            self.assertGreaterEqual(len(names), runs // 2, "camera %d: %d clips of %d runs" % (device, len(names), runs))

        self.assertEqual(set(self.board.notification_urls()), {notify_url(p) for p in made},
                         "a notification without an upload")
        urls = self.board.notification_urls()
        for p in made:
            self.assertEqual(urls.count(notify_url(p)), 1, p)
        names = sorted(os.path.basename(p) for p in made)
        self.assertEqual(len(names), len(set(names)))
        self.assertEqual(self.ledger.files(), names)
        self.assertEqual(os.listdir(self.board.path(QUEUE)), [])
        for device, clips in by_device.items():
            for name in clips:
                check_clip_shows_camera(self, os.path.join(self.ledger.dir, name), device)

        samples = sampler.samples
        self.assertGreaterEqual(len(samples), 10, "too few samples")
        half = len(samples) // 2
        first, second = samples[:half], samples[half:]
        fd_first, fd_second = max(s[0] for s in first), max(s[0] for s in second)
        self.assertLessEqual(fd_second, fd_first + DESCRIPTOR_SLACK,
                             "descriptors grew: %s" % [s[0] for s in samples])
        rss_first = statistics.median(s[1] for s in first)
        rss_second = statistics.median(s[1] for s in second)
        self.assertLessEqual(rss_second, rss_first * (1 + MEMORY_SLACK_RATIO) + MEMORY_SLACK_KB,
                             "resident memory grew: %s" % [s[1] for s in samples])
        print("\nsoak: %.0f s, %d runs (%d alerts), %d clips, descriptors %d -> %d, resident %d -> %d kB" % (
            SOAK_SECONDS, runs, alerts, len(made), fd_first, fd_second, rss_first, rss_second))


if __name__ == "__main__":
    unittest.main()
