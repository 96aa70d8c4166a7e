#include "board/watchdog.h"

#include <gtest/gtest.h>

#include "board/gpio.h"
#include "control/settings.h"
#include "support/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class WatchdogTest : public testing::Test {
protected:
    void SetUp() override {
        initGPIOs();
        root.addGpioPin(87, "");
        g_successful_frames.store(0);
        notifyAction();
    }
    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
};

TEST_F(WatchdogTest, FourWarningsAboutTwentyMinutesApartEndTheProcess) {
    CaptureStdout();
    doRestartThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_TRUE(setting.exitFlag());
    EXPECT_EQ(cmtest::countOf(out, "first inactivity warning\n"), 1);
    EXPECT_NE(out.find("additional inactivity warning! iteration#2\n"), std::string::npos);
    EXPECT_NE(out.find("additional inactivity warning! iteration#3\n"), std::string::npos);
    EXPECT_NE(out.find("additional inactivity warning! iteration#4\n"), std::string::npos);
    EXPECT_NE(out.find("inactivity warning# 4.. closing everything and restarting!\n"), std::string::npos);
    EXPECT_NE(out.find("No activity for 303 seconds.. iteration 0!\n"), std::string::npos);
    EXPECT_NE(out.find("No activity for 303 seconds.. iteration 3!\n"), std::string::npos);
    // Four windows of 101 checks of 3 seconds.
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 4 * 303.0);
    EXPECT_EQ(out.find("restarting thread work start!"), 0u);
}

TEST_F(WatchdogTest, ActivityBetweenTheThirdAndFourthWarningStartsOver) {
    bool reported = false;
    clock.onSleep([&](const timespec&) {
        if (!reported && g_nActivityIteration.load() == 3) {
            reported = true;
            notifyAction();
        }
    });
    CaptureStdout();
    doRestartThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "first inactivity warning\n"), 2);
    EXPECT_EQ(cmtest::countOf(out, "additional inactivity warning! iteration#3\n"), 2);
    EXPECT_EQ(cmtest::countOf(out, "iteration#4\n"), 1);
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(WatchdogTest, ActivityEvery299SecondsNeverWarns) {
    int checks = 0;
    long last = clock.monotonicNow().tv_sec;
    clock.onSleep([&](const timespec& now) {
        if (checks == 700 || checks == 1400) clock.stepWall(std::chrono::hours(checks == 700 ? 27 * 365 * 24 : -2));
        if (now.tv_sec - last >= 299) {
            last = now.tv_sec;
            notifyAction();
        }
        if (++checks == 2000) setting.raiseExitInMemory();
    });
    CaptureStdout();
    doRestartThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(out.find("inactivity warning"), std::string::npos);
    EXPECT_EQ(checks, 2000);
}

TEST_F(WatchdogTest, ActivityPinFollowsTheParityOfTheFrameCount) {
    int checks = 0;
    clock.onSleep([&](const timespec&) {
        g_successful_frames.fetch_add(checks % 3 == 0 ? 1 : 2);  // odd, even, even...
        notifyAction();
        if (++checks == 6) setting.raiseExitInMemory();
    });
    CaptureStdout();
    doRestartThread(nullptr);
    GetCapturedStdout();
    // Frame counts seen at the checks: 1, 3, 5, 6, 8, 10 -> 1,1,1,0,0,0,
    // and repeated levels are not written again.
    EXPECT_EQ(cmtest::readFile(root.path("/sys/class/gpio/gpio87/value")), "10");
}

TEST_F(WatchdogTest, PinFailureIsReportedAndTheWatchdogGoesOn) {
    cmtest::removeTree(root.path("/sys/class/gpio/gpio87"));
    int checks = 0;
    clock.onSleep([&](const timespec&) {
        notifyAction();
        if (++checks == 3) setting.raiseExitInMemory();
    });
    CaptureStdout();
    doRestartThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Error set GPIO 87 to out 0!\n"), 3);
}

TEST_F(WatchdogTest, NotifyActionDoesNothingOnceTheExitFlagIsUp) {
    clock.advance(std::chrono::seconds(100));
    setting.raiseExitInMemory();
    timespec before = activityTime();
    notifyAction();
    EXPECT_EQ(activityTime().tv_sec, before.tv_sec);
}

TEST_F(WatchdogTest, SecondStartCreatesNoSecondWatchdog) {
    setting.raiseExitInMemory();  // each thread started ends at once
    CaptureStdout();
    EXPECT_EQ(initRestarterThread(), 0);
    const pthread_t first = tid_restarterThread.load();
    EXPECT_EQ(initRestarterThread(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "restart thread created successfully!\n"), 1) << out;
    EXPECT_TRUE(pthread_equal(first, tid_restarterThread.load()));
    tid_restarterThread.store(pthread_t{});
}

}  // namespace
