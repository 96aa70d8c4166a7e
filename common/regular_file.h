// Opening the files the program expects to be plain files (the control
// record, the EEPROM, the notification queue, the daily log, sysfs GPIO
// attributes). Somebody may have put a FIFO, a socket or a device node at
// such a path: an ordinary open() of a FIFO waits for the other end, and a
// read from it waits for data, so one such file would hold a thread (or
// the whole start-up) for good. Every such open goes through here: it never
// waits, and anything but a regular file is refused like a file that
// cannot be opened. (sysfs attributes, the EEPROM among them, are regular
// files.)
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdio>
#include <string>

#include "common/unique_fd.h"

namespace cm {

// The open() used underneath (tests may fail or count opens).
using OpenFn = int (*)(const char* path, int flags, mode_t mode);

// open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode), kept only
// when it is a regular file; O_NONBLOCK is taken off again then. Otherwise
// an empty descriptor with errno set: the open's own error (a FIFO opened
// for writing without a reader fails at once with ENXIO), or EINVAL for an
// entry that opened but is no regular file.
UniqueFd openRegularFile(const std::string& path, int flags, mode_t mode = 0644, OpenFn open = nullptr);

// A stdio stream on openRegularFile(path, flags, mode); nullptr with errno
// set when it is refused.
FILE* fopenRegularFile(const std::string& path, int flags, const char* mode);

}  // namespace cm
