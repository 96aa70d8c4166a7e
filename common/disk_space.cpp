#include "common/disk_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace cm {

namespace {

std::atomic<FreeSpaceProbe> g_probe{nullptr};

std::optional<std::uint64_t> statvfsFree(const std::string& path) {
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * static_cast<std::uint64_t>(st.f_frsize);
}

}  // namespace

void setFreeSpaceProbeForTests(FreeSpaceProbe probe) { g_probe.store(probe); }

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
        if (name == "." || name == ".." || !accept(name)) continue;
        struct stat st {};
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        found.push_back(Evictable{dir + "/" + name, static_cast<std::uint64_t>(st.st_size),
                                  static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
    ::closedir(d);
    return found;
}

Eviction makeRoom(const std::string& path, std::uint64_t bytes, std::vector<Evictable> candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Evictable& a, const Evictable& b) { return a.age < b.age; });
    Eviction result;
    for (const Evictable& c : candidates) {
        if (roomFor(path, bytes)) break;
        if (::unlink(c.path.c_str()) == 0) result.removed.push_back(c);
    }
    result.room = roomFor(path, bytes);
    result.free = freeBytes(path);
    return result;
}

}  // namespace cm
