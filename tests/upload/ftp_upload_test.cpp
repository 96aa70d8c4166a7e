// The FTP thread against a real FTP server on 127.0.0.1:21 with Debian's
// real ncftpput: what arrives on the server, byte for byte, under "/" and
// the device serial; what stays and what is announced when the server is
// down, refuses logins or is slow.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/run_config.h"
#include "common/unique_fd.h"
#include "control/settings.h"
#include "support/test_support.h"
#include "upload/ftp_upload.h"
#include "upload_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using uploadtest::FtpServerProcess;
using uploadtest::Tool;

namespace {

std::string randomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xff);
    return s;
}

bool anyRegularFileUnder(const std::string& dir) {
    for (const std::string& name : cmtest::listDir(dir)) {
        std::string p = dir + "/" + name;
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) continue;
        if (S_ISREG(st.st_mode)) return true;
        if (S_ISDIR(st.st_mode) && anyRegularFileUnder(p)) return true;
    }
    return false;
}

class FtpUploadTest : public testing::Test {
protected:
    void SetUp() override {
        snprintf(device_serial, sizeof device_serial, "%s", "BBBK1234");
        LBASE_PATH = root.path("/home/Tarvisel");
        cmtest::makeDirs(queue);
        uploadtest::installUploadTool(root, Tool::Real);
    }

    std::string onServer(const std::string& serial, const std::string& name) {
        return serverDir + "/" + serial + "/" + name;
    }
    std::vector<std::string> urls() { return uploadtest::notificationUrls(root.path("/home/Tarvisel/pos/1.pos")); }
    std::string urlFor(const std::string& path, const std::string& serial = "BBBK1234") {
        return "/notify_file_upload.php?deviceid=" + serial + "&fpath=" + path;
    }

    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
    std::string queue = root.path("/home/Tarvisel/queue");
    std::string serverDir = root.path("/ftp");
};

TEST_F(FtpUploadTest, UploadRoadFromTheQueueToTheServerAndOneNotificationEach) {
    FtpServerProcess server(serverDir);
    const std::string top = queue + "/user0_20240105100000_000001.avi";
    const std::string deep = queue + "/2/3/usb_1_20240105100000_000002.mp4";
    cmtest::makeDirs(queue + "/2/3");
    const std::string topData = randomBytes(300000, 1);
    const std::string deepData = randomBytes(4321, 2);
    cmtest::writeFile(top, topData);
    cmtest::writeFile(deep, deepData);
    cmtest::writeFile(root.path("/tmp/elsewhere.avi"), "outside the queue");
    ASSERT_EQ(symlink(root.path("/tmp/elsewhere.avi").c_str(), (queue + "/link.avi").c_str()), 0);

    // One walk, then the exit flag.
    clock.onSleep([](const timespec&) { setting.raiseExitInMemory(); });
    CaptureStdout();
    doFTPThread(nullptr);
    std::string out = GetCapturedStdout();

    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user0_20240105100000_000001.avi")), topData) << out;
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "usb_1_20240105100000_000002.mp4")), deepData) << out;
    EXPECT_EQ(cmtest::listDir(serverDir), std::vector<std::string>{"BBBK1234"});
    EXPECT_EQ(cmtest::listDir(serverDir + "/BBBK1234").size(), 2u) << "nothing else arrived";
    EXPECT_FALSE(cmtest::fileExists(top));
    EXPECT_FALSE(cmtest::fileExists(deep));
    // The link is listed as a link and left alone.
    EXPECT_NE(out.find("sl   1 "), std::string::npos) << out;
    EXPECT_TRUE(cmtest::fileExists(queue + "/link.avi"));
    EXPECT_TRUE(cmtest::fileExists(root.path("/tmp/elsewhere.avi")));

    std::vector<std::string> got = urls();
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = {urlFor(top), urlFor(deep)};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(cmtest::countOf(out, "Result: 0\n"), 2) << out;
}

