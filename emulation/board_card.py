"""The board's card: an ext4 image on a loop device holding a board root's
/tmp and base directory, as the board's SD card holds them. It can be made
as slow as a card (writes throttled, a board's dirty limit) and, with the
daemon's process group stopped, copied as a power cut leaves it: the
loop device's backing file holds only what reached the device, never what
the mounted file system still keeps in its cache.

Root only (loop devices, mounts, cgroup v1 blkio, sysfs); mount in a mount
namespace of the caller's own (tests/e2e/own_network.sh gives one)."""
import os
import shutil
import signal
import subprocess
import time

THROTTLE = "/sys/fs/cgroup/blkio/blkio.throttle.write_bps_device"


def run(*args):
    return subprocess.run(list(args), check=True, capture_output=True, text=True).stdout


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


class Card:
    """A fresh ext4 image of `size_mb` at `image`, or the image there as it is."""

    def __init__(self, image, size_mb=None):
        if size_mb:
            with open(image, "wb") as f:
                f.truncate(size_mb << 20)
            run("mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0", image)
        self.loop = run("losetup", "-f", "--show", image).strip()
        st = os.stat(self.loop)
        self.devno = "%d:%d" % (os.major(st.st_rdev), os.minor(st.st_rdev))
        self.mounted = []
        self.slowed = False

    def put(self, root, top, board_paths, copy=True, options="defaults"):
        """Mounts the card at `top` and binds a directory of it over each of
        the board root's `board_paths`, with what stood there copied onto
        the card first (`copy`; synced, as a board's card holds it at
        power-on)."""
        os.makedirs(top, exist_ok=True)
        run("mount", "-t", "ext4", "-o", options, self.loop, top)
        self.mounted.append(top)
        for board_path in board_paths:
            inside = os.path.join(top, board_path.strip("/").replace("/", "-"))
            if copy:
                shutil.copytree(root + board_path, inside, symlinks=True)
                shutil.copystat(root + board_path, inside)
            run("mount", "--bind", inside, root + board_path)
            self.mounted.append(root + board_path)
        if copy:
            run("sync", "-f", top)

    def slow(self, bytes_per_second, dirty_bytes):
        """Writes throttled in the blkio hierarchy's root group (cgroup v1
        throttles only a group's own writes, and the kernel's writeback is
        issued from the root group), and at most `dirty_bytes` of the
        card's pages dirty in the page cache (its backing device's strict
        limit): a machine with gigabytes would hold a card's writes for
        minutes where a board holds tens of MB."""
        self.slowed = True
        write(THROTTLE, "%s %d" % (self.devno, bytes_per_second))
        write("/sys/class/bdi/%s/strict_limit" % self.devno, "1")
        write("/sys/class/bdi/%s/max_bytes" % self.devno, str(dirty_bytes))

    def written_bytes(self):
        """Bytes written to the device since it was attached."""
        with open("/sys/block/%s/stat" % os.path.basename(self.loop)) as f:
            return int(f.read().split()[6]) * 512

    def close(self):
        """Unmounts and detaches; a slowed device is left as it was found
        (its number is the machine's, for the next user)."""
        if self.slowed:
            write(THROTTLE, "%s 0" % self.devno)
            write("/sys/class/bdi/%s/strict_limit" % self.devno, "0")
            write("/sys/class/bdi/%s/max_ratio" % self.devno, "100")
            self.slowed = False
        for target in reversed(self.mounted):
            if subprocess.run(["umount", target], capture_output=True).returncode != 0:
                subprocess.run(["umount", "-l", target])
        self.mounted = []
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop])
            self.loop = None


def group(pgid):
    """(command, [thread states]) of every process of group `pgid`; "V"
    for a thread that waits for its vfork child to start a program (it
    does nothing else until the child runs)."""
    out = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                head, tail = f.read().rsplit(")", 1)
            if int(tail.split()[2]) == pgid:
                states = []
                for tid in os.listdir("/proc/%s/task" % pid):
                    task = "/proc/%s/task/%s/" % (pid, tid)
                    with open(task + "stat") as f, open(task + "wchan") as w:
                        state = f.read().rsplit(")", 1)[1].split()[0]
                        vfork = state == "D" and w.read() in ("wait_for_vfork_done", "kernel_clone")
                        states.append("V" if vfork else state)
                out.append((head.split("(", 1)[1], states))
        except (OSError, IndexError):
            pass
    return out


def stop_group(pgid, timeout=20):
    """Stops process group `pgid` (SIGSTOP) and returns once every thread
    of it has stopped: a thread in a system call, an fsync say, stops when
    the call returns; one whose vfork child stopped before it started its
    program stays waiting for it. The signal goes again meanwhile, for a
    child started just as it went. False when the group did not stop
    within `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        os.killpg(pgid, signal.SIGSTOP)
        if all(s in "TtZV" for _, states in group(pgid) for s in states):
            return True
        time.sleep(0.01)
    return False
