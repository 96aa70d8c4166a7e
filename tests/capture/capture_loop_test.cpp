#include "capture/capture_loop.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <thread>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "capture/picture_store.h"
#include "capture_fixture.h"
#include "common/run_config.h"
#include "control/settings.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

using captest::devices;
using captest::frameNumberOf;
using captest::numberedPicture;

class CaptureLoopTest : public captest::CaptureTest {
protected:
    // Device `camera` delivers frames first..first+count-1.
    void deliver(int camera, int count, int first = 0) {
        for (int f = first; f < first + count; ++f) devices().pictures[camera].push_back(numberedPicture(camera, f % 23));
    }
    std::vector<int> memoryFrames(int input, int camera = 0) {
        std::vector<int> out;
        for (const auto& p : pic_frames[input].oldest(SIZE_MAX)) out.push_back(frameNumberOf(p.picture, camera));
        return out;
    }
    std::vector<std::string> pngsIn(int dirNumber) {
        auto names = cmtest::listDir(base() + "/" + std::to_string(dirNumber));
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(CaptureLoopTest, ControlChannelThatCannotOpenEndsOnlyThisThread) {
    devices().present[1] = false;
    CaptureStdout();
    EXPECT_EQ(captureFromCam(1), -1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Starting captureFromCam thread....#1\nDone.. opening...\nvideo1:opening control channel...\n"
                       "Unable to open /dev/video1\n"),
              std::string::npos)
        << out;
    EXPECT_FALSE(setting.exitFlag());
    EXPECT_EQ(devices().reads[1].load(), 0);
}

TEST_F(CaptureLoopTest, InputsTakeTurnsOfThreeIterationsPacedByTheCapturePause) {
    bMemoryStore = 1;
    select("1111");
    deliver(0, 12);
    exitAfterSleeps(12);
    CaptureStdout();
    EXPECT_EQ(captureFromCam(0), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(memoryFrames(1), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(memoryFrames(2), (std::vector<int>{6, 7, 8}));
    EXPECT_EQ(memoryFrames(3), (std::vector<int>{9, 10, 11}));
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 12 * 1.3);
    EXPECT_EQ(frames.load(), 12);
    EXPECT_EQ(g_successful_frames.load(), 12u);
    EXPECT_EQ(cmtest::countOf(out, "video0:Capturing....\n"), 12);
    EXPECT_NE(out.find(", input: 3\n"), std::string::npos);
    EXPECT_NE(out.find("video0: new image created!\nvideo0: image dublicated!\nvideo0: image added to queue!\n"
                       "video0: image deleted from queue!\n"),
              std::string::npos);
}

TEST_F(CaptureLoopTest, UnselectedInputsCostOneSecondEachAndTakeNoPicture) {
    bMemoryStore = 1;
    select("0010");
    deliver(0, 10);
    exitAfterSleeps(12);
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    // Iterations 0-5 and 9-11 skip, 6-8 capture into input 2.
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 9 * 1.0 + 3 * 1.3);
    EXPECT_EQ(frames.load(), 3);
    EXPECT_EQ(memoryFrames(2), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(pic_frames[0].size() + pic_frames[1].size() + pic_frames[3].size(), 0u);
}

TEST_F(CaptureLoopTest, NoInputSelectedSaysSoAndCountsNoAttempt) {
    select("0000");
    exitAfterSleeps(2);  // the selection's own 3 s warning pause, then 1 s
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "No inputs are selected!!\n"), 1);
    EXPECT_EQ(frames.load(), 0);
    EXPECT_EQ(devices().reads[0].load(), 0);
}

TEST_F(CaptureLoopTest, OneByOneModeCapturesOnlyTheInputWhoseTurnItIs) {
    bMemoryStore = 1;
    bOneByOne = 1;
    select("1100");
    b1By1Inputs[1].store(1);
    deliver(0, 6);
    exitAfterSleeps(6);
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    EXPECT_EQ(pic_frames[0].size(), 0u);
    EXPECT_EQ(memoryFrames(1), (std::vector<int>{0, 1, 2}));
}

