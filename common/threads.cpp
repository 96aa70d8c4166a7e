#include "common/threads.h"

#include <cstdio>
#include <memory>

#include "common/sys_error.h"

namespace cm {

namespace {

struct Start {
    std::string name;  // empty: no name of its own
    ThreadBody body;
    void* arg;
};

void* runNamed(void* p) {
    std::unique_ptr<Start> start(static_cast<Start*>(p));
    if (!start->name.empty()) pthread_setname_np(pthread_self(), start->name.substr(0, kThreadNameMax).c_str());
    ThreadBody body = start->body;
    void* arg = start->arg;
    start.reset();
    return body(arg);
}

int startThread(std::atomic<pthread_t>& tid, std::string name, ThreadBody body, void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto start = std::make_unique<Start>(Start{std::move(name), body, arg});
    pthread_t id{};
    rc = pthread_create(&id, &attr, runNamed, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) return rc;
    start.release();  // the thread owns it now
    tid.store(id);
    return 0;
}

void printFlushed(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int startDetachedThread(std::atomic<pthread_t>& tid, const std::string& name, ThreadBody body, void* arg) {
    return startThread(tid, name, body, arg);
}

int startDetachedThread(std::atomic<pthread_t>& tid, ThreadBody body, void* arg) {
    return startThread(tid, std::string(), body, arg);
}

int startWorkerThread(std::atomic<pthread_t>& tid, const std::string& name, ThreadBody body, void* arg,
                      const StartLines& lines) {
    if (tid.load() != pthread_t{}) return 0;
    const int rc = startThread(tid, name, body, arg);
    if (rc != 0) {
        printFlushed(std::string(lines.failed) + (lines.withReason ? errnoText(rc) : std::string()) + "\n");
        return 1;
    }
    printFlushed(std::string(lines.created) + "\n");
    return 0;
}

}  // namespace cm
