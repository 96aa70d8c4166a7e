// The FTP thread's side that needs no server: the command line, the walk
// and its listing, what is passed over, the retry rhythm, the stale
// in-progress files. The upload tool is a recorder that keeps its
// arguments and fails (or succeeds) as told.
#include "upload/ftp_upload.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/footprint.h"
#include "common/queue_names.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "support/test_support.h"
#include "upload_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using uploadtest::Tool;

namespace {

std::string fixedPart(const std::string& tool, const std::string& debugLog, const std::string& errorLog) {
    return tool + " -S .uploading -z -d " + debugLog + " -e " + errorLog + " -DD -V -m -t 10 -u kelm_o -p 907 " +
           footprint::kFtpHost + " ";
}

TEST(UploadCommandTest, OrdinaryNameGivesTheBoardCommandLineByteForByte) {
    unsetenv("CAPTURE_MODULE_ROOT");
    footprint::reloadRootFromEnvironment();
    EXPECT_EQ(uploadCommandFor("/home/Tarvisel/queue/user0_20240105100000_000001.avi", "BBBK1234"),
              std::string("/usr/bin/ncftpput -S .uploading -z -d /home/Tarvisel/log/ftp_debug.log -e "
                          "/home/Tarvisel/log/ftp_error.log -DD -V -m -t 10 -u kelm_o -p 907 ") +
                  footprint::kFtpHost + " /BBBK1234 /home/Tarvisel/queue/user0_20240105100000_000001.avi");
}

TEST(UploadCommandTest, EmulatedRootNamesTheResolvedToolAndLogs) {
    cmtest::BoardRoot root;
    std::string r = root.dir();
    EXPECT_EQ(uploadCommandFor(r + "/home/Tarvisel/queue/usb_0_x.mp4", "NO_EEPROM"),
              fixedPart(r + "/usr/bin/ncftpput", r + "/home/Tarvisel/log/ftp_debug.log",
                        r + "/home/Tarvisel/log/ftp_error.log") +
                  "/NO_EEPROM " + r + "/home/Tarvisel/queue/usb_0_x.mp4");
}

TEST(UploadCommandTest, CommandOf654CharactersIsComposedAndOneMoreIsRefused) {
    unsetenv("CAPTURE_MODULE_ROOT");
    footprint::reloadRootFromEnvironment();
    const std::string dir = "/home/Tarvisel/queue/";
    size_t fixed = uploadCommandFor(dir + "a", "BBBK1234").size() - (dir.size() + 1);
    std::string fits = dir + std::string(654 - fixed - dir.size(), 'n');
    std::string over = fits + "n";
    EXPECT_EQ(uploadCommandFor(fits, "BBBK1234").size(), 654u);
    EXPECT_EQ(uploadCommandFor(over, "BBBK1234"), "");
}

class UploadQueueTest : public testing::Test {
protected:
    void SetUp() override {
        snprintf(device_serial, sizeof device_serial, "%s", "BBBK1234");
        LBASE_PATH = root.path("/home/Tarvisel");
        cmtest::makeDirs(queue);
        uploadtest::installUploadTool(root, Tool::Recorder);
    }

    void toolSucceeds() { cmtest::writeFile(root.dir() + "/tool-status", "0"); }

    // Runs the thread body until `walks` walks have ended (or `maxSleeps`
    // pauses have passed); returns its standard output.
    std::string runThread(int maxSleeps) {
        int sleeps = 0;
        clock.onSleep([&](const timespec&) {
            if (++sleeps >= maxSleeps) setting.raiseExitInMemory();
        });
        CaptureStdout();
        doFTPThread(nullptr);
        return GetCapturedStdout();
    }

    std::vector<std::string> uploadedPaths() {
        std::vector<std::string> paths;
        for (const auto& call : uploadtest::recordedCalls(root)) paths.push_back(call.back());
        return paths;
    }

    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
    std::string queue = root.path("/home/Tarvisel/queue");
};

TEST_F(UploadQueueTest, EmptyQueueListsNothingAndPausesOneSecondPerWalk) {
    std::string out = runThread(3);
    EXPECT_EQ(out, "FTP thread started!\n");
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 3.0);
}

TEST_F(UploadQueueTest, ExitFlagUpBeforeTheWalkEndsTheThreadWithoutListing) {
    cmtest::writeFile(queue + "/a.avi", "clip");
    setting.raiseExitInMemory();
    CaptureStdout();
    doFTPThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "FTP thread started!\n");
    EXPECT_TRUE(uploadtest::recordedCalls(root).empty());
    EXPECT_TRUE(cmtest::fileExists(queue + "/a.avi"));
}

