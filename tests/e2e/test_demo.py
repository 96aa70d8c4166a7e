"""The main-job command's demo (emulation/demo.py, which scripts/run-demo.sh
runs after installing and building): it starts the FTP server, the
reference streaming server and the daemon with four emulated cameras,
drives the daemon with capture_control and shows what happens; stopped with
Ctrl-C, or at the end of --duration, it leaves nothing running and no port
taken.

Ctrl-C is played as a terminal plays it: SIGINT to the demo's whole process
group. Every process the demo started, and every process those started,
carries a marker in its environment, so that a process left behind is found
however it was started or re-parented."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

import harness

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "emulation"))
import emucam_pattern  # noqa: E402

DEMO = os.path.join(harness.SOURCE_DIR, "emulation", "demo.py")
TAG_NAME = "CM_DEMO_TEST_TAG"
FTP_ADDRESS = ("127.0.0.1", 21)
CHROMIUM = "/usr/bin/chromium"
# Everything that would reach past the loopback switched off; a profile of
# its own for each run.
CHROMIUM_OPTIONS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--force-device-scale-factor=1", "--hide-scrollbars"]
SHOT_SIZE = (1400, 320)
# The live pictures of the direct path: a quarter of the cameras' 1280 x 720.
LIVE_PICTURE = (320, 180)
PAGE_BACKGROUND = 0x22  # grey level of the page around the pictures


def screenshot(url, path):
    """A headless Chromium's picture of the page at `url` (loopback only), as
    grey pixels: (width, height, bytes)."""
    assert re.match(r"^http://127\.\d+\.\d+\.\d+:\d+/", url), url
    with tempfile.TemporaryDirectory(prefix="cm-chromium-") as profile:
        r = subprocess.run([CHROMIUM] + CHROMIUM_OPTIONS +
                           ["--user-data-dir=" + profile, "--window-size=%d,%d" % SHOT_SIZE,
                            "--virtual-time-budget=3000", "--screenshot=" + path, url],
                           capture_output=True, text=True, timeout=120)
    if r.returncode != 0 or not os.path.exists(path):
        raise AssertionError("chromium made no screenshot (status %d):\n%s" % (r.returncode, r.stderr[-3000:]))
    width, height, frames = emucam_pattern.gray_frames(path)
    return width, height, frames[0]


def picture_lefts(gray, width, y):
    """Left edges of the runs of at least a picture's width along row `y`
    that the page's background does not break (8 background pixels in a
    row end a run; a picture may hold a few of its own)."""
    lefts, start, gap = [], None, 0
    for x in range(width):
        if abs(gray[y * width + x] - PAGE_BACKGROUND) <= 2:
            gap += 1
            if start is not None and gap >= 8:
                if x - gap + 1 - start >= LIVE_PICTURE[0]:
                    lefts.append(start)
                start = None
        else:
            gap = 0
            if start is None:
                start = x
    if start is not None and width - gap - start >= LIVE_PICTURE[0]:
        lefts.append(start)
    return lefts


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def port_is_free(address, port):
    """True when nothing listens on address:port (a socket can bind and listen there)."""
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((address, port))
            s.listen(1)
        except OSError:
            return False
    return True


def tagged_processes(tag):
    """'pid command' of every live process whose environment holds the marker."""
    marker = ("%s=%s" % (TAG_NAME, tag)).encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if marker not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                found.append("%s %s" % (pid, f.read().replace(b"\0", b" ").decode("utf-8", "replace")))
        except OSError:
            continue  # ended meanwhile
    return found


@unittest.skipUnless(os.path.exists(harness.EMUCAM_PRELOAD), "the emulated cameras are not part of this build")
class DemoTest(unittest.TestCase):
    def setUp(self):
        self.tag = uuid.uuid4().hex
        self.http_port = free_port()
        self.ports = [FTP_ADDRESS, (harness.DEFAULT_STREAMING_SERVER, harness.STREAMING_PORT),
                      (harness.DEFAULT_STREAMING_SERVER, self.http_port)]
        # The resource locks keep the other tests off these ports; a peer
        # outside this test run may hold one for a while.
        deadline = time.monotonic() + 60
        while not all(port_is_free(a, p) for a, p in self.ports):
            if time.monotonic() > deadline:
                self.fail("%s stay taken before the demo starts"
                          % [("%s:%d" % (a, p)) for a, p in self.ports if not port_is_free(a, p)])
            time.sleep(1)
        self.out_path = os.path.join(harness.BUILD_DIR, "demo-test-%s.out" % self.tag)
        self.addCleanup(self.remove_output)
        self.addCleanup(self.kill_leftovers)

    def remove_output(self):
        if os.path.exists(self.out_path):
            os.unlink(self.out_path)

    def kill_leftovers(self):
        # Only when the test failed with something still running.
        demo = getattr(self, "demo", None)
        if demo is not None and demo.poll() is None:
            os.killpg(demo.pid, signal.SIGINT)
            try:
                demo.wait(60)
            except subprocess.TimeoutExpired:
                pass
        for line in tagged_processes(self.tag):
            try:
                os.kill(int(line.split()[0]), signal.SIGKILL)
            except ProcessLookupError:
                pass
        if demo is not None:
            demo.wait(10)
        m = re.search(r"^  board root +(\S+)$", self.output(), re.M) if os.path.exists(self.out_path) else None
        if m and os.path.basename(m.group(1)).startswith("cm-demo-"):
            shutil.rmtree(m.group(1), ignore_errors=True)

    def start(self, *args):
        env = dict(os.environ)
        env[TAG_NAME] = self.tag
        env.pop("EMUCAM_CONFIG", None)  # four healthy cameras
        self.out = open(self.out_path, "wb")
        self.addCleanup(self.out.close)
        self.demo = subprocess.Popen(["/usr/bin/python3", DEMO, "--build", harness.BUILD_DIR,
                                      "--http-port", str(self.http_port)] + list(args),
                                     stdout=self.out, stderr=subprocess.STDOUT, env=env, start_new_session=True)

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, timeout, after=0):
        """Waits for `pattern` in the demo's output from offset `after` on."""
        rx = re.compile(pattern, re.M)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            m = rx.search(self.output(), after)
            if m:
                return m
            if self.demo.poll() is not None:
                break
            time.sleep(0.2)
        self.fail("%r did not appear in the demo's output within %ss:\n%s" % (pattern, timeout, self.output()))

    def check_everything_stopped(self, status):
        out = self.output()
        self.assertEqual(status, 0, out)
        self.assertRegex(out, r"daemon ended with status 0\n")
        self.assertEqual(tagged_processes(self.tag), [], "processes left running:\n" + out)
        for address, port in self.ports:
            self.assertTrue(port_is_free(address, port), "%s:%d still taken" % (address, port))
        root = re.search(r"^  board root +(\S+)$", out, re.M).group(1)
        self.assertFalse(os.path.exists(root), "the board root was left behind")
        return out

    def test_ctrl_c_in_the_middle_of_the_work_stops_everything(self):
        self.start()
        serial_dir = r"BBBK1234/"
        # The road as the demo shows it: a converted clip in the queue, on
        # the FTP server and announced, and the live pictures.
        self.wait_for(r"open http://%s:%d/ in a browser" % (re.escape(harness.DEFAULT_STREAMING_SERVER),
                                                            self.http_port), 10)
        self.wait_for(r"daemon: user video request taken", 90)
        self.wait_for(r"upload queue: converted clip user_\d_\d{14}_\d{6}\.mp4 ready", 90)
        self.wait_for(r"FTP server: %suser_\d_\d{14}_\d{6}\.mp4 stored" % serial_dir, 30)
        m = self.wait_for(r"notification record #\d+: /notify_file_upload\.php\?deviceid=BBBK1234&fpath=\S+/"
                          r"home/Tarvisel/queue/user_\d_\d{14}_\d{6}\.mp4$", 30)
        self.wait_for(r"streaming server: first pictures of input", 30)
        self.check_live_page()
        self.wait_for(r"notification record #\d+: http://%s/started_streaming_video\.php\?deviceid=BBBK1234&"
                      % re.escape(harness.DEFAULT_STREAMING_SERVER), 30)
        # Ctrl-C as the next user clip's conversion starts: it runs for
        # seconds more, longer than the daemon takes to end.
        self.wait_for(r"converting user_\S+ \(avconv\)", 60, after=m.end())
        os.killpg(self.demo.pid, signal.SIGINT)
        try:
            status = self.demo.wait(60)
        except subprocess.TimeoutExpired:
            self.fail("the demo did not stop within 60 s of Ctrl-C:\n" + self.output())
        out = self.check_everything_stopped(status)
        self.assertIn("companion: capture_control exit", out)

    def check_live_page(self):
        """The page the demo names, seen once in a headless browser: side by
        side the pictures of inputs 0 to 3, each showing its own camera."""
        if not os.path.exists(CHROMIUM):
            self.fail("chromium is not installed (scripts/install-deps.sh test installs it)")
        for i in range(4):
            self.wait_for(r"streaming server: first pictures of .*input %d %dx%d" % ((i,) + LIVE_PICTURE), 30)
        url = "http://%s:%d/" % (harness.DEFAULT_STREAMING_SERVER, self.http_port)
        shot = os.path.join(harness.BUILD_DIR, "demo-live-page.png")  # kept to be looked at
        width, height, gray = screenshot(url, shot)
        # The first row where the four pictures begin, then each picture
        # cut out and its camera's block pattern read.
        for y in range(height - LIVE_PICTURE[1]):
            lefts = picture_lefts(gray, width, y)
            if len(lefts) == 4:
                break
        else:
            self.fail("no row of four pictures in the screenshot %s" % shot)
        cameras = []
        for x0 in lefts:
            crop = b"".join(gray[(y + r) * width + x0:(y + r) * width + x0 + LIVE_PICTURE[0]]
                            for r in range(LIVE_PICTURE[1]))
            reading = emucam_pattern.read_pattern(crop, *LIVE_PICTURE)
            cameras.append(reading[0] if reading else None)
        self.assertEqual(cameras, [0, 1, 2, 3], "the pictures on the page, left to right (screenshot %s)" % shot)

    def test_default_path_runs_for_its_duration_and_stops_by_itself(self):
        self.start("--default-path", "--duration", "40")
        try:
            status = self.demo.wait(120)
        except subprocess.TimeoutExpired:
            self.fail("the demo did not stop at the end of its duration:\n" + self.output())
        out = self.check_everything_stopped(status)
        self.assertIn("capture path      default capture path (OpenCV)", out)
        clips = re.findall(r"upload queue: clip (user[0-3]_\d{14}_\d{6}\.avi) ready", out)
        self.assertGreaterEqual(len(clips), 4, out)
        for clip in clips[:4]:
            self.assertIn("FTP server: BBBK1234/%s stored" % clip, out)
            self.assertRegex(out, r"notification record #\d+: /notify_file_upload\.php\?deviceid=BBBK1234&fpath="
                                  r"\S+/home/Tarvisel/queue/%s\n" % re.escape(clip))


if __name__ == "__main__":
    unittest.main()
