#include "v4l2/clip_conversion.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "app/run_config.h"
#include "common/disk_space.h"
#include "common/queue_names.h"
#include "control/settings.h"
#include "support/test_support.h"
#include "v4l2/memory_output.h"
#include "v4l2/mp4_check.h"
#include "v4l2/system_commands.h"

namespace clip_conversion_test {

using cmtest::countOf;
using cmtest::fileExists;
using cmtest::readFile;
using cmtest::writeFile;

const char kTs[] = "20240105123000_123456";

// ---- command lines (no board root: paths stay as on the board) ----

ConverterSettings defaults() {
    ConverterSettings s;
    s.converter = "/usr/bin/avconv";
    s.input.pixelFormat = V4L2_PIX_FMT_MJPEG;
    s.fps = "-r 30000/1001";
    return s;
}

const ClipPaths kUser1 = clip_paths("/tmp", "/tmp/capture_module.convert.Ab12Cd", "/home/Tarvisel", "user", 1, kTs);

TEST(ConverterCommandTest, DefaultUserClipRunsUnderTheClipsLockAndATimeLimitIntoThePrivateDirectory) {
    EXPECT_EQ(kUser1.raw, "/tmp/user_1_20240105123000_123456.raw");
    EXPECT_EQ(kUser1.temporaryMp4, "/tmp/capture_module.convert.Ab12Cd/user_1_20240105123000_123456.mp4");
    EXPECT_EQ(kUser1.queued, "/home/Tarvisel/queue/user_1_20240105123000_123456.mp4");
    EXPECT_EQ(convert_command(defaults(), kUser1),
              "flock -n -E 75 /tmp/user_1_20240105123000_123456.raw timeout --foreground -k 30 4800 "
              "/usr/bin/avconv -f mjpeg   -i /tmp/user_1_20240105123000_123456.raw -r 30000/1001  -y  "
              "/tmp/capture_module.convert.Ab12Cd/user_1_20240105123000_123456.mp4");
}

TEST(ConverterCommandTest, PresetsCopyAndOutputOptionsStandWhereTheTemplatePutsThem) {
    ConverterSettings s = defaults();
    s.forceFormat = 4;
    s.input = ClipFormat{V4L2_PIX_FMT_H264, 1920, 1080, 30, 1, false};
    std::string c = convert_command(s, kUser1);
    EXPECT_NE(c.find("avconv -f h264  -r 30 -i /tmp/user_1_20240105123000_123456.raw -r 30000/1001  -y -aspect 16:9  /tmp/"),
              std::string::npos)
        << c;
    s = defaults();
    s.size = "-s 640x480";
    s.bitrate = "-b 512k";
    c = convert_command(s, kUser1);
    EXPECT_NE(c.find(".raw -r 30000/1001 -s 640x480 -y -b 512k /tmp/"), std::string::npos) << c;
    s.copy = true;
    s.input.rateFrames = 25;
    s.input.rateSeconds = 1;
    c = convert_command(s, kUser1);
    EXPECT_NE(c.find("avconv -f mjpeg  -i /tmp/user_1_20240105123000_123456.raw -vcodec copy /tmp/"), std::string::npos)
        << c;
    EXPECT_EQ(c.find("aspect"), std::string::npos);
    EXPECT_EQ(c.find("512k"), std::string::npos);
}

TEST(ConverterCommandTest, InputOptionsDescribeWhatTheRawClipHolds) {
    EXPECT_EQ(converter_format_flags(ClipFormat{V4L2_PIX_FMT_YUYV, 640, 480, 0, 0, false}),
              "-f rawvideo -pix_fmt yuyv422 -s 640x480 ");
    EXPECT_EQ(converter_format_flags(ClipFormat{V4L2_PIX_FMT_MJPEG, 640, 480, 0, 0, false}), "-f mjpeg ");
    EXPECT_EQ(converter_format_flags(ClipFormat{V4L2_PIX_FMT_H264, 0, 0, 0, 0, false}), "-f h264 ");
    EXPECT_EQ(converter_format_flags(ClipFormat{V4L2_PIX_FMT_RGB24, 640, 480, 0, 0, false}), "");
    EXPECT_EQ(converter_rate_flags(ClipFormat{0, 0, 0, 30, 1, false}), "-r 30");
    EXPECT_EQ(converter_rate_flags(ClipFormat{0, 0, 0, 60000, 2002, false}), "-r 30000/1001");
    EXPECT_EQ(converter_rate_flags(ClipFormat{0, 0, 0, 30, 0, false}), "");
}

TEST(ConverterCommandTest, TheRecordedFormatAndTheRateReadBackWinOverTheRunSettings) {
    resetRunConfig();
    g_FrameRate = 25;  // asked for; the camera kept 30
    ConverterSettings run = converter_settings_from_run_config();
    EXPECT_EQ(run.input.pixelFormat, static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(converter_rate_flags(run.input), "-r 25");
    ConverterSettings s = converter_settings_for(ClipFormat{V4L2_PIX_FMT_YUYV, 320, 240, 30, 1, true});
    EXPECT_EQ(converter_format_flags(s.input), "-f rawvideo -pix_fmt yuyv422 -s 320x240 ");
    EXPECT_EQ(converter_rate_flags(s.input), "-r 30");
    EXPECT_TRUE(s.input.cutShort);
    // Nothing recorded: the run's settings.
    EXPECT_EQ(convert_command(converter_settings_for(ClipFormat{}), kUser1), convert_command(run, kUser1));
}

TEST(ConverterCommandTest, UnusualPathsAreQuotedForTheShell) {
    ClipPaths p = clip_paths("/tmp", "/tmp/o", "/home/my base;rm -rf x", "usb", 2, kTs);
    p.raw = "/tmp/a b.raw";
    std::string c = convert_command(defaults(), p);
    EXPECT_NE(c.find("flock -n -E 75 '/tmp/a b.raw' timeout"), std::string::npos) << c;
    EXPECT_NE(c.find("-i '/tmp/a b.raw'"), std::string::npos) << c;
}

// ---- the format file ----

TEST(FormatFileTest, TextRoundTripsAndHostileTextIsRefused) {
    const ClipFormat f{V4L2_PIX_FMT_YUYV, 1280, 720, 30000, 1001, true};
    ClipFormat back;
    ASSERT_TRUE(parse_format_file_text(format_file_text(f), back));
    EXPECT_EQ(back, f);
    EXPECT_EQ(format_file_text(f), "pixelformat=YUYV\nwidth=1280\nheight=720\nrate=30000/1001\ncut_short=1\n");

    const ClipFormat untouched{V4L2_PIX_FMT_MJPEG, 1, 2, 3, 4, false};
    for (const std::string& hostile :
         {std::string("pixelformat=yuyv; rm -rf /\n"), std::string("width=640x480 -f lavfi\n"),
          std::string("width=-1\n"), std::string("height=99999999999999999999\n"), std::string("rate=30\n"),
          std::string("rate=1/99999999\n"), std::string("no equals sign\n"), std::string("cut_short=yes\n"),
          std::string("width=\n"), std::string(kFormatFileMaxBytes + 1, '\n')}) {
        ClipFormat out = untouched;
        EXPECT_FALSE(parse_format_file_text(hostile, out)) << hostile;
        EXPECT_EQ(out, untouched) << hostile;
    }
    // Keys of a later version are passed over; a rate of 0 is "not known".
    ClipFormat out;
    ASSERT_TRUE(parse_format_file_text("colour=blue\nrate=0/1\npixelformat=H264\n", out));
    EXPECT_EQ(out, (ClipFormat{V4L2_PIX_FMT_H264, 0, 0, 0, 0, false}));
}

TEST(FormatFileTest, OnlyARegularFileOfThisUserIsRead) {
    cmtest::BoardRoot root;
    const std::string raw = root.path("/tmp/usb_0_20240105123000_123456.raw");
    const ClipFormat f{V4L2_PIX_FMT_MJPEG, 640, 480, 10, 1, false};
    int err = 0;
    ASSERT_TRUE(write_format_file(raw, f, err));
    ClipFormat out;
    std::string why;
    ASSERT_EQ(read_format_file(raw, out, why), FormatFileRead::Read);
    EXPECT_EQ(out, f);
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 1u);

    const std::string other = root.path("/tmp/usb_1_20240105123000_123456.raw");
    EXPECT_EQ(read_format_file(other, out, why), FormatFileRead::Missing);
    writeFile(root.path("/tmp/elsewhere"), format_file_text(f));
    ASSERT_EQ(symlink(root.path("/tmp/elsewhere").c_str(), format_file_path(other).c_str()), 0);
    EXPECT_EQ(read_format_file(other, out, why), FormatFileRead::Refused);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(format_file_path(raw).c_str(), 65534, 65534), 0);
        EXPECT_EQ(read_format_file(raw, out, why), FormatFileRead::Refused);
        EXPECT_EQ(why, "not a regular file of this user");
    }
    writeFile(format_file_path(raw), std::string(kFormatFileMaxBytes + 10, 'x'));
    EXPECT_EQ(read_format_file(raw, out, why), FormatFileRead::Refused);
}

