// Moving a converted clip into the upload queue directory, in two steps
// that each end durably (common/durable.h). The upload walk takes every
// complete file there and never one under an in-progress name
// (common/queue_names.h), so a clip is either there whole or not at all.
//
//  1. stageIntoQueue: the clip enters the queue under its in-progress
//     name, its data synced (on the same file system one rename; across
//     file systems a copy), the queue directory synced.
//  2. The caller removes what the clip replaces (its raw clip).
//  3. publishStaged: the in-progress name becomes the final one, the queue
//     directory synced; the upload may take it from here on.
//
// A power cut after 1 leaves a whole clip under its in-progress name, which
// the next start finishes (finishStagedClips); so the raw clip may go as
// soon as 1 has returned, and never comes back once the clip can be
// uploaded (it would be converted and uploaded a second time).
// Called on the command thread, and at start-up.
#pragma once

#include <string>

// Step 1 for the converter's output `from` and the final queue path `to`.
// `from` is gone afterwards. False with `why` when it failed: a copy that
// failed is removed at once and `from` stays.
bool stageIntoQueue(const std::string& from, const std::string& to, std::string& why);

// Step 3 for the final queue path `to`. False with `why` when the rename
// failed (the staged clip stays, for the next start).
bool publishStaged(const std::string& to, std::string& why);

// At start-up, before the threads: every in-progress MP4 file a run left
// directly in `queueDir` whose name is a clip's (clip_names.h) and which is
// a whole MP4 file (mp4_check.h) is published; one whose final name is
// taken already is removed. Each gets a line. Returns how many were
// published. Anything else under an in-progress name is left to the
// upload's start-up removal of unfinished files.
int finishStagedClips(const std::string& queueDir);

// When the queue's file system is short of room for `mp4`, the oldest
// complete clips of the queue make way for it (common/disk_space.h), with
// one line in the daily log. If they are not enough, the move fails and
// the clip is tried again later.
void makeRoomInQueueFor(const std::string& mp4, const std::string& queued);
