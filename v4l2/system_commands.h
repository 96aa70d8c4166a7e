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
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

class SystemCommandQueue {
public:
    // Appends a copy of `command`; `claim` (may be empty) names the file the
    // command consumes.
    void append(std::string command, std::string claim = {});

    // Count-copy-remove of one pass: false when the queue is empty, else the
    // first command (removed from the queue) and the number of commands that
    // were waiting. Its claim stays held until finished() is called.
    bool takeFirst(std::string& command, std::size_t& waiting);
    // The command taken last has finished: its claim is released.
    void finished();

    // Whether a queued or running command claims `path`.
    bool claims(std::string_view path) const;
    std::size_t size() const;

private:
    struct Entry {
        std::string command;
        std::string claim;
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

// The thread body: re-queues the conversions a previous run left pending,
// then runs one queued command per pass, one pass per second, until the
// exit flag rises. Returns 0.
void* doSystemCommands(void*);

// One pass of the thread without the pause: runs the first queued command,
// if any, reporting it on standard output. Returns whether one ran.
bool runNextSystemCommand();