TEST_F(UploadQueueTest, ListingLinesNameEveryKindAndOnlyRegularFilesGoToTheTool) {
    cmtest::makeDirs(queue + "/sub/deeper");
    cmtest::writeFile(queue + "/sub/deeper/clip.avi", std::string(1234, 'c'));
    cmtest::writeFile(root.path("/tmp/outside.avi"), "not in the queue");
    ASSERT_EQ(symlink(root.path("/tmp/outside.avi").c_str(), (queue + "/link.avi").c_str()), 0);
    ASSERT_EQ(symlink((queue + "/gone").c_str(), (queue + "/dangling.avi").c_str()), 0);
    ASSERT_EQ(mkfifo((queue + "/pipe.avi").c_str(), 0644), 0);
    cmtest::writeFile(inProgressPathFor(queue + "/growing.avi"), "half a clip");

    CaptureStdout();
    EXPECT_EQ(walkUploadQueue(queue), 0);
    std::string out = GetCapturedStdout();

    char line[512];
    std::string clip = queue + "/sub/deeper/clip.avi";
    snprintf(line, sizeof line, "%-3s %2d %7jd   %-40s %d %s\n", "f", 3, static_cast<intmax_t>(1234), clip.c_str(),
             static_cast<int>(clip.size() - 8), "clip.avi");
    EXPECT_NE(out.find(line), std::string::npos) << out;
    for (const std::string& l : cmtest::splitLines(out))
        EXPECT_NE(l.rfind("d  ", 0), 0u) << "directories come only after their contents, unlisted: " << l;
    // Links are not followed (a link to nothing is a link like any other).
    EXPECT_NE(out.find("sl   1 "), std::string::npos) << out;
    EXPECT_NE(out.find(" " + queue + "/link.avi "), std::string::npos) << out;
    EXPECT_EQ(cmtest::countOf(out, "sl   1 "), 2) << out;
    EXPECT_NE(out.find("  1       0   " + queue + "/pipe.avi"), std::string::npos) << out;
    EXPECT_NE(out.find("still being written, left for a later walk: " + inProgressPathFor(queue + "/growing.avi")),
              std::string::npos)
        << out;
    // Only the regular, complete file reached the tool; the link, the FIFO
    // (which would block the tool for good) and the growing file did not.
    EXPECT_EQ(uploadedPaths(), std::vector<std::string>{clip});
    EXPECT_TRUE(cmtest::fileExists(root.path("/tmp/outside.avi")));
    EXPECT_EQ(cmtest::countOf(out, "Calling: "), 1);

    // A file passed over is reported once, not on every walk.
    CaptureStdout();
    walkUploadQueue(queue);
    EXPECT_EQ(cmtest::countOf(GetCapturedStdout(), "still being written"), 0);
}

TEST_F(UploadQueueTest, FailingToolTriesEveryFileOncePerWalkOneSecondApartAndDeletesNothing) {
    cmtest::writeFile(queue + "/a.avi", "a");
    cmtest::makeDirs(queue + "/x/y");
    cmtest::writeFile(queue + "/x/y/b.mp4", "b");
    // Per walk: a pause after each failed file and one after the walk.
    std::string out = runThread(9);
    std::vector<std::string> paths = uploadedPaths();
    EXPECT_EQ(paths.size(), 6u);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), queue + "/a.avi"), 3);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), queue + "/x/y/b.mp4"), 3);
    EXPECT_EQ(cmtest::countOf(out, "Result: 256\n"), 6);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 9.0);
    EXPECT_TRUE(cmtest::fileExists(queue + "/a.avi"));
    EXPECT_TRUE(cmtest::fileExists(queue + "/x/y/b.mp4"));
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/pos/1.pos")));
    EXPECT_EQ(out.find("saving a notification call"), std::string::npos);
}

