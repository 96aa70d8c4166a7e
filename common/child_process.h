// The one way the daemon starts other programs (the converter commands of
// the system command queue, the upload tool, "mkdir -p"): every child
//  - holds no descriptor of the daemon but standard input, output and
//    error: everything else is closed in the child before it executes,
//    whatever flags it was opened with (a library's own descriptors, the
//    OpenCV cameras', included). A converter that held a camera would keep
//    the camera's buffers and make its next S_FMT fail with EBUSY after a
//    reopen;
//  - runs as the board's least urgent work, in processor time and disk
//    time alike: capture and streaming on the one core come first;
//  - starts with an empty signal mask and the default dispositions (a
//    signal the daemon catches is not caught in the child; one it ignores,
//    none today, would stay ignored, as across any exec).
// The child is made with vfork (the daemon's large frame buffers would make
// a fork copy their page tables) and only makes system calls before it
// executes. Any thread may call these; each waits for its own child.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <vector>

namespace cm {

// The children's processor priority: the nice value of the least urgent
// work (19, the lowest). Not SCHED_IDLE: a child that holds a lock the
// daemon needs (a file system's) must still get some time, and measured on
// the board's share of a core the idle class gained nothing beyond the
// runs' own spread (docs/performance.md, "The order on the one core").
inline constexpr int kChildNiceValue = 19;
// The children's disk priority: the best-effort class at its lowest level
// (7). Not the idle class: a child in it can wait for the disk without
// bound while it holds the file system's journal, and the daemon's own
// writes would then wait behind it.
inline constexpr int kChildIoPriorityClass = 2;  // IOPRIO_CLASS_BE
inline constexpr int kChildIoPriorityLevel = 7;

struct ChildOptions {
    // The kernel ends the child (SIGKILL) when the thread that started it
    // ends, however the daemon ends: for a child that must never outlive
    // it (the upload tool). A child started after the daemon began to end
    // ends at once with status 127.
    bool endWithDaemon = false;
    // Holds the child's process id while it runs, else 0, for a thread
    // that may have to stop it.
    std::atomic<pid_t>* running = nullptr;
};

// Runs the program `argv[0]` (a path; no search, no shell) with the
// arguments `argv` and waits for it. Returns the raw wait status, or -1
// when no child could be started. A program that cannot be executed ends
// with status 127, as a shell reports it.
int runChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

}  // namespace cm