TEST_F(CaptureLoopTest, MemoryStoreKeepsTheNewestPicturesOnceItsLifeHasRunOut) {
    bMemoryStore = 1;
    STORAGE_LENGTH = 3;
    select("1000");
    deliver(0, 6);
    // Iterations 0-2 capture, 3-11 skip, 12-14 capture.
    exitAfterSleeps(15);
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(cmtest::countOf(out, "video0:Removing from pics list tail of memory list.. time: "), 3);
    EXPECT_NE(out.find(", number of images left: 4\nvideo0:reading image at #0\nvideo0:releasing image at #0\n"
                       "video0:removing memory image at #0\nvideo0:image at #0 removed\n"),
              std::string::npos)
        << out;
}

TEST_F(CaptureLoopTest, TrimmingWaitsForTheStoreLifeAndThenKeepsTheGrownLength) {
    bMemoryStore = 1;
    STORAGE_LENGTH = 1;
    select("1000");
    deliver(0, 6);
    // The life timer is restarted (as a file-store clip does) during the
    // first three captures: input 0 grows to three pictures. Iterations
    // 12-14 capture again after the hold: one in, one out.
    std::size_t heldLength = 0;
    int sleeps = 0;
    clock.onSleep([&](const timespec& now) {
        ++sleeps;
        if (sleeps <= 3) startImagesListLife.restart(now);
        if (sleeps == 4) heldLength = pic_frames[0].size();
        if (sleeps == 15) setting.raiseExitInMemory();
    });
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    EXPECT_EQ(heldLength, 3u);
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{3, 4, 5}));
}

TEST_F(CaptureLoopTest, WithoutAHoldTheListStaysAtTheLength) {
    bMemoryStore = 1;
    STORAGE_LENGTH = 1;
    select("1000");
    deliver(0, 3);
    exitAfterSleeps(3);
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{2}));
}

TEST_F(CaptureLoopTest, InputBeingMadeIntoAClipIsNotTrimmed) {
    bMemoryStore = 1;
    STORAGE_LENGTH = 1;
    select("1000");
    deliver(0, 3);
    nCreatingVideosForInput.store(0);
    exitAfterSleeps(3);
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(out.find("Removing from pics list"), std::string::npos);
    EXPECT_NE(out.find("MB, cvf=0, input: 0\n"), std::string::npos);
}

TEST_F(CaptureLoopTest, FileStoreWritesNamedPngsAndDeletesTheTrimmedOnes) {
    STORAGE_LENGTH = 2;
    select("0100");
    deliver(0, 3);
    exitAfterSleeps(6);  // iterations 0-2 skip, 3-5 capture into input 1
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    std::vector<std::string> files = pngsIn(2);
    ASSERT_EQ(files.size(), 2u);
    std::vector<std::string> names = listImages[1].names();
    ASSERT_EQ(names.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(names[i], base() + "/2/" + files[i]);
        EXPECT_EQ(files[i].rfind("video0:-", 0), 0u) << files[i];
        EXPECT_EQ(files[i].size(), std::string("video0:-").size() + 21 + 4);
        EXPECT_EQ(frameNumberOf(cv::imread(names[i])), static_cast<int>(i) + 1);
    }
    EXPECT_EQ(pic_frames[1].size(), 0u);
}

TEST_F(CaptureLoopTest, PngThatCannotBeWrittenIsNotStoredAndCaptureGoesOn) {
    select("1100");
    cmtest::removeTree(base() + "/1");  // input 0's directory is missing
    deliver(0, 6);
    exitAfterSleeps(6);
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "video0:Failed to write image " + base() + "/1/video0:-"), 3);
    EXPECT_EQ(listImages[0].size(), 0u);
    EXPECT_EQ(listImages[1].size(), 3u);
    EXPECT_EQ(pngsIn(2).size(), 3u);
}

TEST_F(CaptureLoopTest, FailedPicturesAreReportedStillPacedAndNotStored) {
    bMemoryStore = 1;
    select("1000");
    devices().pictures[0].push_back(cv::Mat());
    devices().pictures[0].push_back(numberedPicture(0, 4));
    // The third read finds the queue empty: the camera delivers nothing.
    exitAfterSleeps(3);
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "video0:Failed to capture an image\n"), 2);
    EXPECT_EQ(frames.load(), 3);
    EXPECT_EQ(g_successful_frames.load(), 1u);
    EXPECT_EQ(memoryFrames(0), (std::vector<int>{4}));
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 3 * 1.3);
}

