// Notification records kept for the next run. A record that cannot be
// appended to the notification queue file (a full file system) waits in
// memory (upload/positionurl.h); when the run ends before it could be
// appended, it is kept in a small file beside the queue file
// ("/home/Tarvisel/pos/1.kept", the same 1000-byte records back to back),
// which the next run appends to the queue file, in order and before any
// record of its own, and then removes.
//
// A power cut between that append and the removal leaves the records in
// both files. The next run then finds the queue file ending in exactly the
// kept records and only removes the kept file; should the companion have
// consumed the queue file in that instant, the records are appended once
// more. A notification made twice names the same file on the server twice,
// which the companion can recognise; a lost one leaves a clip on the server
// that nobody is told of. So a record is kept until its append is durable:
// at least once, and once but for that double coincidence.
#pragma once

#include <string>
#include <vector>

#include "upload/positionurl.h"

// The kept file of this process (under the emulated board root when there
// is one).
std::string keptRecordsPath();

// The well-formed records of the kept file at `path`, in order: at most
// kNotificationPendingMax; a torn tail or a record without a URL is left
// out. None when the file is missing or is no regular file.
std::vector<PositionURL> readKeptRecords(const std::string& path);

// Makes the kept file at `path` hold exactly `records`, durably
// (cm::replaceFileDurably); none removes it durably. Whether it does.
bool storeKeptRecords(const std::string& path, const std::vector<PositionURL>& records);

// Whether the queue file at `queuePath` ends in exactly `records` (all
// bytes of each), as after a run that appended them and was cut before it
// removed the kept file.
bool queueEndsWith(const std::string& queuePath, const std::vector<PositionURL>& records);
