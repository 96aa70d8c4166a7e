// The clip writer: on an alert or a user video request it turns the picture
// store of every selected input into one Motion-JPEG AVI clip in the upload
// queue ("<base>/queue/user<input>_<time string>.avi") and removes the
// pictures used. On the direct V4L2 path it makes no clip itself: it tells
// each device's recorder how many more frames to record and flags it to
// save. The countdown it sets is at least three seconds of frames and the
// request follows three seconds later; so that the countdown can never end
// the device's capture loop first (and with it drop the loop's frames
// before the alert), the device is marked as waiting for a request from
// before its countdown is set until the request is raised.
//
// A clip is written under its in-progress name in the queue directory and
// renamed to its final name only once it is closed, read back complete and
// synced (the queue directory synced after the rename), so the upload walk
// never takes (and deletes) a partial clip, and a power cut never leaves
// one under its final name nor takes a clip whose pictures are gone. A clip that
// cannot be completed (no writer, a full or missing queue directory) is
// removed again and its pictures stay in the store for the next clip.
#pragma once

#include <string>
#include <vector>

// Makes one clip run with save type 1 (alert) or 2 (user video). Called by
// the video creation thread; runs are serialised. Returns early, leaving
// the remaining inputs and their pictures alone, when the exit flag is up
// before an input.
void createUserVideos(int saveType);

// The names of the file-store clip in progress (the working list); empty
// between clips.
std::vector<std::string> workingListNames();
