#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/disk_space.h"
#include "common/run_config.h"
#include "support/test_support.h"
#include "v4l2/conversion_job.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/conversion_start.h"
#include "v4l2/move_into_queue.h"
#include "v4l2/mp4_check.h"
#include "v4l2/system_commands.h"

// The conversion job (conversion_job.h) and its start-up (conversion_start.h).
namespace conversion_test {

using cmtest::countOf;
using cmtest::fileExists;
using cmtest::readFile;
using cmtest::writeFile;

std::optional<std::uint64_t> plentyOfSpace(const std::string&) { return 1ULL << 40; }
std::optional<std::uint64_t> noSpace(const std::string&) { return 0; }

// A converter stand-in that behaves as `script` says; "$out" is the file
// named last, "$in" the one after "-i". WHOLE writes a small whole MP4 file.
class ConversionTest : public testing::Test {
protected:
    void SetUp() override {
        resetSystemCommandsForTests();
        resetRunConfig();
        cm::setFreeSpaceProbeForTests(plentyOfSpace);
        cmtest::makeDirs(LBASE_PATH + "/queue");
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        cm::setFreeSpaceProbeForTests(nullptr);
        resetSystemCommandsForTests();
        out += testing::internal::GetCapturedStdout();
        if (HasFailure()) printf("--- stdout:\n%s\n", out.c_str());
    }
    void converter(const std::string& body) {
        writeFile(root.path("/usr/bin/avconv"),
                  "#!/bin/sh\nprev=; for a; do [ \"$prev\" = -i ] && in=$a; prev=$a; out=$a; done\n"
                  "echo \"$in\" >> " + root.path("/calls") + "\n" + body + "\n");
        chmod(root.path("/usr/bin/avconv").c_str(), 0755);
    }
    static constexpr const char* kWhole =
        "printf '\\000\\000\\000\\014ftypisom\\000\\000\\000\\010moov\\000\\000\\000\\011mdat' > \"$out\"; "
        "cat \"$in\" | head -c 1 >> \"$out\"";
    std::string raw(const std::string& stem) const { return root.path("/tmp/") + stem + ".raw"; }
    std::string queued(const std::string& stem) const { return LBASE_PATH + "/queue/" + stem + ".mp4"; }
    void saveRaw(const std::string& stem, const ClipFormat& f = ClipFormat{V4L2_PIX_FMT_MJPEG, 320, 240, 10, 1, false}) {
        writeFile(raw(stem), "frames of " + stem);
        int err = 0;
        ASSERT_TRUE(writeFormatFile(raw(stem), f, err));
    }
    void convert(const std::string& stem, ConverterSettings s = converterSettingsFromRunConfig()) {
        ClipPaths p = clipPaths(root.path("/tmp"), conversionOutputDir(), LBASE_PATH, "usb", 0, "x");
        p.raw = raw(stem);
        p.queued = queued(stem);
        queueConversion(p, s);
    }
    // Runs due commands, moving the clock on by `seconds` after each pass.
    int runFor(int seconds) {
        int ran = 0;
        for (int t = 0; t < seconds; ++t) {
            if (runNextSystemCommand()) ++ran;
            clock.advance(std::chrono::seconds(1));
        }
        return ran;
    }
    std::string log() {
        out += testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return out;
    }

    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
    std::string out;
};

TEST_F(ConversionTest, ACheckedClipIsMovedIntoTheQueueAndOnlyThenTheRawClipGoes) {
    converter(kWhole);
    saveRaw("usb_0_20240105123000_000001");
    convert("usb_0_20240105123000_000001");
    EXPECT_EQ(runFor(2), 1);
    std::string why;
    EXPECT_TRUE(isWholeMp4File(queued("usb_0_20240105123000_000001"), why)) << why;
    EXPECT_FALSE(fileExists(raw("usb_0_20240105123000_000001")));
    EXPECT_FALSE(fileExists(formatFilePath(raw("usb_0_20240105123000_000001"))));
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 1u);
    EXPECT_EQ(cmtest::listDir(conversionOutputDir()).size(), 0u);
    struct stat st {};
    ASSERT_EQ(lstat(conversionOutputDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(log().find("cmd result: 0\n"), std::string::npos);
}

// A converter that fails, is killed, says 0 but leaves half a file, or
// fails after writing part of its output: the raw clip stays, nothing
// reaches the queue, the daily log says so, and the clip is tried again
// after a growing pause until it works; a fourth try that works delivers it.
TEST_F(ConversionTest, FailuresKeepTheRawClipAndAreRetriedAfterGrowingPauses) {
    converter("n=$(wc -l < " + root.path("/calls") + ")\n"
              "case $n in 1) exit 1;; 2) kill -9 $$;; 3) printf '\\000\\000\\000\\014ftypisom\\000\\000' > \"$out\";;"
              " *) " + kWhole + ";; esac");
    saveRaw("usb_0_20240105123000_000001");
    convert("usb_0_20240105123000_000001");
    EXPECT_EQ(runFor(1), 1);
    EXPECT_TRUE(fileExists(raw("usb_0_20240105123000_000001")));
    EXPECT_EQ(runFor(29), 0);  // the first pause: 30 s
    EXPECT_EQ(runFor(1), 1);
    EXPECT_EQ(runFor(59), 0);  // then 60 s
    EXPECT_EQ(runFor(1), 1);
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 0u);
    EXPECT_EQ(runFor(119), 0);  // then 120 s
    EXPECT_EQ(runFor(1), 1);
    EXPECT_TRUE(fileExists(queued("usb_0_20240105123000_000001")));
    EXPECT_FALSE(fileExists(raw("usb_0_20240105123000_000001")));
    const std::string daily = log();
    EXPECT_NE(daily.find("failed (the converter status 1), attempt 1 of 5; trying again in 30 s"), std::string::npos);
    EXPECT_NE(daily.find("failed (the converter killed by signal 9), attempt 2 of 5; trying again in 60 s"),
              std::string::npos);
    EXPECT_NE(daily.find("left no whole MP4 file: a box header cut off at byte 12), attempt 3 of 5"),
              std::string::npos);
    EXPECT_EQ(countOf(daily, "mp4 convert cmd: "), 4);
    EXPECT_EQ(cmtest::listDir(conversionOutputDir()).size(), 0u);
}

TEST_F(ConversionTest, AClipThatKeepsFailingIsSetAsideAndWhatIsSetAsideIsBounded) {
    converter("exit 1");
    const char* stems[] = {"usb_0_20240105120000_000001", "usb_0_20240105120000_000002", "usb_0_20240105120000_000003",
                           "usb_0_20240105120000_000004"};
    writeFile(raw(stems[0]) + ".failed", std::string(kSetAsideMaxBytes - 10, 'o'));  // set aside earlier
    saveRaw(stems[1]);
    convert(stems[1]);
    runFor(30 + 60 + 120 + 240 + 10);
    EXPECT_FALSE(fileExists(raw(stems[1])));
    EXPECT_TRUE(fileExists(raw(stems[1]) + ".failed"));
    EXPECT_TRUE(fileExists(formatFilePath(raw(stems[1]) + ".failed")));
    // Together over the byte bound: the oldest went, with one line.
    EXPECT_FALSE(fileExists(raw(stems[0]) + ".failed"));
    std::string daily = log();
    EXPECT_EQ(countOf(daily, "Removed the oldest clip set aside, " + raw(stems[0]) + ".failed"), 1);
    EXPECT_NE(daily.find("Conversion of " + raw(stems[1]) + " failed 5 times: set aside as"), std::string::npos);
    EXPECT_EQ(countOf(daily, "running cmd: "), 5);
    // Set-aside clips are passed over by the next start.
    requeuePendingRawClips();
    EXPECT_EQ(system_commands.size(), 0u);

    for (const char* s : {stems[2], stems[3], "usb_0_20240105120000_000005"}) writeFile(raw(s) + ".failed", "small");
    saveRaw("usb_0_20240105120000_000006");
    convert("usb_0_20240105120000_000006");
    runFor(30 + 60 + 120 + 240 + 10);
    std::size_t aside = 0;
    for (const std::string& n : cmtest::listDir(root.path("/tmp")))
        if (n.size() > 7 && n.substr(n.size() - 7) == ".failed") ++aside;
    EXPECT_EQ(aside, static_cast<std::size_t>(kSetAsideMaxClips));
    EXPECT_TRUE(fileExists(raw("usb_0_20240105120000_000006") + ".failed"));
}

TEST_F(ConversionTest, FailuresWhileSpaceIsShortAreNotHeldAgainstTheClip) {
    converter("exit 1");
    cm::setFreeSpaceProbeForTests(noSpace);
    saveRaw("usb_0_20240105123000_000001");
    convert("usb_0_20240105123000_000001");
    runFor(6 * 3600);
    EXPECT_TRUE(fileExists(raw("usb_0_20240105123000_000001")));  // never set aside
    EXPECT_NE(log().find("while space is short; trying again in 960 s"), std::string::npos);
    // Space is back: the next try converts it.
    converter(kWhole);
    cm::setFreeSpaceProbeForTests(plentyOfSpace);
    runFor(961);
    EXPECT_TRUE(fileExists(queued("usb_0_20240105123000_000001")));
}

// A raw clip removed (to make room) after its conversion was queued: the
// clip's lock (flock) creates an empty file at its name and the converter
// fails on it. The clip is gone, with one line; nothing is retried or set
// aside, and nothing is left in /tmp.
TEST_F(ConversionTest, AClipRemovedBeforeItsConversionRanIsGoneNotRetried) {
    converter("[ -s \"$in\" ] || exit 1\n" + std::string(kWhole));
    saveRaw("usb_0_20240105123000_000001");
    convert("usb_0_20240105123000_000001");
    ASSERT_EQ(unlink(raw("usb_0_20240105123000_000001").c_str()), 0);
    EXPECT_EQ(runFor(400), 1);
    EXPECT_EQ(system_commands.size(), 0u);
    for (const std::string& n : cmtest::listDir(root.path("/tmp"))) EXPECT_EQ(n.find("usb_0_"), std::string::npos) << n;
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 0u);
    const std::string daily = log();
    EXPECT_EQ(countOf(daily, "Conversion of " + raw("usb_0_20240105123000_000001") + ": the raw clip is gone"), 1);
    EXPECT_EQ(daily.find("set aside"), std::string::npos);
}