TEST_F(FtpUploadTest, ServerDownKeepsEveryFileTriesItOncePerWalkAndUploadsItOnceBack) {
    uploadtest::installUploadTool(root, Tool::QuickRedial);
    FtpServerProcess server(serverDir, /*up=*/false);
    const std::string a = queue + "/user0_a.avi";
    const std::string b = queue + "/sub/user1_b.avi";
    cmtest::makeDirs(queue + "/sub");
    cmtest::writeFile(a, randomBytes(20000, 3));
    cmtest::writeFile(b, randomBytes(30000, 4));
    const std::string aData = cmtest::readFile(a), bData = cmtest::readFile(b);

    // Two walks with the server down (a pause after each failed file and
    // one after each walk), then the server comes back; two more pauses
    // after the queue is empty show that nothing is announced twice.
    int sleeps = 0, emptyAt = -1;
    bool filesStayedWhileDown = true;
    clock.onSleep([&](const timespec&) {
        ++sleeps;
        if (sleeps <= 6) filesStayedWhileDown = filesStayedWhileDown && cmtest::fileExists(a) && cmtest::fileExists(b);
        if (sleeps == 6) server.start();
        if (emptyAt < 0 && !anyRegularFileUnder(queue)) emptyAt = sleeps;
        if ((emptyAt >= 0 && sleeps >= emptyAt + 2) || sleeps > 30) setting.raiseExitInMemory();
    });
    CaptureStdout();
    doFTPThread(nullptr);
    std::string out = GetCapturedStdout();

    EXPECT_TRUE(filesStayedWhileDown);
    EXPECT_EQ(cmtest::countOf(out, "Calling: "), 6) << out;
    int callsOfA = 0;
    for (const std::string& l : cmtest::splitLines(out))
        if (l.rfind("Calling: ", 0) == 0 && l.size() > a.size() && l.compare(l.size() - a.size(), a.size(), a) == 0)
            ++callsOfA;
    EXPECT_EQ(callsOfA, 3) << "tried once per walk";
    EXPECT_EQ(cmtest::countOf(out, "Result: 256\n"), 4) << out;
    EXPECT_EQ(cmtest::countOf(out, "Result: 0\n"), 2) << out;
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user0_a.avi")), aData);
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user1_b.avi")), bData);
    std::vector<std::string> got = urls();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{urlFor(b), urlFor(a)}));
}

TEST_F(FtpUploadTest, RefusedLoginLeavesTheFileAndNoNotificationUntilLoginsWork) {
    FtpServerProcess server(serverDir);
    server.refuseLogins(true);
    const std::string clip = queue + "/user0_refused.avi";
    cmtest::writeFile(clip, "clip");
    CaptureStdout();
    walkUploadQueue(queue);
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(cmtest::fileExists(clip));
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/pos/1.pos")));
    EXPECT_EQ(out.find("Result: 0\n"), std::string::npos) << out;

    server.refuseLogins(false);
    CaptureStdout();
    walkUploadQueue(queue);
    walkUploadQueue(queue);
    out = GetCapturedStdout();
    EXPECT_FALSE(cmtest::fileExists(clip));
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user0_refused.avi")), "clip");
    EXPECT_EQ(urls(), std::vector<std::string>{urlFor(clip)});
}

