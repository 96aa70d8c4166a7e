"""The daemon killed with SIGKILL in the middle of making or sending a clip,
as the board's supervisor does when it stops the service (the whole process
group goes, the upload tool included; a converter runs under its time limit
in a group of its own and may outlive it, holding its clip's lock), then
started again. No
partial clip may ever reach the upload server, and every clip whose raw
material survived the kill must arrive after the restart, exactly once,
with one notification record.

To hit the middle of a step reliably, the step is made slow: a converter
that waits before converting, one that waits after converting (before the
daemon moves the clip into the queue), an FTP server that reads slowly.
Each marks on the board when it has begun."""
import glob
import os
import re
import shutil
import stat
import tempfile
import time
import unittest

import harness
from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, PRELOAD, QUEUE, ServerLedger,
                            check_clip_shows_camera, clip_readings, converted_clips, fresh_board,
                            keep_output_on_failure, notify_url, start_direct_path)
from harness import FtpServer, wait_until

FRONT_END = harness.board_root.CONVERTER


def write_script(path, text):
    """A fresh executable file at `path` (a link standing there is replaced,
    never written through)."""
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
class KilledDirectPathTest(unittest.TestCase):
    """Two cameras (inputs 0 and 1) on the direct path, one user request."""

    def setUp(self):
        self.board = fresh_board(self, switches="1100")
        self.ftp = FtpServer(self.board.path("/ftp"))
        self.addCleanup(self.ftp.close)
        self.ledger = ServerLedger(self.ftp)
        self.marks = self.board.path("/marks")
        os.makedirs(self.marks)
        keep_output_on_failure(self, lambda: self.board.daemon)

    def mark(self, name):
        return os.path.join(self.marks, name)

    def slow_converter(self, seconds):
        write_script(self.board.path("/usr/bin/avconv"),
                     "#!/bin/sh\ntouch %s\nsleep %d\nexec %s \"$@\"\n" % (self.mark("converting"), seconds, FRONT_END))

    def slow_after_converting(self, seconds):
        """A converter that, once its MP4 file is made, waits before it ends
        (the daemon checks and moves the file into the queue after that)."""
        write_script(self.board.path("/usr/bin/avconv"),
                     "#!/bin/sh\n%s \"$@\"\ns=$?\ntouch %s\nsleep %d\nexit $s\n"
                     % (FRONT_END, self.mark("converted"), seconds))

    def record_and_kill_at(self, mark, env=None):
        """First run: a user request, then SIGKILL of the whole process
        group once `mark` exists. Returns the clips the run set out to make."""
        d = start_direct_path(self.board, True, env=env)
        d.wait_for(r"/dev/video1 format succeeded!", timeout=30, stream="stderr")
        time.sleep(2)
        self.board.write_control(user_video=1700000001)
        wait_until(lambda: len(converted_clips(d.stdout)) == 2 and os.path.exists(self.mark(mark)), 60,
                   "both clips saved and the slow step begun", d)
        time.sleep(0.5)
        made = converted_clips(d.stdout)
        d.stop()
        self.first_stdout = d.stdout
        self.first_pid = d.proc.pid
        return made

    def restart_and_check(self, made):
        """Second run with the ordinary tools: every clip of `made` (by the
        first run, process `self.first_pid`) reaches the server exactly
        once, whole, and is announced once."""
        harness.board_root.link(self.board.path("/usr/bin/avconv"), FRONT_END)
        d = start_direct_path(self.board, True)
        names = sorted(os.path.basename(p) for p in made)
        wait_until(lambda: set(names) <= set(self.ledger.files()), 90, "the clips of the killed run on the server", d)
        wait_until(lambda: {notify_url(p) for p in made} <= set(self.board.notification_urls()), 30,
                   "their notifications", d)
        time.sleep(2)  # a few more queue walks
        d.stop()
        for p in made:
            self.assertEqual(self.board.notification_urls().count(notify_url(p)), 1, p)
        counts = self.ledger.store_counts()
        for name in names:
            self.assertEqual(counts.get(name), 1, "%s stored %s times" % (name, counts.get(name)))
        for name in names:
            device = int(re.match(r"user_(\d)_", name).group(1))
            counters = check_clip_shows_camera(self, os.path.join(self.ledger.dir, name), device)
            # A whole recording: about 100 frames of the camera.
            self.assertGreaterEqual(counters[-1] - counters[0] + 1, 80, name)
            harness.check_frame_counters(self, counters, name, self.board.camera_drops(device, self.first_pid))
        # Nothing half made is left to be uploaded later.
        self.assertEqual(glob.glob(self.board.path("/tmp/*.raw")), [])
        self.assertEqual([n for n in os.listdir(self.board.path(QUEUE)) if n.endswith(".mp4")], [])
        self.assertEqual(sorted(os.listdir(self.ledger.dir)), names, "something besides the whole clips on the server")
        return d

    def test_killed_during_a_conversion_every_clip_arrives_once_after_the_restart(self):
        self.slow_converter(5)
        made = self.record_and_kill_at("converting")
        # The raw clips wait in /tmp for the next run.
        self.assertEqual(len(glob.glob(self.board.path("/tmp/user_*.raw"))), 2)
        d = self.restart_and_check(made)
        self.assertEqual(d.stdout.count("Queueing the conversion of a clip left by the last run"), 2)

    def test_killed_between_a_conversion_and_the_move_into_the_queue_the_restart_recovers_it(self):
        self.slow_after_converting(5)
        made = self.record_and_kill_at("converted")
        self.restart_and_check(made)

    def test_killed_during_an_upload_the_clip_arrives_whole_once(self):
        # 8 kB/s: an upload of a clip (about 100 kB) takes seconds.
        self.ftp.slow(8000)
        d = start_direct_path(self.board, True)
        d.wait_for(r"/dev/video1 format succeeded!", timeout=30, stream="stderr")
        time.sleep(2)
        self.board.write_control(user_video=1700000001)
        d.wait_for(r"Calling: .* /BBBK1234 \S+/queue/user_\d_", timeout=60)
        wait_until(lambda: os.path.isdir(self.ledger.dir) and os.listdir(self.ledger.dir), 10, "an upload to begin", d)
        time.sleep(0.5)
        made = converted_clips(d.stdout)
        d.stop()
        self.first_pid = d.proc.pid
        partial = [n for n in os.listdir(self.ledger.dir) if n.endswith(".uploading")]
        self.assertTrue(partial, "the kill did not cut an upload short")
        self.assertEqual(self.ledger.files(), [])
        self.assertEqual(self.board.notification_urls(), [])
        self.ftp.slow(0)
        self.restart_and_check(made)


