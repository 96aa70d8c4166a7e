#include "streaming/jpeg_reduce.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <vector>

#include "emulation/emucam_frames.h"
#include "jpeg_samples.h"

namespace {

using cmtest::Bytes;
using streaming::JpegReducer;
using streaming::ReduceStatus;

struct Reduced {
    streaming::ReduceResult result;
    Bytes jpeg;
};

Reduced reduce(JpegReducer& r, const Bytes& src, int scale = 25, std::size_t capacity = 140000) {
    Reduced out;
    out.jpeg.resize(capacity);
    out.result = r.reduce(src.data(), src.size(), scale, out.jpeg.data(), capacity);
    out.jpeg.resize(out.result.status == ReduceStatus::Ok ? out.result.length : 0);
    return out;
}

// The output size is the integer arithmetic of the scale, whatever the DCT
// decode gives (100 x 75 decodes to 25 x 19 at one quarter).
TEST(JpegReduceTest, QuarterSizeIsExactIntegerArithmetic) {
    JpegReducer reducer;
    struct Case {
        int w, h, tw, th;
    } cases[] = {{100, 75, 25, 18}, {640, 480, 160, 120}, {1280, 720, 320, 180}, {1920, 1080, 480, 270},
                 {101, 77, 25, 19}, {7, 5, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        Reduced r = reduce(reducer, cmtest::makeCameraJpeg(c.w, c.h, cmtest::inputTint(1), TJSAMP_422));
        ASSERT_EQ(r.result.status, ReduceStatus::Ok) << r.result.detail;
        cmtest::Decoded d = cmtest::decodeJpeg(r.jpeg);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, c.tw);
        EXPECT_EQ(d.height, c.th);
        EXPECT_EQ(r.result.width, c.tw);
        EXPECT_EQ(r.result.height, c.th);
        EXPECT_EQ(r.result.sourceWidth, c.w);
    }
}

TEST(JpegReduceTest, ReducedPictureKeepsTheSceneColours) {
    JpegReducer reducer;
    for (int i = 0; i < 4; ++i) {
        Reduced r = reduce(reducer, cmtest::makeCameraJpeg(640, 360, cmtest::inputTint(i), TJSAMP_422, 85, i + 7));
        ASSERT_EQ(r.result.status, ReduceStatus::Ok);
        EXPECT_EQ(cmtest::inputOfTint(cmtest::decodeJpeg(r.jpeg).mean()), i);
    }
    Reduced flat = reduce(reducer, cmtest::makeFlatJpeg(64, 48, {10, 200, 30}));
    ASSERT_EQ(flat.result.status, ReduceStatus::Ok);
    EXPECT_TRUE(cmtest::near(cmtest::decodeJpeg(flat.jpeg).mean(), {10, 200, 30}, 6));
}

// UVC cameras send Motion-JPEG frames without Huffman tables; the decoder
// must take the standard tables and give the same picture.
TEST(JpegReduceTest, FramesWithoutHuffmanTablesReduceLikeCompleteOnes) {
    // Quality 75 with the default tables: what such cameras encode with.
    Bytes full = cmtest::makeCameraJpeg(1280, 720, cmtest::inputTint(2), TJSAMP_422, 75, 3);
    Bytes bare = emucam::withoutHuffmanTables(full);
    ASSERT_TRUE(cmtest::hasHuffmanTables(full));
    ASSERT_FALSE(cmtest::hasHuffmanTables(bare));
    ASSERT_LT(bare.size(), full.size());
    JpegReducer reducer;
    Reduced a = reduce(reducer, full);
    Reduced b = reduce(reducer, bare);
    ASSERT_EQ(a.result.status, ReduceStatus::Ok);
    ASSERT_EQ(b.result.status, ReduceStatus::Ok) << b.result.detail;
    cmtest::Decoded da = cmtest::decodeJpeg(a.jpeg), db = cmtest::decodeJpeg(b.jpeg);
    ASSERT_TRUE(db.ok);
    EXPECT_EQ(db.width, 320);
    EXPECT_EQ(db.height, 180);
    EXPECT_EQ(da.rgb, db.rgb);
}

TEST(JpegReduceTest, PicturesThatAreNotDecodableJpegsAreRefused) {
    JpegReducer reducer;
    Bytes good = cmtest::makeCameraJpeg(320, 240, cmtest::inputTint(0), TJSAMP_422);

    EXPECT_EQ(reduce(reducer, Bytes{}).result.status, ReduceStatus::Empty);

    Bytes yuyv(640 * 480 * 2);
    for (std::size_t k = 0; k < yuyv.size(); ++k) yuyv[k] = static_cast<unsigned char>(k % 2 ? 128 : (k * 7) & 0xff);
    EXPECT_EQ(reduce(reducer, yuyv).result.status, ReduceStatus::NotJpeg);

    Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
    EXPECT_EQ(reduce(reducer, truncated).result.status, ReduceStatus::Corrupt);

    Bytes headerOnly(good.begin(), good.begin() + 300);
    ReduceStatus s = reduce(reducer, headerOnly).result.status;
    EXPECT_TRUE(s == ReduceStatus::Corrupt || s == ReduceStatus::NotJpeg);

    Bytes damaged = good;
    for (std::size_t k = good.size() / 3; k < good.size() / 3 + 400; ++k) damaged[k] = 0xFF;
    EXPECT_NE(reduce(reducer, damaged).result.status, ReduceStatus::Ok);

    Bytes soiOnly = {0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_EQ(reduce(reducer, soiOnly).result.status, ReduceStatus::NotJpeg);

    // After all that the reducer still works.
    EXPECT_EQ(reduce(reducer, good).result.status, ReduceStatus::Ok);
}

// Some cameras end their frames without the end-of-image marker; such a
// frame decodes whole and is reduced like the complete one. A frame whose
// scan data stops short, even by a few bytes, is still refused.
TEST(JpegReduceTest, PictureLackingOnlyItsEndMarkerIsReducedLikeTheWholeOne) {
    JpegReducer reducer;
    for (bool uvc : {false, true}) {
        SCOPED_TRACE(uvc ? "without Huffman tables" : "complete");
        Bytes whole = cmtest::makeCameraJpeg(640, 480, cmtest::inputTint(1), TJSAMP_422, 75, 5);
        if (uvc) whole = emucam::withoutHuffmanTables(whole);
        ASSERT_EQ(whole[whole.size() - 2], 0xFF);
        ASSERT_EQ(whole[whole.size() - 1], 0xD9);
        const Bytes noEnd(whole.begin(), whole.end() - 2);
        Reduced a = reduce(reducer, whole);
        Reduced b = reduce(reducer, noEnd);
        ASSERT_EQ(a.result.status, ReduceStatus::Ok);
        ASSERT_EQ(b.result.status, ReduceStatus::Ok) << b.result.detail;
        EXPECT_EQ(cmtest::decodeJpeg(a.jpeg).rgb, cmtest::decodeJpeg(b.jpeg).rgb);
        for (std::size_t shortBy : {8u, 64u}) {
            const Bytes cut(whole.begin(), whole.end() - 2 - static_cast<long>(shortBy));
            EXPECT_EQ(reduce(reducer, cut).result.status, ReduceStatus::Corrupt) << shortBy;
        }
    }
}

// A header may claim any size up to 65535 x 65535; the reducer must not try
// to allocate for it.
TEST(JpegReduceTest, HugeClaimedDimensionsAreRefusedWithoutDecoding) {
    Bytes jpeg = cmtest::makeFlatJpeg(16, 16, {1, 2, 3});
    bool patched = false;
    for (std::size_t p = 2; p + 9 < jpeg.size();) {
        if (jpeg[p + 1] == 0xC0) {  // baseline frame header: precision, height, width
            jpeg[p + 5] = 0xFF, jpeg[p + 6] = 0x00;
            jpeg[p + 7] = 0xFF, jpeg[p + 8] = 0x00;
            patched = true;
            break;
        }
        p += 2 + ((static_cast<std::size_t>(jpeg[p + 2]) << 8) | jpeg[p + 3]);
    }
    ASSERT_TRUE(patched);
    JpegReducer reducer;
    streaming::ReduceResult r = reduce(reducer, jpeg).result;
    EXPECT_EQ(r.status, ReduceStatus::SourceTooLarge);
    EXPECT_EQ(r.sourceWidth, 0xFF00);
}

TEST(JpegReduceTest, OutputLargerThanTheBufferIsRefused) {
    JpegReducer reducer;
    Bytes src = cmtest::makeCameraJpeg(1280, 720, cmtest::inputTint(3), TJSAMP_422, 95);
    Reduced fits = reduce(reducer, src);
    ASSERT_EQ(fits.result.status, ReduceStatus::Ok);
    Reduced small = reduce(reducer, src, 25, fits.result.length - 1);
    EXPECT_EQ(small.result.status, ReduceStatus::OutputTooLarge);
    EXPECT_EQ(small.result.length, fits.result.length);
}

TEST(JpegReduceTest, OtherScalesAndSourceKindsGiveExactSizes) {
    JpegReducer reducer;
    struct Case {
        Bytes src;
        int scale, tw, th;
    } cases[] = {
        {cmtest::makeCameraJpeg(640, 480, cmtest::inputTint(0), TJSAMP_GRAY), 25, 160, 120},
        {cmtest::makeCameraJpeg(640, 480, cmtest::inputTint(0), TJSAMP_444), 25, 160, 120},
        {cmtest::makeCameraJpeg(640, 480, cmtest::inputTint(0), TJSAMP_420), 30, 192, 144},
        {cmtest::makeCameraJpeg(333, 221, cmtest::inputTint(0), TJSAMP_422), 50, 166, 110},
        {cmtest::makeCameraJpeg(64, 48, cmtest::inputTint(0), TJSAMP_422), 100, 64, 48},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "scale " << c.scale << " to " << c.tw << "x" << c.th);
        Reduced r = reduce(reducer, c.src, c.scale);
        ASSERT_EQ(r.result.status, ReduceStatus::Ok) << r.result.detail;
        cmtest::Decoded d = cmtest::decodeJpeg(r.jpeg);
        EXPECT_EQ(d.width, c.tw);
        EXPECT_EQ(d.height, c.th);
    }
    Bytes tiny = cmtest::makeFlatJpeg(3, 3, {0, 0, 0});
    EXPECT_EQ(reduce(reducer, tiny, 25).result.status, ReduceStatus::BadScale);
    EXPECT_EQ(reduce(reducer, tiny, 0).result.status, ReduceStatus::BadScale);
    EXPECT_EQ(reduce(reducer, tiny, 101).result.status, ReduceStatus::BadScale);
}

}  // namespace
