"""Power cuts on the clip road of the direct path.

The board's /tmp and base directory are ext4 file systems on loop devices
(mounted in the test's private mount namespace, which the end-to-end tests
get from own_network.sh), either one file system for both or one each. A
user request makes four clips; while they go their way the daemon (and the
converter and upload tool it runs, its whole process group) is stopped
with SIGSTOP at chosen points:
  - a raw clip written (its conversion queued: "mp4 convert cmd: "),
  - a converter running,
  - a clip in the upload queue under its final name,
  - a clip stored on the FTP server (its upload tool not done yet),
  - its notification record appended.
At each, once every thread is stopped, the loop devices' backing files are
copied: the copy holds only what reached the device, never the mounted
file system's cache, which is what a power cut leaves. The file systems
are mounted with a commit interval of a minute, so that nothing reaches
the device in the background during the road: whatever the copy holds the
daemon synced itself, and no background commit tears a copy.

Each copy is then checked (e2fsck replays its journal; a second, read-only
pass finds nothing), mounted on the same board, and a fresh daemon runs on
it with the FTP server as it was at the cut. Every clip whose conversion
was queued before the cut must reach the server, decode and show its own
camera, and carry exactly one notification record; nothing is left in the
queue or /tmp; and a clip the server held before the cut is stored again
only when its record had not reached the device (an upload cut before its
record is made again)."""
import collections
import os
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from faults_support import (FAKETIME_LIBS, HAVE_CAMERAS, QUEUE, Card, ServerLedger, check_clip_shows_camera,
                            converted_clips, fresh_board, keep_output_on_failure, notify_url, put_on_card,
                            run, start_direct_path)
from harness import HOME, NOTIFY_FILE, FtpServer, probe_clip, wait_until

FASTER = 10
CARD_MB = 96
CUTS = ("raw clip written", "converting", "in the queue", "uploaded", "recorded")
REPLAY_SECONDS = 90


def process_group_tasks(pgid):
    """(pid, tid, state) of every thread of every process in group `pgid`."""
    out = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            if int(fields[2]) != pgid:
                continue
            for tid in os.listdir("/proc/%s/task" % pid):
                with open("/proc/%s/task/%s/stat" % (pid, tid)) as f:
                    out.append((int(pid), int(tid), f.read().rsplit(")", 1)[1].split()[0]))
        except (FileNotFoundError, ProcessLookupError, IndexError):
            pass
    return out


def group_runs(pgid, command):
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open("/proc/%s/stat" % pid) as f:
                    head, tail = f.read().rsplit(")", 1)
                if int(tail.split()[2]) == pgid and head.split("(", 1)[1] == command:
                    return True
            except (FileNotFoundError, ProcessLookupError, IndexError):
                pass
    return False


def stop_group(pgid):
    """Stops the group and waits until every thread of it has stopped (a
    thread in a system call, an fsync say, stops when the call returns).
    The signal goes again while waiting: a child started just as it went
    did not get it."""
    def stopped():
        os.killpg(pgid, signal.SIGSTOP)
        return all(state in "TtZ" for _, _, state in process_group_tasks(pgid))
    wait_until(stopped, 20, "every thread of the daemon's group stopped", step=0.01)


def fsck(image):
    """e2fsck replays the journal and mends (status 0 or 1); then a
    read-only pass must find the file system clean."""
    first = subprocess.run(["e2fsck", "-fy", image], capture_output=True, text=True)
    second = subprocess.run(["e2fsck", "-fn", image], capture_output=True, text=True)
    return first.returncode, second.returncode, first.stdout + second.stdout


@unittest.skipUnless(HAVE_CAMERAS and FAKETIME_LIBS, "the emulated cameras or faketime are missing")
@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("CM_E2E_PRIVATE_MOUNTS") == "1",
                     "needs root in a mount namespace of its own (tests/e2e/own_network.sh)")
class PowerCutTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="cm-power-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cards = []
        self.addCleanup(self.close_cards)
        self.board = fresh_board(self, switches="1111")
        keep_output_on_failure(self, lambda: self.board.daemon)
        self.ftp = None

    def close_cards(self):
        if self.board.daemon is not None:
            self.board.daemon.stop()
        if self.ftp is not None:
            self.ftp.close()
            self.ftp = None
        for card in self.cards:
            card.close()
        self.cards = []

    def layout(self, shared):
        """The cards' images by the board directory they hold."""
        if shared:
            return {"/tmp": os.path.join(self.work, "card.img"), HOME: os.path.join(self.work, "card.img")}
        return {"/tmp": os.path.join(self.work, "tmp.img"), HOME: os.path.join(self.work, "home.img")}

    def mount(self, images, fresh):
        """Puts the board's /tmp and base directory on the cards' images
        (fresh: made now, with what stood there)."""
        by_image = collections.defaultdict(list)
        for board_path, image in images.items():
            by_image[image].append(board_path)
        for image, board_paths in by_image.items():
            card = Card(image, CARD_MB if fresh else None)
            self.cards.append(card)
            put_on_card(self.board, card, image + ".top", board_paths, copy=fresh, options="commit=60")

    def road(self, images):
        """One request through the road, a copy of the cards and the server
        at every cut; returns the cuts."""
        self.mount(images, fresh=True)
        self.ftp = FtpServer(tempfile.mkdtemp(prefix="ftp-", dir=self.work))
        ledger = ServerLedger(self.ftp)
        d = start_direct_path(self.board)
        d.wait_for(r"/dev/video3 format succeeded!", timeout=60, stream="stderr")
        self.board.control("user-video", 1700000000)
        pgid = d.proc.pid
        queue = self.board.path(QUEUE)
        reached = {
            "raw clip written": lambda: converted_clips(d.stdout),
            "converting": lambda: group_runs(pgid, "ffmpeg"),
            "in the queue": lambda: [n for n in os.listdir(queue) if n.endswith(".mp4") and n[0] != "."],
            "uploaded": lambda: list(self.ftp.stored),
            "recorded": lambda: self.board.notification_urls(),
        }
        cuts = []
        for name in CUTS:
            wait_until(reached[name], 120, name, d, step=0.005)
            stop_group(pgid)
            at = tempfile.mkdtemp(prefix="cut%d-" % len(cuts), dir=self.work)
            copies = {}
            for board_path, image in images.items():
                copies[board_path] = os.path.join(at, os.path.basename(image))
                if not os.path.exists(copies[board_path]):
                    run("cp", "--sparse=always", image, copies[board_path])
            shutil.copytree(self.ftp.dir, os.path.join(at, "ftp"))
            cuts.append({"name": name, "images": copies, "ftp": os.path.join(at, "ftp"),
                         "queued": [os.path.basename(p)[:-4] for p in converted_clips(d.stdout)],
                         "on server": ledger.files()})
            os.killpg(pgid, signal.SIGCONT)
        self.close_cards()
        return cuts

    def replay(self, cut):
        """A fresh daemon on the copy of one cut."""
        for image in set(cut["images"].values()):
            first, second, text = fsck(image)
            self.assertLessEqual(first, 1, "%s, %s: e2fsck -fy\n%s" % (cut["name"], image, text))
            self.assertEqual(second, 0, "%s, %s: e2fsck -fn after the repair\n%s" % (cut["name"], image, text))
        self.mount(cut["images"], fresh=False)
        recorded_at_cut = [os.path.basename(u) for u in self.board.notification_urls()]
        self.ftp = FtpServer(cut["ftp"])
        ledger = ServerLedger(self.ftp)
        d = start_direct_path(self.board, faster=FASTER)
        queue, tmp = self.board.path(QUEUE), self.board.path("/tmp")

        def state():
            return {"queued at the cut": cut["queued"], "on the server": ledger.files(),
                    "records": [os.path.basename(u) for u in self.board.notification_urls()],
                    "queue": sorted(os.listdir(queue)), "raw clips": sorted(n for n in os.listdir(tmp) if ".raw" in n)}

        def delivered():
            now = state()
            return (all(stem + ".mp4" in now["on the server"] for stem in cut["queued"])
                    and len(now["records"]) >= len(now["on the server"]) and not now["queue"] and not now["raw clips"])
        try:
            wait_until(delivered, REPLAY_SECONDS, "every clip delivered", d, step=0.5)
        except AssertionError as e:
            raise AssertionError("cut '%s': %s\n%s" % (cut["name"], state(), e)) from None
        time.sleep(2)  # more walks of the queue: nothing comes twice
        d.stop()

        on_server = ledger.files()
        records = collections.Counter(self.board.notification_urls())
        self.assertEqual(sorted(records), sorted(notify_url(self.board.path(QUEUE + "/" + n)) for n in on_server))
        self.assertEqual([u for u, n in records.items() if n > 1], [], "%s: records twice" % cut["name"])
        for name in on_server:
            path = os.path.join(ledger.dir, name)
            self.assertEqual(probe_clip(path)[:3], ("h264", 320, 240), name)
            check_clip_shows_camera(self, path, int(name.split("_")[1]))
        stored_again = sorted(n for n in ledger.store_counts() if n in cut["on server"])
        unrecorded = [n for n in cut["on server"] if n not in recorded_at_cut]
        self.assertEqual([n for n in stored_again if n not in unrecorded], [],
                         "%s: clips recorded before the cut, stored again" % cut["name"])
        self.assertEqual([n for n in ledger.store_counts().values() if n > 1], [])
        print("cut '%s': %d clips queued, %d on the server and %d recorded at the cut, %d stored again; "
              "after: %d on the server" % (cut["name"], len(cut["queued"]), len(cut["on server"]),
                                           len(recorded_at_cut), len(stored_again), len(on_server)))
        self.close_cards()

    def test_every_clip_survives_a_power_cut_anywhere_on_its_road(self):
        for shared in (False, True):
            print("\n/tmp and the base directory on %s:" % ("one file system" if shared else "two"))
            try:
                cuts = self.road(self.layout(shared))
            finally:
                self.close_cards()
            for cut in cuts:
                with self.subTest(one_file_system=shared, cut=cut["name"]):
                    try:
                        self.replay(cut)
                    finally:
                        self.close_cards()


if __name__ == "__main__":
    unittest.main()
