#!/usr/bin/python3
"""Runs capture_module on an emulated board root and shows what it does.

The daemon gets the emulated cameras (the build's libemucam.so through
LD_PRELOAD; EMUCAM_CONFIG, when set, says what they are). Ctrl-C stops the
daemon and everything else this script started.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import board_root


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", required=True, help="build directory holding capture_module")
    p.add_argument("--keep", action="store_true", help="keep the board root afterwards")
    p.add_argument("args", nargs="*", help="daemon options")
    a = p.parse_args()

    root = tempfile.mkdtemp(prefix="cm-board-")
    board_root.make(root)
    print("emulated board root:", root, flush=True)
    env = dict(os.environ, CAPTURE_MODULE_ROOT=root)
    cameras = os.path.join(os.path.abspath(a.build), "emulation", "libemucam.so")
    if os.path.exists(cameras):
        env["LD_PRELOAD"] = cameras
        print("emulated cameras:", os.environ.get("EMUCAM_CONFIG") or "four healthy ones", flush=True)
    daemon = subprocess.Popen([os.path.join(a.build, "capture_module")] + a.args, env=env,
                              start_new_session=True)
    try:
        daemon.wait()
    except KeyboardInterrupt:
        pass
    finally:
        if daemon.poll() is None:
            os.killpg(daemon.pid, signal.SIGTERM)
            try:
                daemon.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(daemon.pid, signal.SIGKILL)
                daemon.wait()
        if not a.keep:
            shutil.rmtree(root, ignore_errors=True)
    print("\nstopped; daemon status", daemon.returncode)


if __name__ == "__main__":
    sys.exit(main())
