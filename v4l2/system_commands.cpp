#include "v4l2/system_commands.h"

#include <cstdio>

#include "common/clock.h"
#include "common/shell.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/debug.h"
#include "v4l2/memory_output.h"

SystemCommandQueue system_commands;
std::atomic<pthread_t> tid_system_commands{0};

void SystemCommandQueue::append(std::string command, std::string claim) {
    std::lock_guard<std::mutex> g(lock_);
    entries_.push_back(Entry{std::move(command), std::move(claim)});
}

bool SystemCommandQueue::takeFirst(std::string& command, std::size_t& waiting) {
    std::lock_guard<std::mutex> g(lock_);
    if (entries_.empty()) return false;
    waiting = entries_.size();
    command = std::move(entries_.front().command);
    runningClaim_ = std::move(entries_.front().claim);
    entries_.pop_front();
    return true;
}

void SystemCommandQueue::finished() {
    std::lock_guard<std::mutex> g(lock_);
    runningClaim_.clear();
}

bool SystemCommandQueue::claims(std::string_view path) const {
    if (path.empty()) return false;
    std::lock_guard<std::mutex> g(lock_);
    if (runningClaim_ == path) return true;
    for (const Entry& e : entries_)
        if (e.claim == path) return true;
    return false;
}

std::size_t SystemCommandQueue::size() const {
    std::lock_guard<std::mutex> g(lock_);
    return entries_.size();
}

bool runNextSystemCommand() {
    std::string command;
    std::size_t waiting = 0;
    if (!system_commands.takeFirst(command, waiting)) return false;
    printf("cmds waiting: %zu\n", waiting);
    printf("running cmd: %s\n", command.c_str());
    fflush(stdout);
    int status = cm::runShell(command);
    system_commands.finished();
    printf("cmd result: %d\n", status);
    fflush(stdout);
    return true;
}

int initSystemCommandsThread() {
    if (tid_system_commands.load() != 0) return 0;
    return cm::startDetachedThread(tid_system_commands, doSystemCommands, nullptr);
}

void* doSystemCommands(void*) {
    verbos("Systems command thread started!");
    // Restarts are normal on the board; conversions that were still queued
    // when the last run ended are queued again before anything else runs.
    requeue_pending_raw_clips();
    while (!exitRequested()) {
        runNextSystemCommand();
        cm::sleepSeconds(1);
    }
    return nullptr;
}
