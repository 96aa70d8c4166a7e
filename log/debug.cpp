#include "log/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "common/clock.h"
#include "common/footprint.h"
#include "common/regular_file.h"
#include "common/sys_error.h"

std::atomic<int> nError{0};
std::atomic<const char*> dev_name[5] = {};

namespace {

// Writes `a` then `b` to `stream` as one piece: one fwrite, which the C
// library performs under the stream's own lock.
void writeStream(FILE* stream, const char* a, const char* b = nullptr) {
    std::string entry(a);
    if (b != nullptr) entry += b;
    fwrite(entry.data(), 1, entry.size(), stream);
    fflush(stream);
}

void vcompose(char (&buf)[kComposeBufferSize], const char* fmt, va_list ap) {
    std::memset(buf, 0, sizeof buf);
    vsnprintf(buf, sizeof buf, fmt, ap);
}

bool localNow(struct tm& out, timespec& ts) {
    ts = cm::now();
    time_t secs = ts.tv_sec;
    return localtime_r(&secs, &out) != nullptr;
}

const char* deviceName(int device) {
    if (device < 0 || device >= 5) return "(null)";
    const char* name = dev_name[device].load(std::memory_order_relaxed);
    return name != nullptr ? name : "(null)";
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
        writeStream(stdout, line);
    }
    char message[kComposeBufferSize];
    vcompose(message, fmt, ap);
    char fileLine[4000];
    snprintf(fileLine, sizeof fileLine, "%s: %s\n", stamp, message);
    writeStream(stdout, message, "\n");
    fileLog(fileLine);
}

}  // namespace

std::string dailyLogPath(int year, int month, int day) {
    char name[32];
    snprintf(name, sizeof name, "/%04d%02d%02d.txt", year, month, day);
    return footprint::resolve(footprint::kLogDir) + name;
}

void fileLog(const char* text) {
    struct tm tmv {};
    timespec ts{};
    if (!localNow(tmv, ts)) return;
    std::string path = dailyLogPath(tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday);
    // Only a regular file, never waiting: a FIFO at the day's path would
    // otherwise hold every thread at its next log line.
    FILE* f = cm::fopenRegularFile(path, O_WRONLY | O_CREAT | O_APPEND, "a");
    if (f == nullptr) f = cm::fopenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, "w");
    if (f == nullptr) return;  // no log directory: the entry is lost, the console has it
    // One buffered write of the whole entry, so that entries of different
    // threads never interleave inside the file.
    std::string entry(text);
    entry += '\n';
    fwrite(entry.data(), 1, entry.size(), f);
    fclose(f);
}

void verbosc(const char* text) {
    writeStream(stdout, text);
    fileLog(text);
}

void vebosg(const char* text) { verbosc(text); }

void verbos(const char* text) {
    writeStream(stdout, text, "\n");
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
    writeStream(stdout, buf);
}

void error(const char* text, const char* detail) {
    nError.fetch_add(1, std::memory_order_relaxed);
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "ERROR: %s %s\n", text, detail);
    writeStream(stdout, buf);
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
    writeStream(stderr, buf);
}

void logd(const char* msg, int value, int device) {
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "%s: %s %d\n", deviceName(device), msg, value);
    writeStream(stderr, buf);
}

void errno_continue(const char* name, int device) {
    int err = errno;
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "Device: %d, %s error %d, %s\n", device, name, err,
             cm::errnoText(err).c_str());
    writeStream(stderr, buf);
}

void errno_exit(const char* name) {
    int err = errno;
    char buf[kComposeBufferSize];
    snprintf(buf, sizeof buf, "%s error %d, %s\n", name, err, cm::errnoText(err).c_str());
    writeStream(stderr, buf);
}

void errno_exit2(const char* name, int device) {
    errno_continue(name, device);
    endProcess(1);
}

void endProcess(int status) {
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}
