// The frame capture loop on the emulated cameras: countdown, save requests,
// time-outs, switch-off, disconnect and full buffers.
#include "v4l2/capture_loop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>
#include <thread>

#include "board/watchdog.h"
#include "camera_fixture.h"
#include "streaming/frame_buffers.h"
#include "v4l2/device_setup.h"
#include "v4l2/frame_sequence.h"

namespace {

using cmtest::countOf;
using v4l2test::CameraTest;
using v4l2test::consecutiveFramesOf;
using v4l2test::patternsOf;
using v4l2test::saidTheCameraWentAway;

class FrameCaptureLoopTest : public CameraTest {
protected:
    // Camera 0 streaming at 100 frames a second (with `options`).
    void streamingCamera(const std::string& options = "") {
        startCameras(("0 MJPG 320x240 100 " + options).c_str());
        openConfigured(0);
        ASSERT_TRUE(streamOn(0));
        collect();
        out.clear();
        err.clear();
    }
};

TEST_F(FrameCaptureLoopTest, ShortCountdownWarnsAndStillRunsItsSteps) {
    streamingCamera();
    frame_count = 5;
    EXPECT_EQ(goForOneCaptureLoop(0), 5);
    collect();
    EXPECT_EQ(err.substr(0, 52), "\n/dev/video0: loop conditions error: frames: 5, infi");
    EXPECT_NE(err.find("loop conditions error: frames: 5, infinite loop: 0"), std::string::npos);
    EXPECT_NE(err.find("infinite loop: 0...../dev/video0: exit main loop to by finish conditions!!\n"), std::string::npos);
    EXPECT_EQ(memory_otuput[0].count.load(), 5u);
    EXPECT_EQ(g_successful_frames.load(), 5u);
    auto frames = patternsOf(buffered(0));
    EXPECT_EQ(frames.size(), 5u);
    EXPECT_TRUE(consecutiveFramesOf(frames, 0));
}

TEST_F(FrameCaptureLoopTest, CountdownLeftByAClipRequestStaysOnlyBetweenTheTwoCounts) {
    streamingCamera();
    g_bSaveFile[0].store(kSaveMemory);  // ends each loop at its first wait step
    struct Case {
        int frameCount, userFrames;
        unsigned before, after;
    };
    for (Case c : {Case{300, 300, 120, 299}, Case{300, 300, 400, 299}, Case{100, 300, 120, 119},
                   Case{100, 300, 300, 299}, Case{100, 300, 100, 99}}) {
        frame_count = c.frameCount;
        USER_VIDEO_FRAMES = c.userFrames;
        frames_left[0].store(c.before);
        EXPECT_EQ(goForOneCaptureLoop(0), 0);  // a request 3 ends the loop even with an empty buffer
        EXPECT_EQ(frames_left[0].load(), c.after) << c.frameCount << " " << c.before;
    }
    collect();
    EXPECT_EQ(countOf(err, "exit main loop to save a file. 3!"), 5);
    EXPECT_EQ(countOf(err, "loop conditions error"), 0);
}

TEST_F(FrameCaptureLoopTest, WithoutCountdownOnlyARequestEndsTheLoop) {
    streamingCamera();
    frame_count = 0;
    std::thread requester([] {
        while (memory_otuput[0].count.load() < 40) std::this_thread::yield();
        g_bSaveFile[0].store(kSaveOverflow);
    });
    const int handled = goForOneCaptureLoop(0);
    requester.join();
    EXPECT_GE(handled, 40);
    EXPECT_EQ(memory_otuput[0].count.load(), static_cast<unsigned>(handled));
    EXPECT_TRUE(consecutiveFramesOf(patternsOf(buffered(0)), 0));
    collect();
    EXPECT_EQ(countOf(err, "loop conditions error"), 0);
    EXPECT_NE(err.find("exit main loop to save a file. 3!"), std::string::npos);
}

TEST_F(FrameCaptureLoopTest, AlertRequestWaitsUntilMoreThan500BytesAreStored) {
    streamingCamera();
    g_bSaveFile[0].store(kSaveAlert);  // raised before the loop: the buffer starts empty
    EXPECT_EQ(goForOneCaptureLoop(0), 1);
    EXPECT_EQ(memory_otuput[0].count.load(), 1u);
    EXPECT_GT(memory_otuput[0].len.load(), 500u);
    collect();
    EXPECT_NE(err.find("/dev/video0: exit main loop to save a file. 1!\n"), std::string::npos);
}

TEST_F(FrameCaptureLoopTest, UserRequestEndsTheLoopOnceTheCountdownIsAtNine) {
    streamingCamera();
    frame_count = 20;
    g_bSaveFile[0].store(kSaveUser);
    EXPECT_EQ(goForOneCaptureLoop(0), 10);
    EXPECT_EQ(frames_left[0].load(), 9u);
    EXPECT_EQ(memory_otuput[0].count.load(), 10u);
    collect();
    EXPECT_NE(err.find("exit main loop to save a file. 2!"), std::string::npos);
}

TEST_F(FrameCaptureLoopTest, ThreeTimeoutsInARowAreToleratedAndUseCountdownSteps) {
    streamingCamera("stall=0.05:3.4");
    frame_count = 20;
    EXPECT_EQ(goForOneCaptureLoop(0), 17);
    collect();
    EXPECT_EQ(countOf(err, "mainloop break3!!"), 3);
    for (int k = 1; k <= 3; ++k)
        EXPECT_NE(err.find("\nselect timeout /dev/video0.. dropped frames: " + std::to_string(k)), std::string::npos) << k;
    EXPECT_EQ(countOf(err, "resetting device"), 0);
}

TEST_F(FrameCaptureLoopTest, FourthTimeoutInARowEndsTheLoopWithOne) {
    streamingCamera("stall=0.05:10");
    frame_count = 300;
    EXPECT_EQ(goForOneCaptureLoop(0), 1);
    collect();
    EXPECT_EQ(countOf(err, "mainloop break3!!"), 3);
    EXPECT_NE(err.find("\nselect timeout /dev/video0.. dropped frames: 4\nselect timeout several times /dev/video0.. "
                       "resetting device!"),
              std::string::npos);
}

TEST_F(FrameCaptureLoopTest, SwitchedOffInputOrExitEndsTheLoopWithOne) {
    streamingCamera();
    bInputs[0].store(0);
    EXPECT_EQ(goForOneCaptureLoop(0), 1);
    bInputs[0].store(1);
    setting.raiseExitInMemory();
    EXPECT_EQ(goForOneCaptureLoop(0), 1);
    collect();
    EXPECT_EQ(countOf(err, "/dev/video0: cam is either switched off or exit flaged!\n"), 2);
}

TEST_F(FrameCaptureLoopTest, DisconnectedDeviceEndsTheLoopAsAFaultNotAsFrames) {
    streamingCamera("disconnect=0.5:5");
    frame_count = 300;
    CameraFault fault;
    EXPECT_EQ(goForOneCaptureLoop(0, &fault), kCaptureLoopFailed);
    EXPECT_GT(memory_otuput[0].count.load(), 0u);  // kept for a pending request
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault.err, ENODEV);
    collect();
    EXPECT_TRUE(saidTheCameraWentAway(err, 0));
}

