#include "capture/video_creation.h"

#include <gtest/gtest.h>

#include <cstring>

#include "board/camera_selection.h"
#include "capture/picture_store.h"
#include "capture_fixture.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "v4l2/device_state.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

using captest::numberedPicture;

constexpr char kClipRun[] = "Creating usre video thread!\n";

std::atomic<int> g_draws{0};
int countingDraw() { return g_draws.fetch_add(1); }

class VideoCreationTest : public captest::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        bMemoryStore = 1;
        select("1000");
        g_draws.store(0);
        setRandomDrawForTests(nullptr);
        // Every sleep is recorded with its length and the save type shown
        // while it lasts.
        clock.onSleep([this](const timespec& now) {
            double t = now.tv_sec + now.tv_nsec / 1e9;
            sleeps.push_back({t - lastTime, t, g_nSaveType.load()});
            lastTime = t;
            if (stopAfterSleeps > 0 && static_cast<int>(sleeps.size()) == stopAfterSleeps)
                setting.raiseExitInMemory();
        });
        timespec start = cm::monotonicNow();
        lastTime = start.tv_sec + start.tv_nsec / 1e9;
    }
    void TearDown() override {
        setRandomDrawForTests(nullptr);
        CaptureTest::TearDown();
    }
    void writeControl(int alert, long long userVideo, long long cams = 0) {
        std::string rec(40, '\0');
        rec[0] = static_cast<char>(alert);
        std::memcpy(&rec[8], &userVideo, 8);
        std::memcpy(&rec[16], &cams, 8);
        cmtest::writeFile(root.path("/home/Tarvisel/capture_control.ini"), rec);
    }
    std::string passes(int n) {
        CaptureStdout();
        for (int i = 0; i < n; ++i) videoCreationPass();
        return GetCapturedStdout();
    }
    double slept() const { return clock.sleptSeconds(); }

    struct Sleep {
        double length;
        double end;
        int saveType;
    };
    std::vector<Sleep> sleeps;
    double lastTime = 0;
    int stopAfterSleeps = 0;
};

TEST_F(VideoCreationTest, CommandZeroIsNeverAUserRequest) {
    lPreviousUserVideoCommandTimestamp.store(5);
    writeControl(0, 0);
    std::string out = passes(2);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 0);
    EXPECT_EQ(lPreviousUserVideoCommandTimestamp.load(), 5);
    EXPECT_DOUBLE_EQ(slept(), 2 * 0.5);
}

TEST_F(VideoCreationTest, EachNewCommandValueMakesOneRun) {
    pic_frames[0].append(numberedPicture(0, 1));
    writeControl(0, 7);
    std::string out = passes(3);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 1);
    EXPECT_EQ(cmtest::countOf(out, "capture module received an user video recording.. waiting 3 seconds...\n"), 1);
    EXPECT_EQ(lPreviousUserVideoCommandTimestamp.load(), 7);
    EXPECT_EQ(queueFiles().size(), 1u);
    EXPECT_EQ(pic_frames[0].size(), 0u);
    // Save type 2 during the 1 s after the clip work; no 45 s pause.
    ASSERT_GE(sleeps.size(), 2u);
    EXPECT_DOUBLE_EQ(sleeps[0].length, 1.0);
    EXPECT_EQ(sleeps[0].saveType, 2);
    EXPECT_EQ(sleeps[1].saveType, 0);
    EXPECT_DOUBLE_EQ(slept(), 1.0 + 3 * 0.5);
    EXPECT_EQ(g_nSaveType.load(), 0);

    writeControl(0, 8);
    out = passes(2);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 1);
    EXPECT_EQ(lPreviousUserVideoCommandTimestamp.load(), 8);
}

TEST_F(VideoCreationTest, UserRequestWinsOverAnAlertInTheSamePass) {
    writeControl(1, 3);
    std::string first = passes(1);
    EXPECT_EQ(cmtest::countOf(first, kClipRun), 1);
    EXPECT_NE(first.find("alert=1\n"), std::string::npos);
    EXPECT_EQ(first.find("capture module received an alert!"), std::string::npos);
    EXPECT_DOUBLE_EQ(slept(), 1.5);

    std::string second = passes(1);
    EXPECT_EQ(cmtest::countOf(second, kClipRun), 1);
    EXPECT_NE(second.find("capture module received an alert!\n"), std::string::npos);
    EXPECT_NE(second.find("sleep for 45 seconds after creating videos!\n"), std::string::npos);
    EXPECT_DOUBLE_EQ(slept(), 1.5 + 45 + 1 + 0.5);
    ASSERT_EQ(sleeps.size(), 5u);
    EXPECT_DOUBLE_EQ(sleeps[2].length, 45.0);
    EXPECT_EQ(sleeps[2].saveType, 1);
    EXPECT_EQ(sleeps[3].saveType, 1);
    EXPECT_EQ(g_nSaveType.load(), 0);
}

