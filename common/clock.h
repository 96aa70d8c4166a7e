// The program's two clocks, and its pauses. Tests install a clock of their
// own, so that minutes of the device's life (the watchdog's inactivity
// warnings, the pause after an alert, the streaming holds, the conversion
// retries) pass in milliseconds, and so that the wall clock can be stepped.
//
// The board has no battery clock: it boots in the past and NTP later steps
// the wall clock by years, forward or back. Hence two clocks, each for one
// kind of use:
//  - wallNow() (CLOCK_REALTIME) only for names, stamps and records: file
//    names, log lines and the daily log's date, time strings;
//  - monotonicNow() (CLOCK_MONOTONIC) for every interval, time-out, pause,
//    retry, age and hold, and for every choice of "older" among things this
//    run made. No step moves it. It counts from the board's boot, so a small
//    value is an ordinary time, never a mark for "never".
// Never compare or subtract two readings of the wall clock to decide
// anything: a step inverts the result.
//
// CLOCK_BOOTTIME (which also counts time the board spends suspended) is
// used nowhere: the alert device is never suspended, and if it were, every
// interval here measures the daemon's own work (a pause, a retry, a hold,
// the inactivity watchdog), which should go on where it stopped rather
// than run out for time in which the daemon did not run.
#pragma once

#include <chrono>
#include <ctime>

namespace cm {

class Clock {
public:
    virtual ~Clock() = default;
    virtual timespec wallNow() = 0;
    // A test clock whose wall clock never steps may leave this to it.
    virtual timespec monotonicNow() { return wallNow(); }
    // Blocks the calling thread for `d` of the monotonic clock.
    virtual void sleepFor(std::chrono::microseconds d) = 0;
};

// The clock in use; the system's clocks unless a test installed another.
Clock& clock();

// Installs `c` (nullptr restores the system's clocks). Call only while no
// other thread of the program runs.
void setClockForTests(Clock* c);

inline timespec wallNow() { return clock().wallNow(); }
inline timespec monotonicNow() { return clock().monotonicNow(); }
inline void sleepMicros(long long us) { clock().sleepFor(std::chrono::microseconds(us)); }
inline void sleepMillis(long long ms) { sleepMicros(ms * 1000); }
inline void sleepSeconds(long long s) { sleepMicros(s * 1000000); }

// b - a in seconds (seconds difference plus nanoseconds difference / 1e9).
// Both readings of the monotonic clock.
inline double secondsBetween(const timespec& a, const timespec& b) {
    return static_cast<double>(b.tv_sec - a.tv_sec) +
           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

// b - a in whole milliseconds (seconds x 1000 + microseconds / 1000). Both
// readings of the monotonic clock.
inline long long millisBetween(const timespec& a, const timespec& b) {
    return static_cast<long long>(b.tv_sec - a.tv_sec) * 1000 +
           (static_cast<long long>(b.tv_nsec / 1000) - a.tv_nsec / 1000) / 1000;
}

// A monotonic reading as nanoseconds in one word (for an atomic), and back.
inline long long nanosOf(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }
inline timespec timespecOfNanos(long long ns) {
    return timespec{static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

}  // namespace cm
