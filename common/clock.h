// The process clock: every time stamp and every pause of the program goes
// through here, so that tests can run minutes of the device's life (the
// watchdog's inactivity warnings, the pause after an alert, the streaming
// holds) in milliseconds by installing a clock of their own.
#pragma once

#include <chrono>
#include <ctime>

namespace cm {

class Clock {
public:
    virtual ~Clock() = default;
    // Wall-clock time (CLOCK_REALTIME): file names, log stamps, activity time.
    virtual timespec now() = 0;
    // Blocks the calling thread for `d` of this clock's time.
    virtual void sleepFor(std::chrono::microseconds d) = 0;
};

// The clock in use; the system clock unless a test installed another.
Clock& clock();

// Installs `c` (nullptr restores the system clock). Call only while no
// other thread of the program runs.
void setClockForTests(Clock* c);

inline timespec now() { return clock().now(); }
inline void sleepMicros(long long us) { clock().sleepFor(std::chrono::microseconds(us)); }
inline void sleepMillis(long long ms) { sleepMicros(ms * 1000); }
inline void sleepSeconds(long long s) { sleepMicros(s * 1000000); }

// b - a in seconds (seconds difference plus nanoseconds difference / 1e9).
inline double secondsBetween(const timespec& a, const timespec& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

// b - a in whole milliseconds (seconds x 1000 + microseconds / 1000).
inline long long millisBetween(const timespec& a, const timespec& b) {
    return static_cast<long long>(b.tv_sec - a.tv_sec) * 1000 +
           (static_cast<long long>(b.tv_nsec / 1000) - a.tv_nsec / 1000) / 1000;
}

}  // namespace cm
