// Worker threads are created once, detached and never joined: each loop
// ends by itself when the exit flag rises, and the process ends with them.
// Every worker carries a name (README.md, "Threads", lists them) so that
// `top -H`, gdb, `ps -L` and /proc/PID/task/*/comm tell them apart, and its
// level of urgency on the one core (common/thread_priority.h).
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "common/thread_priority.h"

namespace cm {

using ThreadBody = void* (*)(void*);

// Linux keeps at most 15 characters of a thread's name; longer names are cut.
inline constexpr std::size_t kThreadNameMax = 15;

// Creates a detached thread named `name` running body(arg) at `urgency` and
// stores its id in `tid`. The thread takes its name and its nice value
// before body runs, and the call returns only once it has: whoever looks at
// the thread after the starter's line sees both. A refused priority (a
// raise without the privilege) does not stop the thread: it runs at the
// nice value it inherited, and the calling thread prints one line on
// standard output that says so. Returns 0 on success, else the pthread
// error number (tid stays 0).
int startDetachedThread(std::atomic<pthread_t>& tid, const std::string& name, Urgency urgency, ThreadBody body,
                        void* arg);

// What a worker's starter prints on standard output, one line each.
struct StartLines {
    const char* created;  // after the thread was created
    const char* failed;   // when it could not be created
    bool withReason;      // the pthread error's text follows `failed`
};

// The common starter of a worker: creates nothing when `tid` is set already
// (0), else starts the named thread and prints `lines.created` (0) or
// `lines.failed` (1).
int startWorkerThread(std::atomic<pthread_t>& tid, const std::string& name, Urgency urgency, ThreadBody body,
                      void* arg, const StartLines& lines);

}  // namespace cm
