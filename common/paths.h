// What stands at a path, and the parts of a path name. Nothing here follows
// a symbolic link: /tmp is open to every user of the board, and a link
// planted there must never lead the daemon to a file of somebody else's.
#pragma once

#include <sys/stat.h>

#include <string>

namespace cm {

// Whether anything at all (a file, a directory, a link, even a dangling
// one) stands at `path`.
bool pathPresent(const std::string& path);

// Whether `path` is a regular file (not a link) of this process's user;
// its status goes to `out` when given.
bool isOwnRegularFile(const std::string& path, struct stat* out = nullptr);

// Removes `path` when it is a regular file of this process's user.
void removeOwnFile(const std::string& path);

// The last component of `path` ("a/b.raw" -> "b.raw"; `path` without '/').
std::string baseName(const std::string& path);
// All before the last '/' ("a/b.raw" -> "a"; "." without '/').
std::string dirName(const std::string& path);

}  // namespace cm
