#include "app/startup.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "app/options.h"
#include "board/camera_selection.h"
#include "board/gpio.h"
#include "capture/video_creation.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "support/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class StartupTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        for (int pin : {66, 47, 34, 38}) root.addGpioPin(pin, "1");
    }
    cmtest::BoardRoot root;
};

TEST_F(StartupTest, SwitchReadsBeforeInitVarsGoStraightToTheValueFiles) {
    root.addGpioPin(27, "1");
    root.addGpioPin(10, "0");
    cmtest::writeFile(root.path("/sys/class/gpio/gpio27/direction"), "");
    CaptureStdout();
    applySwitchOverrides();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(g_std, static_cast<std::uint64_t>(V4L2_STD_NTSC));
    EXPECT_EQ(g_bUSB, 0);
    EXPECT_NE(out.find("Override norm to NTSC by switch#5!"), std::string::npos);
    // No export and no direction write before initGPIOs.
    EXPECT_EQ(cmtest::readFile(root.path("/sys/class/gpio/export")), "");
    EXPECT_EQ(cmtest::readFile(root.path("/sys/class/gpio/gpio27/direction")), "");
}

TEST_F(StartupTest, FailedSwitchReadCountsAsOn) {
    // No gpio10 directory at all: the read fails with -1, which is "on".
    root.addGpioPin(27, "0");
    CaptureStdout();
    applySwitchOverrides();
    EXPECT_NE(GetCapturedStdout().find("Override USB handling by switch#6!"), std::string::npos);
    EXPECT_EQ(g_bUSB, 1);
    EXPECT_EQ(g_std, 0u);
}

TEST_F(StartupTest, NoresizeEmptiesTheConverterSizeAfterTheLastArgument) {
    root.addGpioPin(27, "0");
    root.addGpioPin(10, "0");
    applyArgument("-noresize");
    applyArgument("-s1280x720");
    CaptureStdout();
    applySwitchOverrides();
    GetCapturedStdout();
    EXPECT_STREQ(szMP4Size, "");
    EXPECT_EQ(g_nDevWidth, 1280);
    EXPECT_EQ(g_nDevHeight, 720);
}

TEST_F(StartupTest, InitVarsLoadsTheRecordAndBuildsTheTree) {
    std::string record(40, '\0');
    record[8] = 9;   // user video 9
    record[16] = 2;  // camera set 2
    cmtest::writeFile(root.path("/home/Tarvisel/capture_control.ini"), record);
    cmtest::writeFile(root.path("/sys/bus/i2c/devices/1-0050/eeprom"), std::string(16, '\0') + "SERIAL01");
    CaptureStdout();
    int status = initVars();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Init result: 0\n"), std::string::npos);
    EXPECT_EQ(g_nCAMs.load(), 2);
    EXPECT_EQ(lPreviousUserVideoCommandTimestamp.load(), 9);
    EXPECT_STREQ(device_serial, "SERIAL01");
    EXPECT_EQ(LBASE_PATH, root.path("/home/Tarvisel"));
    for (const char* d : {"queue", "1", "2", "3", "4"})
        EXPECT_TRUE(cmtest::fileExists(root.path(std::string("/home/Tarvisel/") + d))) << d;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(bInputs[i].load(), 1);
    // The switch pins were set up once as inputs.
    EXPECT_EQ(gpio_states[66].load(), 0);
}

TEST_F(StartupTest, MainWaitSeesTheExitFlagInTheFileWithoutAnyReloadOfTheRecord) {
    // No thread re-loads the record (both that do are in long pauses); the
    // companion raises the flag in the file 10 s into the wait.
    const std::string control = root.path("/home/Tarvisel/capture_control.ini");
    cmtest::writeFile(control, std::string(40, '\0'));
    cmtest::FakeClock clock(1700000000);
    bool written = false;
    clock.onSleep([&](const timespec& t) {
        if (!written && t.tv_sec >= 50 + 10) {  // the monotonic clock, from 50 s
            cmtest::writeFile(control, std::string(1, '\0') + std::string(1, '\1') + std::string(38, '\0'));
            written = true;
        }
        if (t.tv_sec >= 50 + 60) setting.raiseExitInMemory();  // a wait that never saw it ends the test
    });
    waitForExitRequest();
    EXPECT_TRUE(exitRequested());
    EXPECT_GE(clock.sleptSeconds(), 10.0);
    EXPECT_LE(clock.sleptSeconds(), 10.5);  // seen at the next 500 ms test
}

