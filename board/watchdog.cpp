#include "board/watchdog.h"

#include <cstdint>
#include <cstdio>

#include "board/gpio.h"
#include "common/clock.h"
#include "common/footprint.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/debug.h"

std::atomic<unsigned> g_successful_frames{0};
std::atomic<int> g_nActivityIteration{0};
std::atomic<pthread_t> tid_restarterThread{0};

namespace {

// g_timeStart, kept as nanoseconds of the real-time clock in one atomic word.
std::atomic<std::int64_t> g_timeStartNs{0};

std::int64_t toNs(const timespec& ts) { return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec; }

void stampActivityTime() { g_timeStartNs.store(toNs(cm::now()), std::memory_order_relaxed); }

}  // namespace

timespec activityTime() {
    std::int64_t ns = g_timeStartNs.load(std::memory_order_relaxed);
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

void notifyAction() {
    if (exitRequested()) return;
    stampActivityTime();
    g_nActivityIteration.store(0, std::memory_order_relaxed);
}

int initRestarterThread() {
    // Once only, like every starter: a second watchdog would count each
    // inactivity window twice.
    if (tid_restarterThread.load() != pthread_t{}) return 0;
    notifyAction();
    return cm::startWorkerThread(tid_restarterThread, "cm-watchdog", doRestartThread, nullptr,
                                 {"restart thread created successfully!", "can't create restart thread: ", false});
}

void* doRestartThread(void*) {
    verbos("restarting thread work start!");
    while (!exitRequested()) {
        cm::sleepSeconds(kWatchdogCheckSeconds);
        int level = static_cast<int>(g_successful_frames.load(std::memory_order_relaxed) % 2);
        if (setGPIO(footprint::kPinActivity, "out", level) != 0) verbos("Error set GPIO 87 to out %d!", level);

        double idle = cm::secondsBetween(activityTime(), cm::now());
        if (idle > kInactivitySeconds) {
            verbos("No activity for %d seconds.. iteration %d!", static_cast<int>(idle), g_nActivityIteration.load());
            int warnings = g_nActivityIteration.fetch_add(1) + 1;
            if (warnings > 1) verbos("additional inactivity warning! iteration#%d", warnings);
            else verbos("first inactivity warning");
            stampActivityTime();
            if (warnings >= kWarningsBeforeExit) {
                verbos("inactivity warning# %d.. closing everything and restarting!", warnings);
                setting.raiseExitInMemory();
                return nullptr;
            }
        }
    }
    return nullptr;
}

void resetWatchdogForTests() {
    g_successful_frames.store(0);
    g_nActivityIteration.store(0);
    tid_restarterThread.store(0);
}
