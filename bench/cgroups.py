"""cgroup v1 groups that give a benchmark run the board's budget: a share of
one core (cpu, cfs quota), a memory limit (memory), write throttling of a
block device (blkio), and CPU accounting of the group (cpuacct).

Each group is made below the group this process is in, in each hierarchy
(so a limit set on the machine above it still holds), and removed by
close(). Processes enter at fork: `with budget.inside(): Popen(...)` moves
this process into the groups for the fork only, so that the child and all
its descendants start inside. Threads may be moved out one by one
(`release_thread`) into an unlimited sibling group: cgroup v1's "tasks"
file takes thread ids for the cpu and cpuacct controllers.

The share can be made two ways. With a cfs quota (the default) the group
runs its quota in each period and then waits for the next one, however
urgent the thread that wakes. With `shared_core` the group has no quota:
it and a busy competitor (a group of its own) are held to one core, and
their weights give the group its share of it while both are runnable; a
thread that wakes runs soon (the scheduler places a woken entity ahead),
as it would on a slow core of its own, and the group's time is taken back
over the following milliseconds.

Needs root and the v1 hierarchies mounted under /sys/fs/cgroup (the
development machines have them); `available()` tells.
"""
import contextlib
import os
import subprocess
import time

ROOT = "/sys/fs/cgroup"
CONTROLLERS = ("cpu", "cpuacct", "memory", "blkio")
# The kernel refuses a cfs quota under 1 ms.
MIN_QUOTA_US = 1000
# The longest period used: the limited group runs its quota, then waits for
# the rest of the period. A short period keeps that wait under a camera's
# frame interval (33 ms) as on a slow core that is shared finely.
MAX_PERIOD_US = 100000
# cpu.shares of the groups (the default is 1024).
WEIGHT = 10240


def last_cpu():
    """The core a shared-core budget holds its groups to."""
    return (os.cpu_count() or 1) - 1


def cpus_but(core):
    """Every core of the machine but `core` (that one alone on a single core)."""
    return (set(range(os.cpu_count() or 1)) - {core}) or {core}


def available():
    """None when groups can be made here, else why not."""
    if os.geteuid() != 0:
        return "needs root"
    for c in CONTROLLERS:
        if not os.path.exists(os.path.join(ROOT, c, "tasks")):
            return "no cgroup v1 %s hierarchy at %s" % (c, os.path.join(ROOT, c))
    return None


def own_group(controller):
    """This process's group in the v1 hierarchy of `controller`."""
    with open("/proc/self/cgroup") as f:
        for line in f:
            _, names, path = line.rstrip("\n").split(":", 2)
            if controller in names.split(","):
                return path
    return "/"


def write(path, value):
    with open(path, "w") as f:
        f.write(str(value))


def read(path):
    """A file's whole text, or None when it cannot be read."""
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def read_int(path):
    text = read(path)
    return int(text.split()[0]) if text else None


def period_for(share):
    """(period, quota) in us: the shortest period whose quota the kernel takes."""
    period = min(MAX_PERIOD_US, max(10000, int(MIN_QUOTA_US / share + 0.999)))
    return period, max(MIN_QUOTA_US, int(round(share * period)))


