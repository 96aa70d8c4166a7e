// Activity watchdog: every part that gets work done reports it with
// notifyAction; the restart thread checks every 3 seconds and, after four
// inactivity warnings in a row (each after more than 300 seconds without
// activity), raises the exit flag so that the board's supervisor starts the
// program again. It also drives GPIO 87 with the parity of the frame count.
#pragma once

#include <pthread.h>

#include <atomic>
#include <ctime>

inline constexpr int kWatchdogCheckSeconds = 3;
inline constexpr double kInactivitySeconds = 300.0;
inline constexpr int kWarningsBeforeExit = 4;

// Successfully captured frames, counted by every capture loop.
extern std::atomic<unsigned> g_successful_frames;
// Inactivity warnings since the last reported activity.
extern std::atomic<int> g_nActivityIteration;
extern std::atomic<pthread_t> tid_restarterThread;

// The activity time (last activity, or last warning), on the monotonic
// clock (common/clock.h).
timespec activityTime();

// Reports activity (does nothing once the exit flag is up).
void notifyAction();

// Starts the restart thread once: 0 when it runs (started now or before),
// 1 when it could not be created.
int initRestarterThread();

// The restart thread body (argument unused); returns when the exit flag is
// up, or after raising it at the fourth warning.
void* doRestartThread(void*);

// The counters and the thread id back to 0.
void resetWatchdogForTests();
