// Worker threads are created once, detached and never joined: each loop
// ends by itself when the exit flag rises, and the process ends with them.
#pragma once

#include <pthread.h>

#include <atomic>

namespace cm {

using ThreadBody = void* (*)(void*);

// Creates a detached thread running body(arg) and stores its id in `tid`.
// Returns 0 on success, else the pthread error number (tid stays 0).
int startDetachedThread(std::atomic<pthread_t>& tid, ThreadBody body, void* arg);

}  // namespace cm