// ---- the MP4 check ----

std::string box(const std::string& type, const std::string& body) {
    const std::size_t n = 8 + body.size();
    std::string h = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)};
    return h + type + body;
}

TEST(Mp4CheckTest, AWholeFilePassesTruncatedOrGarbageOrIncompleteFilesDoNot) {
    const std::string whole = box("ftyp", "isom\0\0\2\0") + box("mdat", std::string(100, 'v')) + box("moov", "x");
    std::string why;
    EXPECT_TRUE(is_whole_mp4_data(whole, why)) << why;
    for (std::size_t cut : {std::size_t{0}, std::size_t{4}, std::size_t{20}, whole.size() - 1})
        EXPECT_FALSE(is_whole_mp4_data(whole.substr(0, cut), why)) << cut;
    EXPECT_FALSE(is_whole_mp4_data(whole + "xx", why));
    EXPECT_FALSE(is_whole_mp4_data(std::string(4096, '\xff'), why));
    EXPECT_FALSE(is_whole_mp4_data(box("ftyp", "isom") + box("mdat", "vv"), why));  // no index: cut off
    EXPECT_EQ(why, "no 'moov' box");
    // A 64-bit size, and a last box running to the end of the file.
    std::string large = std::string("\0\0\0\1mdat", 8) + std::string("\0\0\0\0\0\0\0\x14", 8) + "vvvv";
    EXPECT_TRUE(is_whole_mp4_data(box("ftyp", "isom") + box("moov", "") + large, why)) << why;
    EXPECT_TRUE(is_whole_mp4_data(box("ftyp", "isom") + box("moov", "") + std::string("\0\0\0\0mdatvvv", 11), why));
    cmtest::BoardRoot root;
    writeFile(root.path("/tmp/a.mp4"), whole);
    EXPECT_TRUE(is_whole_mp4_file(root.path("/tmp/a.mp4"), why)) << why;
    writeFile(root.path("/tmp/b.mp4"), whole.substr(0, whole.size() - 3));
    EXPECT_FALSE(is_whole_mp4_file(root.path("/tmp/b.mp4"), why));
    ASSERT_EQ(symlink(root.path("/tmp/a.mp4").c_str(), root.path("/tmp/c.mp4").c_str()), 0);
    EXPECT_FALSE(is_whole_mp4_file(root.path("/tmp/c.mp4"), why));
}

