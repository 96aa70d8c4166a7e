#include "v4l2/move_into_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "common/disk_space.h"
#include "common/file_replace.h"
#include "common/paths.h"
#include "common/queue_names.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/debug.h"

namespace {

bool copyFile(int from, int to, std::string& why) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "reading: " + cm::errnoText(errno);
            return false;
        }
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                why = "writing: " + cm::errnoText(w < 0 ? errno : ENOSPC);
                return false;
            }
            done += w;
        }
    }
}

}  // namespace

bool moveIntoQueue(const std::string& from, const std::string& to, std::string& why) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) {
        why = cm::errnoText(errno);
        return false;
    }
    const std::string partial = inProgressPathFor(to);
    cm::removeOwnFile(partial);
    cm::UniqueFd src(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!src) {
        why = cm::errnoText(errno);
        return false;
    }
    cm::UniqueFd dst(
        ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, cm::kCreatedFileMode));
    if (!dst) {
        why = cm::errnoText(errno);
        return false;
    }
    bool ok = copyFile(src.get(), dst.get(), why);
    if (ok && ::fsync(dst.get()) != 0) {
        why = "syncing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && dst.reset() != 0) {
        why = "closing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && ::rename(partial.c_str(), to.c_str()) != 0) {
        why = cm::errnoText(errno);
        ok = false;
    }
    if (!ok) {
        dst.reset();
        ::unlink(partial.c_str());
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

void makeRoomInQueueFor(const std::string& mp4, const std::string& queued) {
    struct stat st {};
    const std::uint64_t bytes = ::lstat(mp4.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::string dir = cm::dirName(queued);
    if (cm::roomFor(dir, bytes)) return;
    verbos(cm::describeEviction(cm::makeRoomInQueue(dir, bytes), "the converted clip " + queued).c_str());
}
