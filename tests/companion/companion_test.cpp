#include "companion/companion.h"

#include <gtest/gtest.h>

#include <vector>

#include "control/settings.h"
#include "support/test_support.h"

namespace {

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    static std::string name = "capture_control";
    argv.push_back(name.data());
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = companionMain(static_cast<int>(argv.size()), argv.data());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return status;
}

class CompanionTest : public testing::Test {
protected:
    std::string controlFile() const { return root.path("/home/Tarvisel/capture_control.ini"); }
    settingTag& reload() {
        record.reset();
        record.readSettings();
        return record;
    }
    cmtest::BoardRoot root;
    cmtest::FakeClock clock{1700000000};
    settingTag record;
};

TEST_F(CompanionTest, EachCommandWritesOneWholeRecordKeepingTheOtherFields) {
    ASSERT_EQ(run({"cams", "3"}), 0);
    ASSERT_EQ(run({"alert", "on"}), 0);
    ASSERT_EQ(run({"user-video", "77"}), 0);
    ASSERT_EQ(run({"stream", "9"}), 0);
    EXPECT_EQ(cmtest::readFile(controlFile()).size(), 40u);
    settingTag& r = reload();
    EXPECT_EQ(r.camSet(), 3);
    EXPECT_EQ(r.alertFlag(), 1);
    EXPECT_EQ(r.userVideoCommand(), 77);
    EXPECT_EQ(r.streamVideoStamp() % 10, 9);
    ASSERT_EQ(run({"alert", "off"}), 0);
    ASSERT_EQ(run({"exit"}), 0);
    EXPECT_EQ(reload().alertFlag(), 0);
    EXPECT_TRUE(reload().exitFlag());
    EXPECT_EQ(reload().camSet(), 3);
    ASSERT_EQ(run({"exit", "off"}), 0);
    EXPECT_FALSE(reload().exitFlag());
}

TEST_F(CompanionTest, EveryStreamOrUserRequestIsANewValue) {
    ASSERT_EQ(run({"stream", "1"}), 0);
    long long first = reload().streamVideoStamp();
    ASSERT_EQ(run({"stream", "1"}), 0);  // same second, same mode: still a new request
    long long second = reload().streamVideoStamp();
    EXPECT_NE(first, second);
    EXPECT_EQ(second % 10, 1);
    ASSERT_EQ(run({"stream", "0"}), 0);
    EXPECT_EQ(reload().streamVideoStamp() % 10, 0);
    ASSERT_EQ(run({"user-video"}), 0);
    long long u1 = reload().userVideoCommand();
    ASSERT_EQ(run({"user-video"}), 0);
    EXPECT_NE(reload().userVideoCommand(), u1);
    EXPECT_NE(reload().userVideoCommand(), 0);
}

TEST_F(CompanionTest, BadInputIsRefusedAndWritesNothing) {
    const std::vector<std::vector<std::string>> bad = {
        {}, {"alert"}, {"alert", "maybe"}, {"cams", "3x"}, {"cams", ""}, {"cams", "99999999999999999999"},
        {"stream", "10"}, {"stream", "-1"}, {"stream", "a"}, {"user-video", "0"}, {"user-video", " 5"},
        {"frobnicate"}, {"show", "x"}, {"cams", "1", "2"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(run(args), 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(cmtest::fileExists(controlFile()));
    }
    ASSERT_EQ(run({"user-video", "5"}), 0);
    EXPECT_EQ(run({"user-video", "5"}), 2);  // not a new request
}

TEST_F(CompanionTest, ARecordThatCannotBeWrittenFailsTheCommandAndKeepsTheOldRecord) {
    ASSERT_EQ(run({"cams", "3"}), 0);
    const std::string before = cmtest::readFile(controlFile());
    int status;
    {
        cmtest::FileSizeLimit full(20);  // no file of the process may grow past 20 bytes
        status = run({"alert", "on"});
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(cmtest::readFile(controlFile()), before);
    for (const std::string& n : cmtest::listDir(root.path("/home/Tarvisel")))
        EXPECT_EQ(n.find("capture_control.ini."), std::string::npos) << "a fresh file left behind: " << n;
}

TEST_F(CompanionTest, NotificationsListWholeRecordsSkipEmptySlotsAndLeaveAPartialOneForLater) {
    // Records 1 and 3, an empty slot between them (a torn record zeroed),
    // then the first bytes of an append in progress.
    std::string content(3000, '\0');
    content.replace(4, 5, "/a?b=");
    content.replace(2004, 3, "/cd");
    content += std::string(4, '\0') + "/notify_file_upload.php?deviceid=B&fpath=/home/Tar";
    std::size_t trailing = 0;
    EXPECT_EQ(notificationUrls(content, trailing), (std::vector<std::string>{"/a?b=", "/cd"}));
    EXPECT_EQ(trailing, content.size() - 3000);
    std::string unterminated(1000, 'u');
    auto urls = notificationUrls(unterminated, trailing);
    ASSERT_EQ(urls.size(), 1u);
    EXPECT_EQ(urls[0].size(), 996u);

    cmtest::writeFile(root.path("/home/Tarvisel/pos/1.pos"), content);
    std::string name = "capture_control", cmd = "notifications";
    char* argv[] = {name.data(), cmd.data()};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int status = companionMain(2, argv);
    std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "/a?b=\n/cd\n");
}

TEST(CompanionValuesTest, Parsing) {
    EXPECT_EQ(parseInt64("-71"), -71);
    EXPECT_EQ(parseInt64("9223372036854775807"), 9223372036854775807LL);
    EXPECT_FALSE(parseInt64("9223372036854775808"));
    EXPECT_FALSE(parseInt64("1e3"));
    EXPECT_FALSE(parseInt64(""));
    EXPECT_EQ(nextStreamStamp(0, 9, 100), 1009);
    EXPECT_EQ(nextStreamStamp(1009, 9, 100), 1019);
    EXPECT_EQ(nextUserVideoCommand(5, 5), 6);
    EXPECT_EQ(nextUserVideoCommand(-1, 0), 1);
}

}  // namespace
