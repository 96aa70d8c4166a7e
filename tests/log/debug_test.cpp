#include "log/debug.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <future>
#include <thread>

#include "log/log_writer.h"
#include "support/fifo_guard.h"
#include "support/test_support.h"

using cmtest::readFile;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

// 2024-01-05 10:00:00 UTC
constexpr time_t kJan5 = 1704448800;

class LoggingTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    std::string todaysFile() const { return root.path("/home/Tarvisel/log/20240105.txt"); }

    cmtest::BoardRoot root;
    cmtest::FakeClock clock{kJan5};
};

TEST_F(LoggingTest, VerbosWritesTheLineToConsoleAndDailyFile) {
    CaptureStdout();
    verbos("Exiting.. cya!!");
    EXPECT_EQ(GetCapturedStdout(), "Exiting.. cya!!\n");
    EXPECT_EQ(readFile(todaysFile()), "Exiting.. cya!!\n");
}

TEST_F(LoggingTest, FormattedTextKeepsItsOwnLineEndBeforeTheAddedOne) {
    CaptureStdout();
    verbos("read ret = %d\n", 256);
    EXPECT_EQ(GetCapturedStdout(), "read ret = 256\n\n");
    EXPECT_EQ(readFile(todaysFile()), "read ret = 256\n\n");
}

TEST_F(LoggingTest, PercentSignsInComposedOrPlainTextAreNeverInterpretedAgain) {
    CaptureStdout();
    verbos("%s", "100%d done");
    verbos("50% %s");
    verbosc("a%n");
    EXPECT_EQ(GetCapturedStdout(), "100%d done\n50% %s\na%n");
    EXPECT_EQ(readFile(todaysFile()), "100%d done\n50% %s\na%n\n");
}

TEST_F(LoggingTest, VerboscAndVerbosgOmitTheConsoleLineEndOnly) {
    CaptureStdout();
    verbosc("one");
    vebosg("two");
    verbosg("<%s>", "three");
    EXPECT_EQ(GetCapturedStdout(), "onetwo<three>");
    EXPECT_EQ(readFile(todaysFile()), "one\ntwo\n<three>\n");
}

TEST_F(LoggingTest, EntriesAroundMidnightGoToTheFilesOfTheirDates) {
    clock.advance(std::chrono::hours(13) + std::chrono::minutes(59) + std::chrono::seconds(59));  // 23:59:59
    CaptureStdout();
    verbos("before");
    clock.advance(std::chrono::seconds(2));
    verbos("after");
    GetCapturedStdout();
    EXPECT_EQ(readFile(root.path("/home/Tarvisel/log/20240105.txt")), "before\n");
    EXPECT_EQ(readFile(root.path("/home/Tarvisel/log/20240106.txt")), "after\n");
}

TEST_F(LoggingTest, MissingLogDirectoryLosesTheFileEntryButNotTheConsoleLine) {
    cmtest::removeTree(root.path("/home/Tarvisel/log"));
    CaptureStdout();
    verbos("still shown");
    EXPECT_EQ(GetCapturedStdout(), "still shown\n");
    EXPECT_FALSE(cmtest::fileExists(todaysFile()));
}

TEST_F(LoggingTest, AFullFileSystemNeverTearsAnEntryAndIsReportedOncePerEpisode) {
    // The limit applies to every file the process writes, the captured
    // console streams too: the day's file is made larger than they get.
    const std::string earlier(4000, 'e');
    CaptureStdout();
    CaptureStderr();
    fileLog(earlier.c_str());  // a write that succeeds ends any earlier episode
    {
        cmtest::FileSizeLimit full(earlier.size() + 1 + 5);
        verbos("second entry, longer than the room left");
        verbos("third");
    }
    std::string reports = GetCapturedStderr();
    EXPECT_EQ(readFile(todaysFile()), earlier + "\n");
    EXPECT_EQ(cmtest::countOf(reports, "log: cannot write " + todaysFile()), 1) << reports;
    EXPECT_EQ(GetCapturedStdout(), "second entry, longer than the room left\nthird\n");

    CaptureStdout();
    CaptureStderr();
    verbos("room again");
    {
        cmtest::FileSizeLimit full(earlier.size() + 1 + 11 + 1);
        verbos("full again");
    }
    GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(GetCapturedStderr(), "log: cannot write"), 1);
    EXPECT_EQ(readFile(todaysFile()), earlier + "\nroom again\n");
}

