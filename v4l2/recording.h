// The recording cycle of the direct V4L2 path: one worker thread per camera
// input repeats, for the whole run, a device cycle — wait until its input
// may record, open and configure the device, run recordings one after the
// other, release the device. A recording queues the buffers, switches
// streaming on, runs up to 10 capture loops, switches streaming off and acts
// on the device's save request (save the frame memory buffer as a clip, or
// drop it). Alert and user clips come out here: the clip maker only sets the
// device's countdown and save request.
//
// A camera's fault stays that camera's: a failed queueing, stream-on,
// wait, dequeue or re-queue ends the recording (the save request pending
// is acted on with the frames already recorded), and the worker releases
// the device, pauses (camera_retry.h) and opens and configures it anew. A
// save request raised during the pause, by a clip whose countdown was set
// before the fault, is acted on with what the buffer still holds; the
// pause lasts until such a request has come. The other workers never
// notice.
#pragma once

#include "v4l2/camera_fault.h"

inline constexpr int kSwitchedOffWaitSeconds = 10;
inline constexpr int kOneByOneWaitSeconds = 1;
inline constexpr int kCaptureLoopsPerRecording = 10;
inline constexpr long long kFaultPauseStepMillis = 250;  // the exit flag and save requests are seen this often

// Points device N's name at "/dev/video<N>", clears its save request and
// creates its worker unless it exists. Returns 0 when the worker exists.
// The common capture starter calls it for devices 0..3 with "-usb", 4
// seconds apart.
int initCaptureThread(int N);

// The worker body; `arg` points at the device number. Returns when the
// exit flag is seen.
void* doUSBCapture(void* arg);

// One recording on the open, configured device N: 0 ran normally, 1 the
// device failed (queueing the buffers, switching streaming on, or a capture
// loop's wait, dequeue or re-queue; `fault`, if given, says how), 2 a
// capture loop handled no frame.
int start_usb_cam_recording(int N, CameraFault* fault = nullptr);
