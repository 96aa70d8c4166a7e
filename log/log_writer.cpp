#include "log/log_writer.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <utility>

#include "common/clock.h"
#include "common/threads.h"

namespace cm {

std::atomic<pthread_t> tid_logWriter{0};

namespace {

thread_local LogRole t_role = LogRole::direct;

// The queue and the writer's progress. Allocated once and never destroyed:
// the writer is never joined, so it may still wait on the condition when
// static destructors run at the end of a test program.
struct WriterState {
    std::mutex lock;
    std::condition_variable work;  // something was queued
    std::condition_variable idle;  // the writer finished a batch
    std::deque<LogPiece> queue;
    std::size_t queuedBytes = 0;
    std::uint64_t droppedSinceTaken = 0;  // drops behind the last piece queued
    std::uint64_t droppedTotal = 0;
    bool writing = false;  // a batch is out of the queue, not yet written
    bool started = false;
    bool startFailed = false;
};

WriterState& state() {
    static WriterState* s = new WriterState;
    return *s;
}

// The write functions last handed over for standard output and for the
// daily file: the drop count is written through them.
std::atomic<void (*)(const LogPiece&)> g_consoleWrite{nullptr};
std::atomic<void (*)(const LogPiece&)> g_dailyWrite{nullptr};

void writePiece(const LogPiece& p) {
    if (p.write != nullptr) p.write(p);
}

// Written where the dropped lines would have been: after everything that
// was queued before them.
void reportDropped(std::uint64_t dropped) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "log: %llu lines of the capture and streaming threads were dropped: the log writer fell behind "
                  "(a slow card or console)",
                  static_cast<unsigned long long>(dropped));
    writePiece(LogPiece{LogSink::standardOutput, std::string(line) + "\n", {}, 0, g_consoleWrite.load()});
    writePiece(LogPiece{LogSink::dailyFile, line, {}, cm::wallNow().tv_sec, g_dailyWrite.load()});
}

void* runWriter(void*) {
    WriterState& s = state();
    std::unique_lock<std::mutex> g(s.lock);
    for (;;) {
        s.work.wait(g, [&] { return !s.queue.empty() || s.droppedSinceTaken != 0; });
        std::deque<LogPiece> batch;
        batch.swap(s.queue);
        s.queuedBytes = 0;
        const std::uint64_t dropped = std::exchange(s.droppedSinceTaken, 0);
        s.writing = true;
        g.unlock();
        for (const LogPiece& p : batch) writePiece(p);
        if (dropped != 0) reportDropped(dropped);
        g.lock();
        s.writing = false;
        s.idle.notify_all();
    }
    return nullptr;
}

// Starts the writer with the first queued piece (s.lock held); whether it
// runs.
bool writerRunning(WriterState& s) {
    if (!s.started && !s.startFailed) {
        s.started = startDetachedThread(tid_logWriter, "cm-log", Urgency::ordinary, runWriter, nullptr) == 0;
        s.startFailed = !s.started;
    }
    return s.started;
}

}  // namespace

void setThreadLogRole(LogRole role) { t_role = role; }

LogRole threadLogRole() { return t_role; }

void handToLogWriter(LogPiece piece) {
    if (piece.sink == LogSink::standardOutput) g_consoleWrite.store(piece.write);
    if (piece.sink == LogSink::dailyFile) g_dailyWrite.store(piece.write);
    WriterState& s = state();
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (writerRunning(s)) {
            const std::size_t bytes = piece.text.size();
            if (s.queue.size() >= kLogQueueMaxLines || s.queuedBytes + bytes > kLogQueueMaxBytes) {
                ++s.droppedSinceTaken;
                ++s.droppedTotal;
            } else {
                s.queuedBytes += bytes;
                s.queue.push_back(std::move(piece));
            }
            s.work.notify_one();
            return;
        }
    }
    writePiece(piece);
}

bool drainLogWriter(long long millis) {
    WriterState& s = state();
    std::unique_lock<std::mutex> g(s.lock);
    return s.idle.wait_for(g, std::chrono::milliseconds(millis),
                           [&] { return s.queue.empty() && s.droppedSinceTaken == 0 && !s.writing; });
}

std::uint64_t droppedLogLines() {
    WriterState& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    return s.droppedTotal;
}

void resetLogWriterForTests() {
    drainLogWriter(kLogDrainAtEndMillis);
    WriterState& s = state();
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.droppedTotal = 0;
    }
    t_role = LogRole::direct;
}

}  // namespace cm
