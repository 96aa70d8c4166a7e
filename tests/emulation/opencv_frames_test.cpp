// The emulated camera's pictures through OpenCV, as the daemon treats them:
// reduced to a quarter and encoded again for the live stream, YUYV
// converted, JPEG frames without Huffman tables decoded.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "emulation/emucam_frames.h"
#include "emulation/emucam_reader.h"

namespace {

using emucam::FrameSource;

std::vector<std::uint8_t> compose(const FrameSource& src, std::uint32_t counter) {
    std::vector<std::uint8_t> out(src.maxSize());
    out.resize(src.compose(counter, out.data(), out.size()));
    return out;
}

bool hasHuffmanTables(const std::vector<std::uint8_t>& j) {
    for (std::size_t i = 0; i + 1 < j.size(); ++i)
        if (j[i] == 0xff && j[i + 1] == 0xc4) return true;
    return false;
}

TEST(EmucamFrames, PatternSurvivesQuarterSizeAndRecompression) {
    for (auto [w, h] : {std::pair{1280, 720}, std::pair{640, 480}, std::pair{1920, 1080}, std::pair{320, 240}}) {
        FrameSource src(3, V4L2_PIX_FMT_MJPEG, w, h, 80, false);
        for (std::uint32_t counter : {17u, 300001u}) {
            std::vector<std::uint8_t> frame = compose(src, counter);
            // As the live stream does: decode, reduce to a quarter, encode.
            cv::Mat decoded = cv::imdecode(frame, cv::IMREAD_COLOR), small;
            ASSERT_FALSE(decoded.empty());
            cv::resize(decoded, small, cv::Size(w / 4, h / 4), 0, 0, cv::INTER_LINEAR);
            std::vector<std::uint8_t> jpeg;
            ASSERT_TRUE(cv::imencode(".jpg", small, jpeg, {cv::IMWRITE_JPEG_QUALITY, 60}));
            auto r = emucam::readJpegPattern(jpeg.data(), jpeg.size());
            ASSERT_TRUE(r.has_value()) << w << "x" << h;
            EXPECT_EQ(r->camera, 3);
            EXPECT_EQ(r->counter, counter);
        }
    }
}


TEST(EmucamFrames, YuyvFramesShowTheSamePicture) {
    FrameSource src(1, V4L2_PIX_FMT_YUYV, 640, 480, 80, false);
    std::vector<std::uint8_t> frame = compose(src, 4242);
    ASSERT_EQ(frame.size(), 640u * 480u * 2u);
    auto r = emucam::readYuyvPattern(frame.data(), 640, 480);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->camera, 1);
    EXPECT_EQ(r->counter, 4242u);
    cv::Mat yuyv(480, 640, CV_8UC2, frame.data()), bgr;
    cv::cvtColor(yuyv, bgr, cv::COLOR_YUV2BGR_YUYV);
    // Camera 1 paints green above the band.
    cv::Vec3b px = bgr.at<cv::Vec3b>(250, 320);
    EXPECT_GT(px[1], px[2] + 40);
    EXPECT_GT(px[1], px[0] + 40);
}


TEST(EmucamFrames, FramesWithoutHuffmanTablesDecodeWithTheStandardOnes) {
    FrameSource src(0, V4L2_PIX_FMT_MJPEG, 640, 480, 80, true);
    std::vector<std::uint8_t> frame = compose(src, 99);
    EXPECT_FALSE(hasHuffmanTables(frame));
    EXPECT_TRUE(hasHuffmanTables(compose(FrameSource(0, V4L2_PIX_FMT_MJPEG, 640, 480, 80, false), 99)));
    // libturbojpeg copes...
    auto r = emucam::readJpegPattern(frame.data(), frame.size());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->counter, 99u);
    // ...and so does OpenCV's decoder.
    cv::Mat m = cv::imdecode(frame, cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(m.empty());
    r = emucam::readPattern(m.data, m.cols, m.rows, static_cast<std::ptrdiff_t>(m.step));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->camera, 0);
}


}  // namespace
