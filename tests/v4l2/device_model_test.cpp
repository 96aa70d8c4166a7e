// Opening, configuring and releasing devices on the emulated cameras.
#include <gtest/gtest.h>

#include "camera_fixture.h"
#include "v4l2/device_setup.h"

namespace {

using cmtest::countOf;
using v4l2test::CameraTest;

class DeviceModelTest : public CameraTest {};

TEST_F(DeviceModelTest, HealthyCameraIsConfiguredWithTheRequestedMappedBuffers) {
    startCameras("0 MJPG,YUYV 640x480 30");
    force_format2 = 11;  // the default preset: 1280x720 MJPEG
    ASSERT_TRUE(open_usb_device(0));
    EXPECT_GE(fd[0], 0);
    ASSERT_EQ(configure_usb_device(0), ConfigureResult::Configured);
    EXPECT_EQ(n_buffers[0], kRequestedBuffers);
    ASSERT_NE(buffers[0], nullptr);
    for (unsigned i = 0; i < kRequestedBuffers; ++i) {
        EXPECT_NE(buffers[0][i].start, nullptr);
        EXPECT_GT(buffers[0][i].length, 0u);
    }
    EXPECT_EQ(delivered_pixel_format[0], static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));
    collect();
    EXPECT_NE(err.find("device#0, Force Format 11, frames 300, fd: " + [] {
        char b[16];
        snprintf(b, sizeof b, "%x", static_cast<unsigned>(fd[0]));
        return std::string(b);
    }() + "\n"), std::string::npos);
    EXPECT_NE(err.find("/dev/video0 format succeeded! .. after 1 trails\n"), std::string::npos);
    EXPECT_NE(out.find("check condition1280: 1\ncheck condition720: 1\ncheck conditionmpeg: 1\ncheck conditioninterlace: 1\n"),
              std::string::npos);
    EXPECT_NE(out.find("Frame Interval enum: 1 - 1 - 30\n"), std::string::npos);
    EXPECT_NE(out.find("1280x720@1/30"), std::string::npos);
    EXPECT_NE(out.find("manipolating quality  VIDIOC_G_JPEGCOMP\ndriver originally set to quality: 80\n"
                       "jpegcomp quality came out at 95\n"),
              std::string::npos);
    EXPECT_EQ(countOf(out, "Manual settings"), 0);

    release_usb_device(0);
    EXPECT_EQ(fd[0], -1);
    EXPECT_EQ(buffers[0], nullptr);
    EXPECT_EQ(n_buffers[0], 0u);
    // Released means released: the device can be opened and configured anew.
    ASSERT_TRUE(open_usb_device(0));
    EXPECT_EQ(configure_usb_device(0), ConfigureResult::Configured);
}

TEST_F(DeviceModelTest, BusyFormatIsRetriedEveryTwoSecondsUntilAccepted) {
    startCameras("0 MJPG 640x480 30 busy=3");
    ASSERT_TRUE(open_usb_device(0));
    ASSERT_EQ(configure_usb_device(0), ConfigureResult::Configured);
    collect();
    EXPECT_EQ(countOf(err, "Device: 0, VIDIOC_S_FMT3 error 16, Device or resource busy\n"), 3);
    for (int k = 1; k <= 3; ++k)
        EXPECT_NE(err.find("/dev/video0 is buzy.. retraying after 2 secs.. trail " + std::to_string(k) + " of 15\n"),
                  std::string::npos)
            << k;
    EXPECT_EQ(countOf(err, "is buzy"), 3);
    EXPECT_NE(err.find("/dev/video0 format succeeded! .. after 4 trails\n"), std::string::npos);
    EXPECT_DOUBLE_EQ(fakeClock().sleptSeconds(), 6.0);
    EXPECT_EQ(cameras->model().stats(0).formatAttempts, 4u);
}

TEST_F(DeviceModelTest, FormatNeverAcceptedGivesUpAfterFifteenAttempts) {
    startCameras("0 MJPG 640x480 30 busy=20");
    ASSERT_TRUE(open_usb_device(0));
    EXPECT_EQ(configure_usb_device(0), ConfigureResult::FormatFailed);
    EXPECT_EQ(n_buffers[0], 0u);
    EXPECT_EQ(buffers[0], nullptr);
    collect();
    EXPECT_EQ(countOf(err, "VIDIOC_S_FMT3 error"), 15);
    EXPECT_EQ(countOf(err, "is buzy"), 14);
    EXPECT_NE(err.find("Device: 0, VIDIOC_S_FMT3-F.. failed setting format! error 16, Device or resource busy\n"),
              std::string::npos);
    EXPECT_DOUBLE_EQ(fakeClock().sleptSeconds(), 14 * 2 + 10.0);
    release_usb_device(0);
    EXPECT_EQ(fd[0], -1);
}

