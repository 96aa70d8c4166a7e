// Device setup against what needs no camera: missing and wrong device
// nodes, a character device that is no V4L2 device, the format presets and
// the release of a device. The emulated cameras cover the rest.
#include "v4l2/device_setup.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "common/run_config.h"
#include "common/sys_error.h"
#include "log/debug.h"
#include "support/test_support.h"
#include "v4l2/device_state.h"

namespace {

class DeviceSetupTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        testing::internal::CaptureStderr();
    }
    std::string errors() { return testing::internal::GetCapturedStderr(); }
    void name(int N, const std::string& path) {
        path_ = path;
        dev_name[N].store(path_.c_str());
    }
    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
    std::string path_;
};

TEST_F(DeviceSetupTest, MissingNodeIsReportedAndWaitedForTenSeconds) {
    name(2, root.path("/dev/video2"));
    EXPECT_FALSE(open_usb_device(2));
    EXPECT_EQ(errors(), "Cannot identify '" + path_ + "': 2, No such file or directory\n");
    EXPECT_EQ(fd[2], -1);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 10.0);
}

TEST_F(DeviceSetupTest, RegularFileAtTheNodeIsNoDeviceAndIsNotOpened) {
    name(1, root.path("/tmp/video1"));
    cmtest::writeFile(path_, "not a camera");
    EXPECT_FALSE(open_usb_device(1));
    EXPECT_EQ(errors(), path_ + " is no device\n");
    EXPECT_EQ(fd[1], -1);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 10.0);
}

TEST_F(DeviceSetupTest, ReleasingAClosedDeviceIsHarmlessAndWaitsOneSecond) {
    name(3, "/dev/video3");
    release_usb_device(3);
    release_usb_device(3);
    EXPECT_EQ(fd[3], -1);
    EXPECT_EQ(buffers[3], nullptr);
    EXPECT_EQ(n_buffers[3], 0u);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 2.0);
    EXPECT_EQ(errors(), "/dev/video3: close fd -1.. Reason: Cycle exit\n/dev/video3: close fd -1.. Reason: Cycle exit\n");
}

TEST_F(DeviceSetupTest, ReleaseClosesTheDescriptor) {
    name(0, "/dev/video0");
    int held = open("/dev/null", O_RDWR);
    ASSERT_GE(held, 0);
    fd[0] = held;
    release_usb_device(0);
    EXPECT_EQ(fd[0], -1);
    EXPECT_EQ(fcntl(held, F_GETFD), -1);
    EXPECT_EQ(errors(), "/dev/video0: close fd " + std::to_string(held) + ".. Reason: Cycle exit\n");
}

TEST_F(DeviceSetupTest, FormatPresets) {
    struct Row {
        int preset;
        unsigned w, h;
        std::uint32_t pix;
    };
    for (Row r : {Row{2, 640, 480, V4L2_PIX_FMT_H264}, Row{3, 1920, 1080, V4L2_PIX_FMT_MJPEG},
                  Row{4, 1920, 1080, V4L2_PIX_FMT_H264}, Row{5, 1280, 720, V4L2_PIX_FMT_H264},
                  Row{11, 1280, 720, V4L2_PIX_FMT_MJPEG}}) {
        FormatRequest f = format_for_preset(r.preset);
        EXPECT_EQ(f.width, r.w) << r.preset;
        EXPECT_EQ(f.height, r.h) << r.preset;
        EXPECT_EQ(f.pixelFormat, r.pix) << r.preset;
        EXPECT_EQ(f.field, static_cast<std::uint32_t>(V4L2_FIELD_INTERLACED)) << r.preset;
    }
    errors();
}

TEST_F(DeviceSetupTest, ManualFormatTakesTheConfiguredFields) {
    g_nDevWidth = 320;
    g_nDevHeight = 240;
    g_nPixelFormat = V4L2_PIX_FMT_YUYV;
    g_nField = V4L2_FIELD_NONE;
    FormatRequest f = format_for_preset(50);
    EXPECT_EQ(f.width, 320u);
    EXPECT_EQ(f.height, 240u);
    EXPECT_EQ(f.pixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(f.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
    // Any other pixel format is left to the driver; any field but 4 is "none".
    g_nPixelFormat = V4L2_PIX_FMT_RGB24;
    g_nField = 7;
    f = format_for_preset(50);
    EXPECT_EQ(f.pixelFormat, 0u);
    EXPECT_EQ(f.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
    errors();
}

TEST_F(DeviceSetupTest, ACharacterDeviceThatIsNoV4l2DeviceIsThatCamerasFault) {
    name(0, "/dev/null");
    // The system's own answer for a device without the request (a kernel
    // says ENOTTY; user-mode emulation may say ENOSYS).
    int nullFd = ::open("/dev/null", O_RDWR);
    v4l2_capability cap{};
    ASSERT_EQ(::ioctl(nullFd, VIDIOC_QUERYCAP, &cap), -1);
    const int err = errno;
    ::close(nullFd);
    ASSERT_TRUE(open_usb_device(0));
    EXPECT_EQ(fcntl(fd[0], F_GETFD), FD_CLOEXEC);
    CameraFault fault;
    EXPECT_EQ(configure_usb_device(0, &fault), ConfigureResult::Failed);
    EXPECT_STREQ(fault.step, "QUERYCAP");
    EXPECT_EQ(fault.err, err);
    release_usb_device(0);
    EXPECT_EQ(errors().find("Device: 0, VIDIOC_QUERYCAP error " + std::to_string(err) + ", " + cm::errnoText(err)), 0u);
}

}  // namespace
