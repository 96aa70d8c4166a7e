#!/usr/bin/python3
"""The reference streaming server (emulation/streaming_server.py), keeping
what a benchmark needs to tell how old each picture is when it arrives.

Everything the reference server does stays as it is (framing checks,
replies, --log). Besides, the pictures of every --sample-th message are
appended, as they arrive, to DIR/input<i>.mjpeg (JPEG files back to back:
a Motion-JPEG stream that ffmpeg reads whole), and one line per picture
"INPUT MONOTONIC_SECONDS" to DIR/arrivals.txt, in the same order. The
pictures' block patterns (emulation/emucam_pattern.py) carry the camera's
frame counter; the emulated cameras' frame log (EMUCAM_FRAME_LOG) tells
when each counter was made, on the same monotonic clock.

Usage: picture_age_server.py [--keep-dir DIR] [--sample N] [reference server options]
(DIR defaults to "kept" beside the --log file, so that a harness that
starts the reference server starts this one with the same options.)
"""
import argparse
import os
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "emulation"))
import streaming_server  # noqa: E402


class KeepingState(streaming_server.State):
    def __init__(self, keep_dir, sample, *args):
        super().__init__(*args)
        self.keep_dir = keep_dir
        self.sample = max(1, sample)
        self.seen = 0
        self.keep_lock = threading.Lock()
        self.streams = [open(os.path.join(keep_dir, "input%d.mjpeg" % i), "ab") for i in range(4)]
        self.arrivals = open(os.path.join(keep_dir, "arrivals.txt"), "a")

    def count(self, key, n=1):
        super().count(key, n)
        if key == "messages":
            with self.keep_lock:
                self.seen += 1

    def keep(self, i, data):
        # Called for each picture of a message before the message is counted:
        # the pictures of message number `seen` (from 0) are kept when it is
        # a multiple of the sample.
        arrived = time.monotonic()
        super().keep(i, data)
        with self.keep_lock:
            if self.seen % self.sample:
                return
            self.streams[i].write(data)
            self.streams[i].flush()
            self.arrivals.write("%d %.6f\n" % (i, arrived))
            self.arrivals.flush()


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0], add_help=False)
    ap.add_argument("--keep-dir")
    ap.add_argument("--sample", type=int, default=4)
    ap.add_argument("--log")
    a, rest = ap.parse_known_args(argv)
    if a.log:
        rest += ["--log", a.log]
    if not a.keep_dir:
        if not a.log:
            ap.error("--keep-dir or --log is needed")
        a.keep_dir = os.path.join(os.path.dirname(os.path.abspath(a.log)), "kept")
    os.makedirs(a.keep_dir, exist_ok=True)
    real_state = streaming_server.State
    streaming_server.State = lambda *args: KeepingState(a.keep_dir, a.sample, *args)
    try:
        return streaming_server.main(rest)
    finally:
        streaming_server.State = real_state


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
