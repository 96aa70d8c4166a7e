// Frames lost on their way from a camera, counted from the sequence number
// the driver stamps on every buffer it fills (v4l2_buffer.sequence): it
// counts every frame the camera made since STREAMON, so a jump between two
// dequeued buffers is frames that never reached the daemon (no buffer was
// queued: the daemon came back for them too late).
//
// Counted per camera (since the start of the run) and per clip: the gaps
// between the frames of the frame memory buffer, which a clip saved from it
// lacks. Frames lost before a clip's first frame are the camera's loss, not
// a hole in the clip.
//
// Device N's counts are kept and read by device N's worker thread only.
#pragma once

#include <cstdint>
#include <string>

struct FrameGaps {
    std::uint64_t frames = 0;  // frames dequeued (camera) or stored (clip)
    std::uint64_t lost = 0;    // frames missing between them
    std::uint64_t gaps = 0;    // places where frames are missing
};

// STREAMON on device N: the driver counts from 0 again.
void frameSequenceStreamingStarted(int N);
// Device N's frame memory buffer was emptied: a new clip begins.
void frameSequenceClipStarted(int N);
// A buffer dequeued from device N with `sequence`; `stored`: its frame went
// into the frame memory buffer.
void frameSequenceSeen(int N, std::uint32_t sequence, bool stored);

FrameGaps clipFrameGaps(int N);
FrameGaps cameraFrameGaps(int N);

// What a clip's save line says of its frames, e.g. "300 frames, none lost"
// or "297 frames, 5 lost in 2 gaps; camera 1: 12 of 5400 frames lost
// since the start".
std::string describeClipFrames(int N);

void resetFrameSequencesForTests();
