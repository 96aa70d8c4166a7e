// The video creation thread: turns alerts and user video requests written
// into the control record into clip runs.
#pragma once

#include <atomic>

// The last user-video command value acted on; set at start-up to the value
// then in the control file, so that a request present at start is not served.
extern std::atomic<long long> lPreviousUserVideoCommandTimestamp;

// Kind of clip being made: 0 none, 1 alert, 2 user video. Read by the
// frame handler of the direct path when its buffer overflows.
extern std::atomic<int> g_nSaveType;
