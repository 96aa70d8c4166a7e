#include "board/camera_selection.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "board/gpio.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "support/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class CameraSelectionTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        initGPIOs();
        clearInputSelection();
        n1By1RecordingsLeft.store(0);
    }
    void setSwitches(const char* s0, const char* s1, const char* s2, const char* s3) {
        root.addGpioPin(66, s0);
        root.addGpioPin(47, s1);
        root.addGpioPin(34, s2);
        root.addGpioPin(38, s3);
    }
    std::string turn() const {
        std::string s;
        for (auto& f : b1By1Inputs) s += std::to_string(f.load());
        return s;
    }
    cmtest::BoardRoot root;
    cmtest::FakeClock clock;
};

TEST_F(CameraSelectionTest, NoSwitchOnWarnsAndPausesOnEveryCall) {
    setSwitches("0", "0", "0", "0");
    CaptureStdout();
    EXPECT_EQ(readInputsDIPState(), 0);
    EXPECT_EQ(readInputsDIPState(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Camera switch changed! currently: 0-0-0-0\n"), 2);
    EXPECT_EQ(cmtest::countOf(out, "Warning.. No inputs are selected.. sleeping for 3 seconds!!\n"), 2);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 6.0);
}

TEST_F(CameraSelectionTest, ChangeIsReportedOnce) {
    setSwitches("1", "0", "1", "0");
    CaptureStdout();
    EXPECT_EQ(readInputsDIPState(), 1);
    EXPECT_EQ(readInputsDIPState(), 0);
    root.setGpioValue(47, "1");
    EXPECT_EQ(readInputsDIPState(), 1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Camera switch changed!"), 2);
    EXPECT_NE(out.find("currently: 1-1-1-0\n"), std::string::npos);
    EXPECT_EQ(selectedInputCount(), 3);
}

TEST_F(CameraSelectionTest, AllCamsOnIgnoresTheSwitches) {
    setSwitches("0", "0", "0", "0");
    bTurnOnAllCams = 1;
    CaptureStdout();
    EXPECT_EQ(readInputsDIPState(), 1);
    EXPECT_EQ(readInputsDIPState(), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Camera switch changed! currently: 1-1-1-1\n"), 1);
    EXPECT_EQ(out.find("Warning"), std::string::npos);
}

TEST_F(CameraSelectionTest, UnreadableSwitchCountsAsSelectedAndAsAChangeEveryTime) {
    setSwitches("0", "0", "1", "0");
    root.setGpioValue(66, "garbage");
    CaptureStdout();
    EXPECT_EQ(readInputsDIPState(), 1);
    EXPECT_EQ(readInputsDIPState(), 1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(bInputs[0].load(), 255);
    EXPECT_EQ(cmtest::countOf(out, "currently: 255-0-1-0\n"), 2);
    EXPECT_EQ(selectedInputCount(), 2);
}

TEST_F(CameraSelectionTest, OneByOneWalkOverInputsZeroAndTwo) {
    setSwitches("1", "0", "1", "0");
    bOneByOne = 1;
    CaptureStdout();
    readInputsDIPState();
    step1By1(0);
    EXPECT_EQ(turn(), "1000");
    n1By1RecordingsLeft.store(selectedInputCount());  // a clip run starts
    step1By1(1);
    EXPECT_EQ(n1By1RecordingsLeft.load(), 1);
    EXPECT_EQ(turn(), "0010");
    step1By1(1);
    EXPECT_EQ(n1By1RecordingsLeft.load(), 0);
    EXPECT_EQ(turn(), "1000");
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "step1by1: More shuffling is needed!\n"), 1);
    EXPECT_NE(out.find("step1by1: shuffling.. before: 1-0-1-0-\n"), std::string::npos);
    EXPECT_NE(out.find("step1by1: shuffling.. after: 0-1-0-0\n"), std::string::npos);
    EXPECT_NE(out.find("step1by1: shuffling.. after: 0-0-1-0\n"), std::string::npos);
    EXPECT_NE(out.find("step1by1: done recording from all cams\n"), std::string::npos);
    EXPECT_NE(out.find("step1by1: zero cam is: 0\n"), std::string::npos);
    EXPECT_NE(out.find("step1by1: first camera state: 1-0-0-0\n"), std::string::npos);
}

TEST_F(CameraSelectionTest, SingleSelectedInputDoesNotMove) {
    setSwitches("0", "1", "0", "0");
    bOneByOne = 1;
    CaptureStdout();
    readInputsDIPState();
    step1By1(0);
    n1By1RecordingsLeft.store(3);
    step1By1(1);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(turn(), "0100");
    EXPECT_NE(out.find("step1by1: shuffling.. before: 0-1-0-0-\n"), std::string::npos);
    EXPECT_EQ(out.find("shuffling.. after"), std::string::npos);
}

TEST_F(CameraSelectionTest, StartUpStepRestartsTheWalkAtTheLowestSelectedInput) {
    setSwitches("0", "1", "0", "1");
    bOneByOne = 1;
    CaptureStdout();
    readInputsDIPState();
    b1By1Inputs[3].store(1);
    n1By1RecordingsLeft.store(3);
    step1By1(0);
    GetCapturedStdout();
    EXPECT_EQ(turn(), "0100");
    EXPECT_EQ(n1By1RecordingsLeft.load(), 2);
}

TEST_F(CameraSelectionTest, NothingSelectedLeavesTheTurnAlone) {
    bOneByOne = 1;
    b1By1Inputs[2].store(1);
    CaptureStdout();
    step1By1(1);
    EXPECT_NE(GetCapturedStdout().find("step1by1: all cams turned off!\n"), std::string::npos);
    EXPECT_EQ(turn(), "0010");
}

TEST_F(CameraSelectionTest, OffWithoutOneByOneMode) {
    setSwitches("1", "1", "1", "1");
    readInputsDIPState();
    CaptureStdout();
    step1By1(0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(turn(), "0000");
}

TEST_F(CameraSelectionTest, ConcurrentStepsEachConsumeOneRecordingAndMoveTheTurnOnce) {
    setSwitches("1", "1", "1", "1");
    bOneByOne = 1;
    CaptureStdout();
    readInputsDIPState();
    for (int round = 0; round < 50; ++round) {
        step1By1(0);
        n1By1RecordingsLeft.store(4);
        std::vector<std::thread> workers;
        for (int i = 0; i < 3; ++i) workers.emplace_back([] { step1By1(1); });
        for (auto& w : workers) w.join();
        ASSERT_EQ(n1By1RecordingsLeft.load(), 1);
        ASSERT_EQ(turn(), "0001");  // three moves from input 0
    }
    GetCapturedStdout();
}

TEST_F(CameraSelectionTest, CameraSetChangeRaisesTheExitFlag) {
    g_nCAMs.store(2);
    settingTag writer;
    writer.set_cams(2);
    setting.readSettings();
    checkCams();
    EXPECT_FALSE(setting.exitFlag());
    writer.set_cams(3);
    setting.readSettings();
    CaptureStdout();
    checkCams();
    EXPECT_NE(GetCapturedStdout().find("Cams changed# 3.. closing everything and restarting!\n"), std::string::npos);
    EXPECT_EQ(g_nCAMs.load(), 3);
    EXPECT_TRUE(setting.exitFlag());
    setting.readSettings();  // the file still holds no exit flag
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(CameraSelectionTest, CameraSetComparedAsSixtyFourBits) {
    g_nCAMs.store(-1);
    settingTag writer;
    writer.set_cams(-1);
    setting.readSettings();
    checkCams();
    EXPECT_FALSE(setting.exitFlag());
    writer.set_cams(0x1FFFFFFFFLL);  // same low 32 bits, another value
    setting.readSettings();
    CaptureStdout();
    checkCams();
    GetCapturedStdout();
    EXPECT_TRUE(setting.exitFlag());
}

}  // namespace