TEST_F(CaptureLoopTest, InitOnlyEndsAtTheFirstGoodPictureWithoutStoringIt) {
    bMemoryStore = 1;
    init_only = 1;
    select("1111");
    deliver(0, 5);
    CaptureStdout();
    EXPECT_EQ(captureFromCam(0), 0);
    GetCapturedStdout();
    EXPECT_EQ(devices().reads[0].load(), 1);
    EXPECT_EQ(pic_frames[0].size(), 0u);
    EXPECT_EQ(g_successful_frames.load(), 1u);
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(CaptureLoopTest, InitOnlyEndsAtTheFirstFailedPictureToo) {
    init_only = 1;
    select("1111");
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(devices().reads[0].load(), 1);
    EXPECT_EQ(g_successful_frames.load(), 0u);
    EXPECT_NE(out.find("video0:Failed to capture an image\nvideo0:It took "), std::string::npos) << out;
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(CaptureLoopTest, NormTestEndsAtTheFirstTrimChance) {
    bMemoryStore = 1;
    bNormTest = 1;
    STORAGE_LENGTH = 2;
    select("1111");
    deliver(0, 10);
    CaptureStdout();
    captureFromCam(0);
    GetCapturedStdout();
    // Pictures stored 1.3 s and 2.6 s into the run: the second is past the
    // store's life of 2 s and ends the run (nothing over the length to trim).
    EXPECT_EQ(frames.load(), 2);
    EXPECT_EQ(pic_frames[0].size(), 2u);
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(CaptureLoopTest, RateIsMeasuredOverFortyFiveSecondsAndNeverStoredBelowOne) {
    bMemoryStore = 1;
    select("1000");
    // Each picture of input 0 costs 1.3 s, each of the 9 skips of a cycle
    // 1 s: 3 pictures per 12.9 s. The 12th picture (42.6 s) is inside the
    // window, the 13th (52.9 s) closes it.
    deliver(0, 13);
    exitAfterSleeps(49);
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "Updating FPS!"), 1);
    EXPECT_NE(out.find("video0:Updating FPS!\nvideo0:It took 52.9 seconds to process 13 frames\nvideo0:New fps: 1\n"),
              std::string::npos)
        << out;
    EXPECT_DOUBLE_EQ(fps.load(), 1.0);
}

TEST_F(CaptureLoopTest, FasterCaptureRaisesTheRate) {
    bMemoryStore = 1;
    select("1111");
    deliver(0, 91);
    // A camera pause that lasts 0.5 s: 91 pictures take 45.5 s.
    int sleeps = 0;
    clock.onSleep([&](const timespec&) {
        clock.advance(std::chrono::microseconds(-800000));
        if (++sleeps == 91) setting.raiseExitInMemory();
    });
    CaptureStdout();
    captureFromCam(0);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("video0:It took 45.5 seconds to process 91 frames\nvideo0:New fps: 2\n"), std::string::npos)
        << out;
    EXPECT_DOUBLE_EQ(fps.load(), 2.0);
}

TEST_F(CaptureLoopTest, EndOfRunReportsClosesTheChannelAndRaisesALastingExit) {
    select("1000");
    setting.raiseExitInMemory();
    settingTag::clearExitLatch();  // up as if read from the file
    CaptureStdout();
    EXPECT_EQ(captureFromCam(0), 0);
    std::string out = GetCapturedStdout();
    EXPECT_EQ(devices().reads[0].load(), 0);
    EXPECT_NE(out.find("video0:Capturing...\nvideo0:It took 0 seconds to process 0 frames\n"
                       "video0:Capturing and processing 0 frames per second \n"),
              std::string::npos)
        << out;
    EXPECT_EQ(devices().closed, (std::vector<int>{0}));
    // The flag raised by the end of the run outlives a re-read of a file
    // that holds it down.
    cmtest::writeFile(root.path("/home/Tarvisel/capture_control.ini"), std::string(40, '\0'));
    setting.readSettings();
    EXPECT_TRUE(setting.exitFlag());
}