TEST_F(FtpUploadTest, HostileNamesAndSerialArriveByteForByteAndRunNothing) {
    FtpServerProcess server(serverDir);
    const std::string cwd = root.path("/tmp");
    uploadtest::ScopedWorkingDirectory inCwd(cwd);
    const std::string serial = "S'$(>ran1)`>ran2`;>ran3 \"x\"";
    snprintf(device_serial, sizeof device_serial, "%s", serial.c_str());
    const std::vector<std::string> names = {"it's here.avi", "semi;>ran4.avi", "sub$(>ran5).avi",
                                            "back`>ran6`.avi", "dq\"$(>ran7)\".avi", "pct%s%n&amp.avi"};
    for (size_t i = 0; i < names.size(); ++i) cmtest::writeFile(queue + "/" + names[i], randomBytes(1000 + i, 10 + i));
    const std::string lineBreak = queue + "/new\nline;>ran8.avi";
    cmtest::writeFile(lineBreak, "kept");

    CaptureStdout();
    walkUploadQueue(queue);
    std::string out = GetCapturedStdout();

    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(cmtest::readFile(onServer(serial, names[i])), randomBytes(1000 + i, 10 + i)) << names[i] << out;
        EXPECT_FALSE(cmtest::fileExists(queue + "/" + names[i])) << names[i];
    }
    EXPECT_EQ(cmtest::listDir(serverDir), std::vector<std::string>{serial});
    EXPECT_EQ(cmtest::listDir(serverDir + "/" + serial).size(), names.size());
    EXPECT_TRUE(cmtest::fileExists(lineBreak));
    EXPECT_NE(out.find("not uploaded, a control character in the file name or the device serial: " + lineBreak),
              std::string::npos);
    for (const std::string& f : cmtest::listDir(cwd)) EXPECT_EQ(f.rfind("ran", 0), std::string::npos) << f;
    for (const std::string& f : cmtest::listDir(queue)) EXPECT_EQ(f.rfind("ran", 0), std::string::npos) << f;
    std::vector<std::string> got = urls();
    EXPECT_EQ(got.size(), names.size());
    EXPECT_NE(std::find(got.begin(), got.end(), urlFor(queue + "/sub$(>ran5).avi", serial)), got.end());
}

TEST_F(FtpUploadTest, ExitFlagDuringAnUploadLetsItFinishAndEndsTheWalk) {
    FtpServerProcess server(serverDir);
    server.hold(true);  // the first upload stays in progress until released
    const std::string data = randomBytes(160 * 1024, 5);
    cmtest::writeFile(queue + "/user0_1.avi", data);
    cmtest::writeFile(queue + "/user1_2.avi", data);

    std::atomic<bool> done{false};
    CaptureStdout();
    std::thread ftp([&] {
        doFTPThread(nullptr);
        done = true;
    });
    const bool begun = cmtest::eventually([&] { return !server.receiving().empty(); });
    bool finishedEarly = done.load();
    setting.raiseExitInMemory();
    server.hold(false);
    ftp.join();
    std::string out = GetCapturedStdout();

    EXPECT_TRUE(begun);
    EXPECT_FALSE(finishedEarly);
    EXPECT_EQ(server.receiving().size(), 1u);
    EXPECT_EQ(cmtest::countOf(out, "Calling: "), 1) << out;
    EXPECT_EQ(cmtest::countOf(out, "Result: 0\n"), 1) << out;
    std::vector<std::string> onServerNow = cmtest::listDir(serverDir + "/BBBK1234");
    ASSERT_EQ(onServerNow.size(), 1u);
    EXPECT_EQ(cmtest::readFile(serverDir + "/BBBK1234/" + onServerNow[0]), data);
    EXPECT_EQ(cmtest::listDir(queue).size(), 1u);
    EXPECT_EQ(urls(), std::vector<std::string>{urlFor(queue + "/" + onServerNow[0])});
}

// Only the tool's status says a file was stored: a file that something
// else removed while its upload broke off is gone, not on the server, and
// gets no record.
TEST_F(FtpUploadTest, AFileGoneAfterAFailedUploadGetsNoRecord) {
    uploadtest::installUploadTool(root, Tool::QuickRedial);
    FtpServerProcess server(serverDir);
    server.hold(true);
    const std::string clip = queue + "/user0_removed.avi";
    cmtest::writeFile(clip, randomBytes(160 * 1024, 8));
    CaptureStdout();
    std::thread ftp([] { doFTPThread(nullptr); });
    const bool begun = cmtest::eventually([&] { return !server.receiving().empty(); });
    ::unlink(clip.c_str());
    clock.onSleep([](const timespec&) { setting.raiseExitInMemory(); });
    server.stop();
    ftp.join();
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(begun);
    EXPECT_EQ(cmtest::countOf(out, "Result: 0\n"), 0) << out;
    EXPECT_NE(out.find("is gone: whether the server stored it is unknown, no record"), std::string::npos) << out;
    EXPECT_EQ(server.stored(), std::vector<std::string>{});
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/pos/1.pos")));
}

