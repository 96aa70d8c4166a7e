"""Runs the built daemon on an emulated board root, as the companion
process and the board's supervisor would see it."""
import json
import os
import queue
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

SOURCE_DIR = os.environ.get("CM_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("CM_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
DAEMON = os.path.join(BUILD_DIR, "capture_module")
# The emulated cameras for the daemon (emulation/README.md).
EMUCAM_PRELOAD = os.path.join(BUILD_DIR, "emulation", "libemucam.so")
# Where, in a board root, the emulated cameras log the frames they drop
# (EMUCAM_DROP_LOG); not a path of the board's own.
DROP_LOG = "/emucam-drops.log"

sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import board_root  # noqa: E402

HOME = "/home/Tarvisel"
CONTROL_FILE = HOME + "/capture_control.ini"
QUEUE_DIR = HOME + "/queue"
NOTIFY_FILE = HOME + "/pos/1.pos"
NOTIFY_RECORD_SIZE = 1000
FTP_SERVER = os.path.join(SOURCE_DIR, "emulation", "ftp_server.py")
# The companion tool: writes the control record and reads the notification
# queue as the companion process on the board does.
CAPTURE_CONTROL = os.path.join(BUILD_DIR, "capture_control")
# Debian's ncftpput with its 20-second redial pauses cut short, for tests of
# a server that is down (each failed upload takes 2 s instead of 40 s).
QUICK_REDIAL_TOOL = os.path.join(SOURCE_DIR, "emulation", "ncftpput_quick_redial")


def control_record(alert=0, exit_flag=0, user_video=0, cams=0, stream=0, reserved=b"\0" * 6, tail=b"\0" * 8):
    """The 40-byte control record, little-endian."""
    return struct.pack("<BB6sqqq8s", alert, exit_flag, reserved, user_video, cams, stream, tail)


class Board:
    """An emulated board root in a temporary directory."""

    def __init__(self, **layout):
        self.dir = tempfile.mkdtemp(prefix="cm-e2e-")
        board_root.make(self.dir, **layout)
        self.daemon = None

    def path(self, board_path):
        return self.dir + board_path

    def write_control(self, **fields):
        data = control_record(**fields)
        tmp = self.path(CONTROL_FILE + ".new")
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, self.path(CONTROL_FILE))

    def read(self, board_path, mode="r"):
        with open(self.path(board_path), mode) as f:
            return f.read()

    def read_control(self):
        with open(self.path(CONTROL_FILE), "rb") as f:
            return f.read()

    def camera_drops(self, camera, pid):
        """The frame counters of the frames emulated camera `camera` dropped
        in process `pid` because no buffer was queued: the camera's own
        losses, which a clip may lack."""
        path = self.path(DROP_LOG)
        if not os.path.exists(path):
            return set()
        drops = set()
        with open(path) as f:
            for line in f:
                p, c, n = (int(w) for w in line.split())
                if p == pid and c == camera:
                    drops.add(n)
        return drops

    def set_gpio(self, pin, value):
        board_root.set_gpio(self.dir, pin, value)

    def start(self, *args, env=None, preload=None, cameras=None, cwd=None):
        """Starts the daemon. `cameras` gives it the emulated cameras: True
        for the four healthy ones, or a configuration text (EMUCAM_CONFIG)."""
        if cameras is not None:
            preload = preload or EMUCAM_PRELOAD
            env = dict(env or {})
            if cameras is not True:
                env["EMUCAM_CONFIG"] = cameras
        self.daemon = Daemon(self, args, env=env, preload=preload, cwd=cwd)
        return self.daemon

    def use_upload_tool(self, tool):
        """Puts `tool` at /usr/bin/ncftpput of the board (default: Debian's)."""
        board_root.link(self.path("/usr/bin/ncftpput"), tool)

    def queue_file(self, relative_path, data):
        """Drops a file into the upload queue as a producer does: written
        under its in-progress name, then renamed into place."""
        final = self.path(QUEUE_DIR + "/" + relative_path)
        os.makedirs(os.path.dirname(final), exist_ok=True)
        d, name = os.path.split(final)
        tmp = os.path.join(d, ".incomplete." + name)
        with open(tmp, "wb") as f:
            f.write(data)
        os.rename(tmp, final)
        return final

    def notification_urls(self):
        """The URLs of the notification file's records (checks their layout)."""
        path = self.path(NOTIFY_FILE)
        if not os.path.exists(path):
            return []
        with open(path, "rb") as f:
            data = f.read()
        if len(data) % NOTIFY_RECORD_SIZE:
            raise AssertionError("notification file of %d bytes is not whole records" % len(data))
        urls = []
        for at in range(0, len(data), NOTIFY_RECORD_SIZE):
            rec = data[at:at + NOTIFY_RECORD_SIZE]
            if rec[:4] != b"\0\0\0\0":
                raise AssertionError("record at %d: reserved word not 0" % at)
            text, nul, rest = rec[4:].partition(b"\0")
            if not nul or rest.strip(b"\0"):
                raise AssertionError("record at %d: URL not terminated or bytes behind it" % at)
            urls.append(text.decode("latin-1"))
        return urls

    def control(self, *words):
        """Runs capture_control on this board (as the companion does) and
        returns its standard output; a refusal fails the calling test."""
        r = subprocess.run([CAPTURE_CONTROL] + [str(w) for w in words], capture_output=True, text=True,
                           timeout=30, env=dict(os.environ, CAPTURE_MODULE_ROOT=self.dir))
        if r.returncode != 0:
            raise AssertionError("capture_control %s: status %d\n%s" % (" ".join(map(str, words)), r.returncode,
                                                                      r.stderr))
        return r.stdout

    def companion_notifications(self):
        """The URLs of the notification queue as the companion reads them
        (capture_control notifications); [] while there is no queue file."""
        if not os.path.exists(self.path(NOTIFY_FILE)):
            return []
        return self.control("notifications").splitlines()

    def run(self, *args, timeout=30, env=None):
        d = self.start(*args, env=env)
        d.wait(timeout)
        return d

    def cleanup(self):
        if self.daemon is not None:
            self.daemon.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


