#include "streaming/notification.h"

#include <atomic>

#include "log/debug.h"

namespace {

// The notification record queue is not part of this tree yet: until it is,
// a queued URL is only logged, so that nothing is silently dropped.
void recordQueueSink(const char* url) { verbos("notification queue unavailable, not queued: %s", url); }

std::atomic<NotificationSink> g_sink{nullptr};

}  // namespace

void setNotificationSink(NotificationSink sink) { g_sink.store(sink); }

void queueNotification(const char* url) {
    if (url == nullptr) return;
    NotificationSink sink = g_sink.load();
    (sink != nullptr ? sink : recordQueueSink)(url);
}
