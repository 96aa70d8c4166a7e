#include "v4l2/format_file.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"
#include "v4l2/clip_names.h"

namespace format_file_test {

using cmtest::writeFile;

TEST(FormatFileTest, TextRoundTripsAndHostileTextIsRefused) {
    const ClipFormat f{V4L2_PIX_FMT_YUYV, 1280, 720, 30000, 1001, true};
    ClipFormat back;
    ASSERT_TRUE(parseFormatFileText(formatFileText(f), back));
    EXPECT_EQ(back, f);
    EXPECT_EQ(formatFileText(f), "pixelformat=YUYV\nwidth=1280\nheight=720\nrate=30000/1001\ncut_short=1\n");

    const ClipFormat untouched{V4L2_PIX_FMT_MJPEG, 1, 2, 3, 4, false};
    for (const std::string& hostile :
         {std::string("pixelformat=yuyv; rm -rf /\n"), std::string("width=640x480 -f lavfi\n"),
          std::string("width=-1\n"), std::string("height=99999999999999999999\n"), std::string("rate=30\n"),
          std::string("rate=1/99999999\n"), std::string("no equals sign\n"), std::string("cut_short=yes\n"),
          std::string("width=\n"), std::string(kFormatFileMaxBytes + 1, '\n')}) {
        ClipFormat out = untouched;
        EXPECT_FALSE(parseFormatFileText(hostile, out)) << hostile;
        EXPECT_EQ(out, untouched) << hostile;
    }
    // Keys of a later version are passed over; a rate of 0 is "not known".
    ClipFormat out;
    ASSERT_TRUE(parseFormatFileText("colour=blue\nrate=0/1\npixelformat=H264\n", out));
    EXPECT_EQ(out, (ClipFormat{V4L2_PIX_FMT_H264, 0, 0, 0, 0, false}));
}

TEST(FormatFileTest, OnlyARegularFileOfThisUserIsRead) {
    cmtest::BoardRoot root;
    const std::string raw = root.path("/tmp/usb_0_20240105123000_123456.raw");
    const ClipFormat f{V4L2_PIX_FMT_MJPEG, 640, 480, 10, 1, false};
    int err = 0;
    ASSERT_TRUE(writeFormatFile(raw, f, err));
    ClipFormat out;
    std::string why;
    ASSERT_EQ(readFormatFile(raw, out, why), FormatFileRead::Read);
    EXPECT_EQ(out, f);
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 1u);

    const std::string other = root.path("/tmp/usb_1_20240105123000_123456.raw");
    EXPECT_EQ(readFormatFile(other, out, why), FormatFileRead::Missing);
    writeFile(root.path("/tmp/elsewhere"), formatFileText(f));
    ASSERT_EQ(symlink(root.path("/tmp/elsewhere").c_str(), formatFilePath(other).c_str()), 0);
    EXPECT_EQ(readFormatFile(other, out, why), FormatFileRead::Refused);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(formatFilePath(raw).c_str(), 65534, 65534), 0);
        EXPECT_EQ(readFormatFile(raw, out, why), FormatFileRead::Refused);
        EXPECT_EQ(why, "not a regular file of this user");
    }
    writeFile(formatFilePath(raw), std::string(kFormatFileMaxBytes + 10, 'x'));
    EXPECT_EQ(readFormatFile(raw, out, why), FormatFileRead::Refused);
}
}  // namespace format_file_test
