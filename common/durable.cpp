#include "common/durable.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "common/unique_fd.h"

namespace cm {

bool syncFile(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool syncDirectory(const std::string& dir) {
    UniqueFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!d) return false;
    return syncFile(d.get());
}

bool syncParentDirectory(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return syncDirectory(".");
    return syncDirectory(slash == 0 ? "/" : path.substr(0, slash));
}

}  // namespace cm