TEST_F(VideoCreationTest, AlertLeftUpInTheFileMakesARunEveryFortySixAndAHalfSeconds) {
    writeControl(1, 0);
    stopAfterSleeps = 3 * 4;  // four passes of 45 s, 1 s and 0.5 s
    CaptureStdout();
    doCreateVideoThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 4);
    std::vector<double> runEnds;
    for (const auto& s : sleeps)
        if (s.length == 45.0) runEnds.push_back(s.end);
    ASSERT_EQ(runEnds.size(), 4u);
    for (std::size_t i = 1; i < runEnds.size(); ++i) EXPECT_DOUBLE_EQ(runEnds[i] - runEnds[i - 1], 46.5);
}

TEST_F(VideoCreationTest, AlertEndsWhenTheCompanionLowersTheFlag) {
    writeControl(1, 0);
    std::string out = passes(1);
    writeControl(0, 0);
    out += passes(2);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 1);
}

TEST_F(VideoCreationTest, MissingControlFileKeepsTheLastRecord) {
    writeControl(1, 0);
    passes(1);
    std::remove(root.path("/home/Tarvisel/capture_control.ini").c_str());
    std::string out = passes(1);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 1);
}

TEST_F(VideoCreationTest, RandomAlertsComeOncePerTwoHundredDrawsAndLiveInMemoryOnly) {
    g_bRandomVideos = 1;
    setRandomDrawForTests(countingDraw);
    writeControl(0, 0);
    std::string out = passes(400);
    EXPECT_EQ(g_draws.load(), 400);
    // Draws 2 and 202 raise the alert, each for its own pass only.
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 2);
    EXPECT_EQ(cmtest::countOf(out, "capture module received an alert!\n"), 2);
    EXPECT_EQ(cmtest::readFile(root.path("/home/Tarvisel/capture_control.ini"))[0], '\0');
    EXPECT_EQ(setting.alertFlag(), 0);
}

TEST_F(VideoCreationTest, WithoutRandomVideosNothingIsDrawn) {
    setRandomDrawForTests(countingDraw);
    writeControl(0, 0);
    std::string out = passes(10);
    EXPECT_EQ(g_draws.load(), 0);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 0);
}

TEST_F(VideoCreationTest, CameraSetChangeFinishesThePassWithoutAClipAndEndsTheThread) {
    g_nCAMs.store(2);
    pic_frames[0].append(numberedPicture(0, 1));
    writeControl(1, 0, 3);
    CaptureStdout();
    doCreateVideoThread(nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Cams changed# 3.. closing everything and restarting!\n"), std::string::npos);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 1);  // the run starts, finds the flag up
    EXPECT_TRUE(queueFiles().empty());
    EXPECT_EQ(pic_frames[0].size(), 1u);
    EXPECT_DOUBLE_EQ(slept(), 45 + 1 + 0.5);  // the pass finishes its steps
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(VideoCreationTest, ExitFlagAtStartEndsTheThreadBeforeAnyPass) {
    g_nSaveType.store(2);
    nCreatingVideosForInput.store(3);
    writeControl(1, 9);
    setting.raiseExitInMemory();
    CaptureStdout();
    EXPECT_EQ(doCreateVideoThread(nullptr), nullptr);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("video creation thread work start!\n"), std::string::npos);
    EXPECT_EQ(g_nSaveType.load(), 0);
    EXPECT_EQ(nCreatingVideosForInput.load(), -1);
    EXPECT_EQ(cmtest::countOf(out, kClipRun), 0);
    EXPECT_DOUBLE_EQ(slept(), 0.0);
}

TEST_F(VideoCreationTest, ThreadIsStartedOnce) {
    setting.raiseExitInMemory();  // the thread returns at once
    nCreatingVideosForInput.store(7);  // the thread sets -1 after its first line
    CaptureStdout();
    EXPECT_EQ(initCreateVideoThread(), 0);
    EXPECT_EQ(initCreateVideoThread(), 0);
    EXPECT_TRUE(cmtest::eventually([] { return nCreatingVideosForInput.load() == -1; }));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Capture video thread created successfully!\n"), 1);
    EXPECT_EQ(cmtest::countOf(out, "video creation thread work start!\n"), 1);
}

}  // namespace
