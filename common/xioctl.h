// Device requests: a request interrupted by a signal is issued again.
#pragma once

// Issues `request` on `fd` through the device system calls (cm::sys()),
// repeating it while it fails with EINTR; returns its result (-1 with errno
// set on failure).
int xioctl(int fd, unsigned long request, void* arg);
// The same operation under the name the direct V4L2 path uses.
int xioctl2(int fd, unsigned long request, void* arg);
