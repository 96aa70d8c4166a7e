#include "v4l2/converter_command.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <string>

#include "common/run_config.h"

namespace converter_command_test {

const char kTs[] = "20240105123000_123456";

// No board root: paths stay as on the board.

ConverterSettings defaults() {
    ConverterSettings s;
    s.converter = "/usr/bin/avconv";
    s.input.pixelFormat = V4L2_PIX_FMT_MJPEG;
    s.fps = "-r 30000/1001";
    return s;
}

const ClipPaths kUser1 = clipPaths("/tmp", "/tmp/capture_module.convert.Ab12Cd", "/home/Tarvisel", "user", 1, kTs);

TEST(ConverterCommandTest, DefaultUserClipRunsUnderTheClipsLockAndATimeLimitIntoThePrivateDirectory) {
    EXPECT_EQ(kUser1.raw, "/tmp/user_1_20240105123000_123456.raw");
    EXPECT_EQ(kUser1.temporaryMp4, "/tmp/capture_module.convert.Ab12Cd/user_1_20240105123000_123456.mp4");
    EXPECT_EQ(kUser1.queued, "/home/Tarvisel/queue/user_1_20240105123000_123456.mp4");
    EXPECT_EQ(convertCommand(defaults(), kUser1),
              "flock -n -E 75 /tmp/user_1_20240105123000_123456.raw timeout --foreground -k 30 4800 "
              "/usr/bin/avconv -f mjpeg   -i /tmp/user_1_20240105123000_123456.raw -r 30000/1001  -y  "
              "/tmp/capture_module.convert.Ab12Cd/user_1_20240105123000_123456.mp4");
}

TEST(ConverterCommandTest, PresetsCopyAndOutputOptionsStandWhereTheTemplatePutsThem) {
    ConverterSettings s = defaults();
    s.forceFormat = 4;
    s.input = ClipFormat{V4L2_PIX_FMT_H264, 1920, 1080, 30, 1, false};
    std::string c = convertCommand(s, kUser1);
    EXPECT_NE(c.find("avconv -f h264  -r 30 -i /tmp/user_1_20240105123000_123456.raw -r 30000/1001  -y -aspect 16:9  /tmp/"),
              std::string::npos)
        << c;
    s = defaults();
    s.size = "-s 640x480";
    s.bitrate = "-b 512k";
    c = convertCommand(s, kUser1);
    EXPECT_NE(c.find(".raw -r 30000/1001 -s 640x480 -y -b 512k /tmp/"), std::string::npos) << c;
    s.copy = true;
    s.input.rateFrames = 25;
    s.input.rateSeconds = 1;
    c = convertCommand(s, kUser1);
    EXPECT_NE(c.find("avconv -f mjpeg  -i /tmp/user_1_20240105123000_123456.raw -vcodec copy /tmp/"), std::string::npos)
        << c;
    EXPECT_EQ(c.find("aspect"), std::string::npos);
    EXPECT_EQ(c.find("512k"), std::string::npos);
}

TEST(ConverterCommandTest, InputOptionsDescribeWhatTheRawClipHolds) {
    EXPECT_EQ(converterFormatFlags(ClipFormat{V4L2_PIX_FMT_YUYV, 640, 480, 0, 0, false}),
              "-f rawvideo -pix_fmt yuyv422 -s 640x480 ");
    EXPECT_EQ(converterFormatFlags(ClipFormat{V4L2_PIX_FMT_MJPEG, 640, 480, 0, 0, false}), "-f mjpeg ");
    EXPECT_EQ(converterFormatFlags(ClipFormat{V4L2_PIX_FMT_H264, 0, 0, 0, 0, false}), "-f h264 ");
    EXPECT_EQ(converterFormatFlags(ClipFormat{V4L2_PIX_FMT_RGB24, 640, 480, 0, 0, false}), "");
    EXPECT_EQ(converterRateFlags(ClipFormat{0, 0, 0, 30, 1, false}), "-r 30");
    EXPECT_EQ(converterRateFlags(ClipFormat{0, 0, 0, 60000, 2002, false}), "-r 30000/1001");
    EXPECT_EQ(converterRateFlags(ClipFormat{0, 0, 0, 30, 0, false}), "");
}

TEST(ConverterCommandTest, TheRecordedFormatAndTheRateReadBackWinOverTheRunSettings) {
    resetRunConfig();
    g_FrameRate = 25;  // asked for; the camera kept 30
    ConverterSettings run = converterSettingsFromRunConfig();
    EXPECT_EQ(run.input.pixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(converterRateFlags(run.input), "-r 25");
    ConverterSettings s = converterSettingsFor(ClipFormat{V4L2_PIX_FMT_YUYV, 320, 240, 30, 1, true});
    EXPECT_EQ(converterFormatFlags(s.input), "-f rawvideo -pix_fmt yuyv422 -s 320x240 ");
    EXPECT_EQ(converterRateFlags(s.input), "-r 30");
    EXPECT_TRUE(s.input.cutShort);
    // Nothing recorded: the run's settings.
    EXPECT_EQ(convertCommand(converterSettingsFor(ClipFormat{}), kUser1), convertCommand(run, kUser1));
}

TEST(ConverterCommandTest, UnusualPathsAreQuotedForTheShell) {
    ClipPaths p = clipPaths("/tmp", "/tmp/o", "/home/my base;rm -rf x", "usb", 2, kTs);
    p.raw = "/tmp/a b.raw";
    std::string c = convertCommand(defaults(), p);
    EXPECT_NE(c.find("flock -n -E 75 '/tmp/a b.raw' timeout"), std::string::npos) << c;
    EXPECT_NE(c.find("-i '/tmp/a b.raw'"), std::string::npos) << c;
}

}  // namespace converter_command_test
