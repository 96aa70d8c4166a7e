#include "upload/positionurl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "common/durable.h"
#include "common/footprint.h"
#include "common/regular_file.h"
#include "common/shell.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/debug.h"

// ---- the kept file (see restoreKeptNotificationRecords in the header) ----

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

}  // namespace

namespace {

// Serialises every append of this process: open, the tail check, the write
// and its repair belong together.
std::mutex g_appendLock;

std::atomic<NotificationOpenFn> g_open{nullptr};

// Records that could not be written whole yet, oldest first (under
// g_appendLock). They go in before any newer record, in their order.
std::deque<PositionURL> g_pending;
// How many of the first pending records the kept file holds too (under
// g_appendLock): records an earlier run kept, not appended yet.
std::size_t g_keptInPending = 0;
// The queue file was found empty by an append since the last sync: its
// directory entry may be new and is synced too.
std::atomic<bool> g_directoryUnsynced{false};

// The kept file as this process last wrote it (under g_keptLock, which is
// taken before g_appendLock, never after; it is held across the kept
// file's writes, g_appendLock never is).
std::mutex g_keptLock;
std::size_t g_keptFileRecords = 0;
bool g_keptSealed = false;  // the ending kept the pending records: no change any more

void popPendingLocked() {
    g_pending.pop_front();
    if (g_keptInPending > 0) --g_keptInPending;
}

// Only a regular file, never waiting: a FIFO at the queue file's path would
// otherwise hold the upload thread (the open for writing waits for a reader).
cm::UniqueFd openFile(const char* path, int flags, mode_t mode) {
    return cm::openRegularFile(path, flags, mode, g_open.load(std::memory_order_acquire));
}

ssize_t writeOnce(int fd, const void* data, std::size_t n) {
    ssize_t w;
    do {
        w = ::write(fd, data, n);
    } while (w < 0 && errno == EINTR);
    return w;
}

// A file whose length is not a whole number of records ends in a torn one
// (a power cut in the middle of an append): its slot, from the record
// boundary, is overwritten with zero bytes up to the next boundary. The
// slot then reads as an empty record, never as a URL cut short (a cut file
// path names another file); the file keeps its length plus the padding.
// `size` is the current length.
void zeroTornRecord(int fd, off_t size, const std::string& path) {
    const off_t torn = size % static_cast<off_t>(kNotificationRecordSize);
    if (torn == 0) return;
    const off_t slot = size - torn;
    verbos("notification file %s ends in a torn record (%lld bytes over a whole record): its slot at %lld is "
           "zeroed",
           path.c_str(), static_cast<long long>(torn), static_cast<long long>(slot));
    static const char zeros[kNotificationRecordSize] = {};
    // On Linux a positioned write to a descriptor in append mode goes to the
    // end of the file whatever its offset: append mode is off for this one.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_APPEND) != 0) ::fcntl(fd, F_SETFL, flags & ~O_APPEND);
    ssize_t w;
    do {
        w = ::pwrite(fd, zeros, kNotificationRecordSize, slot);
    } while (w < 0 && errno == EINTR);
    const int err = errno;
    if (flags != -1 && (flags & O_APPEND) != 0) ::fcntl(fd, F_SETFL, flags);
    errno = err;
    if (w != static_cast<ssize_t>(kNotificationRecordSize)) {
        // Whatever part of the padding past the old end went in is taken
        // out again; the torn bytes themselves are zero as far as the write
        // got, which only shortens the cut text further.
        verbos("could not zero the torn record of %s: %s", path.c_str(),
               w < 0 ? cm::errnoText(errno).c_str() : "short write");
        if (w > torn) (void)::ftruncate(fd, size);
    }
}

}  // namespace

void PositionURL::reset() {
    nReserved = 0;
    std::memset(szURL, 0, sizeof szURL);
}

bool PositionURL::setURL(const char* url) {
    reset();
    if (url == nullptr) return false;
    std::size_t len = strnlen(url, kNotificationUrlMax + 1);
    if (len > kNotificationUrlMax) {
        verbos("notification URL longer than %d characters, not queued: %.200s...",
               static_cast<int>(kNotificationUrlMax), url);
        return false;
    }
    std::memcpy(szURL, url, len + 1);
    return true;
}

