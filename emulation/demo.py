#!/usr/bin/python3
"""Runs capture_module on an emulated board and shows its whole job.

What it starts, all on loopback:
  - an emulated board root (board_root.py) in a temporary directory;
  - the upload FTP server (ftp_server.py) on 127.0.0.1:21, where the
    daemon's ncftpput stores the clips;
  - the reference streaming server (streaming_server.py) on port 8080 of the
    build's default streaming server address, with a page for a browser;
  - capture_module with four emulated cameras (the build's libemucam.so
    through LD_PRELOAD; EMUCAM_CONFIG, when set, says what they are), on
    the direct V4L2 path ("-usb") or, with --default-path, on the default
    capture path.

It then drives the daemon with capture_control as the companion process on
the board does: a streaming request (renewed before each two-minute hold
runs out), a user video request and an alert (lowered again once the daemon
has taken it). As they happen it shows the daemon's threads starting and
its cameras coming up (and, while it waits, what for), the daemon taking
each request, the clips converted, each clip ready in the upload queue (as
the daemon's upload walk lists it, so that none is missed however soon it
is uploaded), each clip stored on the FTP server, and each notification
record the companion reads back.

Ctrl-C (or SIGTERM, or the end of --duration) asks the daemon to exit
through the control record as the companion would, then stops the servers
and removes the board root (unless --keep). Nothing it started is left
running.
"""
import argparse
import ipaddress
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import board_root

HOME = "/home/Tarvisel"
QUEUE = HOME + "/queue"
FTP_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ftp_server.py")
STREAMING_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "streaming_server.py")
PYTHON = "/usr/bin/python3"
SERIAL = "BBBK1234"
# The daemon keeps a streaming request for about 121 s; the companion
# renews it before that.
STREAM_RENEW_SECONDS = 100
# How long the daemon may take to end after the exit flag went up (it
# polls every 0.5 s and waits 3.5 s more).
EXIT_WAIT_SECONDS = 15
IN_PROGRESS_PREFIX = "."
UPLOADING_SUFFIX = ".uploading"
# How often a wait says what it still waits for.
WAITING_NOTE_SECONDS = 5
# The FTP thread's walk of the upload queue lists every file it finds, one
# line each, before it uploads it: type, level, size, path, base offset, name.
QUEUE_LISTING = re.compile(r"^f\s+\d+\s+(\d+)\s+\S.*\s(\d+) ([^/]+)$")
# The daemon's start-up lines (standard output, standard error) as the demo
# tells them, in the order they come.
START_LINES = [
    (re.compile(r"^restart thread created successfully!"), "daemon: restart watchdog started"),
    (re.compile(r"^capture from cam thread created successfully, videoid#(\d)!"),
     "daemon: picture capture thread of /dev/video{0} started"),
    # Standard error: a worker's progress dots may come before them on a line.
    (re.compile(r"(/dev/video\d): USB capture thread created successfully!"),
     "daemon: worker of {0} started (the workers start 4 s apart)"),
    (re.compile(r"(/dev/video\d) format succeeded"), "daemon: {0} configured, frames coming in"),
    (re.compile(r"^Capture video thread created successfully!"),
     "daemon: video creation thread started (alerts, user video requests)"),
    (re.compile(r"^FTP thread created successfully!"), "daemon: FTP upload thread started"),
    (re.compile(r"^Systems command thread started!"), "daemon: system command thread started (conversions)"),
    (re.compile(r"^streaming thread successfully created!"), "daemon: streaming thread started"),
    (re.compile(r"^video streaming monitoring thread start!"),
     "daemon: streaming monitor started, the last of the threads"),
]


class Stop(Exception):
    """Ctrl-C, SIGTERM or the end of --duration."""


def is_loopback(address):
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return False


def sanitizer_runtimes(program):
    """The AddressSanitizer runtime a sanitized build is linked with. The
    daemon loads it itself, after the camera library, which the runtime is
    told to accept; preloaded, it would be inherited by every shell and tool
    the daemon starts."""
    try:
        out = subprocess.run(["ldd", program], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError):
        return []
    return re.findall(r"^\s*libasan\.so\S* => (\S+)", out, re.M)


