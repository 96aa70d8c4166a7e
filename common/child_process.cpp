#include "common/child_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace cm {
namespace {

constexpr int kIoPriorityWhoProcess = 1;  // IOPRIO_WHO_PROCESS
constexpr int kIoPriorityClassShift = 13;
constexpr unsigned kFirstClosed = 3;
// Where close_range is missing (kernels before 5.9), the descriptors up to
// the limit are closed one by one, at most this many.
constexpr std::uint64_t kCloseOneByOneMax = 65536;

// In the child, before it executes: system calls only, straight to the
// kernel. The child shares the daemon's memory until it executes, so
// nothing here may touch the daemon's data, and no wrapper another library
// replaces is called (the emulated cameras' close, a sanitizer's).
constexpr long kKernelSigsetBytes = 8;  // the kernel's sigset_t, 64 signals

void closeInheritedDescriptors() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, kFirstClosed, ~0U, 0) == 0) return;
#endif
    struct {
        std::uint64_t cur, max;
    } lim{};  // the kernel's rlimit64
    std::uint64_t top = ::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &lim) == 0 ? lim.cur : 1024;
    if (top > kCloseOneByOneMax) top = kCloseOneByOneMax;
    for (std::uint64_t fd = kFirstClosed; fd < top; ++fd) ::syscall(SYS_close, static_cast<long>(fd));
}

void becomeLeastUrgent() {
    ::syscall(SYS_setpriority, PRIO_PROCESS, 0, kChildNiceValue);
    ::syscall(SYS_ioprio_set, kIoPriorityWhoProcess, 0,
              (kChildIoPriorityClass << kIoPriorityClassShift) | kChildIoPriorityLevel);
}

}  // namespace

int runChild(const std::vector<std::string>& argv, const ChildOptions& options) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();

    // Every signal blocked from before the child exists until just before
    // it executes, which sets the daemon's handlers back to the default: a
    // handler of the daemon never runs in the child.
    sigset_t all, saved, none;
    sigfillset(&all);
    sigemptyset(&none);
    ::pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t pid = ::vfork();
    if (pid == 0) {
        if (options.endWithDaemon) {
            ::syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
            if (::syscall(SYS_getppid) != parent) ::_exit(127);  // the daemon is already gone
        }
        closeInheritedDescriptors();
        becomeLeastUrgent();
        ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, kKernelSigsetBytes);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const int forkErr = errno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0) {
        errno = forkErr;
        return -1;
    }
    if (options.running != nullptr) options.running->store(pid);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            status = -1;
            break;
        }
    }
    if (options.running != nullptr) options.running->store(0);
    return status;
}

}  // namespace cm
