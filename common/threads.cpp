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
    Urgency urgency;
    ThreadBody body;
    void* arg;
    std::binary_semaphore named{0};
    int refused = 0;        // the errno of a refused priority
    int keptNiceValue = 0;  // the nice value the thread runs at then
};

void* runNamed(void* p) {
    auto* start = static_cast<Start*>(p);
    if (!start->name.empty()) pthread_setname_np(pthread_self(), start->name.substr(0, kThreadNameMax).c_str());
    start->refused = takeUrgency(start->urgency);
    if (start->refused != 0) start->keptNiceValue = ownNiceValue();
    ThreadBody body = start->body;
    void* arg = start->arg;
    start->named.release();  // `start` is the creator's again from here on
    return body(arg);
}

void printFlushed(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// Once it returns 0 the thread carries its name and nice value (whoever
// looks at it).
int startThread(std::atomic<pthread_t>& tid, const std::string& name, Urgency urgency, ThreadBody body, void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    Start start{name, urgency, body, arg};
    pthread_t id{};
    rc = pthread_create(&id, &attr, runNamed, &start);
    pthread_attr_destroy(&attr);
    if (rc != 0) return rc;
    tid.store(id);
    start.named.acquire();
    if (start.refused != 0)
        printFlushed("thread " + name + " may not take its priority, nice " + std::to_string(niceValueOf(urgency)) +
                     " (" + errnoText(start.refused) + "): it runs at nice " + std::to_string(start.keptNiceValue) +
                     "\n");
    return 0;
}

}  // namespace

int startDetachedThread(std::atomic<pthread_t>& tid, const std::string& name, Urgency urgency, ThreadBody body,
                        void* arg) {
    return startThread(tid, name, urgency, body, arg);
}

int startWorkerThread(std::atomic<pthread_t>& tid, const std::string& name, Urgency urgency, ThreadBody body,
                      void* arg, const StartLines& lines) {
    if (tid.load() != pthread_t{}) return 0;
    const int rc = startThread(tid, name, urgency, body, arg);
    if (rc != 0) {
        printFlushed(std::string(lines.failed) + (lines.withReason ? errnoText(rc) : std::string()) + "\n");
        return 1;
    }
    printFlushed(std::string(lines.created) + "\n");
    return 0;
}

}  // namespace cm