def size_text(n):
    if n >= 1 << 20:
        return "%.1f MB" % (n / float(1 << 20))
    if n >= 1 << 10:
        return "%.0f kB" % (n / 1024.0)
    return "%d bytes" % n


class LineFollower:
    """New whole lines of a growing file."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.partial = b""

    def lines(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return []
        self.offset += len(data)
        data = self.partial + data
        *whole, self.partial = data.split(b"\n")
        return [w.decode("utf-8", "replace") for w in whole]


class FtpServer:
    """emulation/ftp_server.py as a child: commands on its standard input,
    "stored PATH" reports on its standard output."""

    def __init__(self, directory, log_path):
        self.dir = directory
        os.makedirs(directory, exist_ok=True)
        self._log = open(log_path, "ab")
        command = [PYTHON, FTP_SERVER, directory]
        if os.geteuid() != 0:
            # Port 21 is a privileged port.
            command = ["sudo"] + command
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
                                     start_new_session=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def wait_ready(self):
        try:
            first = self.lines.get(timeout=30)
        except queue.Empty:
            first = "no answer"
        if not first.startswith("ready "):
            raise RuntimeError("the FTP server did not start on 127.0.0.1:21 (%s); is another one running?" % first)

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw.decode("utf-8", "replace").rstrip("\n"))

    def stored(self):
        out = []
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return out
            if line.startswith("stored "):
                out.append(line[len("stored "):])

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass
                self.proc.wait(5)
        self._log.close()


class StreamingServer:
    def __init__(self, address, http_port, workdir):
        self.log_path = os.path.join(workdir, "streaming-server.log")
        self.err_path = os.path.join(workdir, "streaming-server.stderr")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([PYTHON, STREAMING_SERVER, "--address", address, "--http-port", str(http_port),
                                      "--log", self.log_path],
                                     stdout=subprocess.PIPE, stderr=self._err, start_new_session=True)
        self.address = address
        self.follower = LineFollower(self.log_path)

    def wait_ready(self):
        line = self.proc.stdout.readline().decode()
        if not line.startswith("listening on"):
            with open(self.err_path) as f:
                why = f.read().strip().splitlines()
            raise RuntimeError("the streaming server did not start on %s:8080 (%s)"
                               % (self.address, why[-1] if why else "no reason given"))
        self.http_port = int(line.split()[-1])

    def entries(self):
        out = []
        for line in self.follower.lines():
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
        return out

    def close(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(5)
        self.proc.stdout.close()
        self._err.close()


class Demo:
    def __init__(self, args):
        self.a = args
        self.build = os.path.abspath(args.build)
        self.daemon_path = os.path.join(self.build, "capture_module")
        self.control_path = os.path.join(self.build, "capture_control")
        self.cameras = os.path.join(self.build, "emulation", "libemucam.so")
        self.usb = not args.default_path
        self.t0 = time.monotonic()
        self.root = None
        self.ftp = None
        self.streaming = None
        self.daemon = None
        self.daemon_out = None
        self.daemon_err = None
        self.uploaded = []
        self.announced = []
        self.listed = set()
        self.stream_inputs = set()
        self.stream_messages = 0
        self.stream_errors = 0
        self.last_notification_read = 0.0
        # The daemon's lines, kept while the companion's requests are made.
        self.keep_lines = True
        self.out_lines = []
        self.err_lines = []

    # -- output -------------------------------------------------------------

    def say(self, text):
        print("[%7.1fs] %s" % (time.monotonic() - self.t0, text), flush=True)

    # -- start --------------------------------------------------------------

    def check_build(self):
        for path in (self.daemon_path, self.control_path, self.cameras):
            if not os.path.exists(path):
                raise RuntimeError("%s is missing: build first (scripts/run-demo.sh builds)" % path)
        ftp_host = board_root.cache_value(self.build, "CM_FTP_HOST", "127.0.0.1")
        self.stream_address = board_root.cache_value(self.build, "CM_DEFAULT_STREAMING_SERVER", "127.0.0.1")
        # The demo never lets the daemon reach beyond this machine.
        if ftp_host != "127.0.0.1":
            raise RuntimeError("this build uploads to %s; the demo needs a build whose CM_FTP_HOST is 127.0.0.1"
                               % ftp_host)
        if not is_loopback(self.stream_address):
            raise RuntimeError("this build streams to %s; the demo needs a build whose "
                               "CM_DEFAULT_STREAMING_SERVER is a loopback address" % self.stream_address)

    def start(self):
        self.check_build()
        self.root = tempfile.mkdtemp(prefix="cm-demo-")
        board_root.make(self.root, serial=SERIAL)
        self.server_dir = os.path.join(self.root, "ftp-server")
        self.ftp = FtpServer(self.server_dir, os.path.join(self.root, "ftp-server.log"))
        self.ftp.wait_ready()
        self.streaming = StreamingServer(self.stream_address, self.a.http_port, self.root)
        self.streaming.wait_ready()
        self.page = "http://%s:%d/" % (self.stream_address, self.streaming.http_port)

        args = (["-usb"] if self.usb else []) + self.a.args
        env = dict(os.environ, CAPTURE_MODULE_ROOT=self.root)
        env["LD_PRELOAD"] = self.cameras
        if sanitizer_runtimes(self.daemon_path):
            options = env.get("ASAN_OPTIONS", "")
            env["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"
        self.out_path = os.path.join(self.root, "daemon.stdout")
        self.err_path = os.path.join(self.root, "daemon.stderr")
        self.daemon_out = open(self.out_path, "wb")
        self.daemon_err = open(self.err_path, "wb")
        print("capture_module on an emulated board", flush=True)
        rows = [
            ("board root", self.root),
            ("cameras", os.environ.get("EMUCAM_CONFIG") or "four emulated UVC cameras, Motion-JPEG"),
            ("capture path", "direct V4L2 path (-usb)" if self.usb else "default capture path (OpenCV)"),
            ("FTP server", "127.0.0.1:21, clips land in %s/%s/" % (self.server_dir, SERIAL)),
            ("streaming server", "%s:8080" % self.stream_address),
            ("live pictures", "open %s in a browser" % self.page),
            ("daemon output", "%s, %s" % (self.out_path, self.err_path)),
        ]
        for name, value in rows:
            print("  %-17s %s" % (name, value), flush=True)
        print("Ctrl-C stops everything.\n", flush=True)
        self.daemon = subprocess.Popen([self.daemon_path] + args, stdout=self.daemon_out, stderr=self.daemon_err,
                                       env=env, start_new_session=True)
        self.out = LineFollower(self.out_path)
        self.err = LineFollower(self.err_path)
        self.say("daemon started (pid %d): capture_module %s" % (self.daemon.pid, " ".join(args)))

    # -- the companion ------------------------------------------------------

    def control(self, *words):
        env = dict(os.environ, CAPTURE_MODULE_ROOT=self.root)
        r = subprocess.run([self.control_path] + list(words), env=env, capture_output=True, text=True, timeout=30)
        if r.returncode != 0:
            self.say("capture_control %s failed: %s" % (" ".join(words), r.stderr.strip()))
        return r

    def companion(self, words, meaning):
        self.say("companion: capture_control %-12s %s" % (" ".join(words), meaning))
        self.control(*words)

    # -- what happens -------------------------------------------------------

    def watch(self):
        """Reads what happened since the last call and shows it; the daemon's
        lines are kept for the driver (`out_lines`, `err_lines`)."""
        out = self.out.lines()
        err = self.err.lines()
        if self.keep_lines:
            self.out_lines.extend(out)
            self.err_lines.extend(l for l in err if "format succeeded" in l)
        for line in out:
            self.show_start_line(line)
            self.show_daemon_line(line)
            self.show_queue_line(line)
        for line in err:
            self.show_start_line(line)
        self.show_uploads()
        self.show_notifications()
        self.show_streaming()

    def show_start_line(self, line):
        for rx, text in START_LINES:
            m = rx.search(line)
            if m:
                self.say(text.format(*m.groups()))
                return

    def show_daemon_line(self, line):
        if line.startswith("capture module received an alert!"):
            self.say("daemon: alert taken")
        elif line.startswith("capture module received an user video recording"):
            self.say("daemon: user video request taken")
        elif line.startswith("capture module received streaming request"):
            self.say("daemon: streaming request taken (mode %s)" % line.rsplit(" ", 1)[-1])
        elif line.startswith("Streaming stopped"):
            self.say("daemon: streaming stopped")
        elif line.startswith("running cmd: "):
            m = re.search(r"([^/\s'\"]+)\.raw", line)
            name = m.group(1) if m else "a clip"
            self.say("converting %s (avconv)" % name)
        elif line.startswith("cmd result: "):
            status = line[len("cmd result: "):]
            if status != "0":
                self.say("conversion ended with status %s" % status)
        elif line.startswith("video created with "):
            self.say("daemon: %s" % line)
        elif line.startswith("Exiting.. cya!!"):
            self.say("daemon: exiting")

    def show_queue_line(self, line):
        """A clip is ready when the FTP thread's walk of the queue first
        lists it under its final name: every clip is listed before its
        upload, however soon that follows."""
        m = QUEUE_LISTING.match(line)
        if not m or m.group(3).startswith(IN_PROGRESS_PREFIX) or m.group(3) in self.listed:
            return
        name = m.group(3)
        self.listed.add(name)
        kind = "converted clip" if name.endswith(".mp4") else "clip"
        self.say("upload queue: %s %s ready (%s)" % (kind, name, size_text(int(m.group(1)))))

    def queue_empty(self):
        try:
            return not any(not n.startswith(IN_PROGRESS_PREFIX) for n in os.listdir(self.root + QUEUE))
        except OSError:
            return True

    def show_uploads(self):
        # ncftpput stores under "<name>.uploading" and renames the file once
        # it is whole: a file counts as uploaded under its final name.
        self.ftp.stored()
        for top, dirs, files in os.walk(self.server_dir):
            for name in sorted(files):
                if name.endswith(UPLOADING_SUFFIX):
                    continue
                path = os.path.relpath(os.path.join(top, name), self.server_dir)
                if path in self.uploaded:
                    continue
                self.uploaded.append(path)
                self.say("FTP server: %s stored (%s)" % (path, size_text(os.path.getsize(os.path.join(top, name)))))

    def show_notifications(self):
        # The companion reads the notification queue about once a second.
        if time.monotonic() - self.last_notification_read < 1.0:
            return
        self.last_notification_read = time.monotonic()
        if not os.path.exists(self.root + HOME + "/pos/1.pos"):
            return
        r = self.control("notifications")
        urls = [u for u in r.stdout.splitlines() if u]
        for url in urls[len(self.announced):]:
            self.say("notification record #%d: %s" % (len(self.announced) + 1, url))
            self.announced.append(url)

    def show_streaming(self):
        for e in self.streaming.entries():
            if e.get("event") == "error":
                self.stream_errors += 1
                self.say("streaming server: error %s" % e.get("reason"))
                continue
            if e.get("event") != "message":
                continue
            self.stream_messages += 1
            inputs = {p["input"] for p in e.get("pictures", [])}
            new = inputs - self.stream_inputs
            if new:
                self.stream_inputs |= new
                sizes = ", ".join("input %d %dx%d" % (p["input"], p["width"], p["height"])
                                  for p in e["pictures"] if p["input"] in new)
                self.say("streaming server: first pictures of %s (%s request) -> %s"
                         % (sizes, e.get("mode"), self.page))
            if self.stream_messages in (1, 100) or self.stream_messages % 1000 == 0:
                self.say("streaming server: %d requests received" % self.stream_messages)

    # -- the run ------------------------------------------------------------

    def wait(self, condition, timeout, what):
        """Watches until condition() is true, the daemon ends or `timeout`
        passes (then it says so and the demo goes on)."""
        started = time.monotonic()
        deadline = started + timeout
        next_note = started + WAITING_NOTE_SECONDS
        self.say("waiting for %s (at most %d s)" % (what, timeout))
        while True:
            self.watch()
            if condition():
                return True
            if time.monotonic() >= next_note:
                self.say("still waiting for %s (%d s so far)" % (what, time.monotonic() - started))
                next_note += WAITING_NOTE_SECONDS
            if self.daemon.poll() is not None:
                raise RuntimeError("the daemon ended with status %d" % self.daemon.returncode)
            if time.monotonic() > deadline:
                self.say("(gave up waiting for %s after %d s; going on)" % (what, timeout))
                return False
            self.check_time()
            time.sleep(0.2)

    def check_time(self):
        if self.a.duration is not None and time.monotonic() - self.t0 >= self.a.duration:
            raise Stop()

    def out_since(self, mark, pattern):
        """Matches of `pattern` in the daemon's standard output lines from line `mark` on."""
        rx = re.compile(pattern)
        return [m for m in (rx.search(l) for l in self.out_lines[mark:]) if m]

    def run(self):
        self.start()
        # The streaming monitor starts last and takes the stamp it finds as
        # already handled: the companion's requests come after it.
        self.wait(lambda: self.out_since(0, r"^video streaming monitoring thread start!"), 60,
                  "the daemon's threads to start")
        if self.usb:
            def cameras():
                return {int(m.group(1)) for m in (re.search(r"/dev/video(\d) format succeeded", l)
                                                   for l in self.err_lines) if m}
            self.wait(lambda: len(cameras()) == 4, 60, "all four cameras to stream")
            self.say("cameras streaming: %s" % " ".join("/dev/video%d" % i for i in sorted(cameras())))
        else:
            self.wait(self.pictures_of_every_input(0), 60, "a picture of every input")
            self.say("pictures of every input in the store")

        self.companion(["stream", "1"], "streaming request (set mode, about two minutes)")
        last_stream = time.monotonic()
        if not self.usb:
            self.say("(the default path feeds no live pictures: the streaming thread stays idle)")

        mark = len(self.out_lines)
        self.companion(["user-video"], "user video request")
        if self.usb:
            def user_clips_saved():
                flagged = {m.group(1) for m in self.out_since(mark, r"^user video usb creation flaged! cam#(\d)")}
                saved = {m.group(1) for m in self.out_since(mark, r"^mp4 convert cmd: .*/user_(\d)_")}
                return flagged and saved >= flagged
            self.wait(user_clips_saved, 60, "the user clips to be saved")
        else:
            self.wait(lambda: len(self.out_since(mark, r"^(video created with |No videowrite)")) >= 4, 60,
                      "the user clips to be written")
            mark = len(self.out_lines)
            self.wait(self.pictures_of_every_input(mark), 60, "new pictures of every input")

        mark = len(self.out_lines)
        self.companion(["alert", "on"], "alert")
        self.wait(lambda: self.out_since(mark, r"^capture module received an alert!"), 30, "the alert to be taken")
        self.companion(["alert", "off"], "alert over (the daemon has taken it)")

        self.keep_lines = False
        self.out_lines, self.err_lines = [], []
        all_done = False
        while True:
            self.watch()
            if self.daemon.poll() is not None:
                raise RuntimeError("the daemon ended with status %d" % self.daemon.returncode)
            if time.monotonic() - last_stream > STREAM_RENEW_SECONDS:
                self.companion(["stream", "1"], "streaming request renewed")
                last_stream = time.monotonic()
            done = bool(self.uploaded) and self.queue_empty() and not self.raw_clips_waiting() \
                and len(self.announced_uploads()) >= len(self.uploaded)
            if done and not all_done:
                if self.usb:
                    self.say("all %d clips converted, uploaded and announced; live pictures at %s; Ctrl-C stops"
                             % (len(self.uploaded), self.page))
                else:
                    self.say("all %d clips written, uploaded and announced; Ctrl-C stops" % len(self.uploaded))
            all_done = done
            self.check_time()
            time.sleep(0.2)

    def raw_clips_waiting(self):
        try:
            return any(n.endswith(".raw") for n in os.listdir(self.root + "/tmp"))
        except OSError:
            return False

    def announced_uploads(self):
        return [u for u in self.announced if u.startswith("/notify_file_upload.php?")]

    def pictures_of_every_input(self, mark):
        def condition():
            inputs = {m.group(1) for m in self.out_since(mark, r"^video[01]:Captured in .* input: (\d)$")}
            return len(inputs) == 4
        return condition

    # -- stop ---------------------------------------------------------------

    def stop(self):
        status = None
        if self.daemon is not None:
            if self.daemon.poll() is None:
                self.say("companion: capture_control exit       exit request")
                try:
                    self.control("exit")
                except (OSError, subprocess.SubprocessError):
                    pass
                try:
                    self.daemon.wait(EXIT_WAIT_SECONDS)
                except subprocess.TimeoutExpired:
                    self.say("the daemon did not end within %d s: stopping it" % EXIT_WAIT_SECONDS)
                    self._signal_daemon_group(signal.SIGTERM)
                    try:
                        self.daemon.wait(5)
                    except subprocess.TimeoutExpired:
                        self._signal_daemon_group(signal.SIGKILL)
                        self.daemon.wait()
            status = self.daemon.returncode
            # A conversion or an upload the daemon started may outlive it:
            # its process group goes with it.
            self._signal_daemon_group(signal.SIGKILL)
            deadline = time.monotonic() + 5
            while self._signal_daemon_group(0) and time.monotonic() < deadline:
                time.sleep(0.05)
            self.daemon_out.close()
            self.daemon_err.close()
            self.say("daemon ended with status %d" % status)
        if self.streaming is not None:
            self.streaming.close()
        if self.ftp is not None:
            self.ftp.close()
        if self.root is not None:
            print("\n%d clips uploaded, %d notification records, %d streaming requests received"
                  % (len(self.uploaded), len(self.announced), self.stream_messages), flush=True)
            if self.a.keep:
                print("board root kept: %s" % self.root, flush=True)
            else:
                shutil.rmtree(self.root, ignore_errors=True)
        return status

    def _signal_daemon_group(self, sig):
        """Signals the daemon's process group; False when it has no process left."""
        try:
            os.killpg(self.daemon.pid, sig)
        except (ProcessLookupError, PermissionError):
            return False
        return True


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="build directory holding capture_module and capture_control")
    p.add_argument("--default-path", action="store_true",
                   help="the default capture path instead of the direct V4L2 path (-usb)")
    p.add_argument("--duration", type=float, help="stop by itself after this many seconds")
    p.add_argument("--http-port", type=int, default=8081, help="port of the streaming server's page (default 8081)")
    p.add_argument("--keep", action="store_true", help="keep the board root (logs, server files) afterwards")
    p.add_argument("args", nargs="*", help="more daemon options (after --)")
    a = p.parse_args(argv)

    def on_term(signum, frame):
        raise Stop()
    signal.signal(signal.SIGTERM, on_term)
    # Ctrl-C stops the demo also when it was started with SIGINT ignored
    # (in the background of a script).
    signal.signal(signal.SIGINT, signal.default_int_handler)

    demo = Demo(a)
    failure = None
    try:
        demo.run()
    except (KeyboardInterrupt, Stop):
        pass
    except RuntimeError as e:
        failure = str(e)
    finally:
        # Stopping is not interrupted by a second Ctrl-C.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        print("", flush=True)
        if failure:
            demo.say(failure)
        demo.say("stopping")
        status = demo.stop()
    return 0 if failure is None and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
