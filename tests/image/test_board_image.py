#!/usr/bin/python3
"""The Debian package on a Debian 12 board image, as a board gets it.

A fresh writable copy (an overlay) of a minimal Debian 12 root of the
package's architecture gets the package with `apt-get install ./...deb`, so
that every dependency comes from Debian; nothing else of the project goes
in but the emulated cameras (libemucam.so of that architecture, through
LD_PRELOAD) and the board's kernel side as plain files in the image's own
/sys (the GPIO switch tree and the identity EEPROM). /usr/bin/capture_module
then runs in the image (chroot) as its systemd unit starts it: the unit's
ExecStart with the options of /etc/default/capture-module, no
CAPTURE_MODULE_ROOT, so that it uses the image's /home/Tarvisel, /tmp,
/usr/bin/avconv (the package's converter front end on the image's ffmpeg)
and /usr/bin/ncftpput. The companion's side is the image's capture_control.
The upload server (emulation/ftp_server.py) runs outside the image on
127.0.0.1:21 of the private network that scripts/run-board-image-tests.sh
gives the test.

Run by scripts/run-board-image-tests.sh, which makes the base root
(CM_IMAGE_BASE), the package (CM_IMAGE_DEB) and the build of that
architecture (CM_BUILD_DIR, for the emulated cameras), and gives the test
a mount namespace and a network namespace of its own."""
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SOURCE_DIR = os.environ["CM_SOURCE_DIR"]
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
import harness  # noqa: E402
from harness import HOME, NOTIFY_FILE, QUEUE_DIR  # noqa: E402

sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import board_root  # noqa: E402
import emucam_pattern  # noqa: E402

BASE = os.environ["CM_IMAGE_BASE"]
ARCH = os.environ["CM_IMAGE_ARCH"]
DEB = os.environ["CM_IMAGE_DEB"]
# The emulated cameras in the image: the one file of the project there
# besides the package.
EMUCAM_DIR = "/usr/local/lib/capture-module-test"
EMUCAM = EMUCAM_DIR + "/libemucam.so"
UNIT = "/usr/lib/systemd/system/capture_module.service"
DEFAULTS = "/etc/default/capture-module"
# The environment systemd gives a system service.
SERVICE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"
SERIAL = "IMAGE" + ARCH.upper()
# User-mode emulation runs the armhf image several times slower: every wait
# for the daemon is stretched by this much there.
SLOW = 4 if ARCH != os.uname().machine.replace("x86_64", "amd64") else 1
# Two cameras at a low rate keep the emulated run short.
FPS = 5
SIZE = "640x480"
SELECTED = (0, 1)
SWITCHES = "1100"
DIRECT_CLIP = re.compile(r"^(user|usb)_([0-3])_\d{14}_\d{6}(-\d+)?\.mp4$")
AVI_CLIP = re.compile(r"^user([0-3])_\d{14}_\d{6}(-\d+)?\.avi$")
CAPTURED = re.compile(r"^video[01]:Captured in \d+ms!!  Memory is \d+ MB, cvf=-?\d+, input: ([0-3])$", re.M)


def cameras(fmt):
    return "; ".join("%d %s %s %d" % (cam, fmt, SIZE, FPS) for cam in SELECTED)


