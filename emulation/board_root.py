#!/usr/bin/python3
"""Lays out an emulated board root for CAPTURE_MODULE_ROOT.

Under the root, the daemon finds what it finds on the board:
  /home/Tarvisel           base directory, with log/ and queue/
  /tmp                     raw clips and temporary files
  /sys/class/gpio          export file and the value/direction files of the
                           four camera switches (66, 47, 34, 38), DIP switches
                           5 and 6 (27, 10) and the activity output (87);
                           write a value file to flip a switch while the
                           daemon runs
  /sys/bus/i2c/devices/1-0050/eeprom   the board identity EEPROM with a serial
  /usr/bin/ncftpput        Debian's real upload tool
  /usr/bin/avconv          the converter front end the package installs
                           (packaging/avconv, on Debian's ffmpeg)

Usage: board_root.py ROOT [--serial S] [--switches 1111] [--dip5 0] [--dip6 0]
"""
import argparse
import os
import stat
import sys

CAMERA_SWITCH_PINS = (66, 47, 34, 38)  # inputs 0..3
DIP5_PIN = 27
DIP6_PIN = 10
ACTIVITY_PIN = 87
HERE = os.path.dirname(os.path.abspath(__file__))
# The board's converter: the package's own front end, as installed.
CONVERTER = os.path.join(os.path.dirname(HERE), "packaging", "avconv")


def eeprom_image(serial):
    """A 256-byte board EEPROM image with `serial` in its serial field (byte 16)."""
    data = bytearray(256)
    data[0:4] = b"\xaa\x55\x33\xee"  # the board header magic
    data[4:12] = b"A335BNLT"
    raw = serial.encode("latin-1")[:12]
    data[16:16 + len(raw)] = raw
    return bytes(data)


def set_gpio(root, pin, value):
    with open(os.path.join(root, "sys/class/gpio/gpio%d/value" % pin), "w") as f:
        f.write(str(value))


def make(root, serial="BBBK1234", switches="1111", dip5=0, dip6=0):
    root = os.path.abspath(root)
    for d in ("home/Tarvisel/log", "home/Tarvisel/queue", "tmp", "usr/bin"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    os.chmod(os.path.join(root, "tmp"), 0o1777)
    make_sys(root, serial, switches, dip5, dip6)
    link(os.path.join(root, "usr/bin/ncftpput"), "/usr/bin/ncftpput")
    link(os.path.join(root, "usr/bin/avconv"), CONVERTER)
    return root


def make_sys(root, serial="BBBK1234", switches="1111", dip5=0, dip6=0):
    """The board's kernel interfaces under `root`: the sysfs GPIO tree and
    the identity EEPROM, as plain files (also the whole layout for a board
    image whose /sys is a directory of its own)."""
    for d in ("sys/class/gpio", "sys/bus/i2c/devices/1-0050"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for name in ("export", "unexport"):
        open(os.path.join(root, "sys/class/gpio", name), "w").close()
    pins = {pin: int(switches[i]) for i, pin in enumerate(CAMERA_SWITCH_PINS)}
    pins[DIP5_PIN] = dip5
    pins[DIP6_PIN] = dip6
    pins[ACTIVITY_PIN] = 0
    for pin, value in pins.items():
        d = os.path.join(root, "sys/class/gpio/gpio%d" % pin)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "direction"), "w") as f:
            f.write("out" if pin == ACTIVITY_PIN else "in")
        set_gpio(root, pin, value)
    with open(os.path.join(root, "sys/bus/i2c/devices/1-0050/eeprom"), "wb") as f:
        f.write(eeprom_image(serial))


def cache_value(build, name, default):
    """A CMake cache value of the build in directory `build`, or `default`."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return default


def link(path, target):
    if os.path.lexists(path):
        os.unlink(path)
    os.symlink(target, path)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("root")
    p.add_argument("--serial", default="BBBK1234")
    p.add_argument("--switches", default="1111", help="camera switches of inputs 0..3, e.g. 1010")
    p.add_argument("--dip5", type=int, default=0)
    p.add_argument("--dip6", type=int, default=0)
    a = p.parse_args(argv)
    if len(a.switches) != 4 or any(c not in "01" for c in a.switches):
        p.error("--switches takes four digits 0 or 1")
    print(make(a.root, a.serial, a.switches, a.dip5, a.dip6))


if __name__ == "__main__":
    main(sys.argv[1:])
