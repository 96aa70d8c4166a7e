#include "v4l2/memory_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/disk_space.h"
#include "common/run_config.h"
#include "common/time_group.h"
#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "support/test_support.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/conversion_start.h"
#include "v4l2/converter_command.h"
#include "v4l2/device_state.h"
#include "v4l2/raw_clip_writer.h"
#include "v4l2/system_commands.h"

namespace {

using cmtest::fileExists;
using cmtest::readFile;
using cmtest::writeFile;

const char kTs[] = "20240105123000_123456";

// ---- the buffer and the files, on an emulated board root ----

std::size_t residentPages(const unsigned char* from, std::size_t length) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> v((length + page - 1) / page);
    if (mincore(const_cast<unsigned char*>(from), length, v.data()) != 0) return static_cast<std::size_t>(-1);
    return static_cast<std::size_t>(std::count_if(v.begin(), v.end(), [](unsigned char c) { return (c & 1) != 0; }));
}

class MemoryOutputTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        cmtest::makeDirs(LBASE_PATH + "/queue");
        ts = szTimeGroupTimestamp.renew();
        g_bStreamingVideo.store(0);
        dev_name[1].store("/dev/video1");
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        resetSystemCommandsForTests();
        resetMemoryOutputForTests();
        uninit_streaming_output_buffer();
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        if (HasFailure()) printf("--- stdout:\n%s\n--- stderr:\n%s\n", out.c_str(), err.c_str());
    }
    void finishCapture() {
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    static std::string frames(int n, std::size_t size) {
        std::string s;
        for (int i = 0; i < n; ++i) s += std::string(size, static_cast<char>('a' + i % 26));
        return s;
    }
    // A save, and the raw clip writer done with it.
    static void save(int N, const char* name) {
        save_memory_output_buffer(N, name);
        ASSERT_TRUE(finishRawClipWrites(10000));
    }
    void fill(int N, const std::string& bytes) {
        ASSERT_TRUE(append_memory_output_frame(N, bytes.data(), bytes.size()));
    }
    std::string rawPath(const char* name, int N, const std::string& suffix = "") const {
        return root.path("/tmp/") + name + "_" + std::to_string(N) + "_" + ts + suffix + ".raw";
    }

    cmtest::BoardRoot root;
    std::string ts, out, err;
};

TEST_F(MemoryOutputTest, FramesLieBackToBackAndCountAsAppended) {
    init_memory_output_buffer(1);
    fill(1, "abc");
    fill(1, "defg");
    EXPECT_EQ(memory_otuput[1].len.load(), 7u);
    EXPECT_EQ(memory_otuput[1].count.load(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(memory_otuput[1].data), 7), "abcdefg");
    reset_memory_output_buffer(1);
    EXPECT_EQ(memory_otuput[1].len.load(), 0u);
    EXPECT_EQ(memory_otuput[1].count.load(), 0u);
    EXPECT_NE(memory_otuput[1].data, nullptr);
    uninit_memory_output_buffer(1);
    EXPECT_EQ(memory_otuput[1].data, nullptr);
    EXPECT_FALSE(append_memory_output_frame(1, "x", 1));
}

TEST_F(MemoryOutputTest, AFrameReachingTheBlockEndIsRefusedOneByteLessIsStored) {
    init_memory_output_buffer(0);
    const unsigned start = kMemoryOutputSize - 5000;
    memory_otuput[0].len.store(start);
    std::string frame(5000, 'z');
    EXPECT_FALSE(append_memory_output_frame(0, frame.data(), 5000));
    EXPECT_EQ(memory_otuput[0].len.load(), start);
    EXPECT_EQ(memory_otuput[0].count.load(), 0u);
    EXPECT_TRUE(append_memory_output_frame(0, frame.data(), 4999));
    EXPECT_EQ(memory_otuput[0].len.load(), kMemoryOutputSize - 1);
    EXPECT_EQ(memory_otuput[0].count.load(), 1u);
}