TEST_F(DeviceModelTest, ManualFormatWithAnUnknownPixelFormatLetsTheDriverChoose) {
    startCameras("0 YUYV,MJPG 640x480 30");
    g_nPixelFormat = V4L2_PIX_FMT_RGB24;
    g_nField = V4L2_FIELD_NONE;
    ASSERT_TRUE(open_usb_device(0));
    ASSERT_EQ(configure_usb_device(0), ConfigureResult::Configured);
    EXPECT_EQ(delivered_pixel_format[0], static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    collect();
    EXPECT_NE(out.find("Manual settings \n g_nDevWidth  = 320\ng_nDevHeight = 240\ng_nField = 1\ng_nPixelFormat = " +
                       std::to_string(V4L2_PIX_FMT_RGB24) + "\n\nfmt.fmt.pix.field       = V4L2_FIELD_NONE;;\n"
                       "check condition1280: 0"),
              std::string::npos);
    EXPECT_EQ(countOf(out, "fmt.fmt.pix.pixelformat"), 0);
}

TEST_F(DeviceModelTest, FrameRateIsSetAndReadBack) {
    startCameras("0 MJPG 640x480 30");
    g_FrameRate = 15;
    openConfigured(0);
    collect();
    EXPECT_NE(out.find("vidioc_g_parm called frate=1/30\nvidioc_s_parm set: frate=1/15\n"), std::string::npos);
    EXPECT_NE(out.find("Device frame rate set correctly!\n"), std::string::npos);
    EXPECT_NE(out.find("320x240@1/15"), std::string::npos);
    EXPECT_EQ(countOf(err, "FAILED TO SET"), 0);
}

TEST_F(DeviceModelTest, FrameRateTheDriverKeepsIsReportedAndSetupGoesOn) {
    startCameras("0 MJPG 640x480 30 fixed-rate");
    g_FrameRate = 25;
    openConfigured(0);
    EXPECT_EQ(n_buffers[0], kRequestedBuffers);
    collect();
    EXPECT_NE(out.find("vidioc_s_parm set: frate=1/25\n"), std::string::npos);
    EXPECT_NE(err.find("Device: 0, VIDIOC_S_PARM FAILED TO SET error"), std::string::npos);
    EXPECT_NE(out.find("320x240@1/30"), std::string::npos);
    EXPECT_EQ(countOf(out, "set correctly"), 0);
    // The clips are timed with the rate the camera kept, not the one asked.
    EXPECT_EQ(delivered_rate_frames[0], 30u);
    EXPECT_EQ(delivered_rate_seconds[0], 1u);
}

TEST_F(DeviceModelTest, WithNoRateAskedTheDriversRateAndSizeAreReadBack) {
    startCameras("0 YUYV 640x480 20");
    g_nPixelFormat = V4L2_PIX_FMT_YUYV;
    g_FrameRate = 0;
    openConfigured(0);
    EXPECT_EQ(delivered_pixel_format[0], static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(delivered_width[0], 320u);
    EXPECT_EQ(delivered_height[0], 240u);
    EXPECT_EQ(delivered_rate_frames[0], 20u);
    EXPECT_EQ(delivered_rate_seconds[0], 1u);
    release_usb_device(0);
    EXPECT_EQ(delivered_rate_frames[0], 0u);
    EXPECT_EQ(delivered_width[0], 0u);
}

TEST_F(DeviceModelTest, MissingCameraDoesNotStopTheOthers) {
    startCameras("0 MJPG 640x480 30\n1 MJPG 640x480 30\n2 missing\n3 MJPG 640x480 30");
    EXPECT_FALSE(open_usb_device(2));
    for (int N : {0, 1, 3}) openConfigured(N);
    collect();
    EXPECT_NE(err.find("Cannot identify '/dev/video2': 2, No such file or directory\n"), std::string::npos);
    EXPECT_EQ(countOf(err, "format succeeded"), 3);
}

TEST_F(DeviceModelTest, RegularFileAtTheNodeIsNotOpened) {
    startCameras("1 regular");
    EXPECT_FALSE(open_usb_device(1));
    EXPECT_EQ(fd[1], -1);
    collect();
    EXPECT_EQ(err, "/dev/video1 is no device\n");
    EXPECT_DOUBLE_EQ(fakeClock().sleptSeconds(), 10.0);
}

TEST_F(DeviceModelTest, JpegQualityOfAYuyvOnlyCameraIsOnlyLogged) {
    startCameras("0 YUYV 640x480 30");
    g_nPixelFormat = V4L2_PIX_FMT_YUYV;
    openConfigured(0);
    collect();
    EXPECT_NE(out.find("VIDIOC_G_JPEGCOMP cant read compression\ndriver does not support VIDIOC_G_JPEGCOMP\n"),
              std::string::npos);
}

TEST_F(DeviceModelTest, DriverGrantingOneBufferIsAFaultOfThatCameraOnly) {
    startCameras("0 MJPG 640x480 30 buffers=1");
    ASSERT_TRUE(open_usb_device(0));
    CameraFault fault;
    EXPECT_EQ(configure_usb_device(0, &fault), ConfigureResult::Failed);
    EXPECT_EQ(describeCameraFault(fault), "the camera granted fewer than two frame buffers (REQBUFS)");
    collect();
    EXPECT_NE(err.find("Insufficient buffer memory on /dev/video0\n"), std::string::npos);
}

}  // namespace