// ---- conversions run by the command queue, on a board root ----

std::optional<std::uint64_t> plentyOfSpace(const std::string&) { return 1ULL << 40; }
std::optional<std::uint64_t> noSpace(const std::string&) { return 0; }

// A converter stand-in that behaves as `script` says; "$out" is the file
// named last, "$in" the one after "-i". WHOLE writes a small whole MP4 file.
class ConversionTest : public testing::Test {
protected:
    void SetUp() override {
        drain();
        resetRunConfig();
        cm::setFreeSpaceProbeForTests(plentyOfSpace);
        cmtest::makeDirs(LBASE_PATH + "/queue");
        testing::internal::CaptureStdout();
    }
    static void drain() {
        std::string command;
        std::size_t waiting = 0;
        while (system_commands.takeFirst(command, waiting)) system_commands.finished();
    }
    void TearDown() override {
        cm::setFreeSpaceProbeForTests(nullptr);
        drain();
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
        ASSERT_TRUE(write_format_file(raw(stem), f, err));
    }
    void convert(const std::string& stem, ConverterSettings s = converter_settings_from_run_config()) {
        ClipPaths p = clip_paths(root.path("/tmp"), conversion_output_dir(), LBASE_PATH, "usb", 0, "x");
        p.raw = raw(stem);
        p.queued = queued(stem);
        queue_conversion(p, s);
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
    EXPECT_TRUE(is_whole_mp4_file(queued("usb_0_20240105123000_000001"), why)) << why;
    EXPECT_FALSE(fileExists(raw("usb_0_20240105123000_000001")));
    EXPECT_FALSE(fileExists(format_file_path(raw("usb_0_20240105123000_000001"))));
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 1u);
    EXPECT_EQ(cmtest::listDir(conversion_output_dir()).size(), 0u);
    struct stat st {};
    ASSERT_EQ(lstat(conversion_output_dir().c_str(), &st), 0);
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
    EXPECT_EQ(cmtest::listDir(conversion_output_dir()).size(), 0u);
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
    EXPECT_TRUE(fileExists(format_file_path(raw(stems[1]) + ".failed")));
    // Together over the byte bound: the oldest went, with one line.
    EXPECT_FALSE(fileExists(raw(stems[0]) + ".failed"));
    std::string daily = log();
    EXPECT_EQ(countOf(daily, "Removed the oldest clip set aside, " + raw(stems[0]) + ".failed"), 1);
    EXPECT_NE(daily.find("Conversion of " + raw(stems[1]) + " failed 5 times: set aside as"), std::string::npos);
    EXPECT_EQ(countOf(daily, "running cmd: "), 5);
    // Set-aside clips are passed over by the next start.
    requeue_pending_raw_clips();
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
    ConverterSettings s = converter_settings_from_run_config();
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
    EXPECT_EQ(cmtest::listDir(conversion_output_dir()).size(), 0u);
    cmtest::makeDirs(LBASE_PATH + "/queue");
    runFor(31);
    EXPECT_TRUE(fileExists(queued("usb_0_20240105123000_000001")));
    EXPECT_EQ(cmtest::listDir(LBASE_PATH + "/queue").size(), 1u);
}

// ---- start-up ----

TEST_F(ConversionTest, AtStartLeftoverClipsAreQueuedOldestFirstAsRecordedAndStaleFilesGo) {
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

    start_clip_conversion();
    const std::string daily = log();

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
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_NE(commands[0].find("-f mjpeg   -i " + tmp + "user_0_20240101000000_000000.raw"), std::string::npos);
    EXPECT_NE(commands[1].find("-f rawvideo -pix_fmt yuyv422 -s 320x240  -r 30 -i " + tmp +
                               "usb_2_20240105120000_000001.raw"),
              std::string::npos)
        << commands[1];
    EXPECT_NE(commands[2].find("-f mjpeg   -i " + tmp + "usb_1_20240105120000_000001-2.raw"), std::string::npos);
    EXPECT_EQ(commands[2].find("reboot"), std::string::npos);
}

}  // namespace clip_conversion_test