TEST_F(MemoryOutputTest, TheReservationStaysVirtualAndALargeClipsPagesGoBack) {
    init_memory_output_buffer(2);
    unsigned char* block = memory_otuput[2].data;
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(residentPages(block, kMemoryOutputSize), 0u);

    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::string mb(1 << 20, 'f');
    for (int i = 0; i < 40; ++i) fill(2, mb);
    const std::size_t keptPages = kResidentKeepBytes / page;
    const std::size_t tailPages = (40u << 20) / page - keptPages;
    EXPECT_EQ(residentPages(block, kResidentKeepBytes), keptPages);
    EXPECT_EQ(residentPages(block + kResidentKeepBytes, (40u << 20) - kResidentKeepBytes), tailPages);

    // The emptying at a capture loop start keeps the pages for the next loop.
    reset_memory_output_buffer(2);
    EXPECT_EQ(residentPages(block + kResidentKeepBytes, (40u << 20) - kResidentKeepBytes), tailPages);

    // A saved block leaves with its clip: the device records on into a
    // fresh one, which costs nothing until it is filled.
    for (int i = 0; i < 40; ++i) fill(2, mb);
    save(2, "usb");
    ASSERT_NE(memory_otuput[2].data, block);
    block = memory_otuput[2].data;
    EXPECT_EQ(memory_otuput[2].len.load(), 0u);
    EXPECT_EQ(residentPages(block, kMemoryOutputSize), 0u);
    fill(2, "after");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 5), "after");

    for (int i = 0; i < 40; ++i) fill(2, mb);
    drop_memory_output_buffer(2);
    EXPECT_EQ(memory_otuput[2].count.load(), 0u);
    EXPECT_EQ(residentPages(block + kResidentKeepBytes, kMemoryOutputSize - kResidentKeepBytes), 0u);
}

TEST_F(MemoryOutputTest, SaveOf500BytesOrLessWritesNothing) {
    init_memory_output_buffer(1);
    fill(1, std::string(500, 'x'));
    save(1, "usb");
    finishCapture();
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 0u);
    EXPECT_EQ(system_commands.size(), 0u);
    EXPECT_EQ(err, "/dev/video1: \nSave memory buffer done\n");
    EXPECT_EQ(out, "");
}