TEST_F(CaptureLoopTest, DefaultFormatIsReadAndAFailedReadDoesNotStopCapture) {
    bMemoryStore = 1;
    select("1000");
    devices().formatRequestsWork = false;
    deliver(0, 1);
    exitAfterSleeps(1);
    CaptureStdout();
    CaptureStderr();
    captureFromCam(0);
    std::string err = GetCapturedStderr();
    GetCapturedStdout();
    ASSERT_EQ(devices().requests.size(), 1u);
    EXPECT_EQ(devices().requests[0].request, static_cast<unsigned long>(VIDIOC_G_FMT));
    EXPECT_EQ(devices().requests[0].format.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_NE(err.find("video0: Force Format 0\nError in video0: Force Format VIDIOC_G_FMT 0\n"
                       "VIDIOC_G_FMT error 16, Device or resource busy\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(pic_frames[0].size(), 1u);
}

TEST_F(CaptureLoopTest, ForcedFormatsAreSetOnTheControlChannel) {
    select("1000");
    const std::pair<int, unsigned> cases[] = {{1, V4L2_PIX_FMT_YUYV}, {2, V4L2_PIX_FMT_H264}};
    for (auto [forced, pixelFormat] : cases) {
        settingTag::clearExitLatch();
        setting.reset();
        devices().requests.clear();
        force_format = forced;
        setting.raiseExitInMemory();
        CaptureStderr();
        captureFromCam(0);
        std::string err = GetCapturedStderr();
        ASSERT_EQ(devices().requests.size(), 1u);
        const auto& r = devices().requests[0];
        EXPECT_EQ(r.request, static_cast<unsigned long>(VIDIOC_S_FMT));
        EXPECT_EQ(r.format.fmt.pix.width, 640u);
        EXPECT_EQ(r.format.fmt.pix.height, 480u);
        EXPECT_EQ(r.format.fmt.pix.pixelformat, pixelFormat);
        EXPECT_EQ(r.format.fmt.pix.field, static_cast<unsigned>(V4L2_FIELD_INTERLACED));
        EXPECT_NE(err.find("video0: Force Format " + std::to_string(forced)), std::string::npos);
    }
    devices().formatRequestsWork = false;
    settingTag::clearExitLatch();
    setting.reset();
    setting.raiseExitInMemory();
    CaptureStderr();
    captureFromCam(0);
    std::string err = GetCapturedStderr();
    EXPECT_NE(err.find("Error in video0: Force Format VIDIOC_S_FMT 2\nVIDIOC_S_FMT2 error 16"), std::string::npos)
        << err;
}

// Both capture threads against one store: pictures of both devices land in
// the same input lists, in arrival order, and each thread starts once.
TEST_F(CaptureLoopTest, BothThreadsFillTheSameInputsAndStartOnlyOnce) {
    bMemoryStore = 1;
    select("1000");
    deliver(0, 3);
    deliver(1, 3);
    std::atomic<int> captured{0};
    clock.onSleep([&](const timespec&) {
        if (pic_frames[0].size() == 6 && captured.fetch_add(1) == 0) setting.raiseExitInMemory();
    });
    CaptureStdout();
    EXPECT_EQ(initCaptureFromCamThread(), 0);
    EXPECT_EQ(initCaptureFromCamThread(), 0);
    // The threads are detached; they end by themselves once the flag is up.
    auto channelsClosed = [] {
        std::lock_guard<std::mutex> g(devices().lock);
        return devices().closed.size();
    };
    for (int i = 0; i < 2000 && channelsClosed() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(cmtest::countOf(out, "capture from cam thread created successfully, videoid#0!\n"), 1);
    EXPECT_EQ(cmtest::countOf(out, "capture from cam thread created successfully, videoid#1!\n"), 1);
    std::vector<int> byCamera[2];
    for (const auto& p : pic_frames[0].oldest(SIZE_MAX)) {
        int level = static_cast<int>(cv::mean(p.picture)[0]);
        int camera = (level - 20) % 10 == 5 ? 1 : 0;
        byCamera[camera].push_back(frameNumberOf(p.picture, camera));
    }
    EXPECT_EQ(byCamera[0], (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(byCamera[1], (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(channelsClosed(), 2u);
}

}  // namespace
