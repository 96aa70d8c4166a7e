// The retry pace of one camera's faults, and what is said about them.
//
// A camera fault (camera_fault.h) makes the camera's worker release the
// device, pause and open and configure it anew. The pause is
// kFaultFirstPauseSeconds after a first fault and doubles with every fault
// that follows, up to kFaultLongestPauseSeconds; it starts again from the
// first once the camera has delivered pictures for kHealthyResetSeconds. A
// camera that fails at once after every reopen is thus tried once a minute,
// never in a busy loop, and one that fails now and then is back at once.
// Ages are measured on the monotonic clock (common/clock.h).
//
// What is said, on the console and in the daily log, once per change of
// state and never per attempt:
//  - a fault other than the last one said: "camera N (<path>): <fault>;
//    retrying in S s";
//  - the same fault still there when the pause reaches its longest:
//    "camera N (<path>): still failing: <fault>; retrying
//    every 60 s";
//  - the first picture after faults: "camera N (<path>) delivers pictures
//    again (after K failed attempts in T s)".
//
// One CameraRetry per device (cameraRetry(N)), used only by that device's
// worker thread: no locking.
#pragma once

#include <ctime>

#include "v4l2/camera_fault.h"

inline constexpr int kFaultFirstPauseSeconds = 1;
inline constexpr int kFaultLongestPauseSeconds = 60;
inline constexpr int kHealthyResetSeconds = 60;

class CameraRetry {
public:
    // A fault of device N's current attempt. `waitedSeconds` is what the
    // failing step already waited (a missing node's own wait), counted as
    // part of the pause. Says the fault when it is news; returns the pause
    // still to wait before the next attempt, in seconds.
    int failed(int N, const CameraFault& fault, int waitedSeconds = 0);
    // Device N handled a picture. Cheap when nothing failed before.
    void delivering(int N) {
        if (failing_) deliveringAgain(N);
    }
    // A fault since the last picture.
    bool failing() const { return failing_; }

private:
    void deliveringAgain(int N);

    bool failing_ = false;
    bool saidLongest_ = false;
    CameraFault said_;            // the fault said last; none once it is over
    int pace_ = 0;                // the last pause; 0: none yet, or reset
    int attempts_ = 0;            // failed attempts since the last picture
    timespec failingSince_{};     // first fault since the last picture
    timespec deliveringSince_{};  // first picture since the last fault
};

// Device N's (0..4).
CameraRetry& cameraRetry(int N);
// Forgets every device's faults and pace.
void resetCameraRetriesForTests();