TEST_F(UploadQueueTest, SuccessDeletesTheFileAndQueuesOneNotificationWithTheFullPath) {
    toolSucceeds();
    std::string clip = queue + "/user0_20240105100000_000001.avi";
    cmtest::writeFile(clip, "clip");
    CaptureStdout();
    walkUploadQueue(queue);
    walkUploadQueue(queue);  // nothing left to upload or announce
    std::string out = GetCapturedStdout();
    EXPECT_FALSE(cmtest::fileExists(clip));
    std::string expectedUrl = "/notify_file_upload.php?deviceid=BBBK1234&fpath=" + clip;
    EXPECT_EQ(uploadtest::notificationUrls(root.path("/home/Tarvisel/pos/1.pos")),
              std::vector<std::string>{expectedUrl});
    std::string order[] = {"Calling: " + uploadCommandFor(clip, "BBBK1234") + "\n", "Result: 0\n",
                           "file ftped successfully.. deleting: " + clip + "\n", "deleting result: 0\n",
                           "1000 bytes appended!\n", "saving a notification call: " + expectedUrl + "\n"};
    size_t at = 0;
    for (const std::string& s : order) {
        size_t found = out.find(s, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << s << "\n" << out;
        at = found + s.size();
    }
    EXPECT_EQ(uploadtest::recordedCalls(root).size(), 1u);
}

TEST_F(UploadQueueTest, HostileNamesAndSerialReachTheToolAsSingleArgumentsAndRunNothing) {
    toolSucceeds();
    std::string cwd = root.path("/tmp");
    uploadtest::ScopedWorkingDirectory inCwd(cwd);
    const std::vector<std::string> names = {
        "it's.avi", "two words.avi", "semi;>ran1.avi", "sub$(>ran2).avi", "back`>ran3`tick.avi",
        "dq\"$(>ran4)\".avi", "amp&>ran5&.avi", "star*?[x].avi", "-dash.avi", "pct%s%n.avi"};
    for (const std::string& n : names) cmtest::writeFile(queue + "/" + n, n);
    const std::string serial = "S'$(>ran6)`>ran7`;>ran8 x";
    snprintf(device_serial, sizeof device_serial, "%s", serial.c_str());

    CaptureStdout();
    walkUploadQueue(queue);
    std::string out = GetCapturedStdout();

    auto calls = uploadtest::recordedCalls(root);
    ASSERT_EQ(calls.size(), names.size()) << out;
    std::vector<std::string> got;
    for (const auto& args : calls) {
        ASSERT_EQ(args.size(), 19u) << "an argument was split or merged";
        EXPECT_EQ(args[17], "/" + serial);
        got.push_back(args[18]);
    }
    std::sort(got.begin(), got.end());
    std::vector<std::string> want;
    for (const std::string& n : names) want.push_back(queue + "/" + n);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    for (const std::string& f : cmtest::listDir(cwd)) EXPECT_EQ(f.rfind("ran", 0), std::string::npos) << f;
    for (const std::string& f : cmtest::listDir(queue)) EXPECT_EQ(f.rfind("ran", 0), std::string::npos) << f;
    // The URLs carry the names as they are, one record per file.
    auto urls = uploadtest::notificationUrls(root.path("/home/Tarvisel/pos/1.pos"));
    ASSERT_EQ(urls.size(), names.size());
    EXPECT_NE(std::find(urls.begin(), urls.end(),
                        "/notify_file_upload.php?deviceid=" + serial + "&fpath=" + queue + "/sub$(>ran2).avi"),
              urls.end());
}

TEST_F(UploadQueueTest, ControlCharactersInNameOrSerialAreSkippedWithOneLine) {
    toolSucceeds();
    std::string bad = queue + "/new\nline;>ran.avi";
    cmtest::writeFile(bad, "x");
    cmtest::writeFile(queue + "/cr\rname.avi", "x");
    CaptureStdout();
    walkUploadQueue(queue);
    walkUploadQueue(queue);
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(uploadtest::recordedCalls(root).empty());
    EXPECT_TRUE(cmtest::fileExists(bad));
    EXPECT_EQ(cmtest::countOf(out, "not uploaded, a control character in the file name or the device serial: " + bad),
              1)
        << out;
    EXPECT_EQ(cmtest::countOf(out, "not uploaded, a control character"), 2) << out;

    cmtest::writeFile(queue + "/plain.avi", "x");
    snprintf(device_serial, sizeof device_serial, "%s", "BB\nK");
    CaptureStdout();
    walkUploadQueue(queue);
    out = GetCapturedStdout();
    EXPECT_TRUE(uploadtest::recordedCalls(root).empty());
    EXPECT_NE(out.find("not uploaded, a control character in the file name or the device serial: " + queue +
                       "/plain.avi"),
              std::string::npos);
}

TEST_F(UploadQueueTest, FileWhoseCommandWouldBeTooLongIsSkippedWithOneLineAndKept) {
    toolSucceeds();
    std::string dir = queue;
    while (!uploadCommandFor(dir + "/f.avi", device_serial).empty()) {
        dir += "/" + std::string(60, 'd');
        cmtest::makeDirs(dir);
    }
    std::string deep = dir + "/f.avi";
    cmtest::writeFile(deep, "deep");
    cmtest::writeFile(queue + "/short.avi", "short");
    CaptureStdout();
    walkUploadQueue(queue);
    walkUploadQueue(queue);
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(cmtest::fileExists(deep));
    EXPECT_FALSE(cmtest::fileExists(queue + "/short.avi"));
    EXPECT_EQ(cmtest::countOf(out, "not uploaded, the upload command would exceed 654 characters: " + deep + "\n"), 1)
        << out;
    EXPECT_EQ(uploadedPaths(), std::vector<std::string>{queue + "/short.avi"});
}

TEST_F(UploadQueueTest, MissingQueueDirectoryPausesBetweenWalksAndLogsOnce) {
    cmtest::removeTree(queue);
    std::string out = runThread(5);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 5.0);
    EXPECT_EQ(cmtest::countOf(out, "nftw error!"), 1) << out;
    EXPECT_NE(out.find("nftw error! " + queue + ": No such file or directory\n"), std::string::npos) << out;
}

