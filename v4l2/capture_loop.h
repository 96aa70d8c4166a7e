// The frame capture loop of a streaming V4L2 device: frames are dequeued
// from the memory-mapped buffers and handed, as the driver delivered them,
// to the frame handler, which appends them to the device's frame memory
// buffer and, while live streaming is on, to the device's latest streaming
// picture. A loop ends when its countdown runs out (held back while a clip
// request is on its way: clip_request_pending), when a save request asks
// for the buffer, when the input is switched off or the program exits, after
// four 1-second waits in a row without a frame, or when dequeueing fails.
//
// The shared words (countdown, save request, input selection, exit flag,
// clip type) are read afresh at every step; other threads change them at
// any time.
#pragma once

inline constexpr int kSaveRequestMinimumBytes = 500;  // request 1 or 2 waits for more than this
inline constexpr unsigned kUserClipEndFrames = 9;      // request 2 ends the loop at this countdown
inline constexpr int kToleratedTimeouts = 3;
inline constexpr int kStreamingFrameLimit = 699999;

// One loop on device N: the frames handled, or 1 for a switched-off input,
// an exit request or repeated time-outs, or 2 for a failed dequeue.
int goForOneCaptureLoop(int N);

enum class FrameRead { Handled, NotReady, DequeueFailed };
// Dequeues one frame, hands it to process_image and queues the buffer again.
// A buffer index the device does not have ends the process (status 1), and
// so does a failed re-queue.
FrameRead read_frame(int N);

// Handles one frame of `length` bytes of device N.
void process_image(const void* frame, int length, int N);