TEST_F(StartupTest, MainWaitEndsAtOnceForAnExitRaisedInMemory) {
    cmtest::FakeClock clock(1700000000);
    int sleeps = 0;
    clock.onSleep([&](const timespec&) {
        if (++sleeps == 4) setting.raiseExitInMemory();  // the watchdog, say
    });
    waitForExitRequest();
    EXPECT_EQ(sleeps, 4);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 2.0);
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/capture_control.ini")));  // nothing written
}

TEST_F(StartupTest, ExistingTreeOnlyShowsInTheInitResult) {
    CaptureStdout();
    initVars();
    int second = initVars();
    std::string out = GetCapturedStdout();
    EXPECT_NE(second, 0);
    EXPECT_NE(out.find("Init result: " + std::to_string(second) + "\n"), std::string::npos);
}

TEST_F(StartupTest, NormTestMovesTheTreeButNotTheControlRecord) {
    bNormTest = 1;
    CaptureStdout();
    initVars();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(LBASE_PATH, root.path("/tmp/normtest"));
    EXPECT_NE(out.find("NROM TEST!, path to test files: " + root.path("/tmp/normtest") + "\n"), std::string::npos);
    EXPECT_TRUE(cmtest::fileExists(root.path("/tmp/normtest/queue")));
    EXPECT_FALSE(cmtest::fileExists(root.path("/home/Tarvisel/queue")));
}

TEST_F(StartupTest, CameraSetValueSeenAtStartIsComparedWhole) {
    const std::string control = root.path("/home/Tarvisel/capture_control.ini");
    for (long long cams : {2147483648LL, -2147483649LL, LLONG_MIN, LLONG_MAX, 0x100000002LL}) {
        settingTag::clearExitLatch();
        settingTag writer;
        writer.set_cams(cams);
        CaptureStdout();
        initVars();
        setting.readSettings();
        checkCams();
        std::string out = GetCapturedStdout();
        EXPECT_FALSE(setting.exitFlag()) << cams << out;

        // Another value with the same low 32 bits is a change.
        const long long other = cams ^ (1LL << 40);
        writer.set_cams(other);
        setting.readSettings();
        CaptureStdout();
        checkCams();
        out = GetCapturedStdout();
        EXPECT_TRUE(setting.exitFlag()) << cams;
        EXPECT_NE(out.find("Cams changed# " + std::to_string(other) + ".. closing everything and restarting!\n"),
                  std::string::npos)
            << out;
        std::remove(control.c_str());
    }
}

TEST_F(StartupTest, NormTestBuildsItsTreeNeverThroughALinkOrInAForeignEntry) {
    bNormTest = 1;
    const std::string planted = root.path("/tmp/normtest");
    const std::string elsewhere = root.path("/elsewhere");
    cmtest::makeDirs(elsewhere);
    ASSERT_EQ(::symlink(elsewhere.c_str(), planted.c_str()), 0);
    CaptureStdout();
    initVars();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::listDir(elsewhere), std::vector<std::string>{});
    struct stat st {};
    ASSERT_EQ(::lstat(LBASE_PATH.c_str(), &st), 0) << LBASE_PATH;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(LBASE_PATH, planted);
    EXPECT_TRUE(cmtest::fileExists(LBASE_PATH + "/queue"));
    EXPECT_NE(out.find("NROM TEST!, path to test files: " + LBASE_PATH + "\n"), std::string::npos) << out;
    char target[256] = {};
    ASSERT_GT(::readlink(planted.c_str(), target, sizeof target - 1), 0);  // the link is left alone
    EXPECT_EQ(std::string(target), elsewhere);

    // A plain file, or a directory others may write into, is not used either.
    for (mode_t mode : {mode_t{0}, mode_t{0777}}) {
        ::unlink(planted.c_str());
        if (mode == 0) {
            cmtest::writeFile(planted, "someone's file");
        } else {
            ASSERT_EQ(::mkdir(planted.c_str(), mode), 0);
            ::chmod(planted.c_str(), mode);
        }
        CaptureStdout();
        initVars();
        GetCapturedStdout();
        EXPECT_NE(LBASE_PATH, planted);
        EXPECT_TRUE(cmtest::fileExists(LBASE_PATH + "/queue"));
        if (mode == 0) EXPECT_EQ(cmtest::readFile(planted), "someone's file");
        else EXPECT_EQ(cmtest::listDir(planted), std::vector<std::string>{});
        if (mode != 0) ::rmdir(planted.c_str());
    }
}

}  // namespace
