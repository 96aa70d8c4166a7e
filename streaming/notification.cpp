#include "streaming/notification.h"

#include <atomic>

#include "upload/positionurl.h"

namespace {

// One record appended to the notification queue file.
void recordQueueSink(const char* url) {
    PositionURL record;
    if (record.setURL(url)) record.saveRecord();
}

std::atomic<NotificationSink> g_sink{nullptr};

}  // namespace

void setNotificationSinkForTests(NotificationSink sink) { g_sink.store(sink); }

void queueNotification(const char* url) {
    if (url == nullptr) return;
    NotificationSink sink = g_sink.load();
    (sink != nullptr ? sink : recordQueueSink)(url);
}
