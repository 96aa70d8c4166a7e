#include "v4l2/system_commands.h"

#include <algorithm>
#include <cstdio>

#include "common/clock.h"
#include "common/shell.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"

SystemCommandQueue system_commands;
std::atomic<pthread_t> tid_system_commands{0};

double SystemCommandQueue::clockSeconds() {
    const timespec t = cm::monotonicNow();
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void SystemCommandQueue::append(std::string command, std::string tag, Completion done, double notBefore,
                                Turn turn) {
    std::lock_guard<std::mutex> g(lock_);
    auto at = entries_.end();
    if (turn == Turn::ahead)
        at = std::find_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.turn == Turn::inTurn; });
    entries_.insert(at, Entry{std::move(command), std::move(tag), std::move(done), notBefore, turn});
}

bool SystemCommandQueue::takeFirst(std::string& command, std::size_t& waiting, Completion* done) {
    const double now = clockSeconds();
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->notBefore > now) continue;
        waiting = entries_.size();
        command = std::move(it->command);
        runningTag_ = std::move(it->tag);
        if (done != nullptr) *done = std::move(it->done);
        entries_.erase(it);
        return true;
    }
    return false;
}

void SystemCommandQueue::finished() {
    std::lock_guard<std::mutex> g(lock_);
    runningTag_.clear();
}

bool SystemCommandQueue::isTagged(std::string_view tag) const {
    if (tag.empty()) return false;
    std::lock_guard<std::mutex> g(lock_);
    if (runningTag_ == tag) return true;
    for (const Entry& e : entries_)
        if (e.tag == tag) return true;
    return false;
}

bool SystemCommandQueue::withdraw(std::string_view tag) {
    std::lock_guard<std::mutex> g(lock_);
    if (tag.empty() || runningTag_ == tag) return false;
    for (auto it = entries_.begin(); it != entries_.end();) it = it->tag == tag ? entries_.erase(it) : it + 1;
    return true;
}

std::size_t SystemCommandQueue::size() const {
    std::lock_guard<std::mutex> g(lock_);
    return entries_.size();
}

bool runNextSystemCommand() {
    std::string command;
    std::size_t waiting = 0;
    SystemCommandQueue::Completion done;
    if (!system_commands.takeFirst(command, waiting, &done)) return false;
    cm::printOutFormatted("cmds waiting: %zu\nrunning cmd: %s\n", waiting, command.c_str());
    int status = cm::runShell(command);
    cm::printOutFormatted("cmd result: %d\n", status);
    if (done) done(status);
    system_commands.finished();
    return true;
}

void resetSystemCommandsForTests() {
    std::string command;
    std::size_t waiting = 0;
    while (system_commands.takeFirst(command, waiting)) system_commands.finished();
    system_commands.finished();
    tid_system_commands.store(0);
}

int initSystemCommandsThread() {
    if (tid_system_commands.load() != 0) return 0;
    return cm::startDetachedThread(tid_system_commands, "cm-commands", cm::Urgency::ordinary, doSystemCommands,
                                   nullptr);
}

void* doSystemCommands(void*) {
    verbos("Systems command thread started!");
    while (!exitRequested()) {
        runNextSystemCommand();
        cm::sleepSeconds(1);
    }
    return nullptr;
}
