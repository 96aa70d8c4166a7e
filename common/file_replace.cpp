#include "common/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/paths.h"
#include "common/unique_fd.h"

namespace cm {

FileWrite writeFileReplacing(const std::string& path, const void* data, std::size_t length, std::size_t& written,
                             int& err) {
    written = 0;
    err = 0;
    std::string fresh = dirName(path) + "/." + baseName(path) + ".XXXXXX";
    UniqueFd file(::mkostemp(fresh.data(), O_CLOEXEC));
    if (!file) {
        err = errno;
        return FileWrite::OpenFailed;
    }
    ::fchmod(file.get(), kCreatedFileMode);
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (written < length) {
        ssize_t n = ::write(file.get(), bytes + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file system is full: what was written stays
        written += static_cast<std::size_t>(n);
    }
    file.reset();
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(fresh.c_str());
        return FileWrite::RenameFailed;
    }
    return FileWrite::Done;
}

}  // namespace cm
