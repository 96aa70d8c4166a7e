"""Shared helpers of the emulated board's Python tests: where the built
preload library and programs are, and running a program with the cameras."""
import os
import subprocess
import sys

SOURCE_DIR = os.environ.get("CM_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("CM_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
PRELOAD = os.path.join(BUILD_DIR, "emulation", "libemucam.so")
OPENCV_CAPTURE = os.path.join(BUILD_DIR, "tests", "emulation", "opencv_capture")

sys.path.insert(0, os.path.join(SOURCE_DIR, "emulation"))
import emucam_pattern  # noqa: E402,F401


def camera_env(config=None, preload=True, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("EMUCAM_") and k != "LD_PRELOAD"}
    if preload:
        env["LD_PRELOAD"] = PRELOAD
    if config is not None:
        env["EMUCAM_CONFIG"] = config
    env.update(extra)
    return env


def run(cmd, config=None, preload=True, timeout=60, **extra):
    """Runs `cmd` with (or without) the emulated cameras; returns the CompletedProcess."""
    return subprocess.run(cmd, env=camera_env(config, preload, **extra), capture_output=True, text=True,
                          timeout=timeout)
