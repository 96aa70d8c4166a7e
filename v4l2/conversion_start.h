// The conversions an earlier run left, taken up again at start-up, before
// the threads start (the command thread runs on both capture paths).
#pragma once

// Removes stale private output directories, makes this run's
// (conversion_output_dir.h) and requeues the clips earlier runs left.
void startClipConversion();

// Queues again the conversion of every raw clip in /tmp that an earlier run
// saved but never completed (regular files of this user only: /tmp is
// open to every user, and whatever is converted gets uploaded), oldest
// first, each with its recorded format (format_file.h; without a usable
// one, with this run's settings). A raw clip whose MP4 file already stands
// in the queue was converted: it is removed instead, durably before the
// upload starts (move_into_queue.h finishes staged clips first). Removes
// the half-written files a run may have left, and format files without
// their raw clip (a cut between the two, raw_clip_writer.h). Passes over
// set-aside clips and clips this run has queued already.
void requeuePendingRawClips();
