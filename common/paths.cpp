#include "common/paths.h"

#include <unistd.h>

namespace cm {

bool pathPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isOwnRegularFile(const std::string& path, struct stat* out) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if (out != nullptr) *out = st;
    return true;
}

void removeOwnFile(const std::string& path) {
    if (isOwnRegularFile(path)) ::unlink(path.c_str());
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace cm
