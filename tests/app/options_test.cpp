#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>
#include <vector>

#include "app/options.h"
#include "common/run_config.h"
#include "common/time_string.h"
#include "support/test_support.h"

namespace {

class OptionsTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        storeStartValues();
    }
    // Applies the arguments in order; returns the first non-zero result.
    int apply(std::vector<std::string> args) {
        for (const std::string& a : args)
            if (int r = applyArgument(a.c_str())) return r;
        return 0;
    }
};

TEST_F(OptionsTest, DefaultsWithoutArguments) {
    EXPECT_EQ(STORAGE_LENGTH, 60u);
    EXPECT_STREQ(szFPS, "-r 30000/1001");
    EXPECT_STREQ(szBitrate, "");
    EXPECT_STREQ(szMP4Size, "");
    EXPECT_EQ(force_format2, 11);
    EXPECT_EQ(force_format, 0);
    EXPECT_EQ(frame_count, 300);
    EXPECT_EQ(USER_VIDEO_FRAMES, 300);
    EXPECT_FALSE(computeFrameCounts());
    EXPECT_EQ(frame_count, 300);
    EXPECT_EQ(g_nPixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(g_nField, 4);
    EXPECT_EQ(g_nDevWidth, 640);
    EXPECT_EQ(g_nDevHeight, 480);
    EXPECT_EQ(bControlInput, 1);
    EXPECT_STREQ(SOCKET_ADDR, "127.0.0.1");
}

TEST_F(OptionsTest, CameraFrameRateSetsBothFrameCounts) {
    apply({"-camfps5"});
    EXPECT_EQ(g_FrameRate, 5);
    EXPECT_TRUE(computeFrameCounts());
    EXPECT_EQ(frame_count, 50);
    EXPECT_EQ(USER_VIDEO_FRAMES, 50);
}

TEST_F(OptionsTest, LongerStorageKeysWinOverTheirPrefixes) {
    apply({"-sl300"});
    EXPECT_EQ(STORAGE_LENGTH, 300u);
    apply({"-sl30"});
    EXPECT_EQ(STORAGE_LENGTH, 30u);
    apply({"-sl420"});
    EXPECT_EQ(STORAGE_LENGTH, 420u);
}

TEST_F(OptionsTest, OutputRateKeysAlsoForceTheDefaultPathFormat) {
    apply({"-fps10"});
    EXPECT_STREQ(szFPS, "-r 10");
    EXPECT_EQ(force_format, 1);
}

TEST_F(OptionsTest, CapitalFIsMatchedByTwoRows) {
    apply({"-F"});
    EXPECT_EQ(force_format, 2);
    EXPECT_EQ(force_format2, 3);
}

TEST_F(OptionsTest, LaterArgumentsOverwriteEarlierOnes) {
    apply({"-H", "-yuyv"});
    EXPECT_EQ(force_format2, 50);
    EXPECT_EQ(g_nPixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    resetRunConfig();
    apply({"-yuyv", "-H"});
    EXPECT_EQ(force_format2, 2);
    EXPECT_EQ(g_nPixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
}

TEST_F(OptionsTest, FormatPresetsInRowOrder) {
    struct Case {
        const char* arg;
        int preset;
    } cases[] = {{"-G", 4}, {"-g", 5}, {"-input_format", 50}, {"-h264", 50}, {"-mjpeg", 50}};
    for (const Case& c : cases) {
        resetRunConfig();
        apply({c.arg});
        EXPECT_EQ(force_format2, c.preset) << c.arg;
    }
    resetRunConfig();
    apply({"-h264"});
    EXPECT_EQ(g_nPixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_H264));
}

TEST_F(OptionsTest, OneArgumentMayCarrySeveralKeys) {
    apply({"x-usb-1by1-ms-allcamson"});
    EXPECT_EQ(g_bUSB, 1);
    EXPECT_EQ(bOneByOne, 1);
    EXPECT_EQ(bMemoryStore, 1);
    EXPECT_EQ(bTurnOnAllCams, 1);
}

TEST_F(OptionsTest, FlagsAndTexts) {
    apply({"-io", "-ci2", "-rv", "-debugjpeg", "-copy", "-b512k", "-normtest", "-noresize", "-none"});
    EXPECT_EQ(init_only, 1);
    EXPECT_EQ(bControlInput, 2);
    EXPECT_EQ(g_bRandomVideos, 1);
    EXPECT_EQ(g_bDebugJPEGStreamingFiles, 1);
    EXPECT_EQ(g_bCopy, 1);
    EXPECT_STREQ(szBitrate, "-b 512k");
    EXPECT_EQ(bNormTest, 1);
    EXPECT_EQ(bNoresize, 1);
    EXPECT_EQ(g_nField, 1);
    apply({"-nosampling", "-ds", "-interlaced", "-ci0"});
    EXPECT_STREQ(szBitrate, "");
    EXPECT_EQ(bMemoryStore, 0);
    EXPECT_EQ(g_nField, 4);
    EXPECT_EQ(bControlInput, 0);
    apply({"-b1M"});
    EXPECT_STREQ(szBitrate, "-b 1024k");
}

TEST_F(OptionsTest, SizeKeysSetDeviceSizeAndConverterSize) {
    apply({"-s1280x720"});
    EXPECT_EQ(g_nDevWidth, 1280);
    EXPECT_EQ(g_nDevHeight, 720);
    EXPECT_STREQ(szMP4Size, "-s 1280x720");
    apply({"-s160x120"});
    EXPECT_EQ(g_nDevWidth, 160);
    EXPECT_EQ(g_nDevHeight, 120);
    EXPECT_STREQ(szMP4Size, "-s 160x120");
}

TEST_F(OptionsTest, LanServersComeFromTheBuildSettings) {
    apply({"-localwin"});
    EXPECT_STREQ(SOCKET_ADDR, "127.0.0.2");
    apply({"-locallinux"});
    EXPECT_STREQ(SOCKET_ADDR, "127.0.0.3");
}

TEST_F(OptionsTest, ExitEndsAtItsOwnRowAfterTheEarlierRows) {
    EXPECT_EQ(apply({"-sl30", "-rv-exit-usb"}), 827);
    EXPECT_EQ(STORAGE_LENGTH, 30u);
    EXPECT_EQ(g_bRandomVideos, 1);
    EXPECT_EQ(g_bUSB, 0);  // row 10 comes after row 6
}

TEST_F(OptionsTest, VideoStandardArgument) {
    struct Case {
        const char* arg;
        std::uint64_t std;
    } cases[] = {
        {"-pal", V4L2_STD_PAL},
        {"-pal-Nc", V4L2_STD_PAL_Nc},
        {"-pal-N", V4L2_STD_PAL_N},
        {"-pal-nC", V4L2_STD_PAL_Nc},
        {"-pal-6", V4L2_STD_PAL_60},
        {"-pal-g", V4L2_STD_PAL_BG},
        {"-pal-k", V4L2_STD_PAL_DK},
        {"-pal-H", V4L2_STD_PAL_H},
        {"-pal-i", V4L2_STD_PAL_I},
        {"-pal-M", V4L2_STD_PAL_M},
        {"-ntsc", V4L2_STD_NTSC},
        {"-ntsc-k", V4L2_STD_NTSC_M_KR},
        {"-ntsc-J", V4L2_STD_NTSC_M_JP},
        {"-ntsc-m", V4L2_STD_NTSC_M},
        {"-secam", V4L2_STD_SECAM},
        {"xsecam", V4L2_STD_SECAM},
        {"-secam-Lc", V4L2_STD_SECAM_LC},
        {"-secam-l", V4L2_STD_SECAM_L},
        {"-secam-h", V4L2_STD_SECAM_B | V4L2_STD_SECAM_G | V4L2_STD_SECAM_H},
        {"-secam-d", V4L2_STD_SECAM_DK},
    };
    for (const Case& c : cases) {
        g_std = 12345;
        applyArgument(c.arg);
        EXPECT_EQ(g_std, c.std) << c.arg;
    }
}

TEST_F(OptionsTest, UnrecognisedStandardSpecifiersStoreZeroWithAMessage) {
    const char* bad[] = {"-palx", "-pal-z", "-pal-", "-ntsc-q", "-ntscq", "-secam-z"};
    for (const char* arg : bad) {
        g_std = 12345;
        testing::internal::CaptureStderr();
        applyArgument(arg);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(g_std, 0u) << arg;
        EXPECT_NE(err.find("specifier not recognised\n"), std::string::npos) << arg;
    }
}

TEST_F(OptionsTest, OtherArgumentsLeaveTheStandardAlone) {
    g_std = 7;
    for (const char* arg : {"pal", "-pa", "--pal", "", "-usb", "-s640x480"}) applyArgument(arg);
    EXPECT_EQ(g_std, 7u);
}

TEST_F(OptionsTest, ArbitraryArgumentsNeverCrash) {
    std::string huge(100000, '-');
    huge += "pal-";
    applyArgument(huge.c_str());
    std::string binary;
    for (int i = 1; i < 256; ++i) binary += static_cast<char>(i);
    applyArgument(binary.c_str());
    applyArgument("");
    SUCCEED();
}

TEST(TimeStringTest, FourteenDigitsUnderscoreAndMicroseconds) {
    setenv("TZ", "UTC0", 1);
    tzset();
    cmtest::FakeClock clock(1704448800);  // 2024-01-05 10:00:00 UTC
    clock.advance(std::chrono::microseconds(42));
    char buf[kTimeStringBufferSize];
    EXPECT_EQ(getTimeString(buf), 21);
    EXPECT_STREQ(buf, "20240105100000_000042");
    // The parsers of picture and clip names accept what is written here, and
    // nothing of another shape.
    EXPECT_EQ(timeString(), buf);
    EXPECT_TRUE(isTimeString(buf));
    for (const char* other : {"", "20240105100000000042", "20240105100000_00004", "20240105100000_0000421",
                              "2024010510000x_000042", "20240105100000-000042", "20240105100000_00004 "})
        EXPECT_FALSE(isTimeString(other)) << other;
}

}  // namespace
