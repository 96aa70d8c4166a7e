#include "v4l2/camera_retry.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "log/debug.h"
#include "support/test_support.h"

namespace {

// A camera refused STREAMON for want of USB bandwidth, then missing, then
// back: the pause doubles to a minute, each change is said once, and a
// healthy minute starts the pace anew.
TEST(CameraRetryTest, PauseGrowsToAMinuteIsSaidOncePerChangeAndStartsAfreshAfterAHealthyMinute) {
    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
    resetCameraRetriesForTests();
    dev_name[3].store("/dev/video3");
    testing::internal::CaptureStdout();
    CameraRetry& retry = cameraRetry(3);
    const CameraFault noBandwidth = cameraFault("STREAMON", ENOSPC);
    auto fail = [&](const CameraFault& f, int waited = 0) {
        const int pause = retry.failed(3, f, waited);
        clock.advance(std::chrono::seconds(pause + waited));
        return pause;
    };
    std::vector<int> pauses;
    for (int i = 0; i < 8; ++i) pauses.push_back(fail(noBandwidth));
    EXPECT_EQ(pauses, (std::vector<int>{1, 2, 4, 8, 16, 32, 60, 60}));
    EXPECT_EQ(fail(cameraFault("stat", ENOENT), 10), 50);  // another fault; the node's 10 s wait is part of the pause
    retry.delivering(3);
    clock.advance(std::chrono::seconds(kHealthyResetSeconds));
    EXPECT_EQ(fail(noBandwidth), 1);
    retry.delivering(3);
    clock.advance(std::chrono::seconds(kHealthyResetSeconds - 1));
    EXPECT_EQ(fail(noBandwidth), 2);  // not a healthy minute: the pace goes on
    const std::string cam = "camera 3 (/dev/video3)";
    const std::string bandwidth = "the USB bus has no bandwidth left for this format (STREAMON: No space left on device)";
    EXPECT_EQ(cmtest::splitLines(testing::internal::GetCapturedStdout()),  // and the daily log (the road test reads it)
              (std::vector<std::string>{
                  cam + ": " + bandwidth + "; retrying in 1 s",
                  cam + ": still failing: " + bandwidth + "; retrying every 60 s",
                  cam + ": there is no camera at this node (not plugged in, or not found yet) (stat: No such file or "
                        "directory); retrying in 60 s",
                  cam + " delivers pictures again (after 9 failed attempts in 243 s)",
                  cam + ": " + bandwidth + "; retrying in 1 s",
                  cam + " delivers pictures again (after 1 failed attempt in 1 s)",
                  cam + ": " + bandwidth + "; retrying in 2 s"}));
}

}  // namespace
