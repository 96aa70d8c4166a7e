// The frame capture loop of a streaming V4L2 device: frames are dequeued
// from the memory-mapped buffers and handed, as the driver delivered them,
// to the frame handler, which appends them to the device's frame memory
// buffer and, while live streaming is on, to the device's latest streaming
// picture. A loop ends when its countdown runs out (held back while a clip
// request is on its way: clip_request_pending), when a save request asks
// for the buffer, when the input is switched off or the program exits, after
// four 1-second waits in a row without a frame, or when the device fails
// (the wait, a dequeue or a re-queue): that is a camera fault
// (camera_fault.h), which the recording hands to its worker, never a
// reason to end the process. The frames stored until then stay in the
// buffer for a pending save request.
//
// Every dequeued buffer's sequence number is counted (frame_sequence.h);
// a buffer index the device does not have is reported and passed over,
// never trusted.
//
// The shared words (countdown, save request, input selection, exit flag,
// clip type) are read afresh at every step; other threads change them at
// any time.
#pragma once

#include "v4l2/camera_fault.h"

inline constexpr int kSaveRequestMinimumBytes = 500;  // request 1 or 2 waits for more than this
inline constexpr unsigned kUserClipEndFrames = 9;      // request 2 ends the loop at this countdown
inline constexpr int kToleratedTimeouts = 3;
inline constexpr int kStreamingFrameLimit = 699999;

// The result of a loop whose device failed: never a count of frames.
inline constexpr int kCaptureLoopFailed = -1;

// One loop on device N: the frames handled, or 1 for a switched-off input,
// an exit request or repeated time-outs, or kCaptureLoopFailed when the
// device failed (`fault`, if given, says how).
int goForOneCaptureLoop(int N, CameraFault* fault = nullptr);

enum class FrameRead { Handled, NotReady, Ignored, Failed };
// Dequeues one frame, hands it to process_image and queues the buffer again.
// Ignored: the driver named a buffer index the device does not have
// (reported). Failed: the dequeue or the re-queue failed (`fault`).
FrameRead read_frame(int N, CameraFault* fault = nullptr);

// Handles one frame of `length` bytes of device N; whether it went into the
// frame memory buffer.
bool process_image(const void* frame, int length, int N);
