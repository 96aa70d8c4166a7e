// The system calls through which the program talks to camera devices. The
// daemon uses the system's own; unit tests install an in-process device
// model here, so that the capture code runs unchanged against it.
#pragma once

#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

namespace cm {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*stat)(const char* path, struct stat* st);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, std::size_t length);
    int (*select)(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, timeval* timeout);
};

// The calls in use.
const SysCalls& sys();

// Installs `calls` (nullptr restores the system's). Call only while no
// thread uses devices; `calls` must outlive its installation.
void setSysCallsForTests(const SysCalls* calls);

// The system's own calls.
const SysCalls& systemSysCalls();

}  // namespace cm
