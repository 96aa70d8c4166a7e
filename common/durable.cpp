#include "common/durable.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

namespace {

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            return false;
        }
        p += w;
        size -= static_cast<std::size_t>(w);
    }
    return true;
}

// One attempt of replaceFileDurably; `err` gets the errno of a failure.
bool replaceOnce(const std::string& path, const void* data, std::size_t size, mode_t mode, const struct stat* like,
                 int& err) {
    std::string temporary = path + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        err = errno;
        return false;
    }
    // Held until the rename: a process starting meanwhile does not take
    // this temporary for a leftover (removeLeftoverTemporaries).
    ::flock(fd.get(), LOCK_EX);
    if (like != nullptr) {
        ::fchmod(fd.get(), like->st_mode & 07777);
        if (::fchown(fd.get(), like->st_uid, like->st_gid) != 0) { /* kept as this process's */ }
    } else {
        ::fchmod(fd.get(), mode);
    }
    // Data first, then the name, then the directory that holds the name.
    bool done = writeAll(fd.get(), data, size) && syncFile(fd.get()) &&
                ::rename(temporary.c_str(), path.c_str()) == 0;
    err = errno;
    if (!done) {
        ::unlink(temporary.c_str());
        return false;
    }
    fd.reset();
    if (!syncParentDirectory(path)) {
        err = errno;
        return false;
    }
    return true;
}

bool isTemporaryOf(const char* name, const std::string& base) {
    return std::strncmp(name, base.c_str(), base.size()) == 0 && name[base.size()] == '.' &&
           std::strlen(name) == base.size() + 7;
}

}  // namespace

bool replaceFileDurably(const std::string& path, const void* data, std::size_t size, mode_t mode,
                        const struct stat* like) {
    int err = 0;
    // A process that started between the temporary's creation and its lock
    // may have removed it as a leftover: the rename then finds it gone, and
    // one more attempt is made.
    bool done = replaceOnce(path, data, size, mode, like, err);
    if (!done && err == ENOENT) done = replaceOnce(path, data, size, mode, like, err);
    errno = err;
    return done;
}

bool removeFileDurably(const std::string& path) {
    if (::unlink(path.c_str()) != 0) return errno == ENOENT;
    return syncParentDirectory(path);
}

int removeLeftoverTemporaries(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return 0;
    int removed = 0;
    while (dirent* e = ::readdir(d)) {
        if (!isTemporaryOf(e->d_name, base)) continue;
        UniqueFd fd(::openat(::dirfd(d), e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a writer holds it
        if (::unlinkat(::dirfd(d), e->d_name, 0) == 0) ++removed;
    }
    ::closedir(d);
    if (removed > 0) syncDirectory(dir);
    return removed;
}

}  // namespace cm
