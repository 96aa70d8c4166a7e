// The started-streaming notification leaves this unit through here: one
// URL handed to the notification record queue of the device, which the
// companion process reads and calls.
#pragma once

// Queues `url` (at most 995 characters) as one notification record.
void queueNotification(const char* url);

// Where queued URLs go. Tests install a sink of their own; nullptr restores
// the notification record queue. Install only while no streaming thread runs.
using NotificationSink = void (*)(const char* url);
void setNotificationSinkForTests(NotificationSink sink);
