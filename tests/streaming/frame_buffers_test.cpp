#include "streaming/frame_buffers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

class FrameBuffersTest : public testing::Test {
protected:
    void SetUp() override { testing::internal::CaptureStdout(); }
    void TearDown() override {
        uninit_streaming_output_buffer();
        setStreamingAllocatorForTests(nullptr);
        testing::internal::GetCapturedStdout();
    }
    static int latestLength(int i) {
        int len = -1;
        with_latest_streaming_image(i, [&](StreamingImage& e) { len = e.length; });
        return len;
    }
    static int latestMarker(int i) {
        int m = -1;
        with_latest_streaming_image(i, [&](StreamingImage& e) { m = e.processed; });
        return m;
    }
};

TEST_F(FrameBuffersTest, WritersStoreNothingBeforeAllocationOrAfterRelease) {
    char frame[10] = {};
    EXPECT_FALSE(streaming_buffers_exist());
    EXPECT_EQ(store_latest_streaming_image(0, frame, 10), StreamingStore::NoTable);
    init_streaming_buffer();
    EXPECT_EQ(store_latest_streaming_image(0, frame, 10), StreamingStore::Stored);
    uninit_streaming_output_buffer();
    EXPECT_EQ(store_latest_streaming_image(0, frame, 10), StreamingStore::NoTable);
    EXPECT_EQ(latest_streaming_lengths_sum(), 0);
    EXPECT_NE(socket_outgoing_buf, nullptr);  // the body buffer is kept for the next start
    EXPECT_EQ(load_buf[0], nullptr);
}

TEST_F(FrameBuffersTest, WritersRuleAddsOneToTheMarkerPerPicture) {
    init_streaming_buffer();
    std::string pic(1234, 'p');
    ASSERT_EQ(store_latest_streaming_image(3, pic.data(), 1234), StreamingStore::Stored);
    ASSERT_EQ(store_latest_streaming_image(3, pic.data(), 1234), StreamingStore::Stored);
    EXPECT_EQ(latestLength(3), 1234);
    EXPECT_EQ(latestMarker(3), 2);
    with_latest_streaming_image(3, [&](StreamingImage& e) { EXPECT_EQ(std::memcmp(e.data, pic.data(), 1234), 0); });
    EXPECT_EQ(latest_streaming_lengths_sum(), 1234);
    reset_streaming_output_buffer(3);
    EXPECT_EQ(latestLength(3), 0);
    EXPECT_EQ(latestMarker(3), 0);
}

TEST_F(FrameBuffersTest, TakingAPictureConsumesItUntilTheNextOneArrives) {
    std::vector<unsigned char> out{1, 2, 3};
    EXPECT_EQ(take_new_latest_streaming_image(0, out), StreamingTake::Absent);
    EXPECT_TRUE(out.empty());
    init_streaming_buffer();
    EXPECT_EQ(take_new_latest_streaming_image(0, out), StreamingTake::ProcessedBefore);  // 0 == 0
    std::string a(500, 'a'), b(500, 'b');
    store_latest_streaming_image(0, a.data(), 500);
    ASSERT_EQ(take_new_latest_streaming_image(0, out), StreamingTake::New);
    EXPECT_EQ(std::string(out.begin(), out.end()), a);
    EXPECT_EQ(latestMarker(0), latestLength(0));
    EXPECT_EQ(take_new_latest_streaming_image(0, out), StreamingTake::ProcessedBefore);
    EXPECT_TRUE(out.empty());
    // A new picture of the same length is new: the writer's marker moved on.
    store_latest_streaming_image(0, b.data(), 500);
    ASSERT_EQ(take_new_latest_streaming_image(0, out), StreamingTake::New);
    EXPECT_EQ(std::string(out.begin(), out.end()), b);
    // Other entries are untouched.
    EXPECT_EQ(take_new_latest_streaming_image(1, out), StreamingTake::ProcessedBefore);
}

TEST_F(FrameBuffersTest, PictureSizeLimitIs699999Bytes) {
    init_streaming_buffer();
    std::vector<char> big(700000, 'x');
    EXPECT_EQ(store_latest_streaming_image(1, big.data(), 699999), StreamingStore::Stored);
    EXPECT_EQ(store_latest_streaming_image(1, big.data(), 700000), StreamingStore::TooLarge);
    EXPECT_EQ(latestLength(1), 699999);
}

TEST_F(FrameBuffersTest, AllocationFailureOfOneEntryLeavesTheOthersWorking) {
    static int calls;
    calls = 0;
    // Entry order is 0..4 with the latest buffer first: the fifth call is
    // the latest buffer of entry 2.
    setStreamingAllocatorForTests([](std::size_t n) -> void* { return ++calls == 5 ? nullptr : std::malloc(n); });
    testing::internal::CaptureStderr();
    init_streaming_buffer();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cann't create an streaming buffer.. Out of memory\n");
    char frame[600] = {};
    EXPECT_EQ(store_latest_streaming_image(2, frame, 600), StreamingStore::NoBuffer);
    EXPECT_EQ(store_latest_streaming_image(1, frame, 600), StreamingStore::Stored);
    EXPECT_EQ(store_latest_streaming_image(4, frame, 600), StreamingStore::Stored);
    bool resizedBufferMissing = false;
    with_resized_streaming_image(2, [&](StreamingImage& e) { resizedBufferMissing = e.data == nullptr; });
    EXPECT_TRUE(resizedBufferMissing);
}

TEST_F(FrameBuffersTest, ReaderNeverSeesAHalfWrittenPicture) {
    init_streaming_buffer();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<unsigned char> a(200000, 0xAA), b(200000, 0x55);
        for (int n = 0; !stop; ++n) store_latest_streaming_image(0, (n % 2 ? a : b).data(), 200000);
    });
    std::thread releaser([&] {
        for (int n = 0; n < 200; ++n) {
            uninit_streaming_output_buffer();
            init_streaming_buffer(0);
        }
    });
    for (int n = 0; n < 2000; ++n) {
        with_latest_streaming_image(0, [](StreamingImage& e) {
            if (e.data == nullptr || e.length == 0) return;
            unsigned char first = e.data[0];
            for (int k = 1; k < e.length; k += 997) ASSERT_EQ(e.data[k], first);
        });
    }
    releaser.join();
    stop = true;
    writer.join();
}

}  // namespace
