"""Conversion faults on the direct path, with the package's real converter
front end (packaging/avconv on Debian's ffmpeg) at the board's
/usr/bin/avconv. Where a test needs a broken converter, a wrapper stands at
/usr/bin/avconv that only does what a real broken converter does (ends with
an error, is killed, runs slowly) and otherwise runs the front end.

Every road ends the same way: every clip the daemon set out to make is on
the FTP server once, whole (ffprobe decodes it, its frames show its own
camera in order), with one notification record, and nothing is left in
/tmp or the queue. The retry pauses are minutes of the daemon's clock, so
the daemon runs under faketime ten times faster (the cameras keep real
time)."""
import glob
import json
import os
import re
import stat
import subprocess
import threading
import time
import unittest

import harness
from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, QUEUE, ServerLedger, check_clip_shows_camera,
                            converted_clips, fresh_board, keep_output_on_failure, notify_url, start_direct_path)
from harness import FtpServer, wait_until

FRONT_END = harness.board_root.CONVERTER
FASTER = 10
NOBODY = 65534


def write_script(path, text):
    """A fresh executable file at `path` (a link standing there is replaced)."""
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def stream_info(path):
    out = subprocess.run(["/usr/bin/ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=codec_name,width,height,avg_frame_rate", "-of", "json", path],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)["streams"][0]


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
class ConversionFaultsTest(unittest.TestCase):
    def setUp(self):
        self.board = fresh_board(self, switches="1100")
        self.ftp = FtpServer(self.board.path("/ftp"))
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)
        self.marks = self.board.path("/marks")
        os.makedirs(self.marks)
        self.converter = self.board.path("/usr/bin/avconv")
        keep_output_on_failure(self, lambda: self.board.daemon)

    def broken_converter(self, cases):
        """A wrapper that counts its runs per raw clip (n = 1, 2, ...) and
        acts on `cases`, a sh case body over $n; "*) exec FRONT_END" ends it."""
        write_script(self.converter,
                     'for a; do [ "$prev" = -i ] && in=$a; prev=$a; done\n'
                     'm=%s/$(basename "$in"); echo x >> "$m"; n=$(wc -l < "$m")\n'
                     'case $n in\n%s\n  *) exec %s "$@";;\nesac\n' % (self.marks, cases, FRONT_END))

    def request_clips(self, d):
        d.wait_for(r"/dev/video1 format succeeded!", timeout=30, stream="stderr")
        time.sleep(1)
        self.board.write_control(user_video=1700000001)

    def check_delivered(self, made, pids, planted=()):
        """Every clip of `made` once on the server, whole, announced once."""
        names = sorted(set(os.path.basename(p) for p in made))
        self.assertEqual(len(names), 2, made)
        self.assertEqual(sorted(os.listdir(self.ledger.dir)), names, "something besides the whole clips on the server")
        counts = self.ledger.store_counts()
        urls = self.board.notification_urls()
        for name in names:
            self.assertEqual(counts.get(name), 1, "%s stored %s times" % (name, counts.get(name)))
            self.assertEqual(urls.count(notify_url(self.board.path(QUEUE + "/" + name))), 1, name)
            device = int(re.match(r"user_(\d)_", name).group(1))
            path = os.path.join(self.ledger.dir, name)
            counters = check_clip_shows_camera(self, path, device)
            drops = set()
            for pid in pids:
                drops |= self.board.camera_drops(device, pid)
            harness.check_frame_counters(self, counters, name, drops)
        self.assertEqual(len(urls), 2)
        left = [n for n in os.listdir(self.board.path("/tmp")) if ".raw" in n]
        self.assertEqual(sorted(set(left) - {os.path.basename(p) for p in planted}), [])
        self.assertEqual([n for n in os.listdir(self.board.path(QUEUE))], [])

    def test_mjpeg_and_yuyv_clips_survive_a_failing_converter_and_planted_links(self):
        # Camera 1 offers only YUYV and keeps 30 frames a second: the daemon
        # asks for Motion-JPEG at 10 and gets YUYV at 30.
        cameras = "0 MJPG 320x240 30; 1 YUYV 320x240 30 fixed-rate; 2 MJPG 320x240 30; 3 MJPG 320x240 30"
        self.broken_converter("  1|2|3) exit 1;;")
        tmp = self.board.path("/tmp")
        victim_dir = self.board.path("/victim")
        os.makedirs(victim_dir)
        victim = os.path.join(victim_dir, "precious")
        with open(victim, "w") as f:
            f.write("precious")
        # Another user's things at the private directory's name pattern.
        os.symlink(victim_dir, os.path.join(tmp, "capture_module.convert.AAAAAA"))
        os.lchown(os.path.join(tmp, "capture_module.convert.AAAAAA"), NOBODY, NOBODY)
        theirs = os.path.join(tmp, "capture_module.convert.BBBBBB")
        os.makedirs(theirs)
        with open(os.path.join(theirs, "file"), "w") as f:
            f.write("theirs")
        os.chown(theirs, NOBODY, NOBODY)
        # A watcher plants, as soon as a raw clip appears, a link and a
        # directory at every other name the daemon could use for it.
        planted = []
        stop = threading.Event()

        def plant():
            seen = set()
            while not stop.is_set():
                for raw in glob.glob(os.path.join(tmp, "user_*.raw")):
                    stem = os.path.basename(raw)[:-4]
                    if stem in seen or os.path.islink(raw) or not os.path.isfile(raw):
                        continue
                    seen.add(stem)
                    for name, kind in ((stem + ".mp4", "link"), (stem + ".raw.failed", "link"),
                                       (stem + ".raw.failed.format", "dir"), (stem + "-2.raw", "link"),
                                       (stem + "-2.raw.format", "dir")):
                        p = os.path.join(tmp, name)
                        try:
                            if kind == "link":
                                os.symlink(victim, p)
                            else:
                                os.mkdir(p)
                            os.lchown(p, NOBODY, NOBODY)
                            planted.append(p)
                        except OSError:
                            pass
                time.sleep(0.002)
        watcher = threading.Thread(target=plant, daemon=True)
        watcher.start()
        self.addCleanup(stop.set)

        d = start_direct_path(self.board, cameras, faster=FASTER)
        self.request_clips(d)
        wait_until(lambda: len(self.ledger.files()) >= 2 and len(self.board.notification_urls()) >= 2, 120,
                   "both clips on the server after three failed conversions each", d)
        time.sleep(1)  # more walks of the queue: nothing more may come
        stop.set()
        d.stop()
        made = converted_clips(d.stdout)
        self.check_delivered(made, [d.proc.pid], planted)

        out = d.stdout
        # Camera 1's clip was read as raw YUYV of its size at the rate it
        # kept; camera 0's as Motion-JPEG at the rate it was set to.
        self.assertRegex(out, r"mp4 convert cmd: .* -f rawvideo -pix_fmt yuyv422 -s 320x240  -r 30 -i \S+/user_1_")
        self.assertRegex(out, r"mp4 convert cmd: .* -f mjpeg  -r 10 -i \S+/user_0_")
        for name in self.ledger.files():
            info = stream_info(os.path.join(self.ledger.dir, name))
            self.assertEqual((info["codec_name"], info["width"], info["height"]), ("h264", 320, 240), name)
        self.assertEqual(out.count("attempt 3 of 5"), 2)
        self.assertNotIn("set aside", out)
        daily = "".join(self.board.read(p[len(self.board.dir):])
                        for p in glob.glob(self.board.path(harness.HOME + "/log/2*.txt")))
        self.assertEqual(daily.count("failed (the converter status 1), attempt 1 of 5"), 2)
        # What was planted is untouched, and nothing went through it.
        self.assertTrue(planted)
        with open(victim) as f:
            self.assertEqual(f.read(), "precious")
        self.assertEqual(os.listdir(victim_dir), ["precious"])
        with open(os.path.join(theirs, "file")) as f:
            self.assertEqual(f.read(), "theirs")
        for p in planted:
            self.assertTrue(os.path.lexists(p), p)

    def test_a_killed_converter_and_a_daemon_ended_mid_conversion_lose_no_clip(self):
        # First try of each clip: the converter is killed mid-way (as the
        # kernel's out-of-memory killer does). Second try: slow, and the
        # daemon is ended by the exit flag while it runs; the converter
        # outlives it and still holds the clip when the next start comes.
        self.broken_converter('  1) %s "$@" & sleep 0.3; kill -9 $!; kill -9 $$;;\n'
                              '  2) touch %s/slow; sleep 150; exec %s "$@";;' % (FRONT_END, self.marks, FRONT_END))
        d = start_direct_path(self.board, True, faster=FASTER)
        self.request_clips(d)
        wait_until(lambda: os.path.exists(os.path.join(self.marks, "slow")), 60, "a slow second try to begin", d)
        made = converted_clips(d.stdout)
        self.board.control("exit")
        self.assertEqual(d.wait(30), 0)
        first = d.stdout
        self.assertEqual(first.count("killed by signal 9), attempt 1 of 5"), 2, first[-3000:])

        # Started again at once, with the plain front end.
        self.board.write_control()
        harness.board_root.link(self.converter, FRONT_END)
        d2 = start_direct_path(self.board, True, faster=FASTER)
        wait_until(lambda: len(self.ledger.files()) >= 2 and len(self.board.notification_urls()) >= 2, 120,
                   "both clips on the server", d2)
        time.sleep(1)
        d2.stop()
        self.assertIn("waits: another converter still works on it", d2.stdout)
        self.check_delivered(made, [d.proc.pid, d2.proc.pid])


if __name__ == "__main__":
    unittest.main()
