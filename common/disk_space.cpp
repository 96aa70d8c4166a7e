#include "common/disk_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <utility>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>

#include "common/queue_names.h"

namespace cm {

namespace {

std::atomic<FreeSpaceProbe> g_probe{nullptr};

// Held only to look at or change the two sets, never across disk work.
std::mutex g_busyLock;
std::multiset<std::string> g_busy;     // marked busy (under g_busyLock)
std::set<std::string> g_claimed;       // being removed by eviction (under g_busyLock)

std::optional<std::uint64_t> statvfsFree(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

}  // namespace

void setFreeSpaceProbeForTests(FreeSpaceProbe probe) { g_probe.store(probe); }

void resetDiskSpaceForTests() {
    g_probe.store(nullptr);
    std::lock_guard<std::mutex> g(g_busyLock);
    g_busy.clear();
    g_claimed.clear();
}

std::optional<std::uint64_t> freeBytes(const std::string& path) {
    FreeSpaceProbe probe = g_probe.load();
    return probe != nullptr ? probe(path) : statvfsFree(path);
}

bool roomFor(const std::string& path, std::uint64_t bytes) {
    std::optional<std::uint64_t> free = freeBytes(path);
    return !free || *free >= bytes + kDiskReserveBytes;
}

std::vector<Evictable> evictableFilesIn(const std::string& dir, bool (*accept)(const std::string& name)) {
    std::vector<Evictable> found;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return found;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == ".." || !accept(name) || isBusy(dir + "/" + name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        found.push_back(Evictable{dir + "/" + name, static_cast<std::uint64_t>(st.st_size),
                                  static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                                  static_cast<std::uint64_t>(st.st_ino)});
    }
    ::closedir(d);
    return found;
}

Eviction makeRoom(const std::string& path, std::uint64_t bytes, std::vector<Evictable> candidates,
                  const std::function<bool(const Evictable&)>& release) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Evictable& a, const Evictable& b) { return a.age < b.age; });
    Eviction result;
    for (const Evictable& c : candidates) {
        if (roomFor(path, bytes)) break;
        const bool removed = release ? removeUnlessBusy(c.path, [&] { return release(c); }) : removeUnlessBusy(c.path);
        if (removed) result.removed.push_back(c);
    }
    result.room = roomFor(path, bytes);
    result.free = freeBytes(path);
    return result;
}

BusyFile::BusyFile(std::string path) : path_(std::move(path)) {
    std::lock_guard<std::mutex> g(g_busyLock);
    if (g_claimed.count(path_) != 0) return;
    g_busy.insert(path_);
    held_ = true;
}

BusyFile::~BusyFile() {
    if (!held_) return;
    std::lock_guard<std::mutex> g(g_busyLock);
    g_busy.erase(g_busy.find(path_));
}

bool isBusy(const std::string& path) {
    std::lock_guard<std::mutex> g(g_busyLock);
    return g_busy.count(path) != 0;
}

bool removeUnlessBusy(const std::string& path, const std::function<bool()>& release) {
    {
        std::lock_guard<std::mutex> g(g_busyLock);
        if (g_busy.count(path) != 0 || !g_claimed.insert(path).second) return false;
    }
    const bool removed = (!release || release()) && ::unlink(path.c_str()) == 0;
    std::lock_guard<std::mutex> g(g_busyLock);
    g_claimed.erase(path);
    return removed;
}

Eviction makeRoomInQueue(const std::string& queueDir, std::uint64_t bytes) {
    if (roomFor(queueDir, bytes)) return Eviction{{}, true, freeBytes(queueDir)};
    const auto complete = [](const std::string& name) { return !isInProgressName(name) && name[0] != '.'; };
    return makeRoom(queueDir, bytes, evictableFilesIn(queueDir, complete), [](const Evictable& c) {
        struct stat st {};
        return ::lstat(c.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == c.inode;
    });
}

std::string describeEviction(const Eviction& e, const std::string& forWhat) {
    std::string line = "disk space short for " + forWhat + ": ";
    if (e.removed.empty()) {
        line += "nothing to remove";
    } else {
        line += "removed the oldest";
        for (const Evictable& r : e.removed) line += " " + r.path + " (" + std::to_string(r.bytes) + " bytes)";
    }
    line += e.free ? ", " + std::to_string(*e.free) + " bytes free" : ", free space unknown";
    line += e.room ? "" : ", still short";
    return line;
}

}  // namespace cm
