"""Runs the built daemon on an emulated board root, as the companion
process and the board's supervisor would see it."""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get("CM_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("CM_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
DAEMON = os.path.join(BUILD_DIR, "capture_module")
# The emulated cameras for the daemon (emulation/README.md).
EMUCAM_PRELOAD = os.path.join(BUILD_DIR, "emulation", "libemucam.so")

sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import board_root  # noqa: E402

HOME = "/home/Tarvisel"
CONTROL_FILE = HOME + "/capture_control.ini"


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

    def set_gpio(self, pin, value):
        board_root.set_gpio(self.dir, pin, value)

    def start(self, *args, env=None, preload=None, cameras=None):
        """Starts the daemon. `cameras` gives it the emulated cameras: True
        for the four healthy ones, or a configuration text (EMUCAM_CONFIG)."""
        if cameras is not None:
            preload = preload or EMUCAM_PRELOAD
            env = dict(env or {})
            if cameras is not True:
                env["EMUCAM_CONFIG"] = cameras
        self.daemon = Daemon(self, args, env=env, preload=preload)
        return self.daemon

    def run(self, *args, timeout=30, env=None):
        d = self.start(*args, env=env)
        d.wait(timeout)
        return d

    def cleanup(self):
        if self.daemon is not None:
            self.daemon.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


_sanitizer_runtimes = None


def sanitizer_runtimes():
    """The AddressSanitizer runtime the daemon is linked with, if any: it
    must come first in LD_PRELOAD, ahead of a preloaded library."""
    global _sanitizer_runtimes
    if _sanitizer_runtimes is None:
        try:
            out = subprocess.run(["ldd", DAEMON], capture_output=True, text=True, timeout=30).stdout
        except (OSError, subprocess.SubprocessError):
            out = ""
        _sanitizer_runtimes = re.findall(r"^\s*libasan\.so\S* => (\S+)", out, re.M)
    return _sanitizer_runtimes


class Daemon:
    def __init__(self, board, args, env=None, preload=None):
        self.board = board
        e = dict(os.environ)
        e["CAPTURE_MODULE_ROOT"] = board.dir
        e.setdefault("TZ", "UTC")
        if preload:
            e["LD_PRELOAD"] = " ".join(sanitizer_runtimes() + [preload])
        if env:
            e.update(env)
        self.out_path = os.path.join(board.dir, "daemon.stdout")
        self.err_path = os.path.join(board.dir, "daemon.stderr")
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.proc = subprocess.Popen([DAEMON] + list(args), stdout=self._out, stderr=self._err,
                                     env=e, start_new_session=True)

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
