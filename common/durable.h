// Durability on a board that loses whatever has not reached its card when
// the power goes. A write, a create, a rename or an unlink is only in the
// page cache until it is synced: a file's data with syncFile, the entry
// that names it (created, renamed, removed) with a sync of its directory.
// Whoever publishes a file under its final name syncs the data first and
// the directory after, and removes what the file replaces only once that
// directory sync has returned.
#pragma once

#include <sys/stat.h>

#include <cstddef>
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

// Replaces the small file `path` with `size` bytes of `data`, durably and
// whole: written to a fresh temporary "<path>.XXXXXX" beside it (created
// close-on-exec, exclusively locked with flock until it is renamed), synced,
// renamed over `path`, and the directory synced. The file gets the mode and
// owner of `like` when given (the file it replaces), else `mode`. A full
// file system or a power cut leaves the old file or the new one, never a
// part. False with errno set when the new file is not durably in place
// (the temporary is removed then).
bool replaceFileDurably(const std::string& path, const void* data, std::size_t size, mode_t mode = 0644,
                        const struct stat* like = nullptr);

// Unlinks `path` and syncs its directory; a missing file counts as
// removed (nothing to sync). False with errno set otherwise.
bool removeFileDurably(const std::string& path);

// Removes the temporaries "<path>.XXXXXX" (exactly six characters after
// the dot) that replaceFileDurably left when its process ended before the
// rename. One whose lock a writer still holds is kept. Returns how many
// were removed.
int removeLeftoverTemporaries(const std::string& path);

}  // namespace cm
