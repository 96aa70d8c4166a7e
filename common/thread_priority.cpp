#include "common/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace cm {

int niceValueOf(Urgency urgency) {
    switch (urgency) {
        case Urgency::capture: return kCaptureNiceValue;
        case Urgency::streaming: return kStreamingNiceValue;
        case Urgency::ordinary: break;
    }
    return kOrdinaryNiceValue;
}

int takeUrgency(Urgency urgency) {
    // PRIO_PROCESS with a thread id names that thread alone (Linux).
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceValueOf(urgency)) == 0) return 0;
    return errno;
}

int ownNiceValue() {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    return errno == 0 ? nice : 0;
}

}  // namespace cm
