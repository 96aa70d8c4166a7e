"""Power cuts on the direct path's clip road. /tmp and the base directory
are ext4 on loop devices (two file systems, then one), mounted with a
minute's commit interval so that what reaches them is what the daemon
synced. A request makes four clips; the daemon's process group is stopped
at five points and the images copied: what a power cut leaves. Each copy
is checked by e2fsck and run by a fresh daemon, with the FTP server as it
was: every clip queued for conversion before the cut reaches the server
whole with exactly one record, nothing stays in /tmp or the queue, and
only a clip whose record had not reached the card is stored again."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from harness import HOME, FtpServer, probe_clip, wait_until  # first: emulation/ on the import path
from board_card import Card, group, run, stop_group
from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, QUEUE, ServerLedger, check_clip_shows_camera,
                            converted_clips, fresh_board, keep_output_on_failure, notify_url, start_direct_path)

CUTS = ("raw clip written", "converting", "in the queue", "uploaded", "recorded")


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("CM_E2E_PRIVATE_MOUNTS") == "1",
                     "needs root in a mount namespace of its own (tests/e2e/own_network.sh)")
class PowerCutTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="cm-power-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.board = fresh_board(self, switches="1111")
        self.cards, self.ftp = [], None
        self.addCleanup(self.unmount)
        keep_output_on_failure(self, lambda: self.board.daemon)

    def unmount(self):
        if self.board.daemon is not None:
            self.board.daemon.stop()
        if self.ftp is not None:
            self.ftp.close()
            self.ftp = None
        while self.cards:
            self.cards.pop().close()

    def mount(self, images, fresh):
        for image in sorted(set(images.values())):
            self.cards.append(Card(image, 96 if fresh else None))
            self.cards[-1].put(self.board.dir, image + ".top", [p for p, i in images.items() if i == image],
                               copy=fresh, options="commit=60")

    def road(self, images):
        """One request, a copy of the cards and of the server at each cut."""
        self.unmount()
        self.mount(images, fresh=True)
        self.ftp = FtpServer(tempfile.mkdtemp(dir=self.work))
        ledger = ServerLedger(self.ftp)
        d = start_direct_path(self.board)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=60, stream="stderr")
        self.board.control("user-video", 1700000000)
        queue = self.board.path(QUEUE)
        reached = {"raw clip written": lambda: converted_clips(d.stdout),
                   "converting": lambda: [c for c, _ in group(d.proc.pid) if c == "ffmpeg"],
                   "in the queue": lambda: [n for n in os.listdir(queue) if n.endswith(".mp4") and n[0] != "."],
                   "uploaded": lambda: list(self.ftp.stored),
                   "recorded": self.board.notification_urls}
        cuts = []
        for name in CUTS:
            wait_until(reached[name], 120, name, d, step=0.005)
            self.assertTrue(stop_group(d.proc.pid), "%s: %s" % (name, group(d.proc.pid)))
            at = tempfile.mkdtemp(dir=self.work)
            for image in set(images.values()):
                run("cp", "--sparse=always", image, at)
            shutil.copytree(self.ftp.dir, at + "/ftp")
            cuts.append({"name": name, "ftp": at + "/ftp", "on server": ledger.files(),
                         "images": {p: os.path.join(at, os.path.basename(i)) for p, i in images.items()},
                         "queued": [os.path.basename(p)[:-4] for p in converted_clips(d.stdout)]})
            os.killpg(d.proc.pid, signal.SIGCONT)
        self.unmount()
        return cuts

    def replay(self, cut):
        self.unmount()
        for image in set(cut["images"].values()):
            mend = subprocess.run(["e2fsck", "-fy", image], capture_output=True, text=True)
            check = subprocess.run(["e2fsck", "-fn", image], capture_output=True, text=True)
            self.assertEqual((mend.returncode <= 1, check.returncode), (True, 0), mend.stdout + check.stdout)
        self.mount(cut["images"], fresh=False)
        recorded = self.board.notification_urls()
        self.ftp = FtpServer(cut["ftp"])
        ledger = ServerLedger(self.ftp)
        d = start_direct_path(self.board, faster=10)

        def left():  # still on its way: queued files, raw clips, clips not on the server, records
            missing = sorted({n + ".mp4" for n in cut["queued"]} - set(ledger.files()))
            unrecorded = len(ledger.files()) - len(self.board.notification_urls())
            return (os.listdir(self.board.path(QUEUE)) + [n for n in os.listdir(self.board.path("/tmp")) if ".raw" in n]
                    + missing + ["%d records" % unrecorded] * (unrecorded > 0))
        try:
            wait_until(lambda: not left(), 90, "every clip delivered", d, step=0.5)
        except AssertionError as e:
            raise AssertionError("%s: still %s\n%s" % (cut["name"], left(), e)) from None
        time.sleep(2)  # more walks of the queue: nothing comes twice
        d.stop()
        on_server = ledger.files()
        self.assertEqual(sorted(self.board.notification_urls()),
                         sorted(notify_url(self.board.path(QUEUE + "/" + n)) for n in on_server))
        for name in on_server:
            path = os.path.join(ledger.dir, name)
            self.assertEqual(probe_clip(path)[:3], ("h264", 320, 240), name)
            check_clip_shows_camera(self, path, int(name.split("_")[1]))
        again = [n for n in ledger.store_counts() if n in cut["on server"]]
        self.assertEqual([n for n in again if notify_url(self.board.path(QUEUE + "/" + n)) in recorded], [])
        self.assertEqual([n for n, k in ledger.store_counts().items() if k > 1], [], "stored twice")
        print("cut '%s': %d clips queued, %d on the server, %d of them stored again; after: %d on the server"
              % (cut["name"], len(cut["queued"]), len(cut["on server"]), len(again), len(on_server)))

    def test_every_clip_survives_a_power_cut_anywhere_on_its_road(self):
        for shared in (False, True):
            print("\n/tmp and the base directory on %s:" % ("one file system" if shared else "two"))
            names = ("card.img", "card.img") if shared else ("tmp.img", "home.img")
            for cut in self.road({"/tmp": os.path.join(self.work, names[0]), HOME: os.path.join(self.work, names[1])}):
                with self.subTest(one_file_system=shared, cut=cut["name"]):
                    self.replay(cut)

if __name__ == "__main__":
    unittest.main()
