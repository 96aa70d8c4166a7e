#include "board/watchdog.h"

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

// g_timeStart, kept as nanoseconds of the monotonic clock in one atomic
// word: on the wall clock, a forward step would read as years without
// activity, and a backward one would blind the watchdog for as long as the
// step.
std::atomic<long long> g_timeStartNs{0};

void stampActivityTime() { g_timeStartNs.store(cm::nanosOf(cm::monotonicNow()), std::memory_order_relaxed); }

}  // namespace

timespec activityTime() { return cm::timespecOfNanos(g_timeStartNs.load(std::memory_order_relaxed)); }

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
    return cm::startWorkerThread(tid_restarterThread, "cm-watchdog", cm::Urgency::ordinary, doRestartThread, nullptr,
                                 {"restart thread created successfully!", "can't create restart thread: ", false});
}

void* doRestartThread(void*) {
    verbos("restarting thread work start!");
    while (!exitRequested()) {
        cm::sleepSeconds(kWatchdogCheckSeconds);
        int level = static_cast<int>(g_successful_frames.load(std::memory_order_relaxed) % 2);
        if (setGPIO(footprint::kPinActivity, "out", level) != 0) verbos("Error set GPIO 87 to out %d!", level);

        double idle = cm::secondsBetween(activityTime(), cm::monotonicNow());
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
