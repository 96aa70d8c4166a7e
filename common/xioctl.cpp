#include "common/xioctl.h"

#include <cerrno>

#include "common/syscalls.h"

int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do {
        r = cm::sys().ioctl(fd, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

int xioctl2(int fd, unsigned long request, void* arg) { return xioctl(fd, request, arg); }