TEST_F(UploadQueueTest, QueueComingBackIsWalkedAgain) {
    cmtest::removeTree(queue);
    int sleeps = 0;
    clock.onSleep([&](const timespec&) {
        if (++sleeps == 2) cmtest::makeDirs(queue);
        if (sleeps == 4) setting.raiseExitInMemory();
    });
    CaptureStdout();
    doFTPThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("queue walk works again: " + queue + "\n"), std::string::npos) << out;
}

TEST_F(UploadQueueTest, StaleInProgressFilesAreRemovedAndEverythingElseStays) {
    cmtest::makeDirs(queue + "/sub");
    cmtest::writeFile(inProgressPathFor(queue + "/user0_1.avi"), "half");
    cmtest::writeFile(inProgressPathFor(queue + "/sub/usb_0_2.mp4"), "half");
    cmtest::writeFile(queue + "/done.avi", "whole");
    cmtest::writeFile(queue + "/sub/done.mp4", "whole");
    cmtest::makeDirs(queue + "/.incomplete.dir");
    CaptureStdout();
    EXPECT_EQ(removeStaleInProgressFiles(queue), 2);
    std::string out = GetCapturedStdout();
    EXPECT_FALSE(cmtest::fileExists(inProgressPathFor(queue + "/user0_1.avi")));
    EXPECT_FALSE(cmtest::fileExists(inProgressPathFor(queue + "/sub/usb_0_2.mp4")));
    EXPECT_TRUE(cmtest::fileExists(queue + "/done.avi"));
    EXPECT_TRUE(cmtest::fileExists(queue + "/sub/done.mp4"));
    EXPECT_TRUE(cmtest::fileExists(queue + "/.incomplete.dir"));
    EXPECT_EQ(cmtest::countOf(out, "removed an unfinished queue file"), 2) << out;
    EXPECT_EQ(removeStaleInProgressFiles(root.path("/nowhere")), -1);
}

TEST_F(UploadQueueTest, StarterCreatesTheThreadOnce) {
    setting.raiseExitInMemory();  // the thread ends at once
    CaptureStdout();
    EXPECT_EQ(initFTPThread(), 0);
    pthread_t first = tid_FTPThread.load();
    EXPECT_EQ(initFTPThread(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_NE(first, pthread_t{});
    EXPECT_EQ(tid_FTPThread.load(), first);
    EXPECT_EQ(cmtest::countOf(out, "FTP thread created successfully!\n"), 1);
    // The clock and the root must outlive the thread: wait for its end.
    bool started = false;
    for (int i = 0; i < 1000 && !started; ++i) {
        for (const std::string& f : cmtest::listDir(root.path("/home/Tarvisel/log")))
            started = started || cmtest::readFile(root.path("/home/Tarvisel/log/") + f).find("FTP thread started!") !=
                                     std::string::npos;
        if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(started);
    for (int i = 0; i < 1000 && ftpThreadRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(ftpThreadRunning());
}

}  // namespace
