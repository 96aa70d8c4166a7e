"""The preload library changes nothing but the camera paths and their
descriptors, and a process that does not load it sees no cameras."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

from emucam_support import PRELOAD, camera_env, run

# Exercises the C library calls the library takes over, on everything but
# a camera, and prints what it saw.
PROBE = r'''
import fcntl, json, mmap, os, stat, sys, termios
tmp = sys.argv[1]
report = {}
def st(p, follow=True):
    try:
        s = os.stat(p) if follow else os.lstat(p)
        return [stat.S_IFMT(s.st_mode), s.st_ino, s.st_size, s.st_rdev, s.st_nlink]
    except OSError as e:
        return e.errno
for p in ["/", "/etc/passwd", "/dev/null", "/usr/bin", "/nonexistent", "/dev/video", "/dev/video4",
          "/dev/video00", "/dev/video0x", "/sys/dev/char/81:9/uevent", tmp]:
    report["stat " + p] = st(p)
    report["access " + p] = os.access(p, os.R_OK)
link = os.path.join(tmp, "link")
os.symlink("/etc/passwd", link)
report["lstat link"] = st(link, follow=False)
path = os.path.join(tmp, "data")
fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
os.write(fd, b"emulated board " * 1000)
report["fstat"] = list(os.fstat(fd))[:7]
m = mmap.mmap(fd, 4096, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
m[0:8] = b"EMULATED"
report["mmap"] = m[0:24].decode()
m.close()
os.close(fd)
with open(path, "rb") as f:
    report["read"] = f.read(24).decode()
r, w = os.pipe()
os.write(w, b"12345")
buf = bytearray(4)
fcntl.ioctl(r, termios.FIONREAD, buf)
report["ioctl FIONREAD"] = int.from_bytes(buf, sys.byteorder)
try:
    fcntl.ioctl(r, 0x80685600, bytearray(104))  # VIDIOC_QUERYCAP on a pipe
    report["querycap pipe"] = 0
except OSError as e:
    report["querycap pipe"] = e.errno
os.close(r); os.close(w)
try:
    os.close(9999)
except OSError as e:
    report["close bad"] = e.errno
report["listdir"] = sorted(os.listdir(tmp))
with open("/proc/self/status") as f:
    report["threads"] = [l for l in f if l.startswith("Threads")][0].strip()
print(json.dumps(report, sort_keys=True))
'''


# The camera descriptor as the C library's callers see it, and a descriptor
# number the camera had, closed past the library and reused for a file.
DEVICE_PROBE = r'''
import fcntl, json, mmap, os, stat, sys, tempfile
report = {}
fd = os.open("/dev/video1", os.O_RDWR | os.O_NONBLOCK)
s = os.fstat(fd)
report["fstat"] = [stat.S_ISCHR(s.st_mode), os.major(s.st_rdev), os.minor(s.st_rdev)]
cap = bytearray(104)
fcntl.ioctl(fd, 0x80685600, cap)  # VIDIOC_QUERYCAP
report["driver"] = cap[:16].rstrip(b"\0").decode()
os.closerange(fd, fd + 1)  # close_range: the library does not see it
tmp = tempfile.mkdtemp()
path = os.path.join(tmp, "data")
with open(path, "wb") as f:
    f.write(b"x" * 8192)
plain = os.open(path, os.O_RDONLY)
if plain != fd:
    os.dup2(plain, fd)
    os.close(plain)
s = os.fstat(fd)
report["reused"] = [stat.S_ISREG(s.st_mode), s.st_size]
m = mmap.mmap(fd, 4096, mmap.MAP_SHARED, mmap.PROT_READ)
report["mmap"] = m[:1].decode()
m.close()
try:
    fcntl.ioctl(fd, 0x80685600, bytearray(104))
    report["querycap"] = 0
except OSError as e:
    report["querycap"] = e.errno
os.close(fd)
os.remove(path)
os.rmdir(tmp)
print(json.dumps(report))
'''


class PreloadIsolationTest(unittest.TestCase):
    def probe(self, preload, config=None):
        with tempfile.TemporaryDirectory(prefix="emucam-probe-") as tmp:
            r = subprocess.run(["/usr/bin/python3", "-c", PROBE, tmp], env=camera_env(config, preload),
                               capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stderr)
            report = json.loads(r.stdout)
            # The temporary directory differs from run to run.
            return {k.replace(tmp, "TMP"): v for k, v in report.items() if k != "stat " + tmp}

    def test_everything_but_the_cameras_behaves_as_without_the_library(self):
        plain = self.probe(False)
        loaded = self.probe(True)
        for key in ("lstat link", "fstat"):  # inode numbers of fresh files differ
            plain.pop(key)
            loaded.pop(key)
        self.assertEqual(plain, loaded)
        self.assertEqual(loaded["mmap"], "EMULATED board emulated ")
        self.assertEqual(loaded["ioctl FIONREAD"], 5)
        self.assertEqual(loaded["querycap pipe"], 25)  # ENOTTY

    def test_no_camera_touched_means_no_model(self):
        # Not even a malformed configuration is read: nothing asked for a camera.
        report = self.probe(True, config="this is no configuration")
        self.assertEqual(report["threads"], "Threads:\t1")

    def test_a_process_without_the_library_sees_no_camera(self):
        if os.path.exists("/dev/video0"):
            self.skipTest("this machine has a real /dev/video0")
        without = run(["stat", "-c", "%F", "/dev/video0"], preload=False)
        self.assertNotEqual(without.returncode, 0)
        self.assertIn("No such file", without.stderr)
        loaded = run(["stat", "-c", "%F %t:%T", "/dev/video0"])
        self.assertEqual(loaded.stdout.strip(), "character special file 51:0")
        # A child started without it (cleared environment) sees none either.
        child = run(["/usr/bin/env", "-u", "LD_PRELOAD", "stat", "/dev/video0"])
        self.assertNotEqual(child.returncode, 0)

    def test_camera_descriptor_and_a_reused_descriptor_number(self):
        r = run(["/usr/bin/python3", "-c", DEVICE_PROBE])
        self.assertEqual(r.returncode, 0, r.stderr)
        report = json.loads(r.stdout)
        self.assertEqual(report["fstat"], [True, 81, 1])
        self.assertEqual(report["driver"], "uvcvideo")
        self.assertEqual(report["reused"], [True, 8192])
        self.assertEqual(report["mmap"], "x")
        self.assertEqual(report["querycap"], 25)  # ENOTTY: a plain file again

    def test_malformed_configuration_ends_the_process_loudly(self):
        r = run(["stat", "/dev/video0"], config="0 MJPG 641x480 30")
        self.assertEqual(r.returncode, 86)
        self.assertIn("EMUCAM_CONFIG", r.stderr)
        self.assertIn("bad size", r.stderr)

    def test_configuration_from_a_file(self):
        with tempfile.NamedTemporaryFile("w", suffix=".cfg") as f:
            f.write("# two cameras\n0 MJPG 640x480 30\n3 YUYV 320x240 15\n")
            f.flush()
            r = run(["stat", "-c", "%n %F", "/dev/video0", "/dev/video1", "/dev/video3"], config=f.name)
        self.assertIn("/dev/video0 character special file", r.stdout)
        self.assertIn("/dev/video3 character special file", r.stdout)
        self.assertIn("cannot statx '/dev/video1'", r.stderr)


if __name__ == "__main__":
    unittest.main()
