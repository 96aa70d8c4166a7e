// Moving a converted clip into the upload queue directory. The upload walk
// takes every complete file there and never one under an in-progress name
// (common/queue_names.h), so a clip is either there whole or not at all.
// Called on the command thread.
#pragma once

#include <string>

// Moves the file `from` to `to` in the queue directory: on the same file
// system one rename; across file systems a copy to the in-progress name of
// `to`, synced and renamed into place, and then `from` is removed. False
// with `why` when it failed; a copy that failed is removed at once and
// `from` stays.
bool moveIntoQueue(const std::string& from, const std::string& to, std::string& why);

// When the queue's file system is short of room for `mp4`, the oldest
// complete clips of the queue make way for it (common/disk_space.h), with
// one line in the daily log. If they are not enough, the move fails and
// the clip is tried again later.
void makeRoomInQueueFor(const std::string& mp4, const std::string& queued);