def faketime_library():
    """Debian's libfaketime for multi-threaded programs (package faketime),
    or None. With FAKETIME="+0 xN" in the environment a process preloading
    it sees its real-time clock, its sleeps and its wait time-outs run N
    times faster; the emulated cameras keep real time (they read the
    kernel's clock and wait through system calls of their own)."""
    import glob
    found = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
    return found[0] if found else None


def check_frame_counters(test, counters, name, dropped):
    """A clip's camera frame counters: in order (the converter's output rate
    is above the camera's, so a frame may show twice) and whole. A frame
    may be missing only if the emulated camera dropped it (`dropped`, from
    Board.camera_drops) because the daemon, sharing a busy test machine,
    came back for it late, as a real camera does; never one the daemon
    received. Nor may the daemon come back late for a good part of them."""
    test.assertTrue(counters, "no frames in " + name)
    test.assertTrue(all(a <= b for a, b in zip(counters, counters[1:])), "frames out of order in %s: %s" % (name, counters))
    missing = set(range(counters[0], counters[-1] + 1)) - set(counters)
    test.assertEqual(sorted(missing - dropped), [], "frames the camera delivered, missing from %s: %s" % (name, counters))
    span = counters[-1] - counters[0] + 1
    test.assertLessEqual(len(missing), span // 4, "frames the camera dropped, missing from %s: %s" % (name, counters))


def probe_clip(path):
    """(codec, width, height, frame count) of a clip, decoded by ffprobe."""
    out = subprocess.run(["/usr/bin/ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=codec_name,width,height,nb_read_frames",
                          "-of", "default=noprint_wrappers=1", path],
                         check=True, capture_output=True, text=True).stdout
    fields = dict(line.split("=", 1) for line in out.split())
    return fields["codec_name"], int(fields["width"]), int(fields["height"]), int(fields["nb_read_frames"])


def wait_until(condition, timeout, what, daemon=None, step=0.1):
    """Calls `condition` until it gives a true value, which it returns; fails
    the test after `timeout` seconds, or at once when `daemon` has ended,
    with the end of the daemon's output."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        if daemon is not None and daemon.proc.poll() is not None:
            raise AssertionError("daemon ended (status %s) while waiting for %s:\n%s\n%s" % (
                daemon.proc.returncode, what, daemon.stdout[-3000:], daemon.stderr[-3000:]))
        time.sleep(step)
    tail = ("\n" + daemon.stdout[-3000:] + "\n" + daemon.stderr[-2000:]) if daemon is not None else ""
    raise AssertionError("%s did not happen within %ss%s" % (what, timeout, tail))


_sanitizer_runtimes = None


def sanitizer_runtimes():
    """The AddressSanitizer runtime the daemon is linked with, if any."""
    global _sanitizer_runtimes
    if _sanitizer_runtimes is None:
        try:
            out = subprocess.run(["ldd", DAEMON], capture_output=True, text=True, timeout=30).stdout
        except (OSError, subprocess.SubprocessError):
            out = ""
        _sanitizer_runtimes = re.findall(r"^\s*libasan\.so\S* => (\S+)", out, re.M)
    return _sanitizer_runtimes


class Daemon:
    def __init__(self, board, args, env=None, preload=None, cwd=None):
        self.board = board
        e = dict(os.environ)
        e["CAPTURE_MODULE_ROOT"] = board.dir
        e.setdefault("TZ", "UTC")
        if preload:
            e["LD_PRELOAD"] = preload
            e["EMUCAM_DROP_LOG"] = board.path(DROP_LOG)
            # The AddressSanitizer runtime is loaded by the daemon itself,
            # after the preloaded libraries, rather than preloaded ahead of
            # them: a preload is inherited by every shell and tool the daemon
            # starts, and the runtime preloaded together with faketime
            # deadlocks those shells as they start. The runtime is told not
            # to insist on coming first.
            if sanitizer_runtimes():
                options = e.get("ASAN_OPTIONS", "")
                e["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"
        if env:
            e.update(env)
        self.out_path = os.path.join(board.dir, "daemon.stdout")
        self.err_path = os.path.join(board.dir, "daemon.stderr")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([DAEMON] + list(args), stdout=self._out, stderr=self._err,
                                     env=e, cwd=cwd, start_new_session=True)

    @property
    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    @property
    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for(self, pattern, timeout=30, stream="stdout"):
        """Waits until `pattern` (a regex) appears in the daemon's output."""
        deadline = time.monotonic() + timeout
        rx = re.compile(pattern)
        while time.monotonic() < deadline:
            text = self.stdout if stream == "stdout" else self.stderr
            m = rx.search(text)
            if m:
                return m
            if self.proc.poll() is not None:
                text = self.stdout if stream == "stdout" else self.stderr
                m = rx.search(text)
                if m:
                    return m
                raise AssertionError("daemon ended (status %s) before %r appeared:\n%s\n%s"
                                     % (self.proc.returncode, pattern, self.stdout[-4000:], self.stderr[-4000:]))
            time.sleep(0.05)
        raise AssertionError("%r did not appear within %ss:\n%s\n%s"
                             % (pattern, timeout, self.stdout[-4000:], self.stderr[-4000:]))

    def wait(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        finally:
            self._out.close()
            self._err.close()

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(10)
        self._out.close()
        self._err.close()


STREAMING_SERVER = os.path.join(SOURCE_DIR, "emulation", "streaming_server.py")
STREAMING_PORT = 8080


# The streaming server the daemon connects to without options.
DEFAULT_STREAMING_SERVER = board_root.cache_value(BUILD_DIR, "CM_DEFAULT_STREAMING_SERVER", "127.0.0.1")


class StreamingServer:
    """The reference streaming server on a loopback address.

    With no address given it tries random addresses in 127.0.0.0/8 until
    one is free on port 8080, so that tests running side by side do not
    meet; give the address when the peer has a fixed one (the daemon's
    default server)."""

    def __init__(self, address=None, fault="none", http_port=0, tries=20, slow_rate=None):
        self.dir = tempfile.mkdtemp(prefix="cm-stream-")
        self.log_path = os.path.join(self.dir, "server.log")
        self.save_dir = os.path.join(self.dir, "pictures")
        os.makedirs(self.save_dir)
        last = ""
        for _ in range(tries if address is None else 1):
            addr = address or "127.%d.%d.%d" % (random.randint(1, 254), random.randint(0, 254), random.randint(1, 254))
            extra = ["--slow-rate", str(slow_rate)] if slow_rate else []
            proc = subprocess.Popen(["/usr/bin/python3", STREAMING_SERVER, "--address", addr, "--fault", fault,
                                     "--http-port", str(http_port), "--log", self.log_path,
                                     "--save-dir", self.save_dir] + extra,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            line = proc.stdout.readline().decode()
            if line.startswith("listening on"):
                self.proc = proc
                self.address = addr
                self.http_port = int(line.split()[-1])
                return
            proc.wait(10)
            last = proc.stderr.read().decode()
            proc.stdout.close()
            proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        raise RuntimeError("reference streaming server did not start: " + last)

    def entries(self, event=None):
        try:
            with open(self.log_path) as f:
                out = [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []
        return [e for e in out if event is None or e.get("event") == event]

    def messages(self):
        return self.entries("message")

    def wait_for(self, predicate, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self):
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
        self.proc.stdout.close()
        self.proc.stderr.close()
        shutil.rmtree(self.dir, ignore_errors=True)


# The upload server the daemon's command line names (CM_FTP_HOST of the
# build; port 21, which the command line cannot change).
FTP_HOST = board_root.cache_value(BUILD_DIR, "CM_FTP_HOST", "127.0.0.1")


class FtpServer:
    """The board's upload FTP server (emulation/ftp_server.py) on
    FTP_HOST:21, serving `directory`. The board's command line has no port,
    so every test that starts one holds the CTest resource lock "ftp21"."""

    def __init__(self, directory, up=True):
        self.dir = directory
        self.host = FTP_HOST
        os.makedirs(directory, exist_ok=True)
        self._log = open(directory.rstrip("/") + ".log", "ab")
        self.proc = subprocess.Popen(["/usr/bin/python3", FTP_SERVER, directory, "--down", "--host", FTP_HOST],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._log,
                                     start_new_session=True)
        self._lines = queue.Queue()
        self.stored = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._expect("down")
        if up:
            self.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            if line.startswith("stored "):
                self.stored.append(line[7:])
            elif line.startswith("receiving "):
                pass  # an upload begun: the stored report tells when it is whole
            else:
                self._lines.put(line)

    def _expect(self, prefix, timeout=10):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("test FTP server: no answer (waiting for %r)" % prefix)
        if not line.startswith(prefix):
            raise AssertionError("test FTP server answered %r, not %r" % (line, prefix))
        return line

    def _command(self, line, prefix):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()
        return self._expect(prefix)

    def start(self):
        """Listens again (retrying while another test holds the port)."""
        deadline = time.monotonic() + 30
        while True:
            self.proc.stdin.write(b"start\n")
            self.proc.stdin.flush()
            line = self._expect("")
            if line.startswith("ready "):
                return
            if time.monotonic() > deadline:
                raise AssertionError("test FTP server could not listen: " + line)
            time.sleep(0.2)

    def stop(self):
        self._command("stop", "stopped")

    def refuse_logins(self, refuse=True):
        self._command("refuse" if refuse else "accept", "ok")

    def slow(self, bytes_per_second):
        self._command("slow %d" % bytes_per_second, "ok")

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(5)
        self._reader.join(5)
        self.proc.stdout.close()
        self._log.close()
