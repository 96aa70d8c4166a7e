#include "common/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/durable.h"
#include "common/paths.h"

namespace cm {

ReplacingFile::ReplacingFile(const std::string& path)
    : path_(path), fresh_(dirName(path) + "/." + baseName(path) + ".XXXXXX") {
    file_.reset(::mkostemp(fresh_.data(), O_CLOEXEC));
    if (!file_) {
        openError_ = errno;
        return;
    }
    ::fchmod(file_.get(), kCreatedFileMode);
}

ReplacingFile::~ReplacingFile() {
    if (!published_ && openError_ == 0) ::unlink(fresh_.c_str());
}

std::size_t ReplacingFile::append(const void* data, std::size_t length) {
    if (!file_ || full_) return 0;
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(file_.get(), bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            full_ = true;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

FileWrite ReplacingFile::publish(Durability durability, int& err) {
    err = 0;
    if (!file_) {
        err = openError_;
        return FileWrite::OpenFailed;
    }
    const bool durable = durability == Durability::durable;
    // Data first: the final name must never stand for data still in the
    // page cache.
    int syncErr = 0;
    if (durable && !syncFile(file_.get())) syncErr = errno;
    file_.reset();
    if (::rename(fresh_.c_str(), path_.c_str()) != 0) {
        err = errno;
        ::unlink(fresh_.c_str());
        published_ = true;  // nothing left to remove
        return FileWrite::RenameFailed;
    }
    published_ = true;
    // Then the directory that holds the new name.
    if (durable && syncErr == 0 && !syncParentDirectory(path_)) syncErr = errno;
    err = syncErr;
    return syncErr == 0 ? FileWrite::Done : FileWrite::NotDurable;
}

FileWrite writeFileReplacing(const std::string& path, const void* data, std::size_t length, Durability durability,
                             std::size_t& written, int& err) {
    ReplacingFile file(path);
    written = file.append(data, length);
    return file.publish(durability, err);
}

}  // namespace cm
