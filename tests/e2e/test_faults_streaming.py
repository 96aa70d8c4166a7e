"""Streaming server faults: a server that takes the pictures but never
answers, one that closes the connection in the middle of a message, one that
reads very slowly, and none at all. Meanwhile the daemon's other work goes
on: user video requests still give clips that are uploaded and announced.
Its descriptors are sampled all along: never more than one socket, and no
more descriptors than before streaming began, give or take the few a
running shell command holds.

The daemon's clock runs ten times faster (faketime), so that a streaming
hold of about two minutes, after which the next stamp (and with it the
next mode) is taken, lasts about twelve seconds; the cameras keep real time."""
import os
import threading
import time
import unittest

import harness
from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, clips_by_device, converted_clips, descriptor_targets,
                            fresh_board, keep_output_on_failure, notify_url, proc_sample, start_direct_path)
from harness import FtpServer, StreamingServer, wait_until

SPEEDUP = 10
HOLD = 121.0 / SPEEDUP  # real seconds of one streaming hold


class DescriptorSampler:
    """Samples the daemon's descriptors every 0.2 s on a thread of its own."""

    def __init__(self, pid):
        self.pid = pid
        self.samples = []  # (time, descriptors, sockets)
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set():
            s = proc_sample(self.pid)
            if s is None:
                return
            try:
                targets = descriptor_targets(self.pid)
            except OSError:
                return
            sockets = sum(1 for t in targets if "socket:" in t)
            self.samples.append((time.monotonic(), s[0], sockets, targets))
            self._stop.wait(0.2)

    def stop(self):
        self._stop.set()
        self._thread.join(5)

    def between(self, t0, t1):
        return [s for s in self.samples if t0 <= s[0] <= t1]


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
class StreamingServerFaultsTest(unittest.TestCase):
    def setUp(self):
        # Inputs 0 and 1 only: two cameras start quickly.
        self.board = fresh_board(self, switches="1100")
        self.ftp = FtpServer(self.board.path("/ftp"))
        self.addCleanup(self.ftp.close)
        self.server = None
        keep_output_on_failure(self, lambda: self.board.daemon)

    def serve(self, fault):
        if self.server is not None:
            self.server.stop()
            self.server = None
        # The slow server reads 4000 bytes a second, a tenth of what the
        # daemon sends in the stream mode.
        self.server = StreamingServer(address=harness.DEFAULT_STREAMING_SERVER, fault=fault, http_port=0,
                                      slow_rate=4000 if fault == "slow" else None)
        return self.server

    def tearDown(self):
        if self.server is not None:
            self.server.stop()

    def test_other_work_goes_on_and_no_descriptor_leaks_whatever_the_server_does(self):
        d = start_direct_path(self.board, True, faster=SPEEDUP)
        d.wait_for(r"/dev/video1 format succeeded!", timeout=30, stream="stderr")
        d.wait_for("video streaming monitoring thread start!", timeout=30)
        sampler = DescriptorSampler(d.proc.pid)
        self.addCleanup(sampler.stop)
        time.sleep(3)
        baseline = max(s[1] for s in sampler.samples)

        stamp = 1700000000
        user = 1700000500
        phases = [("silent", 1), ("close-mid", 1), ("slow", 9), (None, 1)]
        seen = {}
        for k, (fault, mode) in enumerate(phases):
            if fault is None:
                if self.server is not None:
                    self.server.stop()
                    self.server = None
            else:
                self.serve(fault)
            stamp += 10
            before = d.stdout.count("capture module received streaming request")
            self.board.write_control(stream=stamp + mode, user_video=user + k)
            # The stamp is taken once the previous hold is over.
            wait_until(lambda: d.stdout.count("capture module received streaming request") > before, HOLD + 8,
                       "streaming request %d" % k, d)
            taken = time.time()
            time.sleep(HOLD - 1.5)
            # What the server saw in this mode (it may have been up before
            # the previous hold ended).
            entries = [e for e in self.server.entries() if e["time"] >= taken] if self.server else []
            seen[fault] = (entries, d.stdout)

        # What the server saw shows each fault was met.
        silent = seen["silent"][0]
        self.assertTrue([e for e in silent if e["event"] == "message"], "no request reached the silent server")
        closed = [e for e in seen["close-mid"][0] if e["event"] == "closed-mid-message"]
        self.assertGreaterEqual(len(closed), 3, "the daemon did not come back after connections were cut")
        slow = [e for e in seen["slow"][0] if e["event"] == "message"]
        self.assertTrue([e for e in slow if e["mode"] == "stream"], "no stream-mode request read slowly")
        out = d.stdout
        self.assertIn("EURL: rror recieving from server.", out)
        self.assertIn("URL: Error with client connecting to server", out)  # no server at all

        # Other work went on: every user request gave clips of both cameras,
        # each uploaded and announced once.
        wait_until(lambda: all(len(v) >= len(phases) for v in clips_by_device(converted_clips(d.stdout)).values())
                   and len(clips_by_device(converted_clips(d.stdout))) == 2, 60, "clips of every request", d)
        made = converted_clips(d.stdout)
        wait_until(lambda: set(notify_url(p) for p in made) <= set(self.board.notification_urls()), 60,
                   "uploads of every clip", d)
        uploads = [u for u in self.board.notification_urls() if "notify_file_upload" in u]
        self.assertEqual(sorted(uploads), sorted(notify_url(p) for p in made))
        on_server = sorted(os.listdir(os.path.join(self.ftp.dir, "BBBK1234")))
        self.assertEqual(sorted(os.path.basename(p) for p in made), [n for n in on_server if n.endswith(".mp4")])

        # Descriptors: one streaming socket at most, and no growth.
        sampler.stop()
        self.assertTrue(sampler.samples)
        for t, count, sockets, targets in sampler.samples:
            self.assertLessEqual(sockets, 1, "several sockets open at once:\n" + "\n".join(targets))
        peak = max(s[1] for s in sampler.samples)
        # A running shell command (conversion, upload) holds no descriptor of
        # the daemon's; the slack is for the one streaming socket and the
        # descriptors a log write or a control-file read holds for a moment.
        self.assertLessEqual(peak, baseline + 4, "descriptors grew from %d to %d:\n%s" % (
            baseline, peak, "\n".join(max(sampler.samples, key=lambda s: s[1])[3])))
        self.assertIsNone(d.proc.poll())


if __name__ == "__main__":
    unittest.main()
