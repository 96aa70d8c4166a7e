#include "v4l2/system_commands.h"

#include <cstdio>

#include "common/clock.h"
#include "common/shell.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"

SystemCommandQueue system_commands;
std::atomic<pthread_t> tid_system_commands{0};

namespace {
double clockSeconds() {
    timespec t = cm::now();
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
}  // namespace

void SystemCommandQueue::append(std::string command, std::string claim, Completion done, double notBefore) {
    std::lock_guard<std::mutex> g(lock_);
    entries_.push_back(Entry{std::move(command), std::move(claim), std::move(done), notBefore});
}

bool SystemCommandQueue::takeFirst(std::string& command, std::size_t& waiting, Completion* done) {
    const double now = clockSeconds();
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->notBefore > now) continue;
        waiting = entries_.size();
        command = std::move(it->command);
        runningClaim_ = std::move(it->claim);
        if (done != nullptr) *done = std::move(it->done);
        entries_.erase(it);
        return true;
    }
    return false;
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

bool SystemCommandQueue::withdraw(std::string_view path) {
    std::lock_guard<std::mutex> g(lock_);
    if (path.empty() || runningClaim_ == path) return false;
    for (auto it = entries_.begin(); it != entries_.end();) it = it->claim == path ? entries_.erase(it) : it + 1;
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

int initSystemCommandsThread() {
    if (tid_system_commands.load() != 0) return 0;
    return cm::startDetachedThread(tid_system_commands, "cm-commands", doSystemCommands, nullptr);
}

void* doSystemCommands(void*) {
    verbos("Systems command thread started!");
    while (!exitRequested()) {
        runNextSystemCommand();
        cm::sleepSeconds(1);
    }
    return nullptr;
}
