#include "v4l2/camera_retry.h"

#include <algorithm>
#include <cmath>

#include "common/clock.h"
#include "log/debug.h"
#include "v4l2/device_state.h"

namespace {

CameraRetry g_retries[kV4l2Devices];

}  // namespace

int CameraRetry::failed(int N, const CameraFault& fault, int waitedSeconds) {
    const timespec now = cm::monotonicNow();
    if (!failing_) {
        // A camera that delivered for a healthy stretch starts afresh.
        if (pace_ != 0 && cm::secondsBetween(deliveringSince_, now) >= kHealthyResetSeconds) pace_ = 0;
        failing_ = true;
        attempts_ = 0;
        failingSince_ = now;
    }
    ++attempts_;
    pace_ = pace_ == 0 ? kFaultFirstPauseSeconds : std::min(pace_ * 2, kFaultLongestPauseSeconds);
    const int waited = std::max(waitedSeconds, 0);
    const std::string what = describeCameraFault(fault);
    if (!said_ || !sameCameraFault(fault, said_)) {
        verbos("camera %d (%s): %s; retrying in %d s", N, deviceName(N), what.c_str(), std::max(pace_, waited));
        said_ = fault;
        saidLongest_ = pace_ == kFaultLongestPauseSeconds;
    } else if (pace_ == kFaultLongestPauseSeconds && !saidLongest_) {
        verbos("camera %d (%s): still failing: %s; retrying every %d s", N, deviceName(N), what.c_str(),
               kFaultLongestPauseSeconds);
        saidLongest_ = true;
    }
    return std::max(pace_ - waited, 0);
}

void CameraRetry::deliveringAgain(int N) {
    const timespec now = cm::monotonicNow();
    failing_ = false;
    deliveringSince_ = now;
    if (said_) {
        verbos("camera %d (%s) delivers pictures again (after %d failed attempt%s in %.0f s)", N, deviceName(N),
               attempts_, attempts_ == 1 ? "" : "s", std::floor(cm::secondsBetween(failingSince_, now)));
    }
    said_ = CameraFault{};
    saidLongest_ = false;
}

CameraRetry& cameraRetry(int N) { return g_retries[validDevice(N) ? N : 0]; }

void resetCameraRetriesForTests() {
    for (CameraRetry& r : g_retries) r = CameraRetry{};
}
