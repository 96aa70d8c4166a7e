#include "common/syscalls.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace cm {
namespace {

int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sysClose(int fd) { return ::close(fd); }
int sysStat(const char* path, struct stat* st) { return ::stat(path, st); }
int sysIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* sysMmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int sysMunmap(void* addr, std::size_t length) { return ::munmap(addr, length); }
int sysSelect(int nfds, fd_set* r, fd_set* w, fd_set* e, timeval* t) { return ::select(nfds, r, w, e, t); }

const SysCalls kSystem{sysOpen, sysClose, sysStat, sysIoctl, sysMmap, sysMunmap, sysSelect};
std::atomic<const SysCalls*> g_calls{&kSystem};

}  // namespace

const SysCalls& sys() { return *g_calls.load(std::memory_order_acquire); }

void setSysCallsForTests(const SysCalls* calls) {
    g_calls.store(calls != nullptr ? calls : &kSystem, std::memory_order_release);
}

const SysCalls& systemSysCalls() { return kSystem; }

}  // namespace cm
