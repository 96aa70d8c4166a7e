// The program's clocks: every time stamp, interval and pause goes through
// here, so that tests can run minutes of the device's life (the watchdog's
// inactivity warnings, the pause after an alert, the streaming holds) in
// milliseconds by installing a clock of their own.
//
// The board has no battery clock: it boots in the past and NTP later steps
// the wall clock by years. The wall clock (now) is therefore only for
// names, stamps and records; every interval, time-out, pause, retry and age
// is measured on the monotonic clock (monotonicNow), which no step moves.
#pragma once

#include <chrono>
#include <ctime>

namespace cm {

class Clock {
public:
    virtual ~Clock() = default;
    // Wall-clock time (CLOCK_REALTIME): file names, log stamps, records.
    virtual timespec now() = 0;
    // Time that only moves forward (CLOCK_MONOTONIC): intervals and ages.
    // A test clock that never steps its wall time may leave it to now().
    virtual timespec monotonicNow() { return now(); }
    // Blocks the calling thread for `d` of this clock's time.
    virtual void sleepFor(std::chrono::microseconds d) = 0;
};

// The clock in use; the system clock unless a test installed another.
Clock& clock();

// Installs `c` (nullptr restores the system clock). Call only while no
// other thread of the program runs.
void setClockForTests(Clock* c);

inline timespec now() { return clock().now(); }
inline timespec monotonicNow() { return clock().monotonicNow(); }
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