TEST_F(ConversionTest, ALockedClipWaitsForTheConverterHoldingItWithoutFailing) {
    converter(kWhole);
    saveRaw("usb_0_20240105123000_000001");
    // An earlier process's converter, still running, holds the clip's lock.
    ASSERT_EQ(system(("(flock " + raw("usb_0_20240105123000_000001") + " sleep 3 &) ; sleep 0.5").c_str()), 0);
    convert("usb_0_20240105123000_000001");
    EXPECT_EQ(runFor(1), 1);
    EXPECT_NE(log().find("cmd result: 19200\n"), std::string::npos);  // status 75
    EXPECT_NE(out.find("waits: another converter still works on it; trying again in 30 s"), std::string::npos);
    EXPECT_TRUE(fileExists(raw("usb_0_20240105123000_000001")));
    sleep(3);  // the other converter ends
    runFor(31);
    EXPECT_TRUE(fileExists(queued("usb_0_20240105123000_000001")));
    EXPECT_EQ(countOf(log(), "attempt"), 0);
}

TEST_F(ConversionTest, AConverterPastItsTimeLimitIsEndedAndCountedAsAFailure) {
    converter("sleep 60; " + std::string(kWhole));
    saveRaw("usb_0_20240105123000_000001");
    ConverterSettings s = converterSettingsFromRunConfig();
    s.timeLimitSeconds = 1;
    convert("usb_0_20240105123000_000001", s);
    EXPECT_EQ(runFor(1), 1);
    EXPECT_NE(log().find("the converter ran past its limit of 1 s and was ended), attempt 1 of 5"), std::string::npos);
    EXPECT_TRUE(fileExists(raw("usb_0_20240105123000_000001")));
}

