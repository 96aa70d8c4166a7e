#include "log/debug.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/footprint.h"
#include "common/regular_file.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/console.h"
#include "log/log_writer.h"

std::atomic<int> nError{0};
std::atomic<const char*> dev_name[5] = {};

const char* deviceName(int device) {
    if (device < 0 || device >= 5) return "(null)";
    const char* name = dev_name[device].load(std::memory_order_relaxed);
    return name != nullptr ? name : "(null)";
}

namespace {

void vcompose(char (&buf)[kComposeBufferSize], const char* fmt, va_list ap) {
    std::memset(buf, 0, sizeof buf);
    vsnprintf(buf, sizeof buf, fmt, ap);
}

bool localNow(struct tm& out, timespec& ts) {
    ts = cm::wallNow();
    time_t secs = ts.tv_sec;
    return localtime_r(&secs, &out) != nullptr;
}

// Timestamp "YYYY-mm-dd HH:MM:SS.uuuuuu +zzzz", or "" when local time fails.
void dbgTimestamp(char (&out)[64]) {
    out[0] = '\0';
    struct tm tmv {};
    timespec ts{};
    if (!localNow(tmv, ts)) return;
    char pattern[64];
    if (strftime(pattern, sizeof pattern, "%Y-%m-%d %H:%M:%S.%%06u %z", &tmv) == 0) return;
    snprintf(out, sizeof out, pattern, static_cast<unsigned>(ts.tv_nsec / 1000));
}

void vdbg(bool printStampLine, const char* fmt, va_list ap) {
    if (fmt == nullptr || std::strlen(fmt) > 250) return;
    char stamp[64];
    dbgTimestamp(stamp);
    if (printStampLine && stamp[0] != '\0') {
        char line[80];
        snprintf(line, sizeof line, "'%s'\n", stamp);
        cm::printOut(line);
    }
    char message[kComposeBufferSize];
    vcompose(message, fmt, ap);
    char fileLine[4000];
    snprintf(fileLine, sizeof fileLine, "%s: %s\n", stamp, message);
    cm::printLine(message);
    fileLog(fileLine);
}

}  // namespace

std::string dailyLogPath(int year, int month, int day) {
    char name[32];
    snprintf(name, sizeof name, "/%04d%02d%02d.txt", year, month, day);
    return footprint::resolve(footprint::kLogDir) + name;
}

namespace {

// The daily file's state. One entry is appended at a time, so that a torn
// entry can be cut off again before the next one goes in.
std::mutex g_fileLogLock;
bool g_fileLogFailing = false;  // a failure was reported and no write has succeeded since
std::string g_currentDay;       // the day file the last entry went to
std::string g_fullDay;          // the day whose file was closed as full
// The names of the day files this run has written, the one written last at
// the end (a sequence no step of the wall clock can reorder).
std::vector<std::string> g_runDays;

// Reports a failing daily file on standard error once, until a write
// succeeds again.
void reportFileLogFailure(const std::string& path, int err) {
    if (g_fileLogFailing) return;
    g_fileLogFailing = true;
    std::string line = "log: cannot write " + path + ": " + cm::errnoText(err) + "\n";
    cm::printError(line);
}

bool isDailyLogName(const char* name) {
    for (int i = 0; i < 8; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return std::strcmp(name + 8, ".txt") == 0;
}

// Keeps at most kDailyLogKeepFiles day files, `today` among them. The
// oldest go first: those of earlier runs (by their dates, all they tell),
// then this run's in the order it wrote them. Their dates alone would
// decide wrongly: the board boots in the past, and a forward step of years
// would make the boot's own day look the oldest of all.
void pruneOldDailyLogs(const std::string& today) {
    g_runDays.erase(std::remove(g_runDays.begin(), g_runDays.end(), today), g_runDays.end());
    g_runDays.push_back(today);
    const std::string dir = footprint::resolve(footprint::kLogDir);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> earlier, present;
    while (dirent* e = ::readdir(d)) {
        if (!isDailyLogName(e->d_name)) continue;
        const bool ours = std::find(g_runDays.begin(), g_runDays.end(), e->d_name) != g_runDays.end();
        (ours ? present : earlier).push_back(e->d_name);
    }
    std::sort(earlier.begin(), earlier.end());
    // This run's days that are still there, oldest first; today's is last
    // even before its first entry has created it.
    std::vector<std::string> oldestFirst = earlier, ours;
    for (const std::string& name : g_runDays)
        if (name == today || std::find(present.begin(), present.end(), name) != present.end()) ours.push_back(name);
    g_runDays = ours;
    oldestFirst.insert(oldestFirst.end(), ours.begin(), ours.end());
    for (std::size_t i = 0; i + kDailyLogKeepFiles < oldestFirst.size(); ++i)
        ::unlinkat(::dirfd(d), oldestFirst[i].c_str(), 0);
    ::closedir(d);
}

// Only a regular file, never waiting: a FIFO at the day's path would
// otherwise hold every thread at its next log line.
cm::UniqueFd openDailyLog(const std::string& path) {
    constexpr int kFlags = O_WRONLY | O_CREAT | O_NOFOLLOW;
    cm::UniqueFd fd = cm::openRegularFile(path, kFlags | O_APPEND);
    if (!fd && errno != ENOENT && errno != ENOSPC && errno != EINVAL && errno != ENXIO)
        fd = cm::openRegularFile(path, kFlags | O_TRUNC);
    return fd;
}

void appendDailyEntry(const std::string& path, const std::string& text);

// The log writer's way into the daily file (log/log_writer.h). A piece
// without a path (the writer's own count of dropped lines) goes to the
// file of its stamp's day.
void appendDailyPiece(const cm::LogPiece& p) {
    if (!p.dailyPath.empty()) return appendDailyEntry(p.dailyPath, p.text);
    const time_t stamp = p.stamp;
    struct tm tmv {};
    if (localtime_r(&stamp, &tmv) == nullptr) return;
    appendDailyEntry(dailyLogPath(tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday), p.text);
}

}  // namespace

void fileLog(const char* text) {
    struct tm tmv {};
    timespec ts{};
    if (!localNow(tmv, ts)) return;
    std::string path = dailyLogPath(tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
    if (cm::threadLogRole() == cm::LogRole::queued)
        cm::handToLogWriter(cm::LogPiece{cm::LogSink::dailyFile, text, std::move(path), ts.tv_sec, appendDailyPiece});
    else
        appendDailyEntry(path, text);
}

namespace {

void appendDailyEntry(const std::string& path, const std::string& text) {
    std::string entry = text + '\n';
    std::lock_guard<std::mutex> lock(g_fileLogLock);
    if (path != g_currentDay) {
        g_currentDay = path;
        pruneOldDailyLogs(path.substr(path.rfind('/') + 1));
    }
    cm::UniqueFd fd = openDailyLog(path);
    struct stat st {};
    // A missing log directory loses the entry silently (a board without its
    // base directory tree says so on the console in other ways).
    if (!fd && errno == ENOENT) return;
    if (!fd || ::fstat(fd.get(), &st) != 0) return reportFileLogFailure(path, errno);
    if (!S_ISREG(st.st_mode)) return reportFileLogFailure(path, EINVAL);
    // The last line of a full day says so; it always has room.
    static const std::string kFullLine =
        "log: the day's log is full; further entries of the day go to standard output only\n";
    const std::uint64_t limit = kDailyLogMaxBytes - kFullLine.size();
    if (static_cast<std::uint64_t>(st.st_size) >= limit || g_fullDay == path) return;
    if (static_cast<std::uint64_t>(st.st_size) + entry.size() > limit) {
        entry = kFullLine;
        g_fullDay = path;
    }
    // One write of the whole entry; a short one (a full file system) is cut
    // off again, so that the file never holds a torn entry.
    ssize_t n = ::write(fd.get(), entry.data(), entry.size());
    if (n == static_cast<ssize_t>(entry.size())) {
        g_fileLogFailing = false;
        return;
    }
    int err = n < 0 ? errno : ENOSPC;
    if (n > 0 && ::ftruncate(fd.get(), st.st_size) != 0) err = errno;
    reportFileLogFailure(path, err);
}

}  // namespace

bool rotateLogIfLarger(const std::string& path, std::uint64_t maxBytes) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) <= maxBytes)
        return false;
    return ::rename(path.c_str(), (path + ".1").c_str()) == 0;
}

