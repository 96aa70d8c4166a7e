#include "common/regular_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cm {

UniqueFd openRegularFile(const std::string& path, int flags, mode_t mode, OpenFn open) {
    const int all = flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    UniqueFd fd(open != nullptr ? open(path.c_str(), all, mode) : ::open(path.c_str(), all, mode));
    if (!fd) return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        int err = errno;
        fd.reset();
        errno = err;
        return fd;
    }
    if (!S_ISREG(st.st_mode)) {
        fd.reset();
        errno = EINVAL;
        return fd;
    }
    int fl = ::fcntl(fd.get(), F_GETFL);
    if (fl != -1) ::fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
    return fd;
}

FILE* fopenRegularFile(const std::string& path, int flags, const char* mode) {
    UniqueFd fd = openRegularFile(path, flags);
    if (!fd) return nullptr;
    FILE* f = ::fdopen(fd.get(), mode);
    if (f != nullptr) fd.release();
    return f;
}

}  // namespace cm