TEST_F(FtpUploadTest, EndingWaitsForAnUploadUnderWayAndItsRecord) {
    FtpServerProcess server(serverDir);
    server.hold(true);
    const std::string clip = queue + "/user0_held.avi";
    const std::string data = randomBytes(160 * 1024, 6);
    cmtest::writeFile(clip, data);
    CaptureStdout();
    std::thread ftp([] { doFTPThread(nullptr); });
    ASSERT_TRUE(cmtest::eventually([&] { return !server.receiving().empty(); }));
    setting.raiseExitInMemory();
    // The server takes the rest 5 s into the ending's wait.
    const timespec start = cm::now();
    // Both the FTP thread and the ending sleep on the clock: one releases.
    std::atomic<bool> released{false};
    clock.onSleep([&](const timespec& now) {
        if (cm::secondsBetween(start, now) >= 5 && !released.exchange(true)) {
            server.hold(false);
            cmtest::eventually([] { return !uploadUnderWay(); });
        }
    });
    const bool finished = finishUploadUnderWay(60);
    ftp.join();
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(finished) << out;
    EXPECT_TRUE(released);
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user0_held.avi")), data);
    EXPECT_EQ(urls(), std::vector<std::string>{urlFor(clip)});
    EXPECT_NE(out.find("waiting for the upload under way to finish (at most 60 seconds)"), std::string::npos) << out;
}

TEST_F(FtpUploadTest, UploadOutlastingTheEndingIsStoppedAndRedoneAtTheNextStart) {
    FtpServerProcess server(serverDir);
    server.hold(true);
    const std::string clip = queue + "/user1_never_released.avi";
    const std::string data = randomBytes(160 * 1024, 7);
    cmtest::writeFile(clip, data);
    CaptureStdout();
    std::thread ftp([] { doFTPThread(nullptr); });
    ASSERT_TRUE(cmtest::eventually([&] { return !server.receiving().empty(); }));
    setting.raiseExitInMemory();
    const bool finished = finishUploadUnderWay(60);
    ftp.join();
    std::string out = GetCapturedStdout();
    EXPECT_FALSE(finished);
    EXPECT_GE(clock.sleptSeconds(), 60.0);
    EXPECT_NE(out.find("it is stopped, and its file stays queued for the next start"), std::string::npos) << out;
    EXPECT_EQ(server.stored(), std::vector<std::string>{});
    EXPECT_EQ(cmtest::readFile(clip), data);
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/pos/1.pos")));

    // The next start.
    server.hold(false);
    settingTag::clearExitLatch();
    setting.reset();
    CaptureStdout();
    walkUploadQueue(queue);
    GetCapturedStdout();
    EXPECT_EQ(cmtest::readFile(onServer("BBBK1234", "user1_never_released.avi")), data);
    EXPECT_EQ(urls(), std::vector<std::string>{urlFor(clip)});
}

TEST_F(FtpUploadTest, NoUploadUnderWayEndsAtOnce) {
    EXPECT_TRUE(finishUploadUnderWay(60));
    EXPECT_EQ(clock.sleptSeconds(), 0.0);
}

// These tests listen on port 21 of a network of their own (or take turns
// on the machine's): when the test server still cannot listen, it says why.
TEST_F(FtpUploadTest, TestServerThatCannotListenNamesTheReason) {
    cm::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(21);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int reuse = 1;  // past the connections of earlier cases, as the server does
    ASSERT_EQ(::setsockopt(taken.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse), 0);
    ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken.get(), 1), 0);
    try {
        FtpServerProcess server(serverDir);
        ADD_FAILURE() << "the test FTP server listened on a port in use";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), testing::HasSubstr("127.0.0.1:21 Address already in use"));
    }
}

}  // namespace
