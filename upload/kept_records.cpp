#include "upload/kept_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/durable.h"
#include "common/footprint.h"
#include "common/regular_file.h"
#include "common/unique_fd.h"

namespace {

// Reads `size` bytes at `offset`; whether all came.
bool readAt(int fd, void* out, std::size_t size, off_t offset) {
    char* p = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t r = ::pread(fd, p, size, offset);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        size -= static_cast<std::size_t>(r);
        offset += r;
    }
    return true;
}

bool wellFormed(const PositionURL& r) { return r.szURL[0] != '\0' && r.szURL[kNotificationUrlMax] == '\0'; }

}  // namespace

std::string keptRecordsPath() { return footprint::resolve(footprint::kNotifyKeptFile); }

std::vector<PositionURL> readKeptRecords(const std::string& path) {
    std::vector<PositionURL> records;
    cm::UniqueFd fd = cm::openRegularFile(path, O_RDONLY);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return records;
    const std::size_t whole = static_cast<std::size_t>(st.st_size) / kNotificationRecordSize;
    for (std::size_t i = 0; i < whole && records.size() < kNotificationPendingMax; ++i) {
        PositionURL r;
        if (!readAt(fd.get(), &r, sizeof r, static_cast<off_t>(i * kNotificationRecordSize))) break;
        if (wellFormed(r)) records.push_back(r);
    }
    return records;
}

bool storeKeptRecords(const std::string& path, const std::vector<PositionURL>& records) {
    if (records.empty()) return cm::removeFileDurably(path);
    return cm::replaceFileDurably(path, records.data(), records.size() * sizeof(PositionURL));
}

bool queueEndsWith(const std::string& queuePath, const std::vector<PositionURL>& records) {
    if (records.empty()) return true;
    cm::UniqueFd fd = cm::openRegularFile(queuePath, O_RDONLY);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return false;
    const off_t span = static_cast<off_t>(records.size() * kNotificationRecordSize);
    if (st.st_size < span || st.st_size % static_cast<off_t>(kNotificationRecordSize) != 0) return false;
    PositionURL r;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!readAt(fd.get(), &r, sizeof r, st.st_size - span + static_cast<off_t>(i * kNotificationRecordSize)) ||
            std::memcmp(&r, &records[i], sizeof r) != 0)
            return false;
    }
    return true;
}
