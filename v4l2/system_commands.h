// The system command queue: slow shell commands are handed over by any
// thread and run one at a time, at most one per second, on a thread of
// their own, so that no producer ever waits for a command.
//
// One mutex guards the queue. It is held for an append and for the
// count-copy-remove of a pass, never while a command runs: a command may
// take minutes and appends must not wait for it.
//
// The queue knows nothing of what its commands do. An entry may carry:
// - a tag (any text; empty for none), which stays on the queue from the
//   append until the command has finished, so that a producer can ask
//   whether a command of its own is still pending and take it back;
// - a completion step, run on the command thread right after the command
//   with its wait status;
// - a time before which it is not run (seconds of clockSeconds());
// - its turn: in turn (at the end) or ahead (after the entries appended
//   ahead before it, in front of every entry appended in turn).
// Entries whose time has come run in the queue's order; an entry still
// waiting for its time holds back nothing behind it. The command running
// is never stopped for one appended ahead.
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
    enum class Turn { inTurn, ahead };

    // The time `notBefore` is counted in: seconds of the monotonic clock
    // (common/clock.h), the one place the queue reads a clock. A step of
    // the wall clock neither holds back nor hastens a waiting command.
    static double clockSeconds();

    // Appends a copy of `command` with its `tag`, completion step `done`
    // (either may be empty), `notBefore` (0 = at once) and `turn`.
    void append(std::string command, std::string tag = {}, Completion done = {}, double notBefore = 0,
                Turn turn = Turn::inTurn);

    // Count-copy-remove of one pass: false when no command is due, else the
    // first due command (removed from the queue), its completion step and
    // the number of commands that were waiting (due or not). Its tag stays
    // on the queue until finished() is called.
    bool takeFirst(std::string& command, std::size_t& waiting, Completion* done = nullptr);
    // The command taken last has finished (completion step included): its
    // tag goes.
    void finished();

    // Whether a queued or running command carries `tag` (never "").
    bool isTagged(std::string_view tag) const;
    // Takes the queued commands carrying `tag` out of the queue; false, and
    // nothing taken, while a command carrying it runs.
    bool withdraw(std::string_view tag);
    std::size_t size() const;

private:
    struct Entry {
        std::string command;
        std::string tag;
        Completion done;
        double notBefore = 0;
        Turn turn = Turn::inTurn;
    };
    mutable std::mutex lock_;
    std::deque<Entry> entries_;
    std::string runningTag_;
};

extern SystemCommandQueue system_commands;
extern std::atomic<pthread_t> tid_system_commands;

// Empties the queue, its command taken or not, and forgets the thread.
void resetSystemCommandsForTests();

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
