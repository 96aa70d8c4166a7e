// The emulated camera's pictures: the block pattern survives what the
// system does to frames, and the spliced JPEG frames are exactly what an
// encoder makes of the picture.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include "emulation/emucam_config.h"
#include "emulation/emucam_frames.h"
#include "emulation/emucam_reader.h"

namespace {

using emucam::FrameSource;

// Grey of an RGB picture (ITU-R BT.601 weights).
std::vector<std::uint8_t> toGray(const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> g(rgb.size() / 3);
    for (std::size_t i = 0; i < g.size(); ++i)
        g[i] = static_cast<std::uint8_t>((299 * rgb[3 * i] + 587 * rgb[3 * i + 1] + 114 * rgb[3 * i + 2]) / 1000);
    return g;
}

std::vector<std::uint8_t> compose(const FrameSource& src, std::uint32_t counter) {
    std::vector<std::uint8_t> out(src.maxSize() + 1000000);
    out.resize(src.compose(counter, out.data(), out.size()));
    return out;
}

bool hasMarker(const std::vector<std::uint8_t>& j, std::uint8_t marker) {
    for (std::size_t p = 2; p + 4 <= j.size();) {
        if (j[p] != 0xff) return false;
        if (j[p + 1] == marker) return true;
        if (j[p + 1] == 0xda) return false;
        p += 2 + (static_cast<std::size_t>(j[p + 2]) << 8 | j[p + 3]);
    }
    return false;
}

TEST(EmucamPattern, RoundTripsEveryCameraAndManyCounters) {
    for (int cam = 0; cam < 4; ++cam) {
        emucam::Scene scene(cam, 640, 480);
        for (std::uint32_t counter : {0u, 1u, 2u, 99u, 4095u, 65536u, 123457u, emucam::kCounterMask}) {
            std::vector<std::uint8_t> rgb;
            scene.render(counter, rgb);
            std::vector<std::uint8_t> gray = toGray(rgb);
            auto r = emucam::readPattern(gray.data(), 640, 480, 640);
            ASSERT_TRUE(r.has_value()) << cam << " " << counter;
            EXPECT_EQ(r->camera, cam);
            EXPECT_EQ(r->counter, counter);
        }
    }
}

TEST(EmucamPattern, RejectsPicturesWithoutAValidPattern) {
    std::vector<std::uint8_t> flat(640 * 480, 128);
    EXPECT_FALSE(emucam::readPattern(flat.data(), 640, 480, 640).has_value());

    emucam::Scene scene(1, 640, 480);
    std::vector<std::uint8_t> rgb;
    scene.render(777, rgb);
    std::vector<std::uint8_t> gray = toGray(rgb);
    ASSERT_TRUE(emucam::readPattern(gray.data(), 640, 480, 640).has_value());
    // Flip one data cell (column 3, row 1): the check sum no longer fits.
    emucam::Rect cell = emucam::drawnCell(3, 1, 640, 480);
    for (int y = cell.y0; y < cell.y1; ++y)
        for (int x = cell.x0; x < cell.x1; ++x) gray[static_cast<std::size_t>(y) * 640 + x] ^= 0xff;
    EXPECT_FALSE(emucam::readPattern(gray.data(), 640, 480, 640).has_value());
}

TEST(EmucamFrames, SplicedJpegIsExactlyTheEncodedPicture) {
    for (auto [w, h] : {std::pair{640, 480}, std::pair{1280, 720}, std::pair{800, 600}, std::pair{320, 240}}) {
        FrameSource src(2, V4L2_PIX_FMT_MJPEG, w, h, 80, false);
        for (std::uint32_t counter : {0u, 5u, 8888888u & emucam::kCounterMask, 1048575u}) {
            std::vector<std::uint8_t> rgb;
            src.scene().render(counter, rgb);
            std::vector<std::uint8_t> direct = emucam::encodeJpeg(rgb.data(), w, h, 80, true);
            ASSERT_EQ(compose(src, counter), direct) << w << "x" << h << " counter " << counter;
        }
        EXPECT_LE(compose(src, 1048575u).size(), src.maxSize());
    }
}

TEST(EmucamFrames, FramesWithoutHuffmanTablesDecodeWithLibturbojpeg) {
    std::vector<std::uint8_t> bare = compose(FrameSource(0, V4L2_PIX_FMT_MJPEG, 640, 480, 80, true), 99);
    EXPECT_FALSE(hasMarker(bare, 0xc4));
    EXPECT_TRUE(hasMarker(compose(FrameSource(0, V4L2_PIX_FMT_MJPEG, 640, 480, 80, false), 99), 0xc4));
    auto r = emucam::readJpegPattern(bare.data(), bare.size());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->counter, 99u);
}

