// The system command queue: slow shell commands (clip conversion) are handed
// over by the capture workers and run one at a time, at most one per second,
// on a thread of their own, so that a worker never waits for a converter.
//
// One mutex guards the queue. It is held for an append and for the
// count-copy-remove of a pass, never while a command runs: a conversion may
// take minutes and appends must not wait for it.
//
// An entry may claim a file path (the raw clip it converts). A path stays
// claimed from the append until its command has finished, so that a later
// save never reuses the name of a clip whose conversion is still pending.
//
// An entry may also carry a completion step, run on the command thread
// right after the command with its wait status (the clip conversion checks
// and moves its output there), and a time before which it is not run (a
// retry after a pause; the time is the process clock's, common/clock.h).
// Entries whose time has come run in the order of appending; an entry still
// waiting for its time holds back nothing behind it. The queue knows nothing
// of what its commands do.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

class SystemCommandQueue {
public:
    // Runs on the command thread after the command, with its wait status.
    using Completion = std::function<void(int status)>;

    // Appends a copy of `command`; `claim` (may be empty) names the file the
    // command consumes; `done` (may be empty) is its completion step;
    // `notBefore` (seconds of the process clock, 0 = at once) the earliest
    // time it runs.
    void append(std::string command, std::string claim = {}, Completion done = {}, double notBefore = 0);

    // Count-copy-remove of one pass: false when no command is due, else the
    // first due command (removed from the queue), its completion step and
    // the number of commands that were waiting (due or not). Its claim
    // stays held until finished() is called.
    bool takeFirst(std::string& command, std::size_t& waiting, Completion* done = nullptr);
    // The command taken last has finished (completion step included): its
    // claim is released.
    void finished();

    // Whether a queued or running command claims `path`.
    bool claims(std::string_view path) const;
    // Takes the queued commands that claim `path` out of the queue (the file
    // is to go); false, and nothing taken, while a command claiming it runs.
    bool withdraw(std::string_view path);
    std::size_t size() const;

private:
    struct Entry {
        std::string command;
        std::string claim;
        Completion done;
        double notBefore = 0;
    };
    mutable std::mutex lock_;
    std::deque<Entry> entries_;
    std::string runningClaim_;
};

extern SystemCommandQueue system_commands;
extern std::atomic<pthread_t> tid_system_commands;

// Creates the system command thread once (nothing when its id is set);
// returns the thread-creation result, 0 on success.
int initSystemCommandsThread();

// The thread body: runs one due command per pass, one pass per second,
// until the exit flag rises. Returns 0.
void* doSystemCommands(void*);

// One pass of the thread without the pause: runs the first due command, if
// any, reporting it on standard output, then its completion step. Returns
// whether one ran.
bool runNextSystemCommand();
