#include "streaming/streaming_control.h"

#include <cstdio>

#include "common/clock.h"
#include "common/sys_error.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "streaming/connection.h"
#include "streaming/frame_buffers.h"
#include "streaming/screenshot_request.h"

std::atomic<long long> lPreviousStreamingVideoCommandTimestamp{0};
std::atomic<pthread_t> tid_streamingThread{0};
std::atomic<pthread_t> tid_streamVideoThread{0};

namespace {

constexpr int kHoldSteps = 120;             // one-second steps of a streaming hold
constexpr int kHoldNotifyEverySteps = 40;   // notifications 40, 80 and 120 s into a hold
constexpr long long kPassMillis = 100;      // streaming pass while the mode is on
constexpr long long kIdleMillis = 1000;     // while it is off
constexpr int kStatisticsEveryPasses = 100;

std::atomic<int> g_sent{0}, g_failed{0}, g_idle{0};
std::atomic<bool> g_streamingEnded{false};
std::atomic<bool> g_monitorEnded{false};

void logStatistics(const timespec& start) {
    const timespec now = cm::monotonicNow();
    const long long age = static_cast<long long>(now.tv_sec - start.tv_sec) + (now.tv_nsec / 1000 - start.tv_nsec / 1000) / 1000000;
    verbos("sent trails success frames = %d, failed frames = %d, idle=%d, cmd_idx=%d, nAge=%d s", g_sent.load(),
           g_failed.load(), g_idle.load(), cmd_idx.load(), static_cast<int>(age));
    verbos("Success Received=%d, nTotalAge=%d s, nEmptyReceived=%d, nNonSuccessReceived=%d", nSuccessReceived.load(),
           nTotalAge.load(), nEmptyReceived.load(), nNonSuccessReceived.load());
}

// The mode of a stamp: its last decimal digit, with the stamp's sign.
int modeOfStamp(long long stamp) { return static_cast<int>(stamp % 10); }

// Lowers a thread's "ended" flag when its body starts and raises it when the
// body returns, so that the flag always tells of the thread started last.
struct EndMark {
    explicit EndMark(std::atomic<bool>& f) : flag(f) { flag.store(false); }
    ~EndMark() { flag.store(true); }
    std::atomic<bool>& flag;
};

}  // namespace

int initStreamingThread() {
    cm::printOut("Deziruda: initStreamingThread()\n");
    return cm::startWorkerThread(tid_streamingThread, "cm-streaming", cm::Urgency::streaming, doStreamingThread,
                                 nullptr,
                                 {"streaming thread successfully created!", "can't create streaming thread: ", true});
}

void* doStreamingThread(void*) {
    cm::setThreadLogRole(cm::LogRole::queued);  // streaming never waits on a log write
    EndMark ended{g_streamingEnded};
    verbos("streaming thread work start!");
    resetStreamingRequestState();
    const timespec start = cm::monotonicNow();
    init_streaming_buffer();
    initRequestStreamingMonitoringThread();
    g_sent.store(0);
    g_failed.store(0);
    g_idle.store(0);

    while (!exitRequested()) {
        handlePendingSigpipe();
        if (g_bStreamingVideo.load() != 0) {
            if (!streaming_buffers_exist() || latest_streaming_lengths_sum() <= 0) {
                g_idle.fetch_add(1);
            } else if (sendCurrentScreenshots() == 1) {
                g_sent.fetch_add(1);
            } else {
                verbos("Disconnecting because cant send");
                disconnectStreamingServer();
                g_failed.fetch_add(1);
            }
            cm::sleepMillis(kPassMillis);
        } else {
            disconnectStreamingServer();
            g_idle.fetch_add(1);
            cm::sleepMillis(kIdleMillis);
        }
        if ((g_sent.load() + g_failed.load() + g_idle.load()) % kStatisticsEveryPasses == 0) logStatistics(start);
    }

    logStatistics(start);
    disconnectStreamingServer();
    uninit_streaming_output_buffer();
    return nullptr;
}

int initRequestStreamingMonitoringThread() {
    installSigpipeHandler();
    return cm::startWorkerThread(tid_streamVideoThread, "cm-stream-mon", cm::Urgency::streaming,
                                 doStreamingVideoMonitoringThread, nullptr,
                                 {"stream video monitoring thread created successfully!",
                                  "can'create stream video monitoring thread", false});
}

void* doStreamingVideoMonitoringThread(void*) {
    cm::setThreadLogRole(cm::LogRole::queued);  // streaming never waits on a log write
    EndMark ended{g_monitorEnded};
    verbos("video streaming monitoring thread start!");
    setting.readSettings();
    lPreviousStreamingVideoCommandTimestamp.store(setting.streamVideoStamp());
    if (exitRequested()) return nullptr;

    for (;;) {
        setting.readSettings();
        const long long stamp = setting.streamVideoStamp();
        const int mode = modeOfStamp(stamp);
        if (mode != 0 && stamp != lPreviousStreamingVideoCommandTimestamp.load() && streaming_buffers_exist()) {
            g_bStreamingVideo.store(mode);
            verbos("capture module received streaming request. Streaming: %d", mode);
            lPreviousStreamingVideoCommandTimestamp.store(stamp);
            for (int step = 1; step <= kHoldSteps; ++step) {
                if (exitRequested()) break;
                cm::sleepSeconds(1);
                if (exitRequested()) return nullptr;
                if (step % kHoldNotifyEverySteps == 0 && isConnectd.load() == 1) addNotificationWSCallToQueue();
            }
            cm::sleepSeconds(1);
            if (exitRequested()) return nullptr;
        } else {
            if (g_bStreamingVideo.load() != 0) verbos("Streaming stopped");
            g_bStreamingVideo.store(0);
            cm::sleepSeconds(1);
            if (exitRequested()) return nullptr;
        }
    }
}

StreamingPassCounts streamingPassCounts() {
    StreamingPassCounts c;
    c.sent = g_sent.load();
    c.failed = g_failed.load();
    c.idle = g_idle.load();
    return c;
}

bool streamingThreadEnded() { return g_streamingEnded.load(); }
bool streamingMonitorEnded() { return g_monitorEnded.load(); }

void resetStreamingControlForTests() {
    lPreviousStreamingVideoCommandTimestamp.store(0);
    tid_streamingThread.store(0);
    tid_streamVideoThread.store(0);
}