TEST_F(ConversionTest, AFailedMoveKeepsTheRawClipAndLeavesNothingInTheQueue) {
    converter(kWhole);
    saveRaw("usb_0_20240105123000_000001");
    convert("usb_0_20240105123000_000001");
    ASSERT_EQ(rmdir((LBASE_PATH + "/queue").c_str()), 0);
    runFor(1);
    EXPECT_TRUE(fileExists(raw("usb_0_20240105123000_000001")));
    EXPECT_NE(log().find("moving it into the queue failed: No such file or directory), attempt 1"), std::string::npos);
    EXPECT_EQ(cmtest::listDir(conversionOutputDir()).size(), 0u);
    cmtest::makeDirs(LBASE_PATH + "/queue");
    runFor(31);
    EXPECT_TRUE(fileExists(queued("usb_0_20240105123000_000001")));
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 1u);
}

// ---- start-up ----

TEST_F(ConversionTest, AtStartLeftoverClipsAreQueuedAlertsFirstOldestFirstAsRecordedAndStaleFilesGo) {
    const std::string tmp = root.path("/tmp/");
    saveRaw("usb_2_20240105120000_000001", ClipFormat{V4L2_PIX_FMT_YUYV, 320, 240, 30, 1, false});
    writeFile(tmp + "user_0_20240101000000_000000.raw", "no format file: an older version's");
    writeFile(tmp + "usb_1_20240105120000_000001-2.raw", "hostile format file");
    writeFile(tmp + "usb_1_20240105120000_000001-2.raw.format", "pixelformat=YUYV\nwidth=1;reboot\n");
    writeFile(tmp + "usb_3_20240105120000_000001.raw", "converted already");
    writeFile(LBASE_PATH + "/queue/usb_3_20240105120000_000001.mp4", "the clip");
    writeFile(tmp + "usb_2_20240105120000_000001.mp4", "an older version's temporary MP4");
    writeFile(tmp + ".usb_3_20240105120000_000001.raw.Ab12Cd", "half written");
    writeFile(tmp + ".usb_3_20240105120000_000001.raw.format.Ab12Cd", "half written");
    writeFile(tmp + "notes_1_20240105120000_000001.raw", "not ours");
    writeFile(tmp + "usb_9_20240105120000_000001.raw", "no such device");
    writeFile(tmp + "usb_1_2024010512_000001.raw", "not a time group");
    writeFile(tmp + "usb_0_20240105120000_000009.raw.failed", "set aside");
    writeFile(root.path("/home/Tarvisel/x"), "x");
    ASSERT_EQ(symlink(root.path("/home/Tarvisel/x").c_str(), (tmp + "mem_0_20240105120000_000001.raw").c_str()), 0);
    // Private directories: a stale one of ours goes; a link, or one of
    // another user, of the same pattern is left alone.
    cmtest::makeDirs(tmp + "capture_module.convert.Stale1");
    writeFile(tmp + "capture_module.convert.Stale1/usb.mp4", "x");
    cmtest::makeDirs(root.path("/home/Tarvisel/keep"));
    writeFile(root.path("/home/Tarvisel/keep/precious"), "precious");
    ASSERT_EQ(symlink(root.path("/home/Tarvisel/keep").c_str(), (tmp + "capture_module.convert.Link01").c_str()), 0);

    // A cut while a clip entered the queue: whole under its in-progress
    // name (finished; its raw clip then goes) or cut off (left for the
    // removal of unfinished files; its raw clip is converted again). A
    // format file whose raw clip never took its name goes.
    const std::string whole("\0\0\0\x0c" "ftypisom" "\0\0\0\x08" "moov" "\0\0\0\x09" "mdat" "x", 29);
    writeFile(tmp + "usb_0_20240105120000_000001.raw", "converted, staged");
    writeFile(LBASE_PATH + "/queue/.incomplete.usb_0_20240105120000_000001.mp4", whole);
    writeFile(LBASE_PATH + "/queue/.incomplete.usb_0_20240105120000_000002.mp4", whole.substr(0, 24));
    writeFile(tmp + "usb_1_20240105120000_000005.raw.format", "pixelformat=MJPG\n");
    EXPECT_EQ(finishStagedClips(LBASE_PATH + "/queue"), 1);
    EXPECT_EQ(readFile(queued("usb_0_20240105120000_000001")), whole);
    EXPECT_TRUE(fileExists(LBASE_PATH + "/queue/.incomplete.usb_0_20240105120000_000002.mp4"));

    startClipConversion();
    const std::string daily = log();
    EXPECT_FALSE(fileExists(tmp + "usb_0_20240105120000_000001.raw"));
    EXPECT_FALSE(fileExists(tmp + "usb_1_20240105120000_000005.raw.format"));

    EXPECT_FALSE(fileExists(tmp + "capture_module.convert.Stale1"));
    EXPECT_EQ(readFile(root.path("/home/Tarvisel/keep/precious")), "precious");
    EXPECT_FALSE(fileExists(tmp + "usb_3_20240105120000_000001.raw"));
    EXPECT_EQ(readFile(LBASE_PATH + "/queue/usb_3_20240105120000_000001.mp4"), "the clip");
    EXPECT_FALSE(fileExists(tmp + ".usb_3_20240105120000_000001.raw.Ab12Cd"));
    EXPECT_FALSE(fileExists(tmp + ".usb_3_20240105120000_000001.raw.format.Ab12Cd"));
    EXPECT_FALSE(fileExists(tmp + "usb_2_20240105120000_000001.mp4"));
    EXPECT_TRUE(fileExists(tmp + "notes_1_20240105120000_000001.raw"));
    EXPECT_NE(daily.find("Format file of " + tmp + "usb_1_20240105120000_000001-2.raw refused (not a format file)"),
              std::string::npos);
    EXPECT_NE(daily.find("No format file beside " + tmp + "user_0_20240101000000_000000.raw"), std::string::npos);

    std::string order;
    std::string command;
    std::size_t waiting = 0;
    std::vector<std::string> commands;
    while (system_commands.takeFirst(command, waiting)) {
        commands.push_back(command);
        system_commands.finished();
    }
    // The alert's clips first, though the user clip is older.
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_NE(commands[0].find("-f rawvideo -pix_fmt yuyv422 -s 320x240  -r 30 -i " + tmp +
                               "usb_2_20240105120000_000001.raw"),
              std::string::npos)
        << commands[0];
    EXPECT_NE(commands[1].find("-f mjpeg   -i " + tmp + "usb_1_20240105120000_000001-2.raw"), std::string::npos);
    EXPECT_NE(commands[2].find("-f mjpeg   -i " + tmp + "user_0_20240101000000_000000.raw"), std::string::npos);
    EXPECT_EQ(commands[1].find("reboot"), std::string::npos);
}

}  // namespace conversion_test