TEST_F(LoggingTest, DailyFilesAreBoundedInSizeAndAge) {
    const std::string dir = root.path("/home/Tarvisel/log/");
    for (const char* name : {"20231201.txt", "20231225.txt", "20231226.txt", "20240104.txt", "notes.txt", "2023120.txt"})
        cmtest::writeFile(dir + name, "x\n");
    const std::string entry(2000, 'e');
    CaptureStdout();
    const std::size_t entries = kDailyLogMaxBytes / (entry.size() + 1) + 10;
    for (std::size_t i = 0; i < entries; ++i) fileLog(entry.c_str());
    verbos("on the console still");
    EXPECT_NE(GetCapturedStdout().find("on the console still"), std::string::npos);

    // Ten days are kept; other files of the directory are not the log's.
    EXPECT_FALSE(cmtest::fileExists(dir + "20231201.txt"));
    EXPECT_FALSE(cmtest::fileExists(dir + "20231225.txt"));
    for (const char* name : {"20231226.txt", "20240104.txt", "notes.txt", "2023120.txt"})
        EXPECT_TRUE(cmtest::fileExists(dir + name)) << name;

    const std::string today = readFile(todaysFile());
    EXPECT_LE(today.size(), kDailyLogMaxBytes);
    EXPECT_EQ(cmtest::countOf(today, "the day's log is full"), 1);
    EXPECT_EQ(today.substr(today.size() - 1), "\n");
    EXPECT_EQ(today.find("on the console still"), std::string::npos);
}

TEST_F(LoggingTest, AnotherProgramsLogKeepsOneOlderGenerationBeyondItsBound) {
    const std::string log = root.path("/home/Tarvisel/log/ftp_debug.log");
    cmtest::writeFile(log, "0123456789");
    EXPECT_FALSE(rotateLogIfLarger(log, 10));
    cmtest::writeFile(log + ".1", "oldest");
    cmtest::writeFile(log, "0123456789a");
    EXPECT_TRUE(rotateLogIfLarger(log, 10));
    EXPECT_FALSE(cmtest::fileExists(log));
    EXPECT_EQ(readFile(log + ".1"), "0123456789a");
    EXPECT_FALSE(rotateLogIfLarger(log, 10));
}

TEST_F(LoggingTest, SomethingOtherThanAFileAtTheLogPathNeverBlocks) {
    ASSERT_EQ(mkfifo(todaysFile().c_str(), 0600), 0);
    CaptureStdout();
    CaptureStderr();
    verbos("past the FIFO");
    EXPECT_EQ(GetCapturedStdout(), "past the FIFO\n");
    EXPECT_NE(GetCapturedStderr().find("log: cannot write"), std::string::npos);
}

TEST_F(LoggingTest, ComposedTextIsCutAt2999Characters) {
    std::string longText(5000, 'x');
    CaptureStdout();
    verbos("%s", longText.c_str());
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, std::string(2999, 'x') + "\n");
    EXPECT_EQ(readFile(todaysFile()), std::string(2999, 'x') + "\n");
}

TEST_F(LoggingTest, DbgWithOneValuePrintsTheStampLineAndLeavesABlankLineInTheFile) {
    clock.advance(std::chrono::microseconds(1234));
    CaptureStdout();
    dbg("invalid GPIO PIN %d", 200);
    EXPECT_EQ(GetCapturedStdout(), "'2024-01-05 10:00:00.001234 +0000'\ninvalid GPIO PIN 200\n");
    EXPECT_EQ(readFile(todaysFile()), "2024-01-05 10:00:00.001234 +0000: invalid GPIO PIN 200\n\n");
}

TEST_F(LoggingTest, DbgWithTwoValuesHasNoStampLineOnTheConsole) {
    CaptureStdout();
    dbg("%d of %d", 1, 2);
    EXPECT_EQ(GetCapturedStdout(), "1 of 2\n");
    EXPECT_EQ(readFile(todaysFile()), "2024-01-05 10:00:00.000000 +0000: 1 of 2\n\n");
}

TEST_F(LoggingTest, DbgIgnoresNullAndOverlongFormats) {
    std::string fmt251(251, 'f');
    std::string fmt250(250, 'f');
    CaptureStdout();
    dbg(static_cast<const char*>(nullptr), 1);
    dbg(fmt251.c_str(), 1);
    std::string nothing = GetCapturedStdout();
    EXPECT_EQ(nothing, "");
    EXPECT_FALSE(cmtest::fileExists(todaysFile()));
    CaptureStdout();
    dbg(fmt250.c_str(), 1);
    EXPECT_NE(GetCapturedStdout().find(fmt250), std::string::npos);
}

TEST_F(LoggingTest, ErrorCountsAndWritesToStandardOutputOnly) {
    int before = nError.load();
    CaptureStdout();
    error("disk");
    error("Can not open", "/sys/x");
    EXPECT_EQ(GetCapturedStdout(), "ERROR: disk\nERROR: Can not open /sys/x\n");
    EXPECT_EQ(nError.load(), before + 2);
    EXPECT_FALSE(cmtest::fileExists(todaysFile()));
}