TEST_F(MemoryOutputTest, SaveWritesTheRawClipReadableQueuesItsConversionAndEmptiesTheBuffer) {
    init_memory_output_buffer(1);
    const std::string content = frames(3, 400);
    fill(1, content.substr(0, 400));
    fill(1, content.substr(400));
    save(1, "usb");
    finishCapture();

    const std::string raw = rawPath("usb", 1);
    EXPECT_EQ(readFile(raw), content);
    struct stat st {};
    ASSERT_EQ(stat(raw.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(memory_otuput[1].len.load(), 0u);
    EXPECT_EQ(memory_otuput[1].count.load(), 0u);
    // No temporary file left: the raw clip, its format file, the private
    // output directory.
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 3u);

    ASSERT_EQ(system_commands.size(), 1u);
    EXPECT_TRUE(system_commands.isTagged(raw));
    ClipPaths p = clipPaths(root.path("/tmp"), conversionOutputDir(), LBASE_PATH, "usb", 1, ts);
    const std::string command = convertCommand(converterSettingsFor(deliveredClipFormat(1)), p);
    EXPECT_EQ(out, "camera 1: clip " + raw + " saved, 1200 bytes\nmp4 convert cmd: " + command + "\n");
    // The format file beside it says what the clip holds.
    ClipFormat recorded;
    std::string why;
    ASSERT_EQ(readFormatFile(raw, recorded, why), FormatFileRead::Read) << why;
    EXPECT_EQ(recorded, deliveredClipFormat(1));
    // The worker's line and the writer's, in either order.
    EXPECT_EQ(cmtest::countOf(err, "/dev/video1: \nSave memory buffer done\n"), 1);
    EXPECT_EQ(cmtest::countOf(err, "/dev/video1: " + raw + "\n"), 1);
}

TEST_F(MemoryOutputTest, ALinkPlantedAtTheRawClipNameIsNotFollowed) {
    const std::string victim = root.path("/home/Tarvisel/victim");
    writeFile(victim, "precious");
    // A planted link takes the name: the clip goes under the next variant,
    // and the link's target stays as it was.
    ASSERT_EQ(symlink(victim.c_str(), rawPath("usb", 1).c_str()), 0);
    init_memory_output_buffer(1);
    fill(1, frames(2, 600));
    save(1, "usb");
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(readFile(rawPath("usb", 1, "-2")), frames(2, 600));
}

TEST_F(MemoryOutputTest, ASecondSaveInOneTimeGroupKeepsTheFirstClip) {
    init_memory_output_buffer(1);
    fill(1, frames(1, 900));
    save(1, "usb");
    fill(1, frames(2, 700));
    save(1, "usb");
    EXPECT_EQ(readFile(rawPath("usb", 1)), frames(1, 900));
    EXPECT_EQ(readFile(rawPath("usb", 1, "-2")), frames(2, 700));
    EXPECT_EQ(system_commands.size(), 2u);
    EXPECT_TRUE(system_commands.isTagged(rawPath("usb", 1, "-2")));
}

TEST_F(MemoryOutputTest, ANameWhoseMp4WaitsInTheQueueIsNotReused) {
    writeFile(LBASE_PATH + "/queue/usb_1_" + ts + ".mp4", "waiting for upload");
    init_memory_output_buffer(1);
    fill(1, frames(1, 900));
    save(1, "usb");
    EXPECT_FALSE(fileExists(rawPath("usb", 1)));
    EXPECT_TRUE(fileExists(rawPath("usb", 1, "-2")));
}

TEST_F(MemoryOutputTest, ARawClipThatCannotBeCreatedIsDroppedWithoutACommand) {
    cmtest::removeTree(root.path("/tmp"));
    init_memory_output_buffer(1);
    fill(1, frames(1, 900));
    save(1, "usb");
    finishCapture();
    EXPECT_EQ(memory_otuput[1].len.load(), 0u);
    EXPECT_EQ(system_commands.size(), 0u);
    EXPECT_NE(err.find("Cannot open '" + rawPath("usb", 1) + "': 2, No such file or directory\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("Save memory buffer done"), std::string::npos);
    EXPECT_EQ(out.find("mp4 convert cmd"), std::string::npos);
}

// /tmp on a small RAM disk: free space is what its files leave of 3000
// bytes above the reserve.
std::string g_tmp;
std::optional<std::uint64_t> smallTmp(const std::string&) {
    std::uint64_t used = 0;
    for (const std::string& n : cmtest::listDir(g_tmp)) {
        struct stat st {};
        if (lstat((g_tmp + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode)) used += st.st_size;
    }
    const std::uint64_t capacity = cm::kDiskReserveBytes + 3000;
    return used >= capacity ? 0 : capacity - used;
}

TEST_F(MemoryOutputTest, ARawClipTakesTheRoomOfSetAsideThenWaitingClipsNeverOfTheOneBeingConverted) {
    g_tmp = root.path("/tmp");
    auto clip = [&](const std::string& name, time_t age) {
        writeFile(g_tmp + "/" + name, std::string(900, 'c'));
        timespec t[2] = {{age, 0}, {age, 0}};
        utimensat(AT_FDCWD, (g_tmp + "/" + name).c_str(), t, 0);
        return g_tmp + "/" + name;
    };
    const std::string running = clip("usb_3_20240101000000_000002.raw", 1);
    const std::string waiting = clip("usb_2_20240101000000_000001.raw", 2);
    const std::string setAside = clip("usb_0_20240101000000_000003.raw.failed", 3);
    writeFile(formatFilePath(waiting), "pixelformat=MJPG\n");
    // The oldest: another camera's clip, written a moment ago, whose
    // conversion is not queued yet.
    const std::string saving = g_tmp + "/usb_0_20240101000000_000000.raw";
    writeFile(saving, std::string(300, 'c'));
    timespec t0[2] = {{0, 0}, {0, 0}};
    utimensat(AT_FDCWD, saving.c_str(), t0, 0);
    system_commands.append("convert 3", running);
    std::string command;
    std::size_t n = 0;
    ASSERT_TRUE(system_commands.takeFirst(command, n));  // now being converted
    system_commands.append("convert 2", waiting);
    cm::setFreeSpaceProbeForTests(smallTmp);

    init_memory_output_buffer(1);
    fill(1, frames(1, 1500));
    save(1, "usb");
    EXPECT_EQ(readFile(rawPath("usb", 1)), frames(1, 1500));
    EXPECT_FALSE(fileExists(setAside));
    EXPECT_FALSE(fileExists(waiting));
    EXPECT_FALSE(fileExists(formatFilePath(waiting)));
    EXPECT_FALSE(system_commands.isTagged(waiting));
    EXPECT_TRUE(fileExists(running));
    EXPECT_TRUE(fileExists(saving));

    // No room even without every clip nothing works on: the new clip is
    // dropped with a line, the one being converted stays.
    fill(1, frames(1, 2900));
    save(1, "usb");
    cm::setFreeSpaceProbeForTests(nullptr);
    system_commands.finished();
    finishCapture();
    EXPECT_TRUE(fileExists(running));
    EXPECT_TRUE(fileExists(saving));
    EXPECT_FALSE(fileExists(rawPath("usb", 1, "-2")));
    EXPECT_EQ(memory_otuput[1].len.load(), 0u);
    EXPECT_NE(out.find("disk space short for the raw clip " + rawPath("usb", 1) + ": removed the oldest " + setAside),
              std::string::npos) << out;
    EXPECT_NE(out.find("Raw clip " + rawPath("usb", 1, "-2") + " not written: no room for its 2900 bytes"),
              std::string::npos) << out;
}

TEST_F(MemoryOutputTest, DebugImageIsWrittenAndTakenOutOfTheStreamingEntry) {
    init_streaming_buffer();
    g_bStreamingVideo.store(1);
    const std::string path = root.path("/tmp/debug_3_") + ts + ".jpeg";
    std::string first(800, 'J');
    store_latest_streaming_image(3, first.data(), static_cast<int>(first.size()));
    save_streaming_output_buffer(3, "debug");
    EXPECT_EQ(readFile(path), first);
    with_latest_streaming_image(3, [](StreamingImage& e) {
        EXPECT_EQ(e.length, 0);
        EXPECT_EQ(e.processed, 0);
    });
    // The next picture of the time group replaces the file whole.
    std::string second(600, 'K');
    store_latest_streaming_image(3, second.data(), static_cast<int>(second.size()));
    save_streaming_output_buffer(3, "debug");
    EXPECT_EQ(readFile(path), second);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(MemoryOutputTest, DebugImageNeedsStreamingOnAndMoreThan500Bytes) {
    init_streaming_buffer();
    std::string pic(800, 'J');
    store_latest_streaming_image(0, pic.data(), 800);
    save_streaming_output_buffer(0, "debug");  // streaming off
    g_bStreamingVideo.store(9);
    std::string small(500, 's');
    store_latest_streaming_image(1, small.data(), 500);
    save_streaming_output_buffer(1, "debug");
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 0u);
    with_latest_streaming_image(0, [](StreamingImage& e) { EXPECT_EQ(e.length, 800); });
    with_latest_streaming_image(1, [](StreamingImage& e) { EXPECT_EQ(e.length, 500); });
}

TEST_F(MemoryOutputTest, LeftoverAlreadyQueuedByThisRunIsNotQueuedTwice) {
    init_memory_output_buffer(1);
    fill(1, frames(1, 900));
    save(1, "usb");
    requeuePendingRawClips();
    EXPECT_EQ(system_commands.size(), 1u);
}

void* failingMapper(std::size_t) { return nullptr; }

TEST(MemoryOutputDeathTest, BlockThatCannotBeHadEndsTheProcessWithStatus1) {
    GTEST_FLAG_SET(death_test_style, cmtest::threadedDeathTestStyle());
    EXPECT_EXIT(
        {
            setMemoryBlockMapperForTests(failingMapper);
            init_memory_output_buffer(0);
        },
        testing::ExitedWithCode(1),
                "Cannt create an output buffer\\.\\. Out of memory");
}

}  // namespace