// Frames the camera made while the worker was away (no buffer queued) are
// counted where the clip lacks them, as its own frames' counters show.
TEST_F(FrameCaptureLoopTest, FramesTheCameraDroppedAreTheClipsGaps) {
    static const cm::SysCalls* cameraCalls = nullptr;
    static cm::SysCalls slow{};
    static int dequeues = 0;
    streamingCamera();
    cameraCalls = &cm::sys();
    slow = *cameraCalls;
    dequeues = 0;
    slow.ioctl = [](int d, unsigned long request, void* arg) {
        // A starved worker: away for as long as the camera (100 frames a
        // second) takes to fill every buffer and ten frames more.
        if (request == VIDIOC_DQBUF && ++dequeues == 20) usleep((kRequestedBuffers + 10) * 10000);
        return cameraCalls->ioctl(d, request, arg);
    };
    cm::setSysCallsForTests(&slow);
    frame_count = 40;
    EXPECT_EQ(goForOneCaptureLoop(0), 40);
    cm::setSysCallsForTests(cameraCalls);
    std::vector<emucam::PatternReading> frames = patternsOf(buffered(0));
    ASSERT_EQ(frames.size(), 40u);
    std::uint64_t missing = 0, gaps = 0;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        missing += frames[i].counter - frames[i - 1].counter - 1;
        gaps += frames[i].counter - frames[i - 1].counter > 1 ? 1 : 0;
    }
    EXPECT_GE(missing, 5u);
    EXPECT_EQ(clipFrameGaps(0).lost, missing);
    EXPECT_EQ(clipFrameGaps(0).gaps, gaps);
}

TEST_F(FrameCaptureLoopTest, OversizedFramesMissTheStreamButNotTheClip) {
    streamingCamera("oversize=1");
    init_streaming_buffer();
    g_bStreamingVideo.store(1);
    frame_count = 3;
    EXPECT_EQ(goForOneCaptureLoop(0), 3);
    EXPECT_EQ(memory_otuput[0].len.load(), 3u * emucam::kDefaultOversizeBytes);
    with_latest_streaming_image(0, [](StreamingImage& e) { EXPECT_EQ(e.length, 0); });
    collect();
    EXPECT_EQ(countOf(err, "Streaming Buffer full!... 750000 bytes\n"), 3);
}

TEST_F(FrameCaptureLoopTest, FullBufferEndsTheLoopAndAsksToDrop) {
    streamingCamera("oversize=1:16000000");
    frame_count = 0;
    EXPECT_EQ(goForOneCaptureLoop(0), 7);  // the seventh frame does not fit and is dropped
    EXPECT_EQ(memory_otuput[0].count.load(), 6u);
    EXPECT_EQ(g_bSaveFile[0].load(), kSaveOverflow);
    collect();
    EXPECT_EQ(countOf(err, "Buffer full!\n"), 1);
    EXPECT_NE(err.find("exit main loop to save a file. 3!"), std::string::npos);
}

TEST_F(FrameCaptureLoopTest, FullBufferWhileAnAlertClipIsMadeAsksToSaveIt) {
    streamingCamera("oversize=1:16000000");
    frame_count = 0;
    g_nSaveType.store(1);
    EXPECT_EQ(goForOneCaptureLoop(0), 7);
    EXPECT_EQ(g_bSaveFile[0].load(), kSaveAlert);
    collect();
    EXPECT_NE(err.find("exit main loop to save a file. 1!"), std::string::npos);
}

TEST_F(FrameCaptureLoopTest, BufferIndexTheDeviceDoesNotHaveIsReportedAndPassedOver) {
    streamingCamera();
    frame_count = 10;
    n_buffers[0] = 1;  // the device fills the others too
    EXPECT_EQ(goForOneCaptureLoop(0), 10);  // on buffer 0 alone
    n_buffers[0] = kRequestedBuffers;
    collect();
    EXPECT_EQ(countOf(err, "but the device has 1; passed over\n"), static_cast<int>(kRequestedBuffers) - 1);
    EXPECT_NE(err.find("/dev/video0: read_frame: the driver dequeued buffer 1, but the device has 1"), std::string::npos);
}

}  // namespace