TEST_F(LoggingTest, FileLogWritesOnlyTheFile) {
    CaptureStdout();
    fileLog("quiet");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(readFile(todaysFile()), "quiet\n");
}

TEST_F(LoggingTest, DeviceFamilyWritesStandardErrorWithTheDevicePath) {
    dev_name[1].store("/dev/video1");
    CaptureStderr();
    log__("exit flaged!", 1);
    logd("Starting.. nDeviceID ", 1, 1);
    errno = ENOENT;
    errno_continue("VIDIOC_S_FMT3", 1);
    errno = EBUSY;
    errno_exit("VIDIOC_G_FMT");
    log__("unnamed", 3);
    EXPECT_EQ(GetCapturedStderr(),
              "/dev/video1: exit flaged!\n"
              "/dev/video1: Starting.. nDeviceID  1\n"
              "Device: 1, VIDIOC_S_FMT3 error 2, No such file or directory\n"
              "VIDIOC_G_FMT error 16, Device or resource busy\n"
              "(null): unnamed\n");
    EXPECT_FALSE(cmtest::fileExists(todaysFile()));
}

// From a capture thread, whose lines the log writer writes: they are out
// before the process ends.
TEST(LoggingDeathTest, ErrnoExit2ReportsAndEndsTheProcessWithStatus1) {
    GTEST_FLAG_SET(death_test_style, cmtest::threadedDeathTestStyle());
    EXPECT_EXIT(std::thread([] {
                    cm::setThreadLogRole(cm::LogRole::queued);
                    log__("last line", 2);
                    errno = EIO;
                    errno_exit2("select", 2);
                }).join(),
                testing::ExitedWithCode(1), "last line\nDevice: 2, select error 5, Input/output error");
}

// The writer stalls on a console that nobody reads (a pipe whose buffer is
// full, as a journal that has fallen behind): a capture or streaming thread
// logs on regardless, its lines beyond the queue's bound are dropped, and
// once the console moves again the rest comes out in order, followed by
// the count of the dropped ones.
TEST_F(LoggingTest, AQueuedThreadNeverWaitsOnAStalledWriterAndItsDroppedLinesAreCounted) {
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::fcntl(p[1], F_SETPIPE_SZ, 4096);
    ::fcntl(p[1], F_SETFL, O_NONBLOCK);
    while (::write(p[1], "full", 4) == 4) {
    }
    ::fcntl(p[1], F_SETFL, 0);
    std::fflush(stdout);
    const int savedStdout = ::dup(1);
    ::dup2(p[1], 1);

    const std::size_t lines = cm::kLogQueueMaxLines + 100;  // two pieces each: console and file
    auto logging = std::async(std::launch::async, [&] {
        cm::setThreadLogRole(cm::LogRole::queued);
        for (std::size_t i = 0; i < lines; ++i) verbos("line %zu", i);
    });
    const bool returned = logging.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    const std::uint64_t dropped = cm::droppedLogLines();

    std::string console;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) console.append(buf, static_cast<std::size_t>(n));
    });
    const bool drained = cm::drainLogWriter(60000);
    ::dup2(savedStdout, 1);
    ::close(savedStdout);
    ::close(p[1]);
    reader.join();
    ::close(p[0]);

    ASSERT_TRUE(returned) << "the logging thread waited on the stalled console";
    ASSERT_TRUE(drained);
    EXPECT_GT(dropped, 0u);
    const std::string report = "log: " + std::to_string(dropped) + " lines of the capture and streaming threads were dropped";
    const std::vector<std::string> file = cmtest::splitLines(readFile(todaysFile()));
    ASSERT_GE(file.size(), cm::kLogQueueMaxLines / 2);
    for (std::size_t i = 0; i + 1 < file.size(); ++i) ASSERT_EQ(file[i], "line " + std::to_string(i));
    EXPECT_EQ(file.back().rfind(report, 0), 0u) << file.back();
    EXPECT_EQ(console.rfind(report), console.rfind("log: ")) << "the count comes last";
    // Every piece is written or counted, none twice.
    EXPECT_EQ(file.size() - 1 + static_cast<std::size_t>(cmtest::countOf(console, "line ")) + dropped, lines * 2);
}

TEST_F(LoggingTest, FifoAtTheDailyFileLosesTheFileEntryWithoutWaiting) {
    cmtest::makeFifo(todaysFile());
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(todaysFile(), [] { verbos("still shown"); }));
    EXPECT_EQ(GetCapturedStdout(), "still shown\n");
}

}  // namespace