class Budget:
    """The limited group (`name`) and its unlimited sibling (`name`-free)
    in every controller."""

    def __init__(self, name, share=None, memory_bytes=None, write_bps=None, shared_core=None):
        """share: fraction of one core (None: no CPU limit); memory_bytes:
        the memory limit (None: none); write_bps: ("MAJOR:MINOR", bytes per
        second) of a block device whose writes are throttled; shared_core:
        the share by weight on this core against a busy competitor instead
        of a quota (see above)."""
        self.name = name
        self.paths = {}
        self.free = {}
        self.share = share
        self.core = shared_core if share is not None else None
        self.hog = None
        for c in CONTROLLERS:
            base = os.path.join(ROOT, c) + own_group(c)
            self.paths[c] = os.path.join(base, name)
            os.makedirs(self.paths[c], exist_ok=True)
            if c in ("cpu", "cpuacct"):
                self.free[c] = os.path.join(base, name + "-free")
                os.makedirs(self.free[c], exist_ok=True)
        # The machine is shared: a high weight lets the groups have their
        # quota as soon as they are runnable (the quota still caps them), so
        # that other work on the machine delays them as little as it can.
        for c in ("cpu",):
            for path in (self.paths[c], self.free[c]):
                write(os.path.join(path, "cpu.shares"), WEIGHT)
        self.period_us = self.quota_us = None
        self.weight = None
        if self.core is not None:
            self.hog_path = os.path.join(ROOT, "cpu") + own_group("cpu") + "/" + name + "-hog"
            os.makedirs(self.hog_path, exist_ok=True)
            write(os.path.join(self.hog_path, "cpu.shares"), WEIGHT)
            self.weight = max(2, int(round(WEIGHT * share / (1 - share))))
            write(self.file("cpu", "cpu.shares"), self.weight)
            self.hog = subprocess.Popen(["/bin/sh", "-c", "while :; do :; done"])
            write(os.path.join(self.hog_path, "cgroup.procs"), self.hog.pid)
            os.sched_setaffinity(self.hog.pid, {self.core})
        elif share is not None:
            self.period_us, self.quota_us = period_for(share)
            write(self.file("cpu", "cpu.cfs_period_us"), self.period_us)
            write(self.file("cpu", "cpu.cfs_quota_us"), self.quota_us)
        if memory_bytes is not None:
            write(self.file("memory", "memory.limit_in_bytes"), memory_bytes)
        if write_bps is not None:
            write(self.file("blkio", "blkio.throttle.write_bps_device"), "%s %d" % write_bps)
        self._home = {c: os.path.join(ROOT, c) + own_group(c) for c in CONTROLLERS}

    def file(self, controller, name):
        return os.path.join(self.paths[controller], name)

    def join(self, pid):
        for c in CONTROLLERS:
            write(self.file(c, "cgroup.procs"), pid)

    @contextlib.contextmanager
    def inside(self):
        """This process inside the groups: what it forks meanwhile starts
        there (on the shared core, with `shared_core`)."""
        self.join(os.getpid())
        cpus = os.sched_getaffinity(0)
        if self.core is not None:
            os.sched_setaffinity(0, {self.core})
        try:
            yield
        finally:
            os.sched_setaffinity(0, cpus)
            for c in CONTROLLERS:
                write(os.path.join(self._home[c], "cgroup.procs"), os.getpid())

    def release_thread(self, pid, tid):
        """Moves one thread of process `pid` out of the CPU limit and its
        accounting; True when the kernel placed it there (the thread's own
        cgroup file says so), False when it refused or the thread is gone."""
        try:
            for c in ("cpu", "cpuacct"):
                write(os.path.join(self.free[c], "tasks"), tid)
            if self.core is not None:
                os.sched_setaffinity(tid, cpus_but(self.core))
        except OSError:
            return False
        return all(thread_group(pid, tid, c) == self.group_path(c, free=True) for c in ("cpu", "cpuacct"))

    def group_path(self, controller, free=False):
        full = self.free[controller] if free else self.paths[controller]
        return full[len(os.path.join(ROOT, controller)):]

    def stats(self):
        """The group's counters: CPU seconds (cpuacct), throttling, memory."""
        cpu = read(self.file("cpu", "cpu.stat")) or ""
        cs = dict(line.split() for line in cpu.splitlines() if line.strip())
        mem = read(self.file("memory", "memory.stat")) or ""
        ms = dict(line.split() for line in mem.splitlines() if line.strip())
        oom = read(self.file("memory", "memory.oom_control")) or ""
        om = dict(line.split() for line in oom.splitlines() if line.strip())
        usage = read_int(self.file("cpuacct", "cpuacct.usage"))
        free = read_int(os.path.join(self.free["cpuacct"], "cpuacct.usage"))
        return {
            "cpu_seconds": usage / 1e9 if usage is not None else None,
            "released_threads_cpu_seconds": free / 1e9 if free is not None else None,
            "nr_periods": int(cs.get("nr_periods", 0)),
            "nr_throttled": int(cs.get("nr_throttled", 0)),
            "throttled_seconds": int(cs.get("throttled_time", 0)) / 1e9,
            "memory_max_usage_bytes": read_int(self.file("memory", "memory.max_usage_in_bytes")),
            "memory_usage_bytes": read_int(self.file("memory", "memory.usage_in_bytes")),
            "memory_failcnt": read_int(self.file("memory", "memory.failcnt")),
            "memory_rss_bytes": int(ms.get("total_rss", ms.get("rss", 0))),
            "memory_cache_bytes": int(ms.get("total_cache", ms.get("cache", 0))),
            "memory_shmem_bytes": int(ms.get("total_shmem", ms.get("shmem", 0))),
            "memory_mapped_file_bytes": int(ms.get("total_mapped_file", ms.get("mapped_file", 0))),
            "oom_kills": int(om.get("oom_kill", 0)),
            "blkio_throttled_write_bytes": blkio_bytes(read(self.file("blkio", "blkio.throttle.io_service_bytes")), "Write"),
        }

    def unlimit(self):
        """Lifts the limits (the quota, the write throttle), so that what is
        left in the groups can end at once."""
        write(self.file("cpu", "cpu.cfs_quota_us"), -1)
        self._stop_hog()
        write(self.file("cpu", "cpu.shares"), WEIGHT)
        text = read(self.file("blkio", "blkio.throttle.write_bps_device")) or ""
        for line in text.splitlines():
            if line.split():
                write(self.file("blkio", "blkio.throttle.write_bps_device"), "%s 0" % line.split()[0])

    def _stop_hog(self):
        if self.hog is not None:
            self.hog.kill()
            self.hog.wait()
            self.hog = None

    def close(self, wait=10):
        """Moves what is left back to this process's own groups and removes
        the groups (waiting up to `wait` s for the kernel to let go)."""
        self._stop_hog()
        if self.core is not None:
            try:
                os.rmdir(self.hog_path)
            except OSError:
                pass
        for c in CONTROLLERS:
            for path in [self.paths[c]] + ([self.free[c]] if c in self.free else []):
                for tid in (read(os.path.join(path, "tasks")) or "").split():
                    try:
                        write(os.path.join(self._home[c], "tasks"), tid)
                    except OSError:
                        pass
                deadline = time.monotonic() + wait
                while os.path.exists(path):
                    try:
                        os.rmdir(path)
                    except OSError:
                        if time.monotonic() > deadline:
                            break
                        time.sleep(0.2)


def blkio_bytes(text, op):
    total = 0
    for line in (text or "").splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] == op:
            total += int(parts[2])
    return total


def thread_group(pid, tid, controller):
    """The group of thread `tid` of process `pid` in `controller`'s
    hierarchy, from /proc; None when the thread is gone."""
    for line in (read("/proc/%d/task/%d/cgroup" % (pid, tid)) or "").splitlines():
        _, names, path = line.split(":", 2)
        if controller in names.split(","):
            return path
    return None
