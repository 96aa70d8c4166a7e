// The recording cycle of the direct V4L2 path: one worker thread per camera
// input repeats, for the whole run, a device cycle — wait until its input
// may record, open and configure the device, run recordings one after the
// other, release the device. A recording queues the buffers, switches
// streaming on, runs up to 10 capture loops, switches streaming off and acts
// on the device's save request (save the frame memory buffer as a clip, or
// drop it). Alert and user clips come out here: the clip maker only sets the
// device's countdown and save request.
#pragma once

inline constexpr int kSwitchedOffWaitSeconds = 10;
inline constexpr int kOneByOneWaitSeconds = 1;
inline constexpr int kCaptureLoopsPerRecording = 10;

// Points device N's name at "/dev/video<N>", clears its save request and
// creates its worker unless it exists. Returns 0 when the worker exists.
// The common capture starter calls it for devices 0..3 with "-usb", 4
// seconds apart.
int initCaptureThread(int N);

// The worker body; `arg` points at the device number. Returns when the
// exit flag is seen.
void* doUSBCapture(void* arg);

// One recording on the open, configured device N: 0 ran normally, 1 queueing
// the buffers or switching streaming on failed, 2 a capture loop handled no
// frame.
int start_usb_cam_recording(int N);