void PositionURL::saveRecord() { ::saveRecord(*this); }

std::string notificationFilePath() {
    char name[64];
    snprintf(name, sizeof name, footprint::kNotifyFilePattern, footprint::kNotifyFileNumber);
    return footprint::resolve(name);
}

namespace {

// Appends one record (g_appendLock held); whether it went in whole.
bool appendLocked(const PositionURL& record, const std::string& path) {
    bool appending = true;
    cm::UniqueFd fd = openFile(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (!fd) {
        verbos("I couldn't open file for appending. Trying to create!");
        // Without O_TRUNC: records already in the file stay.
        fd = openFile(path.c_str(), O_WRONLY | O_CREAT, 0644);
        appending = false;
        if (!fd) {
            verbos("could not create file!");
            return false;
        }
    }

    // The length before this record: where it must begin, and where the
    // file is cut back to when the record does not go in whole. Only this
    // process writes the file, and only under the lock.
    struct stat fst {};
    off_t before = ::fstat(fd.get(), &fst) == 0 ? fst.st_size : -1;
    if (before > 0 && before % static_cast<off_t>(kNotificationRecordSize) != 0) {
        zeroTornRecord(fd.get(), before, path);
        before = ::fstat(fd.get(), &fst) == 0 ? fst.st_size : -1;
    }
    if (!appending && before >= 0) ::lseek(fd.get(), before, SEEK_SET);
    if (before == 0) g_directoryUnsynced.store(true);

    // One write; a regular file takes a short one only when it runs out of
    // room, so the rest is tried once and the record is cut off again when
    // it still does not go in whole.
    const char* bytes = reinterpret_cast<const char*>(&record);
    ssize_t written = writeOnce(fd.get(), bytes, kNotificationRecordSize);
    if (written > 0 && written < static_cast<ssize_t>(kNotificationRecordSize)) {
        ssize_t more = writeOnce(fd.get(), bytes + written, kNotificationRecordSize - static_cast<std::size_t>(written));
        if (more > 0) written += more;
    }
    int err = errno;
    const bool whole = written == static_cast<ssize_t>(kNotificationRecordSize);
    if (written < 0) {
        verbos("could not write the notification record: %s", cm::errnoText(err).c_str());
    } else if (!whole && before >= 0) {
        // A part of a record would shift every later record off its place.
        if (::ftruncate(fd.get(), before) == 0)
            verbos("short write (%d of %d bytes): the partial record was removed", static_cast<int>(written),
                   static_cast<int>(kNotificationRecordSize));
        else
            verbos("short write (%d of %d bytes) and the partial record could not be removed: %s",
                   static_cast<int>(written), static_cast<int>(kNotificationRecordSize),
                   cm::errnoText(errno).c_str());
    }
    fd.reset();
    verbos("%d bytes appended!", whole ? static_cast<int>(written) : 0);
    return whole;
}

// Writes the pending records in order (g_appendLock held); whether none is
// left.
bool flushPendingLocked(const std::string& path) {
    while (!g_pending.empty()) {
        if (!appendLocked(g_pending.front(), path)) return false;
        popPendingLocked();
    }
    return true;
}

}  // namespace

void saveRecord(PositionURL& record) {
    if (record.szURL[0] == '\0' || record.szURL[kNotificationUrlMax] != '\0') {
        verbos("notification record without a URL, not queued");
        return;
    }

    cm::createDirIfMissing(footprint::resolve(footprint::kNotifyDir), verbos);
    const std::string path = notificationFilePath();

    std::lock_guard<std::mutex> lock(g_appendLock);
    g_pending.push_back(record);
    if (g_pending.size() > kNotificationPendingMax) {
        verbos("notification record dropped, %d records wait already: %s", static_cast<int>(kNotificationPendingMax),
               g_pending.front().szURL);
        popPendingLocked();
    }
    if (!flushPendingLocked(path))
        verbos("notification records kept for a later try: %d", static_cast<int>(g_pending.size()));
}

bool syncNotificationRecords() {
    const std::string path = notificationFilePath();
    cm::UniqueFd fd = openFile(path.c_str(), O_RDONLY, 0);
    if (!fd) return false;
    const bool directory = g_directoryUnsynced.exchange(false);
    if (cm::syncFile(fd.get()) && (!directory || cm::syncParentDirectory(path))) return true;
    if (directory) g_directoryUnsynced.store(true);
    verbos("could not sync the notification file %s: %s", path.c_str(), cm::errnoText(errno).c_str());
    return false;
}

namespace {

// Brings the kept file in line with the pending records it holds: records
// appended since leave it only once their append is durable (g_keptLock
// held).
void updateKeptFileLocked() {
    if (g_keptSealed) return;
    std::vector<PositionURL> still;
    {
        std::lock_guard<std::mutex> lock(g_appendLock);
        still.assign(g_pending.begin(), g_pending.begin() + static_cast<std::ptrdiff_t>(g_keptInPending));
    }
    if (still.size() == g_keptFileRecords) return;
    if (!syncNotificationRecords()) return;
    if (storeKeptRecords(keptRecordsPath(), still))
        g_keptFileRecords = still.size();
    else
        verbos("could not update %s: %s", keptRecordsPath().c_str(), cm::errnoText(errno).c_str());
}

}  // namespace

bool retryPendingNotificationRecords() {
    bool none;
    {
        std::lock_guard<std::mutex> lock(g_appendLock);
        none = g_pending.empty();
    }
    if (!none) {
        cm::createDirIfMissing(footprint::resolve(footprint::kNotifyDir), verbos);
        std::lock_guard<std::mutex> lock(g_appendLock);
        none = flushPendingLocked(notificationFilePath());
    }
    std::lock_guard<std::mutex> kept(g_keptLock);
    updateKeptFileLocked();
    return none;
}

void restoreKeptNotificationRecords() {
    const std::string path = keptRecordsPath();
    cm::removeLeftoverTemporaries(path);
    const std::vector<PositionURL> kept = readKeptRecords(path);
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        if (kept.empty() || queueEndsWith(notificationFilePath(), kept)) {
            if (!kept.empty())
                verbos("the %d notification records kept by the last run are in %s already", static_cast<int>(kept.size()),
                       notificationFilePath().c_str());
            storeKeptRecords(path, {});
            g_keptFileRecords = 0;
            return;
        }
        verbos("%d notification records kept by the last run go to the queue first", static_cast<int>(kept.size()));
        std::lock_guard<std::mutex> append(g_appendLock);
        g_pending.insert(g_pending.begin(), kept.begin(), kept.end());
        g_keptInPending += kept.size();
        g_keptFileRecords = kept.size();
    }
    retryPendingNotificationRecords();
}

