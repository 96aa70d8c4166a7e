#include "common/threads.h"

#include <cstdio>
#include <semaphore>

#include "common/sys_error.h"

namespace cm {

namespace {

// What the new thread needs from its creator, on the creator's stack: the
// creator waits until the thread has taken its name and its body.
struct Start {
    const std::string& name;  // empty: no name of its own
    ThreadBody body;
    void* arg;
    std::binary_semaphore named{0};
};

void* runNamed(void* p) {
    auto* start = static_cast<Start*>(p);
    if (!start->name.empty()) pthread_setname_np(pthread_self(), start->name.substr(0, kThreadNameMax).c_str());
    ThreadBody body = start->body;
    void* arg = start->arg;
    start->named.release();  // `start` is the creator's again from here on
    return body(arg);
}

// Once it returns 0 the thread carries its name (whoever looks at it).
int startThread(std::atomic<pthread_t>& tid, const std::string& name, ThreadBody body, void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    Start start{name, body, arg};
    pthread_t id{};
    rc = pthread_create(&id, &attr, runNamed, &start);
    pthread_attr_destroy(&attr);
    if (rc != 0) return rc;
    tid.store(id);
    start.named.acquire();
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