def picture_reading(path):
    """The pattern reading of a picture file (copied first: ffmpeg takes the
    colon in "video0:-..." for a protocol)."""
    d = tempfile.mkdtemp(prefix="cm-picture-")
    try:
        copy = os.path.join(d, "picture.png")
        shutil.copyfile(path, copy)
        readings = clip_readings(copy)
    finally:
        shutil.rmtree(d, ignore_errors=True)
    return readings[0] if readings else None


@unittest.skipUnless(HAVE_CAMERAS, "the emulated cameras are not part of this build")
class KilledDefaultPathTest(unittest.TestCase):
    """The default path with its file store: two cameras, all four inputs."""

    CAMERAS = "0 MJPG 640x480 30; 1 MJPG 640x480 30"
    CAPTURED = re.compile(r"^video([01]):Captured in \d+ms!!  Memory is \d+ MB, cvf=-?\d+, input: ([0-3])$", re.M)

    def setUp(self):
        self.board = fresh_board(self, switches="0000")
        keep_output_on_failure(self, lambda: self.board.daemon)

    def start(self, faster, clock_from=None):
        """`clock_from`: a time ("YYYY-mm-dd HH:MM:SS") the clock of an
        unhurried run starts from, so that it follows on from a hurried
        run's (whose clock ran ahead ten times as fast)."""
        env = {"EMUCAM_CONFIG": self.CAMERAS}
        preload = PRELOAD
        if FAKETIME_LIBS and (faster or clock_from):
            env.update({"FAKETIME": "+0 x10" if faster else "@" + clock_from, "FAKETIME_DONT_RESET": "1"})
            preload += " " + FAKETIME_LIBS[0]
        d = self.board.start("-allcamson", "-ds", env=env, preload=preload)
        d.wait_for("Capture video thread created successfully!", timeout=30)
        return d

    def test_killed_while_writing_an_avi_no_partial_clip_is_uploaded_and_its_pictures_are_not_lost(self):
        # First run: no upload (the clips stay in the queue), an alert once
        # every input has pictures, SIGKILL while a clip is being written.
        self.board.use_upload_tool("/bin/false")
        d = self.start(faster=True)
        wait_until(lambda: all(sum(1 for _, k in self.CAPTURED.findall(d.stdout) if k == str(i)) >= 4
                               for i in range(4)), 120, "pictures of every input", d)
        self.board.write_control(alert=1)
        queue = self.board.path(QUEUE)

        def writing():
            return [n for n in os.listdir(queue) if n.startswith(".incomplete.user")]
        partial = wait_until(writing, 60, "a clip being written", d, step=0.005)
        d.stop()
        m = re.match(r"\.incomplete\.user(\d)_", partial[0])
        self.assertIsNotNone(m, partial)
        interrupted = int(m.group(1))
        complete = sorted(n for n in os.listdir(queue) if n.endswith(".avi") and not n.startswith("."))
        picture_dir = self.board.path(harness.HOME + "/%d" % (interrupted + 1))
        left = sorted(os.path.join(picture_dir, n) for n in os.listdir(picture_dir))
        self.assertTrue(left, "no pictures of the interrupted input on disk")
        wanted = {picture_reading(p) for p in left}
        wanted.discard(None)  # a picture the kill cut short
        self.assertTrue(wanted)

        # Second run: uploads work; a user request makes the next clips.
        ftp = FtpServer(self.board.path("/ftp"))
        self.addCleanup(ftp.close)
        ledger = ServerLedger(ftp)
        self.board.use_upload_tool("/usr/bin/ncftpput")
        self.board.write_control(alert=0)
        # Restarted at once: pictures are taken back only while they belong
        # to the store's span, so the clock goes on from the newest one.
        taken = [m.group(1) for i in range(1, 5) for n in os.listdir(self.board.path(harness.HOME + "/%d" % i))
                 for m in [re.match(r"^video\d:-(\d{14})_\d{6}\.png$", n)] if m]
        newest = time.mktime(time.strptime(max(taken), "%Y%m%d%H%M%S"))
        d = self.start(faster=False, clock_from=time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(newest + 1)))
        self.assertNotIn(partial[0], os.listdir(queue))
        time.sleep(1)
        self.board.write_control(user_video=1700000001)
        d.wait_for(r"video created with \d+ images", timeout=60)

        def next_clip_uploaded():
            names = [n for n in ledger.files() if n.startswith("user%d_" % interrupted) and n not in complete]
            return names
        new = wait_until(next_clip_uploaded, 90, "the interrupted input's next clip on the server", d)
        wait_until(lambda: set(complete) <= set(ledger.files()), 60, "the clips completed before the kill", d)
        time.sleep(2)
        d.stop()

        # Nothing partial reached the server; everything there reads back
        # whole, and was stored and announced once.
        counts = ledger.store_counts()
        urls = self.board.notification_urls()
        self.assertEqual(sorted(os.listdir(ledger.dir)), ledger.files())
        for name in ledger.files():
            self.assertFalse(name.startswith("."), name)
            self.assertEqual(counts.get(name), 1, name)
            self.assertEqual(urls.count(notify_url(self.board.path(QUEUE + "/" + name))), 1, name)
            readings = clip_readings(os.path.join(ledger.dir, name))
            self.assertTrue(readings, name)
            self.assertNotIn(None, readings, "an unreadable frame in " + name)
        # The interrupted clip's pictures were taken back at the start and
        # went into that input's next clip; their files are gone.
        got = set()
        for name in new:
            got |= set(clip_readings(os.path.join(ledger.dir, name)))
        self.assertLessEqual(wanted, got, "pictures of the interrupted clip were lost")
        for p in left:
            self.assertFalse(os.path.exists(p), "a picture of the interrupted clip was never used: " + p)


if __name__ == "__main__":
    unittest.main()
