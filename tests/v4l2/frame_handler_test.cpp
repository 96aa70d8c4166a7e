#include <gtest/gtest.h>

#include <string>

#include "common/run_config.h"
#include "common/time_group.h"
#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "support/test_support.h"
#include "v4l2/capture_loop.h"
#include "v4l2/device_state.h"
#include "v4l2/memory_output.h"

namespace {

class FrameHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        for (int i = 0; i < 4; ++i) init_memory_output_buffer(i);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        for (int i = 0; i < 4; ++i) uninit_memory_output_buffer(i);
        uninit_streaming_output_buffer();
        testing::internal::GetCapturedStdout();
        std::string rest = testing::internal::GetCapturedStderr();
        if (HasFailure()) printf("--- stderr:\n%s\n", rest.c_str());
    }
    std::string errors() {
        std::string e = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStderr();
        return e;
    }
    static int latestLength(int i) {
        int len = -1;
        with_latest_streaming_image(i, [&](StreamingImage& e) { len = e.length; });
        return len;
    }
    cmtest::BoardRoot root;
};

TEST_F(FrameHandlerTest, FramesGoToTheBufferWithAProgressMarkPerDevice) {
    process_image("abc", 3, 0);
    process_image("de", 2, 0);
    process_image("xyz", 3, 2);
    EXPECT_EQ(errors(), "..2");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(memory_otuput[0].data), 5), "abcde");
    EXPECT_EQ(memory_otuput[0].count.load(), 2u);
    EXPECT_EQ(memory_otuput[2].len.load(), 3u);
}

TEST_F(FrameHandlerTest, OverflowOutsideAClipRaisesFourAndDropsTheFrame) {
    memory_otuput[1].len.store(kMemoryOutputSize - 10);
    std::string frame(10, 'f');
    process_image(frame.data(), 10, 1);
    EXPECT_EQ(errors(), "Buffer full!\n1");
    EXPECT_EQ(g_bSaveFile[1].load(), 4);
    EXPECT_EQ(memory_otuput[1].count.load(), 0u);
    EXPECT_EQ(memory_otuput[1].len.load(), kMemoryOutputSize - 10);
}

TEST_F(FrameHandlerTest, OverflowWhileAClipIsMadeRaisesTheClipsType) {
    g_nSaveType.store(2);
    memory_otuput[3].len.store(kMemoryOutputSize - 1);
    process_image("x", 1, 3);
    EXPECT_EQ(g_bSaveFile[3].load(), 2);
    g_nSaveType.store(1);
    g_bSaveFile[3].store(0);
    process_image("x", 1, 3);
    EXPECT_EQ(g_bSaveFile[3].load(), 1);
}

TEST_F(FrameHandlerTest, OverflowKeepsASaveRequestAlreadyPending) {
    g_bSaveFile[0].store(1);  // an alert clip is waiting for this loop to end
    memory_otuput[0].len.store(kMemoryOutputSize - 1);
    process_image("x", 1, 0);
    EXPECT_EQ(g_bSaveFile[0].load(), 1);
}

TEST_F(FrameHandlerTest, StreamingWithoutItsTableMarksUnderscore) {
    g_bStreamingVideo.store(9);
    process_image("abc", 3, 1);
    EXPECT_EQ(errors(), "_1");
    EXPECT_EQ(memory_otuput[1].len.load(), 3u);
}

TEST_F(FrameHandlerTest, StreamingCopiesTheFrameIntoTheDevicesEntry) {
    init_streaming_buffer();
    errors();
    g_bStreamingVideo.store(3);
    std::string frame(699999, 'p');
    process_image(frame.data(), 699999, 2);
    EXPECT_EQ(errors(), "|2");
    EXPECT_EQ(latestLength(2), 699999);
    EXPECT_EQ(latestLength(1), 0);
    with_latest_streaming_image(2, [](StreamingImage& e) { EXPECT_EQ(e.processed, 1); });
}

TEST_F(FrameHandlerTest, AFrameTooLargeForStreamingStillGoesToTheBuffer) {
    init_streaming_buffer();
    errors();
    g_bStreamingVideo.store(1);
    std::string frame(700000, 'q');
    process_image(frame.data(), 700000, 0);
    EXPECT_EQ(errors(), "Streaming Buffer full!... 700000 bytes\n.");
    EXPECT_EQ(latestLength(0), 0);
    EXPECT_EQ(memory_otuput[0].len.load(), 700000u);
}

TEST_F(FrameHandlerTest, StreamingOffTouchesNoEntry) {
    init_streaming_buffer();
    errors();
    process_image("abc", 3, 0);
    EXPECT_EQ(errors(), ".");
    EXPECT_EQ(latestLength(0), 0);
}

TEST_F(FrameHandlerTest, DebugFilesTakeEachStreamedFrame) {
    init_streaming_buffer();
    g_bStreamingVideo.store(1);
    g_bDebugJPEGStreamingFiles = 1;
    const std::string ts = szTimeGroupTimestamp.renew();
    std::string frame(900, 'd');
    process_image(frame.data(), 900, 1);
    EXPECT_EQ(cmtest::readFile(root.path("/tmp/debug_1_" + ts + ".jpeg")), frame);
    EXPECT_EQ(latestLength(1), 0);
}

}  // namespace
