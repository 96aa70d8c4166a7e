// Logging. Two families:
//  - the general family writes to standard output and, except `error`,
//    appends to the day's log file "<log dir>/YYYYMMDD.txt";
//  - the device family (V4L2 path) writes to standard error only, with the
//    device path in front.
// The daily files are bounded: entries of one day stop at kDailyLogMaxBytes
// (one line in the file says so; the console still gets them) and files
// older than kDailyLogKeepDays are removed when the first entry of a new day
// is written. A write that fails (a full file system) is cut back to the
// last whole entry and reported once on standard error, until a write
// succeeds again; a missing log directory loses the entry silently.
// Every formatted text is composed in a 3000-character buffer (longer texts
// are cut to 2999 characters); composed texts are written as they are, a
// '%' in them is never interpreted again. Each entry reaches each stream in
// one piece; the daily file is opened, appended and closed per entry (only
// a regular file, never waiting: anything else there loses the entry).
//
// Who writes: a thread whose log role is `queued` (log/log_writer.h: the
// capture and streaming threads set it when they start) never writes
// itself; every piece it logs here or through log/console.h goes, in its
// order, through the log writer's bounded queue, and a piece that finds the
// queue full is dropped and counted in the log. Every other thread writes
// its own pieces before the call returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr int kComposeBufferSize = 3000;
inline constexpr std::uint64_t kDailyLogMaxBytes = 4u << 20;
inline constexpr int kDailyLogKeepDays = 10;

// Count of `error` reports.
extern std::atomic<int> nError;

// Device names for the device family, indexed by device number 0..4; set
// by the V4L2 workers (null prints as "(null)").
extern std::atomic<const char*> dev_name[5];
// The name of device `device` as the device family prints it: dev_name's
// entry, or "(null)" while unset or for a number outside 0..4.
const char* deviceName(int device);

// ---- general family ----
void verbosc(const char* text);                 // stdout: text;          file: text + \n
void verbos(const char* text);                  // stdout: text + \n;     file: text + \n
void verbosFormatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// verbos(fmt, args...): `fmt` formatted with the arguments, then as verbos(text).
template <typename First, typename... Rest>
void verbos(const char* fmt, First first, Rest... rest) {
    verbosFormatted(fmt, first, rest...);
}
void vebosg(const char* text);                  // same as verbosc
void verbosg(const char* fmt, const char* text);  // composed, then as verbosc
void error(const char* text);                   // stdout: "ERROR: text\n"; no file
void error(const char* text, const char* detail);
void fileLog(const char* text);                 // file only: text + \n

// `dbg` with one value prints the timestamp line "'<stamp>'" first; with two
// values it does not. Both append "<stamp>: <message>\n" plus the file's own
// line end (so a blank line follows each entry). A null format, or one longer
// than 250 characters, logs nothing.
void dbgOne(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void dbgTwo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
template <typename T>
void dbg(const char* fmt, T value) { dbgOne(fmt, value); }
template <typename T, typename U>
void dbg(const char* fmt, T value1, U value2) { dbgTwo(fmt, value1, value2); }

// ---- device family (standard error only) ----
void log__(const char* msg, int device);                 // "%s: %s\n"
void logd(const char* msg, int value, int device);       // "%s: %s %d\n"
void errno_continue(const char* name, int device);       // "Device: %d, %s error %d, %s\n"
void errno_exit(const char* name);                       // "%s error %d, %s\n"; goes on
[[noreturn]] void errno_exit2(const char* name, int device);  // as errno_continue, then status 1

// Ends the process at once with `status`, after the log writer has written
// what the queued threads handed it (at most kLogDrainAtEndMillis) and both
// standard streams are flushed. Worker threads are never joined, so the process must not run
// static destructors under them.
[[noreturn]] void endProcess(int status);

// Renames the file at `path` to "<path>.1" (replacing an older one) when it
// is a regular file larger than `maxBytes`; whether it did. For logs that
// another program appends to (the upload tool's).
bool rotateLogIfLarger(const std::string& path, std::uint64_t maxBytes);

// The path of the day's log file for the given local date.
std::string dailyLogPath(int year, int month, int day);

// The error count to 0 and every device name unset.
void resetDebugForTests();
