// The capture loop's control channel against the emulated board's camera
// model (the pictures still come from the test's own source: OpenCV opens
// the devices with its own system calls).
#include <gtest/gtest.h>

#include "capture/capture_loop.h"
#include "capture/picture_store.h"
#include "capture_fixture.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "emulation/emucam_inprocess.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

class EmulatedCameraTest : public captest::CaptureTest {
protected:
    std::string runCapture(int id, int iterations) {
        bMemoryStore = 1;
        select("1111");
        for (int f = 0; f < iterations; ++f) captest::devices().pictures[id].push_back(captest::numberedPicture(id, f));
        exitAfterSleeps(iterations);
        CaptureStdout();
        CaptureStderr();
        result = captureFromCam(id);
        std::string err = GetCapturedStderr();
        out = GetCapturedStdout();
        return err;
    }
    int result = 0;
    std::string out;
};

TEST_F(EmulatedCameraTest, HealthyCameraAnswersTheFormatReadAndCaptureRuns) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30"));
    std::string err = runCapture(0, 2);
    EXPECT_EQ(result, 0);
    EXPECT_NE(err.find("video0: Force Format 0\n"), std::string::npos);
    EXPECT_EQ(err.find("Error in"), std::string::npos) << err;
    EXPECT_EQ(pic_frames[0].size(), 2u);
}

TEST_F(EmulatedCameraTest, ForcedFormatIsTakenByACameraThatOffersIt) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG,YUYV 640x480 30"));
    force_format = 1;
    std::string err = runCapture(0, 1);
    EXPECT_EQ(err.find("Error in"), std::string::npos) << err;
    EXPECT_EQ(cams.model().stats(0).formatAttempts, 1u);
}

TEST_F(EmulatedCameraTest, BusyCameraRefusesTheForcedFormatAndCaptureGoesOn) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG,YUYV 640x480 30 busy=3"));
    force_format = 1;
    std::string err = runCapture(0, 2);
    EXPECT_NE(err.find("Error in video0: Force Format VIDIOC_S_FMT 1\nVIDIOC_S_FMT2 error 16, "), std::string::npos)
        << err;
    EXPECT_EQ(pic_frames[0].size(), 2u);
}

TEST_F(EmulatedCameraTest, MissingCameraEndsOnlyItsOwnThread) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30\n1 missing"));
    runCapture(1, 1);
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("Unable to open /dev/video1\n"), std::string::npos);
    EXPECT_FALSE(setting.exitFlag());
}

}  // namespace
