#!/usr/bin/python3
"""What durability costs on the clip road: the daemon's syncs per clip, the
time they take, and each clip's time from its request to the server.

The daemon runs on an emulated board root ("-usb", four emulated 1280 x 720
Motion-JPEG cameras at 30 frames a second) whose /tmp and base directory
are on one ext4 file system on a loop device, not throttled: a sync there
reaches the backing file's disk, as a sync on the board reaches its card.
A user request makes four clips; the run ends once all four are on the
FTP server with their records. The daemon runs under strace, which traces
only the sync calls (fsync, fdatasync, syncfs, sync, sync_file_range) of
the daemon and its children, with the time each took.

Prints one JSON object: clips, syncs in all and per clip, seconds spent in
syncs per clip, each clip's seconds from the request to the server.
Needs root (loop device, mounts) and a mount namespace of its own
(tests/e2e/own_network.sh runs it in one).

Usage: clip_road_bench.py [--build DIR]
"""
import argparse
import json
import os
import re
import shutil
import stat
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))

SYNC_CALLS = "fsync,fdatasync,syncfs,sync,sync_file_range"
SYNC_LINE = re.compile(r"^\d+\s+(\w+)\(.*<([\d.]+)>$")
CAMERAS = 4


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build"))
    a = ap.parse_args(argv)
    os.environ["CM_BUILD_DIR"] = os.path.abspath(a.build)
    import harness  # first: emulation/ on the import path
    import board_card
    import faults_support

    work = tempfile.mkdtemp(prefix="cm-road-bench-")
    board = harness.Board(switches="1111")
    card = ftp = d = None
    try:
        card = board_card.Card(os.path.join(work, "card.img"), 512)
        card.put(board.dir, os.path.join(work, "top"), ["/tmp", harness.HOME])
        trace = os.path.join(work, "syncs.trace")
        wrapper = os.path.join(work, "capture_module")
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec strace -f -qq --seccomp-bpf -T -e trace=%s -o %s %s \"$@\"\n"
                    % (SYNC_CALLS, trace, harness.DAEMON))
        os.chmod(wrapper, stat.S_IRWXU)
        harness.DAEMON = wrapper
        ftp = harness.FtpServer(os.path.join(work, "ftp"))
        ledger = faults_support.ServerLedger(ftp)
        d = board.start("-usb", cameras=True)
        for cam in range(CAMERAS):
            d.wait_for(r"/dev/video%d format succeeded!" % cam, timeout=120, stream="stderr")
        requested = time.monotonic()
        board.control("user-video")
        arrived = {}
        while len(arrived) < CAMERAS or len(board.notification_urls()) < CAMERAS:
            if time.monotonic() - requested > 600 or d.proc.poll() is not None:
                raise SystemExit("the clips did not arrive:\n" + d.stdout[-3000:])
            for name in ledger.files():
                arrived.setdefault(name, time.monotonic() - requested)
            time.sleep(0.1)
        board.control("exit", "on")  # an ordinary end: strace writes out its trace
        d.wait(120)
        calls = {}
        seconds = 0.0
        with open(trace) as f:
            for line in f:
                m = SYNC_LINE.match(line.strip())
                if m:
                    calls[m.group(1)] = calls.get(m.group(1), 0) + 1
                    seconds += float(m.group(2))
        syncs = sum(calls.values())
        print(json.dumps({"clips": len(arrived), "syncs": calls, "syncs_per_clip": syncs / len(arrived),
                          "sync_seconds_per_clip": seconds / len(arrived),
                          "request_to_server_s": sorted(round(s, 1) for s in arrived.values())}, indent=1))
    finally:
        if d is not None:
            d.stop()
        if ftp is not None:
            ftp.close()
        if card is not None:
            card.close()
        board.cleanup()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv[1:])
