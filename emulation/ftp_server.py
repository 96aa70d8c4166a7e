#!/usr/bin/python3
"""The upload FTP server of the emulated board, for tests and the demo.

A real FTP server (pyftpdlib) with the board's upload account, user "kelm_o"
password "907", serving one directory: what the daemon uploads with
`ncftpput` lands there under "/<device serial>/". It can play the faults an
upload must survive:

  refuse logins      every login is answered "530" (the tool fails at once)
  slow transfers     uploads are read at a limited rate (bytes per second)
  held transfers     uploads are not read at all until released, so a test
                     can act while an upload is surely in progress
  stop / start       the server goes down (connections refused, sessions
                     cut) and comes back on the same address

Usage: ftp_server.py DIR [--host 127.0.0.1] [--port 21] [--refuse-logins]
                         [--slow BYTES_PER_SECOND] [--down]

It prints "ready HOST:PORT" once it listens (or "down" with --down), then
reads commands, one a line, on standard input and answers each with one line:

  stop            -> "stopped"       close the listener and every session
  start           -> "ready H:P"     listen again ("error H:P REASON" when
                                     it cannot, e.g. the address is in use)
  refuse          -> "ok refuse"     refuse every login from now on
  accept          -> "ok accept"     accept logins again
  slow N          -> "ok slow N"     read uploads at N bytes/s (0: full speed)
  hold            -> "ok hold"       read no upload data from now on
  release         -> "ok release"    read held uploads again
  quit, or EOF    -> "bye"           end the server

Every upload begun is reported as "receiving PATH" and every stored file as
"stored PATH" (PATH relative to DIR).
Only loopback addresses are served.
"""
import argparse
import ipaddress
import os
import queue
import signal
import sys
import threading

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.ioloop import IOLoop
from pyftpdlib.servers import FTPServer

USER = "kelm_o"
PASSWORD = "907"
PERMISSIONS = "elradfmwMT"  # list, change directory, read, append, delete, rename, mkdir, write, chmod, utime


def _say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class _Authorizer(DummyAuthorizer):
    """The one upload account; refuses every login while `refusing` is set."""

    def __init__(self, server):
        super().__init__()
        self._server = server

    def validate_authentication(self, username, password, handler):
        if self._server.refuse_logins:
            raise AuthenticationFailed("logins refused (fault mode)")
        super().validate_authentication(username, password, handler)


class UploadServer:
    """The FTP server, driven by `poll` from one thread (pyftpdlib is not
    thread-safe): `start`, `stop` and the fault switches may be called
    between polls."""

    def __init__(self, root, host="127.0.0.1", port=21, user=USER, password=PASSWORD, report=None):
        if not ipaddress.ip_address(host).is_loopback:
            raise ValueError("the test FTP server serves loopback addresses only, not %s" % host)
        self.root = os.path.abspath(root)
        self.host = host
        self.port = port
        self.refuse_logins = False
        self._holding = False
        self._held = []  # data channels taken off the loop while holding
        self._report = report or (lambda line: None)
        self._authorizer = _Authorizer(self)
        self._authorizer.add_user(user, password, self.root, perm=PERMISSIONS)

        server = self

        class Dtp(ThrottledDTPHandler):
            read_limit = 0  # bytes/s the server reads from an upload; 0: no limit
            write_limit = 0

            def enable_receiving(self, type, cmd):
                super().enable_receiving(type, cmd)
                if server._holding:
                    self.del_channel()
                    server._held.append(self)

        class Handler(FTPHandler):
            authorizer = self._authorizer
            dtp_handler = Dtp
            banner = "capture module test FTP server ready."
            # Loopback only: passive data connections stay on the same address.
            masquerade_address = None

            def ftp_STOR(self, file, mode="w"):
                server._report("receiving " + os.path.relpath(file, server.root))
                return super().ftp_STOR(file, mode)

            def on_file_received(self, file):
                server._report("stored " + os.path.relpath(file, server.root))

        self._dtp = Dtp
        self._handler = Handler
        self._server = None

    @property
    def running(self):
        return self._server is not None

    @property
    def slow_rate(self):
        return self._dtp.read_limit

    @slow_rate.setter
    def slow_rate(self, bytes_per_second):
        # Data connections opened from now on take the class's limit (their
        # buffers shrink to fit small rates).
        self._dtp.read_limit = max(0, int(bytes_per_second))

    @property
    def holding(self):
        return self._holding

    @holding.setter
    def holding(self, hold):
        """While holding, uploads that begin are not read; released, every
        held one is read on."""
        self._holding = bool(hold)
        if not self._holding:
            held, self._held = self._held, []
            for dtp in held:
                if not dtp._closed:
                    dtp.add_channel(events=dtp.ioloop.READ)

    def start(self):
        if self._server is None:
            self._server = FTPServer((self.host, self.port), self._handler, ioloop=IOLoop())
            self._server.max_cons = 16

    def stop(self):
        if self._server is not None:
            self._server.close_all()
            self._server = None

    def poll(self, timeout=0.05):
        """One pass of the server's event loop, at most `timeout` seconds."""
        if self._server is None:
            return False
        self._server.ioloop.loop(timeout, blocking=False)
        return True


def _reason(error):
    """The system's words for an OSError; pyftpdlib hands a failed bind on
    wrapped in another OSError that has none of its own."""
    while error.strerror is None and error.args and isinstance(error.args[0], OSError):
        error = error.args[0]
    return error.strerror or str(error)


def _read_commands(commands):
    for line in sys.stdin:
        commands.put(line.strip())
    commands.put("quit")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("dir", help="directory served as the account's root")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=21)
    p.add_argument("--refuse-logins", action="store_true")
    p.add_argument("--slow", type=int, default=0, metavar="BYTES_PER_SECOND")
    p.add_argument("--down", action="store_true", help="start with the server down")
    a = p.parse_args(argv)

    os.makedirs(a.dir, exist_ok=True)
    server = UploadServer(a.dir, a.host, a.port, report=_say)
    server.refuse_logins = a.refuse_logins
    server.slow_rate = a.slow

    commands = queue.Queue()
    signal.signal(signal.SIGTERM, lambda *_: commands.put("quit"))
    threading.Thread(target=_read_commands, args=(commands,), daemon=True).start()

    def start():
        try:
            server.start()
        except OSError as e:
            _say("error %s:%d %s" % (a.host, a.port, _reason(e)))
            return
        _say("ready %s:%d" % (a.host, a.port))

    if a.down:
        _say("down")
    else:
        start()

    while True:
        if server.running:
            server.poll(0.05)
            wait = 0
        else:
            wait = 0.05
        try:
            cmd = commands.get(timeout=wait) if wait else commands.get_nowait()
        except queue.Empty:
            continue
        word, _, arg = cmd.partition(" ")
        if word == "quit":
            server.stop()
            _say("bye")
            return 0
        if word == "stop":
            server.stop()
            _say("stopped")
        elif word == "start":
            start()
        elif word == "refuse":
            server.refuse_logins = True
            _say("ok refuse")
        elif word == "accept":
            server.refuse_logins = False
            _say("ok accept")
        elif word in ("hold", "release"):
            server.holding = word == "hold"
            _say("ok " + word)
        elif word == "slow":
            try:
                server.slow_rate = int(arg or "0")
                _say("ok slow %d" % server.slow_rate)
            except ValueError:
                _say("error slow needs a number")
        elif word:
            _say("error unknown command %s" % word)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
