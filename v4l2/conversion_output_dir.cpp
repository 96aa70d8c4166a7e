#include "v4l2/conversion_output_dir.h"

#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/footprint.h"
#include "common/sys_error.h"
#include "log/debug.h"

namespace {

std::mutex g_dirLock;
std::string g_outputDir;  // guarded by g_dirLock

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

bool isOwnPrivateDir(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 0777) == 0700;
}

bool isOutputDirName(std::string_view name) {
    const std::size_t prefix = sizeof(kOutputDirPrefix) - 1;
    if (name.size() != prefix + 6 || name.substr(0, prefix) != kOutputDirPrefix) return false;
    return std::all_of(name.begin() + static_cast<long>(prefix), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

}  // namespace

std::string conversionOutputDir() {
    std::lock_guard<std::mutex> g(g_dirLock);
    if (!g_outputDir.empty() && isOwnPrivateDir(g_outputDir)) return g_outputDir;
    std::string dir = tmpDir() + "/" + kOutputDirPrefix + "XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        int err = errno;
        verbos("Cannot make a private directory for the converter's output in %s: %s", tmpDir().c_str(),
               cm::errnoText(err).c_str());
        g_outputDir.clear();
    } else {
        g_outputDir = dir;
    }
    return g_outputDir;
}

void removeStaleConversionOutputDirs(const std::string& keep) {
    const std::string tmp = tmpDir();
    std::vector<std::string> stale;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        if (!isOutputDirName(entry->d_name)) continue;
        const std::string path = tmp + "/" + entry->d_name;
        struct stat st {};
        if (path == keep || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        stale.push_back(path);
    }
    ::closedir(dir);
    // nftw with FTW_PHYS lists a link as a link and removes only the link.
    for (const std::string& path : stale) ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void resetConversionOutputDirForTests() {
    std::lock_guard<std::mutex> g(g_dirLock);
    g_outputDir.clear();
}
