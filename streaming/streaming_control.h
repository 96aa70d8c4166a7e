// Streaming control: the streaming thread, started last by main, sends a
// request about ten times a second while the streaming mode is on and keeps
// the connection closed while it is off; the monitoring thread, started by
// the streaming thread, turns new stream-video stamps of the control record
// into the streaming mode and holds each request for about two minutes.
//
// The stamp's last decimal digit (remainder with the stamp's sign) is the
// mode: 0 off, 9 the stream mode, anything else the set mode. A stamp that
// is already in the control record when the monitor starts is not acted
// upon; each different stamp with a non-zero digit switches streaming on for
// 120 one-second steps plus one, and a change (a newer stamp, or one ending
// in 0) takes effect at the next cycle, after the hold.
//
// Both threads pace themselves with the program's clock (common/clock.h)
// and end when the exit flag rises; the streaming thread then disconnects
// and releases the streaming frame buffers.
#pragma once

#include <pthread.h>

#include <atomic>

extern std::atomic<long long> lPreviousStreamingVideoCommandTimestamp;
extern std::atomic<pthread_t> tid_streamingThread;
extern std::atomic<pthread_t> tid_streamVideoThread;

// Creates the streaming thread (once). 0 when it was created (or already
// runs), 1 otherwise.
int initStreamingThread();
void* doStreamingThread(void*);

// Installs the SIGPIPE handler and creates the monitoring thread unless it
// runs. 0 on success or when already running, 1 when creation failed.
int initRequestStreamingMonitoringThread();
void* doStreamingVideoMonitoringThread(void*);

// Passes of the streaming thread so far (sent, failed, idle), for tests and
// the statistics lines.
struct StreamingPassCounts {
    int sent = 0, failed = 0, idle = 0;
};
StreamingPassCounts streamingPassCounts();
// Whether the streaming thread started last has ended (after releasing its
// buffers); false from its start on.
bool streamingThreadEnded();
// The same for the monitoring thread.
bool streamingMonitorEnded();

// No command acted on, no threads.
void resetStreamingControlForTests();
