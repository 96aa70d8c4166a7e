#include "common/clock.h"

#include <atomic>
#include <cerrno>

namespace cm {
namespace {

class SystemClock final : public Clock {
public:
    timespec wallNow() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts;
    }
    timespec monotonicNow() override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return ts;
    }
    void sleepFor(std::chrono::microseconds d) override {
        if (d.count() <= 0) return;
        timespec req{static_cast<time_t>(d.count() / 1000000),
                     static_cast<long>((d.count() % 1000000) * 1000)};
        // Named explicitly: a pause on the wall clock would stretch by a
        // backward step. A signal (SIGPIPE from a broken stream) must not
        // cut a pause short.
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &req) == EINTR) {
        }
    }
};

SystemClock g_systemClock;
std::atomic<Clock*> g_clock{&g_systemClock};

}  // namespace

Clock& clock() { return *g_clock.load(std::memory_order_acquire); }

void setClockForTests(Clock* c) { g_clock.store(c != nullptr ? c : &g_systemClock, std::memory_order_release); }

}  // namespace cm