void verbosc(const char* text) {
    cm::printOut(text);
    fileLog(text);
}

void vebosg(const char* text) { verbosc(text); }

void verbos(const char* text) {
    cm::printLine(text);
    fileLog(text);
}

void verbosFormatted(const char* fmt, ...) {
    char buf[kComposeBufferSize];
    va_list ap;
    va_start(ap, fmt);
    vcompose(buf, fmt, ap);
    va_end(ap);
    verbos(static_cast<const char*>(buf));
}

void verbosg(const char* fmt, const char* text) {
    char buf[kComposeBufferSize];
    std::memset(buf, 0, sizeof buf);
    snprintf(buf, sizeof buf, fmt, text);
    verbosc(buf);
}

void error(const char* text) {
    nError.fetch_add(1, std::memory_order_relaxed);
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "ERROR: %s\n", text);
    cm::printOut(buf);
}

void error(const char* text, const char* detail) {
    nError.fetch_add(1, std::memory_order_relaxed);
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "ERROR: %s %s\n", text, detail);
    cm::printOut(buf);
}

void dbgOne(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vdbg(true, fmt, ap);
    va_end(ap);
}

void dbgTwo(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vdbg(false, fmt, ap);
    va_end(ap);
}

void log__(const char* msg, int device) {
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "%s: %s\n", deviceName(device), msg);
    cm::printError(buf);
}

void logd(const char* msg, int value, int device) {
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "%s: %s %d\n", deviceName(device), msg, value);
    cm::printError(buf);
}

void errno_continue(const char* name, int device) {
    int err = errno;
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "Device: %d, %s error %d, %s\n", device, name, err,
             cm::errnoText(err).c_str());
    cm::printError(buf);
}

void errno_exit(const char* name) {
    int err = errno;
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "%s error %d, %s\n", name, err, cm::errnoText(err).c_str());
    cm::printError(buf);
}

void errno_exit2(const char* name, int device) {
    errno_continue(name, device);
    endProcess(1);
}

void endProcess(int status) {
    cm::drainLogWriter(cm::kLogDrainAtEndMillis);
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

void resetDebugForTests() {
    nError.store(0);
    for (auto& n : dev_name) n.store(nullptr);
    std::lock_guard<std::mutex> lock(g_fileLogLock);
    g_currentDay.clear();
    g_runDays.clear();
    g_fullDay.clear();
    g_fileLogFailing = false;
}
