// The video creation thread: turns alerts and user video requests written
// into the control record into clip runs. About twice a second it re-reads
// the control file, follows the camera switches and the camera-set check,
// and serves a new user-video command value (save type 2) before an alert
// (save type 1, then a 45 s pause); "-rv" adds random alerts, one pass in
// 200 on average.
#pragma once

#include <pthread.h>

#include <atomic>

// The last user-video command value acted on; set at start-up to the value
// then in the control file, so that a request present at start is not served.
extern std::atomic<long long> lPreviousUserVideoCommandTimestamp;

extern std::atomic<pthread_t> tid_createVideoThread;

// The draw behind random alerts: a non-negative number, as rand() gives.
using RandomDraw = int (*)();
// Installs `draw` (nullptr restores rand()). Call while the thread is not
// running.
void setRandomDrawForTests(RandomDraw draw);

// Starts the thread once: 0 when started (or already running), 1 when it
// could not be created.
int initCreateVideoThread();

// The thread body (argument unused); returns when the exit flag is up at
// the end of a pass, or at once when it is up at the start.
void* doCreateVideoThread(void*);

// One pass of the thread: re-read, checks, at most one clip run, pauses.
void videoCreationPass();

// No command acted on, no thread, rand() as the draw.
void resetVideoCreationForTests();
