// Durability on a board that loses whatever has not reached its card when
// the power goes. A write, a create, a rename or an unlink is only in the
// page cache until it is synced: a file's data with syncFile, the entry
// that names it (created, renamed, removed) with a sync of its directory.
// Whoever publishes a file under its final name syncs the data first and
// the directory after, and removes what the file replaces only once that
// directory sync has returned.
#pragma once

#include <string>

namespace cm {

// fsync(fd), repeated when a signal interrupts it. False with errno set
// when the data may not have reached the device.
bool syncFile(int fd);

// Opens the directory `dir` read-only and fsyncs it, so that the entries
// created, renamed or removed in it survive a power cut. False with errno
// set on failure.
bool syncDirectory(const std::string& dir);

// syncDirectory of the directory that holds `path` ("." for a bare name).
bool syncParentDirectory(const std::string& path);

}  // namespace cm
