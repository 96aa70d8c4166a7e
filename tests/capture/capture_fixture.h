// Shared set-up of the capture unit tests: an emulated board root with the
// base directory tree, the program's clock replaced by a fake one, camera
// devices answered in-process (control channel through the device system
// calls, pictures through the picture source seam), and the store, the
// selection and the control record at their process-start state.
#pragma once

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <opencv2/core.hpp>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/capture_loop.h"
#include "common/syscalls.h"
#include "support/test_support.h"

namespace captest {

// A picture whose content tells which camera and which frame it is: the
// whole picture is one grey level (so it survives Motion-JPEG coding), the
// level being 20 + 10 x frame (frames 0..22) plus 3 for camera 1.
cv::Mat numberedPicture(int camera, int frame, int width = 64, int height = 48);
// The frame number read back from such a picture (its mean level), or -1.
int frameNumberOf(const cv::Mat& picture, int camera = 0);

// The camera devices as the capture threads see them.
struct FakeDevices {
    // Devices whose control channel opens ("/dev/video<N>").
    bool present[4] = {true, true, true, true};
    // Whether VIDIOC_G_FMT / VIDIOC_S_FMT succeed.
    bool formatRequestsWork = true;
    // Per device: the pictures it delivers, in order; an empty picture is a
    // failed read. When a queue runs dry, reads fail.
    std::deque<cv::Mat> pictures[4];
    // Reads served so far, per device.
    std::atomic<int> reads[4] = {};

    struct Request {
        unsigned long request;
        v4l2_format format;
    };
    std::vector<Request> requests;  // format requests seen, in order
    std::vector<int> closed;        // devices whose control channel was closed
    std::mutex lock;

    // Installs the devices as the process's (and removes them again).
    void install();
    static void uninstall();
};

// The devices of the running test.
FakeDevices& devices();

// Fixture: board root, fake clock, devices installed, state reset.
class CaptureTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string base() const;  // the base directory (LBASE_PATH)
    std::vector<std::string> queueFiles() const;
    // Selects exactly the inputs whose character in `inputs` is '1'.
    void select(const char* inputs);
    // Raises the exit flag once the fake clock has slept `n` times.
    void exitAfterSleeps(int n);

    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
};

}  // namespace captest
