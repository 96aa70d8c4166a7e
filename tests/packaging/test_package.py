"""The Debian package: contents, dependencies, lintian, the systemd unit.
Installed, run and purged on Debian 12 images: scripts/run-board-image-tests.sh."""
import glob
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD_DIR = os.environ["CM_BUILD_DIR"]
PICTURE_IO = "libcapture-module-picture-io.so"


def run(*cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="cm-pkg-")
        r = run("cpack", "-G", "DEB", "-B", cls.out, cwd=BUILD_DIR)
        if r.returncode != 0:
            raise AssertionError("cpack failed:\n" + r.stdout + r.stderr)
        debs = glob.glob(os.path.join(cls.out, "capture-module_*.deb"))
        assert len(debs) == 1, debs
        cls.deb = debs[0]
        cls.root = os.path.join(cls.out, "root")
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.strip()

    def test_contents(self):
        # The programs, the unit and its defaults are installed and run on
        # Debian 12 images by scripts/run-board-image-tests.sh.
        listing = run("dpkg-deb", "-c", self.deb).stdout
        for path in ("./usr/share/man/man8/capture_module.8.gz", "./usr/lib/capture-module/" + PICTURE_IO,
                     "./usr/share/doc/capture-module/copyright", "./usr/share/doc/capture-module/changelog.gz"):
            self.assertIn(path, listing)
        ctrl = os.path.join(self.out, "ctrl")
        subprocess.run(["dpkg-deb", "-e", self.deb, ctrl], check=True)
        with open(os.path.join(ctrl, "conffiles")) as f:
            self.assertEqual(f.read().split(), ["/etc/default/capture-module"])

    def test_dependencies_name_the_converter_the_upload_tool_and_every_linked_library(self):
        deps = [d.strip().split()[0] for d in self.field("Depends").split(",")]
        self.assertIn("ffmpeg", deps)
        self.assertIn("ncftp", deps)
        self.assertIn("libc6", deps)
        # Every shared library the daemon and its picture I/O module load
        # comes from a package it depends on.
        exe = os.path.join(self.root, "usr/bin/capture_module")
        module = os.path.join(self.root, "usr/lib/capture-module", PICTURE_IO)
        for binary in (exe, module):
            needed = run("objdump", "-p", binary).stdout
            libs = {line.split()[1] for line in needed.splitlines() if line.strip().startswith("NEEDED")}
            self.assertIn("libc.so.6", libs)
            if binary == exe:  # OpenCV's image and video I/O only in the module, loaded on the default path
                self.assertFalse({"libopencv_imgcodecs.so.406", "libopencv_videoio.so.406"} & libs, libs)
            for line in run("ldd", binary).stdout.splitlines():
                parts = line.split()
                if len(parts) >= 3 and parts[0] in libs and parts[1] == "=>":
                    owner = run("dpkg", "-S", os.path.realpath(parts[2])).stdout.split(":")[0]
                    if not owner:  # the library's own name, for packages that own only the link
                        owner = run("dpkg", "-S", parts[2]).stdout.split(":")[0]
                    self.assertIn(owner, deps, "%s comes from %s, which the package does not depend on"
                                  % (parts[0], owner))

    def test_lintian_reports_no_error(self):
        r = run("lintian", "--no-tag-display-limit", self.deb)
        errors = [line for line in r.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual(errors, [], r.stdout)

    def test_unit_always_restarts_the_daemon_and_never_gives_up(self):
        with open(os.path.join(self.root, "usr/lib/systemd/system/capture_module.service")) as f:
            unit = f.read().splitlines()
        self.assertIn("Restart=always", unit)  # the daemon ends with status 0 on purpose
        self.assertIn("StartLimitIntervalSec=0", unit)
        delay = [int(line.split("=")[1]) for line in unit if line.startswith("RestartSec=")]
        self.assertTrue(delay and 0 < delay[0] <= 10)
        self.assertIn("StandardOutput=journal", unit)
        self.assertIn("RequiresMountsFor=/home/Tarvisel /tmp", unit)


if __name__ == "__main__":
    unittest.main()
