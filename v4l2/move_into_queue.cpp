#include "v4l2/move_into_queue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/disk_space.h"
#include "common/durable.h"
#include "common/file_replace.h"
#include "common/paths.h"
#include "common/queue_names.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/debug.h"
#include "v4l2/clip_names.h"
#include "v4l2/mp4_check.h"

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

bool stageIntoQueue(const std::string& from, const std::string& to, std::string& why) {
    const std::string staged = inProgressPathFor(to);
    const std::string queueDir = cm::dirName(to);
    cm::removeOwnFile(staged);
    cm::UniqueFd src(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!src) {
        why = cm::errnoText(errno);
        return false;
    }
    // The converter leaves its output in the page cache: synced before any
    // name in the queue stands for it.
    if (!cm::syncFile(src.get())) {
        why = "syncing: " + cm::errnoText(errno);
        return false;
    }
    if (::rename(from.c_str(), staged.c_str()) == 0) {
        if (!cm::syncDirectory(queueDir)) {
            why = "syncing the queue directory: " + cm::errnoText(errno);
            return false;
        }
        return true;
    }
    if (errno != EXDEV) {
        why = cm::errnoText(errno);
        return false;
    }
    cm::UniqueFd dst(
        ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, cm::kCreatedFileMode));
    if (!dst) {
        why = cm::errnoText(errno);
        return false;
    }
    bool ok = copyFile(src.get(), dst.get(), why);
    if (ok && !cm::syncFile(dst.get())) {
        why = "syncing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && dst.reset() != 0) {
        why = "closing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && !cm::syncDirectory(queueDir)) {
        why = "syncing the queue directory: " + cm::errnoText(errno);
        ok = false;
    }
    if (!ok) {
        dst.reset();
        ::unlink(staged.c_str());
        return false;
    }
    ::unlink(from.c_str());  // in the private output directory, which no start keeps
    return true;
}

bool publishStaged(const std::string& to, std::string& why) {
    if (::rename(inProgressPathFor(to).c_str(), to.c_str()) != 0) {
        why = cm::errnoText(errno);
        return false;
    }
    if (!cm::syncParentDirectory(to))
        verbos("Could not sync the queue directory after %s entered it (%s): a power cut may take it back to its "
               "in-progress name",
               to.c_str(), cm::errnoText(errno).c_str());
    return true;
}

int finishStagedClips(const std::string& queueDir) {
    std::vector<std::string> staged;
    DIR* dir = ::opendir(queueDir.c_str());
    if (dir == nullptr) return 0;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        SavedName clip;
        if (isInProgressName(name) && parseSavedName(name.substr(sizeof(kInProgressPrefix) - 1), ".mp4", false, clip))
            staged.push_back(name.substr(sizeof(kInProgressPrefix) - 1));
    }
    ::closedir(dir);
    int published = 0;
    for (const std::string& name : staged) {
        const std::string to = queueDir + "/" + name;
        const std::string from = inProgressPathFor(to);
        std::string why;
        if (!cm::isOwnRegularFile(from) || !isWholeMp4File(from, why)) continue;
        if (cm::pathPresent(to)) {
            cm::removeOwnFile(from);
            cm::syncDirectory(queueDir);
            verbos("Removed a second copy of %s the last run left in the queue", to.c_str());
        } else if (publishStaged(to, why)) {
            ++published;
            verbos("Finished a clip the last run left whole under its in-progress name: %s", to.c_str());
        } else {
            verbos("Could not finish %s the last run left in the queue: %s", to.c_str(), why.c_str());
        }
    }
    return published;
}

void makeRoomInQueueFor(const std::string& mp4, const std::string& queued) {
    struct stat st {};
    const std::uint64_t bytes = ::lstat(mp4.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::string dir = cm::dirName(queued);
    if (cm::roomFor(dir, bytes)) return;
    verbos(cm::describeEviction(cm::makeRoomInQueue(dir, bytes), "the converted clip " + queued).c_str());
}