std::size_t keepPendingNotificationRecordsForNextRun() {
    retryPendingNotificationRecords();
    std::lock_guard<std::mutex> kept(g_keptLock);
    std::vector<PositionURL> all;
    {
        std::lock_guard<std::mutex> lock(g_appendLock);
        all.assign(g_pending.begin(), g_pending.end());
        // From here on the kept file holds them: an append of a record
        // still to come cannot take them along into the queue file too.
        g_pending.clear();
        g_keptInPending = 0;
    }
    g_keptSealed = true;
    if (all.empty() && g_keptFileRecords == 0) return 0;
    if (storeKeptRecords(keptRecordsPath(), all)) {
        if (!all.empty())
            verbos("%d notification records kept in %s for the next run", static_cast<int>(all.size()),
                   keptRecordsPath().c_str());
        g_keptFileRecords = all.size();
    } else {
        verbos("%d notification records lost: %s cannot be written: %s", static_cast<int>(all.size()),
               keptRecordsPath().c_str(), cm::errnoText(errno).c_str());
    }
    return all.size();
}

std::size_t pendingNotificationRecords() {
    std::lock_guard<std::mutex> lock(g_appendLock);
    return g_pending.size();
}

void resetPositionUrlForTests() {
    setNotificationOpenForTests(nullptr);
    std::lock_guard<std::mutex> kept(g_keptLock);
    std::lock_guard<std::mutex> lock(g_appendLock);
    g_pending.clear();
    g_keptInPending = 0;
    g_keptFileRecords = 0;
    g_keptSealed = false;
    g_directoryUnsynced.store(false);
}

void setNotificationOpenForTests(NotificationOpenFn fn) { g_open.store(fn, std::memory_order_release); }