TEST(EmucamFrames, DamagedAndOversizedFrames) {
    FrameSource src(2, V4L2_PIX_FMT_MJPEG, 640, 480, 80, false);
    std::vector<std::uint8_t> frame = compose(src, 10);
    const std::size_t len = frame.size();

    std::vector<std::uint8_t> big(frame);
    big.resize(800000);
    std::size_t n = emucam::padJpeg(big.data(), len, big.size(), 750000);
    ASSERT_EQ(n, 750000u);
    big.resize(n);
    auto r = emucam::readJpegPattern(big.data(), big.size());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->counter, 10u);
    EXPECT_EQ(emucam::padJpeg(big.data(), len, 700000, 750000), 0u);  // no room

    std::vector<std::uint8_t> cut(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(emucam::truncateFrame(len)));
    emucam::GrayImage img;
    EXPECT_NE(emucam::decodeJpegGray(cut.data(), cut.size(), img), emucam::DecodeResult::kOk);
    EXPECT_NE(cut.back(), 0xd9);

    std::vector<std::uint8_t> bad(frame);
    ASSERT_EQ(emucam::corruptFrame(bad.data(), bad.size(), 3), len);
    EXPECT_NE(bad, frame);
    std::string message;
    EXPECT_NE(emucam::decodeJpegGray(bad.data(), bad.size(), img, &message), emucam::DecodeResult::kOk);
    EXPECT_FALSE(message.empty());
}

TEST(EmucamConfig, DefaultsAreFourHealthyCameras) {
    emucam::Config c = emucam::Config::defaults();
    for (const auto& cam : c.cameras) {
        EXPECT_EQ(cam.node, emucam::Node::kCamera);
        EXPECT_EQ(cam.formats.front(), static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));
        EXPECT_EQ(cam.size, (emucam::FrameSize{640, 480}));
        EXPECT_EQ(cam.fps, 30);
        EXPECT_NE(std::find(cam.sizes.begin(), cam.sizes.end(), emucam::FrameSize{1280, 720}), cam.sizes.end());
        EXPECT_EQ(cam.busyFormatAttempts, 0);
        EXPECT_TRUE(cam.stalls.empty());
    }
}

TEST(EmucamConfig, ParsesEveryOption) {
    emucam::Config c;
    std::string error;
    ASSERT_TRUE(emucam::parseConfig("# board of the test\n"
                                    "0 MJPG 1280x720 30 busy=3 buffers=1 fixed-rate\n"
                                    "1 YUYV,MJPG 320x240 15 stall=2:3.5 disconnect=1.5:4 sizes=320x240,640x480\n"
                                    "2 regular; 3 MJPG 640x480 25 corrupt=5 truncate=7 oversize=3:800000 no-huffman quality=60",
                                    c, error))
        << error;
    EXPECT_EQ(c.cameras[0].busyFormatAttempts, 3);
    EXPECT_EQ(c.cameras[0].maxBuffers, 1);
    EXPECT_TRUE(c.cameras[0].fixedRate);
    EXPECT_EQ(c.cameras[0].formats, std::vector<std::uint32_t>{V4L2_PIX_FMT_MJPEG});
    EXPECT_EQ(c.cameras[1].formats.front(), static_cast<std::uint32_t>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(c.cameras[1].fps, 15);
    ASSERT_EQ(c.cameras[1].stalls.size(), 1u);
    EXPECT_DOUBLE_EQ(c.cameras[1].stalls[0].after, 2.0);
    EXPECT_DOUBLE_EQ(c.cameras[1].stalls[0].duration, 3.5);
    ASSERT_EQ(c.cameras[1].disconnects.size(), 1u);
    EXPECT_TRUE(c.cameras[1].disconnects[0].contains(5.4));
    EXPECT_FALSE(c.cameras[1].disconnects[0].contains(5.5));
    EXPECT_EQ(c.cameras[1].sizes.size(), 2u);
    EXPECT_EQ(c.cameras[2].node, emucam::Node::kRegular);
    EXPECT_EQ(c.cameras[3].corruptEvery, 5);
    EXPECT_EQ(c.cameras[3].truncateEvery, 7);
    EXPECT_EQ(c.cameras[3].oversizeEvery, 3);
    EXPECT_EQ(c.cameras[3].oversizeBytes, 800000u);
    EXPECT_TRUE(c.cameras[3].noHuffmanTables);
    EXPECT_EQ(c.cameras[3].quality, 60);

    // A camera without a line is not there.
    ASSERT_TRUE(emucam::parseConfig("1 MJPG 640x480 30", c, error));
    EXPECT_EQ(c.cameras[0].node, emucam::Node::kMissing);
    EXPECT_EQ(c.cameras[1].node, emucam::Node::kCamera);
    EXPECT_EQ(c.cameras[2].node, emucam::Node::kMissing);
}

TEST(EmucamConfig, RefusesMalformedLinesNamingThem) {
    const char* bad[] = {
        "4 MJPG 640x480 30",          "0 H264 640x480 30",          "0 MJPG 641x480 30",
        "0 MJPG 160x120 30",          "0 MJPG 640x480 0",           "0 MJPG 640x480 30 busy=-1",
        "0 MJPG 640x480 30 bogus",    "0 MJPG 640x480 30 stall=3",  "0 MJPG 640x480 30 oversize=1:1000",
        "0 MJPG 640x480\n",           "0 missing\n0 MJPG 640x480 30", "x MJPG 640x480 30",
    };
    for (const char* text : bad) {
        emucam::Config c;
        std::string error;
        EXPECT_FALSE(emucam::parseConfig(text, c, error)) << text;
        EXPECT_NE(error.find("line"), std::string::npos) << text;
    }
}

}  // namespace
