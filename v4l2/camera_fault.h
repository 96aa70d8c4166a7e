// What went wrong with one camera, and how to say it to the person who
// installs the board: a request of the device cycle that failed (the V4L2
// request's name without "VIDIOC_", or "open", "select", "mmap"...), its
// errno, and, where the errno alone does not tell, what the answer meant.
//
// Every camera fault stays that camera's: the worker of the camera closes,
// reopens and reconfigures it after a pause (camera_retry.h); none of them
// ends the daemon.
#pragma once

#include <string>

struct CameraFault {
    const char* step = nullptr;  // the failed request or call; nullptr: no fault
    int err = 0;                 // its errno; 0 when it succeeded but its answer is unusable
    const char* meaning = nullptr;  // installer's words when err does not tell (a missing capability)

    explicit operator bool() const { return step != nullptr; }
};

inline CameraFault cameraFault(const char* step, int err) { return CameraFault{step, err, nullptr}; }

// The same kind of fault: same step, errno and meaning.
bool sameCameraFault(const CameraFault& a, const CameraFault& b);

// "<what it means for the camera> (<step>: <errno text>)", e.g. "the USB bus
// has no bandwidth left for this format (STREAMON: No space left on device)".
std::string describeCameraFault(const CameraFault& f);
