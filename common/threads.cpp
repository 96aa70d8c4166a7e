#include "common/threads.h"

namespace cm {

int startDetachedThread(std::atomic<pthread_t>& tid, ThreadBody body, void* arg) {
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) return rc;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id{};
    rc = pthread_create(&id, &attr, body, arg);
    pthread_attr_destroy(&attr);
    if (rc == 0) tid.store(id);
    return rc;
}

}  // namespace cm
