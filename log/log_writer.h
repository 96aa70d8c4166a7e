// The log writer: the threads that must never wait on a disk write that
// is not theirs hand their log lines to one writer thread ("cm-log")
// through a bounded queue in memory.
//
// Those threads are the capture threads (direct path "cm-v4l2-N", default
// path "cm-capture0" and "cm-capture1") and the streaming threads
// ("cm-streaming", "cm-stream-mon", "cm-disconnect"). A log line reaches a
// slow medium in three ways, and each can hold its caller for as long as
// the medium likes: the daily log file on the card (a write throttled
// behind the dirty pages of a clip, or the daily file's lock held by
// another thread in such a write), standard output and standard error
// (under the board's service manager a pipe to the journal, which blocks
// when the journal falls behind; the stream's lock is held meanwhile).
//
// Contract:
//  - A thread's role is its own (thread-local) and starts as `direct`:
//    its lines are written by the call itself, as before. A capture or
//    streaming thread body sets `queued` as its first step; from then on
//    every piece it logs through log/debug.h or log/console.h is handed to
//    the writer and the call returns without touching a file, a stream or
//    a lock that anything holds across I/O.
//  - One queue for all queued threads, first in first out: the pieces of
//    one thread reach their destinations in the order it logged them,
//    standard output, standard error and the daily file alike.
//  - The queue holds at most kLogQueueMaxLines pieces and kLogQueueMaxBytes
//    bytes. A piece that does not fit is dropped and counted; once the
//    writer has written what was queued before the drop, it logs the count
//    in one line ("log: N lines of the capture and streaming threads were
//    dropped ...") on standard output and in the daily file, where the
//    dropped lines would have been.
//  - The writer writes as any direct thread does, through the write
//    function each piece carries (the console's or the daily file's, so
//    that this unit depends on neither): the daily file keeps its bounds
//    (log/debug.h). The count of dropped lines goes through the write
//    functions last seen for standard output and for the daily file. It starts with the first queued piece, is never
//    joined and ends with the process; endProcess (log/debug.h) first gives
//    it at most kLogDrainAtEndMillis to write out what is queued.
//  - Should the writer thread not start, queued pieces are written by the
//    caller, as for a direct thread: a line is not lost for it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace cm {

enum class LogRole {
    direct,  // writes its own lines (every thread at its start)
    queued,  // hands them to the writer, never waiting on I/O
};

void setThreadLogRole(LogRole role);
LogRole threadLogRole();

inline constexpr std::size_t kLogQueueMaxLines = 2048;
inline constexpr std::size_t kLogQueueMaxBytes = 256 * 1024;
inline constexpr long long kLogDrainAtEndMillis = 2000;

enum class LogSink { standardOutput, standardError, dailyFile };

// One piece of a log call, written by the writer as the call would have
// written it: `write` (the caller's own direct writer for `sink`: console
// or daily file) is called with the piece. For the daily file, `dailyPath`
// is the day's file and `stamp` the entry's time; a piece with an empty
// `dailyPath` goes to the file of the day of `stamp`.
struct LogPiece {
    LogSink sink = LogSink::standardOutput;
    std::string text;
    std::string dailyPath;
    time_t stamp = 0;
    void (*write)(const LogPiece&) = nullptr;
};

// Hands `piece` to the writer (a queued thread's log call); never waits on
// I/O. Dropped and counted when the queue is full.
void handToLogWriter(LogPiece piece);

// Waits until everything handed over so far is written, at most `millis`
// (monotonic); whether it is.
bool drainLogWriter(long long millis);

// Pieces dropped since the process started (or the last reset).
std::uint64_t droppedLogLines();

extern std::atomic<pthread_t> tid_logWriter;

// Waits for the writer to write what is queued (briefly), then sets the
// drop count back and the calling thread's role to `direct`.
void resetLogWriterForTests();

}  // namespace cm