class BoardImage:
    """A fresh writable copy of the base root, with /proc and /dev mounted
    (in the test's own mount namespace)."""

    def __init__(self):
        self.tmp = tempfile.mkdtemp(prefix="cm-image-")
        self.root = os.path.join(self.tmp, "root")
        for d in ("upper", "work", "root"):
            os.mkdir(os.path.join(self.tmp, d))
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o", "lowerdir=%s,upperdir=%s/upper,workdir=%s/work"
                        % (BASE, self.tmp, self.tmp), self.root], check=True)
        subprocess.run(["mount", "-t", "proc", "proc", self.root + "/proc"], check=True)
        subprocess.run(["mount", "--rbind", "/dev", self.root + "/dev"], check=True)

    def path(self, image_path):
        return self.root + image_path

    def command(self, *cmd, env=None):
        """The host command line that runs `cmd` in the image with only `env`."""
        pairs = ["%s=%s" % kv for kv in dict({"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}, **(env or {})).items()]
        return ["chroot", self.root, "/usr/bin/env", "-i"] + pairs + list(cmd)

    def run(self, *cmd, env=None, timeout=300):
        return subprocess.run(self.command(*cmd, env=env), capture_output=True, text=True, timeout=timeout,
                              stdin=subprocess.DEVNULL, env={"PATH": os.environ["PATH"]})

    def files(self):
        """Every path in the image, but the mounted /proc and /dev."""
        found = set()
        for top, dirs, names in os.walk(self.root):
            rel = top[len(self.root):] or "/"
            if rel == "/":
                dirs[:] = [d for d in dirs if d not in ("proc", "dev")]
            for n in dirs + names:
                found.add(os.path.join(rel, n))
        return found

    def processes(self):
        """Pids of the processes whose root is the image."""
        pids = []
        for pid in os.listdir("/proc"):
            try:
                if pid.isdigit() and os.readlink("/proc/%s/root" % pid) == self.root:
                    pids.append(int(pid))
            except OSError:
                pass
        return pids

    def close(self):
        subprocess.run(["umount", "-R", self.root], check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)


class ImageDaemon(harness.Daemon):
    """capture_module started in the image as its systemd unit starts it."""

    def __init__(self, board, options, cameras):
        self.board = board
        image = board.image
        with open(image.path(DEFAULTS)) as f:
            text = f.read()
        with open(image.path(DEFAULTS), "w") as f:
            f.write(re.sub(r"^CAPTURE_MODULE_OPTIONS=.*$", 'CAPTURE_MODULE_OPTIONS="%s"' % options, text, flags=re.M))
        env = {"PATH": SERVICE_PATH, "LD_PRELOAD": EMUCAM, "EMUCAM_CONFIG": cameras,
               "EMUCAM_DROP_LOG": harness.DROP_LOG}
        argv = unit_command(image, env)
        self.out_path = os.path.join(board.logs, "daemon.stdout")
        self.err_path = os.path.join(board.logs, "daemon.stderr")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(["chroot", image.root, "/usr/bin/env", "-i"] +
                                     ["%s=%s" % kv for kv in env.items()] + argv,
                                     stdin=subprocess.DEVNULL, stdout=self._out, stderr=self._err,
                                     env={"PATH": os.environ["PATH"]}, start_new_session=True)

    def stop(self):
        """As systemd stops the unit (KillMode=control-group): SIGTERM to
        the whole group, SIGKILL to what is left after TimeoutStopSec."""
        try:
            os.killpg(self.proc.pid, signal.SIGTERM)
            self.proc.wait(10)
        except ProcessLookupError:
            pass
        except subprocess.TimeoutExpired:
            pass
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(10)
        self._out.close()
        self._err.close()


def unit_command(image, env):
    """The installed unit's ExecStart, its variables expanded as systemd
    does, from the unit's EnvironmentFile (added to `env`)."""
    with open(image.path(UNIT)) as f:
        lines = [line.strip() for line in f]
    service = lines[lines.index("[Service]") + 1:]
    setting = {}
    for line in service:
        if line.startswith("["):
            break
        if "=" in line and not line.startswith("#"):
            k, v = line.split("=", 1)
            setting[k] = v
    for line in service:
        if line.startswith("Environment="):
            env.update(w.split("=", 1) for w in shlex.split(line[len("Environment="):]))
    env_file = setting["EnvironmentFile"].lstrip("-")
    with open(image.path(env_file)) as f:
        for line in f:
            words = shlex.split(line, comments=True)
            if words and "=" in words[0]:
                k, v = words[0].split("=", 1)
                env[k] = v
    argv = []
    for word in shlex.split(setting["ExecStart"]):
        # "$NAME" alone is split at blanks, "${NAME}" is one word.
        m = re.fullmatch(r"\$(\w+)|\$\{(\w+)\}", word)
        if m and m.group(1):
            argv += env.get(m.group(1), "").split()
        elif m:
            argv.append(env.get(m.group(2), ""))
        else:
            argv.append(word)
    return argv


class ImageBoard(harness.Board):
    """The board that the image is: its daemon, its companion tool."""

    def __init__(self, image):
        self.image = image
        self.dir = image.root
        self.daemon = None
        self.logs = tempfile.mkdtemp(prefix="cm-image-logs-")

    def start(self, options, cameras):
        self.daemon = ImageDaemon(self, options, cameras)
        return self.daemon

    def control(self, *words):
        r = self.image.run("/usr/bin/capture_control", *[str(w) for w in words], timeout=60)
        if r.returncode != 0:
            raise AssertionError("capture_control %s: status %d\n%s" % (" ".join(map(str, words)), r.returncode,
                                                                      r.stderr))
        return r.stdout

    def cleanup(self):
        if self.daemon is not None:
            self.daemon.stop()
            self.daemon = None


def ignored_after_purge(path):
    """Paths that the test itself or dpkg and apt keep: not the package's."""
    if path.startswith("/var/lib/dpkg/alternatives"):
        return False
    return path in ("/sys", harness.DROP_LOG) or path.startswith(
        ("/sys/", "/run/", EMUCAM_DIR, "/usr/local/lib/", "/var/lib/dpkg/", "/var/lib/apt/", "/var/cache/apt/",
         "/var/cache/debconf/", "/var/log/"))


class BoardImageTest(unittest.TestCase):
    """One image through its life: install, the roads, purge (in this order)."""

    @classmethod
    def setUpClass(cls):
        cls.image = image = BoardImage()
        try:
            os.makedirs(image.path(EMUCAM_DIR))
            shutil.copy(os.path.join(harness.BUILD_DIR, "emulation", "libemucam.so"), image.path(EMUCAM))
            board_root.make_sys(image.root, serial=SERIAL, switches=SWITCHES)
            cls.before = image.files()
            name = os.path.basename(DEB)
            shutil.copy(DEB, image.path("/tmp/" + name))
            r = image.run("apt-get", "install", "-y", "--no-install-recommends", "/tmp/" + name,
                          env={"DEBIAN_FRONTEND": "noninteractive"})
            os.unlink(image.path("/tmp/" + name))
            if r.returncode != 0:
                raise AssertionError("apt-get install of %s in the image failed (does the package depend on a "
                                     "package that the base root of scripts/run-board-image-tests.sh lacks?):\n%s%s"
                                     % (name, r.stdout, r.stderr))
        except BaseException:
            image.close()
            raise
        cls.board = ImageBoard(image)

    @classmethod
    def tearDownClass(cls):
        cls.board.cleanup()
        shutil.rmtree(cls.board.logs, ignore_errors=True)
        cls.image.close()

    def setUp(self):
        self.server_dir = tempfile.mkdtemp(prefix="cm-image-ftp-")
        self.server = harness.FtpServer(self.server_dir)
        self.addCleanup(os.unlink, self.server_dir + ".log")
        self.addCleanup(shutil.rmtree, self.server_dir, ignore_errors=True)
        self.addCleanup(self.server.close)
        self.addCleanup(self.board.cleanup)

    def start(self, options, cameras):
        """Starts the daemon on a fresh board: no control record, no
        notifications, no camera drops of an earlier run."""
        for p in (harness.CONTROL_FILE, NOTIFY_FILE, harness.DROP_LOG):
            if os.path.exists(self.image.path(p)):
                os.unlink(self.image.path(p))
        return self.board.start(options, cameras)

    def test_1_image_tools_and_unit(self):
        # The converter is the package's front end on the image's ffmpeg,
        # the upload tool Debian's.
        r = self.image.run("update-alternatives", "--query", "avconv")
        self.assertIn("Value: /usr/libexec/capture-module/avconv", r.stdout, r.stdout + r.stderr)
        self.assertEqual(self.image.run("dpkg", "-S", "/usr/bin/ncftpput").stdout.split(":")[0], "ncftp")
        self.assertEqual(self.image.run("dpkg", "-S", "/usr/bin/ffmpeg").stdout.split(":")[0], "ffmpeg")
        # The unit against the image's own systemd and units.
        r = self.image.run("systemd-analyze", "verify", UNIT)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))

    def wait_until(self, condition, what, timeout):
        try:
            harness.wait_until(condition, timeout * SLOW, what, self.board.daemon, step=0.2)
        except AssertionError as e:
            # The converter's command lines and results tell most.
            runs = re.findall(r"^(?:running cmd|cmd result): .*$", self.board.daemon.stdout, re.M)
            raise AssertionError("%s\nconversions:\n%s" % (e, "\n".join(runs))) from None

    def on_server(self, pattern):
        d = os.path.join(self.server_dir, SERIAL)
        return sorted(n for n in os.listdir(d) if pattern.match(n)) if os.path.isdir(d) else []

    def check_notified_and_gone(self, names):
        """One record per clip, naming it in the image's upload queue, and
        nothing left in the queue or in /tmp."""
        expected = sorted("/notify_file_upload.php?deviceid=%s&fpath=%s/%s" % (SERIAL, QUEUE_DIR, n) for n in names)
        self.assertEqual(sorted(self.board.companion_notifications()), expected)
        self.assertEqual(os.listdir(self.image.path(QUEUE_DIR)), [])
        self.assertEqual([n for n in os.listdir(self.image.path("/tmp")) if n.endswith((".raw", ".mp4"))], [])
        self.assertIsNone(self.board.daemon.proc.poll())

    def direct_path_road(self, fmt, options):
        d = self.start("-usb -camfps%d %s -s%s" % (FPS, options, SIZE), cameras(fmt))
        d.wait_for("video streaming monitoring thread start!", timeout=60 * SLOW)
        for cam in SELECTED:
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=30 * SLOW, stream="stderr")

        def clips(kind):
            return {int(DIRECT_CLIP.match(n).group(2)): n for n in self.on_server(DIRECT_CLIP)
                    if DIRECT_CLIP.match(n).group(1) == kind}

        self.board.control("user-video")
        self.wait_until(lambda: len(clips("user")) == len(SELECTED), "the user clips on the server", 120)
        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10 * SLOW)
        self.board.control("alert", "off")
        self.wait_until(lambda: len(clips("usb")) == len(SELECTED), "the alert clips on the server", 120)
        self.wait_until(lambda: len(self.board.companion_notifications()) >= 2 * len(SELECTED),
                        "a notification record per clip", 20)
        time.sleep(2.5 * SLOW)  # more walks of the queue: nothing more may come

        names = self.on_server(DIRECT_CLIP)
        self.assertEqual(len(names), 2 * len(SELECTED), names)
        users, alerts = clips("user"), clips("usb")
        for kind, found, least in (("user", users, int(2.8 * FPS)), ("alert", alerts, 1)):
            self.assertEqual(sorted(found), list(SELECTED), kind)
            for cam, name in found.items():
                path = os.path.join(self.server_dir, SERIAL, name)
                # Converted: H.264 of the cameras' size.
                codec, width, height, _ = harness.probe_clip(path)
                self.assertEqual((codec, "%dx%d" % (width, height)), ("h264", SIZE), name)
                readings = emucam_pattern.read_clip(path)
                self.assertNotIn(None, readings, "a frame without a readable pattern in " + name)
                self.assertEqual({c for c, _ in readings}, {cam}, name)
                counters = [n for _, n in readings]
                harness.check_frame_counters(self, counters, name, self.board.camera_drops(cam, d.proc.pid))
                # A user clip runs on to nearly the end of the countdown (at
                # least about three seconds of frames); an alert clip may
                # hold only the end of a capture loop.
                self.assertGreaterEqual(counters[-1] - counters[0] + 1, least, name)
        self.check_notified_and_gone(names)

    def test_2_direct_path_motion_jpeg(self):
        self.direct_path_road("MJPG", "-mjpeg")

    def test_3_direct_path_yuyv(self):
        self.direct_path_road("YUYV", "-yuyv")

    def test_4_default_path(self):
        d = self.start("", cameras("MJPG"))
        d.wait_for("Capture video thread created successfully!", timeout=30 * SLOW)

        def stored(since):
            """Two pictures of every selected input since output offset `since`."""
            inputs = [int(k) for k in CAPTURED.findall(d.stdout[since:])]
            return all(inputs.count(i) >= 2 for i in SELECTED)

        self.wait_until(lambda: stored(0), "pictures of every selected input", 60)
        self.board.control("user-video")
        self.wait_until(lambda: len(self.on_server(AVI_CLIP)) == len(SELECTED), "the user clips on the server", 60)
        mark = len(d.stdout)
        self.wait_until(lambda: stored(mark), "new pictures of every selected input", 60)
        self.board.control("alert", "on")
        d.wait_for(r"capture module received an alert!", timeout=10 * SLOW)
        self.board.control("alert", "off")
        self.wait_until(lambda: len(self.on_server(AVI_CLIP)) == 2 * len(SELECTED) and
                        len(self.board.companion_notifications()) >= 2 * len(SELECTED),
                        "the alert clips uploaded and announced", 60)
        time.sleep(2.5 * SLOW)

        names = self.on_server(AVI_CLIP)
        self.assertEqual(sorted(int(AVI_CLIP.match(n).group(1)) for n in names), sorted(SELECTED * 2), names)
        for name in names:
            path = os.path.join(self.server_dir, SERIAL, name)
            codec, width, height, frames = harness.probe_clip(path)
            self.assertEqual((codec, "%dx%d" % (width, height)), ("mjpeg", SIZE), name)
            self.assertGreaterEqual(frames, 2, name)
            # The cameras' pictures (the store files them under the inputs
            # in turns, so any of the two cameras).
            readings = emucam_pattern.read_clip(path)
            self.assertEqual(len(readings), frames, name)
            self.assertNotIn(None, readings, "a frame without a readable pattern in " + name)
            self.assertLessEqual({c for c, _ in readings}, set(SELECTED), name)
        self.check_notified_and_gone(names)

    def test_5_purge_leaves_no_process_and_no_file(self):
        # After the roads, whose daemons the test stopped as systemd stops
        # the unit (no systemd runs in the image to do it for prerm).
        r = self.image.run("apt-get", "purge", "-y", "capture-module", env={"DEBIAN_FRONTEND": "noninteractive"})
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(self.image.processes(), [])
        left = sorted(p for p in self.image.files() - self.before if not ignored_after_purge(p))
        # Only what the companion still relies on: its control record and
        # the notification queue it reads.
        self.assertEqual(left, sorted([HOME, harness.CONTROL_FILE, os.path.dirname(NOTIFY_FILE), NOTIFY_FILE]),
                         "\n".join(left))


if __name__ == "__main__":
    unittest.main(verbosity=2)
