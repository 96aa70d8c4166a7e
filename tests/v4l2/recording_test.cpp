// Recordings and device workers on the emulated cameras.
#include "v4l2/recording.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "camera_fixture.h"
#include "capture/clip_writer.h"
#include "v4l2/system_commands.h"

namespace {

using cmtest::countOf;
using cmtest::eventually;
using cmtest::fileExists;
using cmtest::readFile;
using v4l2test::CameraTest;
using v4l2test::consecutiveFramesOf;
using v4l2test::patternsOf;
using v4l2test::saidTheCameraWentAway;

class RecordingTest : public CameraTest {
protected:
    void openCamera(int N) {
        openConfigured(N);
        collect();
        out.clear();
        err.clear();
    }
    std::string rawClip(const char* name, int N) const {
        finishRawClipWrites(10000);
        return root.path("/tmp/") + name + "_" + std::to_string(N) + "_" + timeGroup + ".raw";
    }
};

TEST_F(RecordingTest, TenLoopsWithoutARequestKeepNothing) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    frame_count = 3;
    EXPECT_EQ(start_usb_cam_recording(0), 0);
    collect();
    for (int loop = 1; loop <= 10; ++loop)
        EXPECT_NE(out.find("Loops: " + std::to_string(loop) + ", Frames: 3Exit Flag: 0\n"), std::string::npos) << loop;
    EXPECT_EQ(countOf(out, "/dev/video0: capture loop ended..\n"), 10);
    EXPECT_NE(out.find("\nExit with video save status# 0\n"), std::string::npos);
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 0u);
    // Streaming was switched off: the next recording queues the buffers again.
    EXPECT_EQ(start_usb_cam_recording(0), 0);
    collect();
    EXPECT_EQ(countOf(err, "VIDIOC_QBUF4"), 0);
    EXPECT_EQ(countOf(out, "Loops: 10,"), 2);
}

TEST_F(RecordingTest, AlertInTheMiddleOfALoopSavesTheLoopsFramesAsUsbClip) {
    startCameras("0 MJPG 320x240 100\n1 MJPG 320x240 100");
    openCamera(1);
    std::thread clipMaker([] {
        while (memory_otuput[1].count.load() < 30) std::this_thread::yield();
        g_bSaveFile[1].store(kSaveAlert);
    });
    EXPECT_EQ(start_usb_cam_recording(1), 0);
    clipMaker.join();
    EXPECT_EQ(g_bSaveFile[1].load(), kSaveNone);
    collect();
    EXPECT_NE(err.find("/dev/video1: exit main loop to save a file. 1!\n"), std::string::npos);
    EXPECT_EQ(countOf(out, "Loops: "), 1);
    EXPECT_NE(out.find("\nExit with video save status# 1\n"), std::string::npos);
    auto frames = patternsOf(readFile(rawClip("usb", 1)));
    EXPECT_GE(frames.size(), 30u);
    EXPECT_TRUE(consecutiveFramesOf(frames, 1));
    ASSERT_EQ(system_commands.size(), 1u);
    EXPECT_NE(out.find("mp4 convert cmd: "), std::string::npos);
    EXPECT_NE(out.find("-i " + rawClip("usb", 1) + " "), std::string::npos);
}

// Places an alert at an exact frame of device 0's capture loop: the dequeue
// that follows the loop's `at`-th frame waits until the clip maker has set
// the countdown; the frames dequeued from then on are counted.
struct AlertPlacement {
    static inline cm::SysCalls calls{};
    static inline const cm::SysCalls* cameras = nullptr;
    static inline std::atomic<int> at{-1};  // -1: no alert to place
    static inline std::atomic<bool> due{false}, countdownSet{false};
    static inline std::atomic<unsigned> dequeuedSince{0};

    static void install() {
        cameras = &cm::sys();
        calls = *cameras;
        calls.ioctl = ioctl;
        cm::setSysCallsForTests(&calls);
    }
    static void arm(int frame) {
        due.store(false);
        countdownSet.store(false);
        dequeuedSince.store(0);
        at.store(frame);
    }
    static int ioctl(int fd, unsigned long request, void* arg) {
        if (request != VIDIOC_DQBUF) return cameras->ioctl(fd, request, arg);
        int frame = at.load();
        if (frame >= 0 && memory_otuput[0].count.load() == static_cast<unsigned>(frame)) {
            at.store(-1);
            due.store(true);
            while (!countdownSet.load()) std::this_thread::yield();
        }
        const int r = cameras->ioctl(fd, request, arg);
        if (r == 0 && due.load()) dequeuedSince.fetch_add(1);
        return r;
    }
};

// The clip maker sets the countdown (at least three seconds of frames) and
// raises the request three seconds later, so the countdown may run out just
// before the request or just after it. Wherever in the loop the alert falls,
// up to its last frame, the clip holds the loop's frames before the alert
// and the countdown's frames after it: the countdown never ends the loop
// (and empties the buffer) while the request is on its way.
TEST_F(RecordingTest, AlertAnywhereInALoopKeepsTheLoopsFramesWhicheverOfCountdownAndRequestComesFirst) {
    startCameras("0 MJPG 320x240 100");
    AlertPlacement::install();
    openCamera(0);
    g_bUSB = 1;
    for (int i = 1; i < 4; ++i) bInputs[i].store(0);
    g_FrameRate = 2;                        // three seconds: 6 frames
    frame_count = USER_VIDEO_FRAMES = 12;  // a loop of 12 frames
    std::atomic<unsigned> requestAfter{0};
    // The three-second pause: the countdown is set; the request follows once
    // `requestAfter` frames have come since the alert.
    fakeClock().onSleep([&](const timespec&) {
        AlertPlacement::countdownSet.store(true);
        while (AlertPlacement::dequeuedSince.load() < requestAfter.load()) std::this_thread::yield();
    });
    for (unsigned at = 0; at < 12; ++at) {
        const unsigned left = std::max(12u - at, 6u);  // the clip maker's countdown
        for (int late : {-1, 2}) {                     // frames after the countdown ran out
            SCOPED_TRACE(testing::Message() << "alert after frame " << at << ", request " << late);
            requestAfter.store(left + late);
            AlertPlacement::arm(static_cast<int>(at));
            std::thread clipMaker([] {
                while (!AlertPlacement::due.load()) std::this_thread::yield();
                createUserVideos(kSaveAlert);
            });
            EXPECT_EQ(start_usb_cam_recording(0), 0);
            clipMaker.join();
            finishRawClipWrites(10000);
            auto frames = patternsOf(readFile(root.path("/tmp/usb_0_") + szTimeGroupTimestamp.get() + ".raw"));
            EXPECT_GE(static_cast<int>(frames.size()), static_cast<int>(at + left) + late);
            EXPECT_TRUE(consecutiveFramesOf(frames, 0));
            EXPECT_EQ(clip_request_pending[0].load(), kSaveNone);
        }
    }
    fakeClock().onSleep(nullptr);
}

TEST_F(RecordingTest, UserRequestRecordsOnToNearlyTheEndOfTheCountdown) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    std::thread clipMaker([] {
        while (memory_otuput[0].count.load() < 20) std::this_thread::yield();
        frames_left[0].store(60);  // what the clip maker sets, then the request
        g_bSaveFile[0].store(kSaveUser);
    });
    EXPECT_EQ(start_usb_cam_recording(0), 0);
    clipMaker.join();
    auto frames = patternsOf(readFile(rawClip("user", 0)));
    EXPECT_GE(frames.size(), 20u + 50u);
    EXPECT_LE(frames.size(), 20u + 53u);
    EXPECT_TRUE(consecutiveFramesOf(frames, 0));
    collect();
    EXPECT_NE(err.find("exit main loop to save a file. 2!"), std::string::npos);
}

TEST_F(RecordingTest, RequestRaisedBeforeALoopSavesItsFirstFrameOnly) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    g_bSaveFile[0].store(kSaveAlert);
    EXPECT_EQ(start_usb_cam_recording(0), 0);
    EXPECT_EQ(patternsOf(readFile(rawClip("usb", 0))).size(), 1u);
}

TEST_F(RecordingTest, OverflowRequestDropsTheBuffer) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    g_bSaveFile[0].store(kSaveOverflow);
    EXPECT_EQ(start_usb_cam_recording(0), 2);  // the loop ended before its first frame
    EXPECT_EQ(g_bSaveFile[0].load(), kSaveNone);
    collect();
    EXPECT_NE(out.find("\nExit with video save status# 4\n\nMemory overflow without saving.. # 4\n"), std::string::npos);
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 0u);
    EXPECT_EQ(system_commands.size(), 0u);
}

TEST_F(RecordingTest, UnlistedRequestValueSavesAsUkn) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    frame_count = 4;
    g_bSaveFile[0].store(7);  // ends no loop; the recording stops after the first
    EXPECT_EQ(start_usb_cam_recording(0), 0);
    EXPECT_EQ(patternsOf(readFile(rawClip("ukn", 0))).size(), 4u);
    collect();
    EXPECT_EQ(countOf(out, "Loops: "), 1);
}

TEST_F(RecordingTest, LoopWithoutAnyFrameMakesTheResultTwo) {
    startCameras("0 MJPG 320x240 100 stall=0:3.3");
    openCamera(0);
    frame_count = 3;
    EXPECT_EQ(start_usb_cam_recording(0), 2);
    collect();
    EXPECT_NE(out.find("Loops: 1, Frames: 0Exit Flag: 0\n"), std::string::npos);
    EXPECT_NE(out.find("Loops: 10, Frames: 3Exit Flag: 0\n"), std::string::npos);
}

TEST_F(RecordingTest, FailedQueueingAfterADisconnectGivesOneAndClearsTheRequest) {
    startCameras("0 MJPG 320x240 100 disconnect=0.2:100");
    openCamera(0);
    frame_count = 300;
    EXPECT_EQ(start_usb_cam_recording(0), 1);  // the loop fails once the camera is gone
    g_bSaveFile[0].store(kSaveAlert);
    EXPECT_EQ(start_usb_cam_recording(0), 1);
    EXPECT_EQ(g_bSaveFile[0].load(), kSaveNone);
    collect();
    EXPECT_TRUE(saidTheCameraWentAway(err, 0));
    EXPECT_NE(err.find("Device: 0, VIDIOC_QBUF4 error 19, No such device\n"), std::string::npos);
    EXPECT_NE(out.find("\nExit with video save status# 1\n"), std::string::npos);
    EXPECT_FALSE(fileExists(rawClip("usb", 0)));
}

TEST_F(RecordingTest, ExitDuringARecordingStillSavesThePendingRequest) {
    startCameras("0 MJPG 320x240 100");
    openCamera(0);
    std::thread other([] {
        while (memory_otuput[0].count.load() < 10) std::this_thread::yield();
        g_bSaveFile[0].store(kSaveMemory + 4);  // a value that ends no loop
        setting.raiseExitInMemory();
    });
    start_usb_cam_recording(0);
    other.join();
    collect();
    EXPECT_NE(err.find("cam is either switched off or exit flaged!"), std::string::npos);
    EXPECT_EQ(countOf(out, "Loops: "), 1);
    EXPECT_NE(out.find("Exit Flag: 1\n"), std::string::npos);
    EXPECT_GE(patternsOf(readFile(rawClip("ukn", 0))).size(), 10u);
}

// ---- the worker ----

TEST_F(RecordingTest, DeselectedInputsWorkerWaitsInTenSecondStepsWithoutOpening) {
    startCameras("2 MJPG 320x240 100");
    bInputs[2].store(0);
    int sleeps = 0;
    fakeClock().onSleep([&](const timespec&) {
        if (++sleeps == 3) setting.raiseExitInMemory();
    });
    std::thread worker(doUSBCapture, &nDevicesIDs[2]);
    worker.join();
    EXPECT_DOUBLE_EQ(fakeClock().sleptSeconds(), 30.0);
    EXPECT_EQ(cameras->model().stats(2).formatAttempts, 0u);
    EXPECT_EQ(fd[2], -1);
    collect();
    EXPECT_EQ(err,
              "/dev/video2: Starting.. nDeviceID  2\n"
              "/dev/video2: Turned off by switch.. nDeviceID#  2\n"
              "/dev/video2: Turned off by switch.. nDeviceID#  2\n"
              "/dev/video2: Turned off by switch.. nDeviceID#  2\n"
              "/dev/video2: exit flaged!\n");
}

TEST_F(RecordingTest, WorkerRecordsOnAfterEachRecordingAndEndsOnExitWithoutAResultLine) {
    startCameras("0 MJPG 320x240 100");
    frame_count = 2;
    useScaledClock(100);
    std::thread worker(doUSBCapture, &nDevicesIDs[0]);
    ASSERT_TRUE(eventually([&] { return cameras->model().stats(0).delivered >= 70; }));
    setting.raiseExitInMemory();
    worker.join();
    EXPECT_EQ(fd[0], -1);
    collect();
    EXPECT_GE(countOf(err, "/dev/video0: Capture loop result:  0\n/dev/video0: Restarting.. nDeviceID  0\n"), 2);
    // Every recording ends with a save status line; all but the last, which
    // the exit flag ended, are followed by a result line. The flag may be
    // seen inside a capture loop or just after one ended by its frame count,
    // so which console line shows it first is not fixed.
    EXPECT_EQ(countOf(out, "Exit with video save status# "), countOf(err, "Capture loop result:") + 1);
    EXPECT_EQ(countOf(err, "format succeeded"), 1);  // the device stayed open across recordings
    EXPECT_NE(err.find("/dev/video0: close fd"), std::string::npos);
}

TEST_F(RecordingTest, OneByOneHandsTheTurnFromOneWorkerToTheNext) {
    startCameras("0 MJPG 320x240 100\n1 MJPG 320x240 100");
    frame_count = 2;
    bOneByOne = 1;
    bInputs[2].store(0);
    bInputs[3].store(0);
    b1By1Inputs[0].store(1);
    n1By1RecordingsLeft.store(2);  // a clip run over inputs 0 and 1
    useScaledClock(1000);
    std::thread w0(doUSBCapture, &nDevicesIDs[0]);
    std::thread w1(doUSBCapture, &nDevicesIDs[1]);
    // Input 0 records once and hands over to input 1, which records once and
    // ends the walk; the turn then goes back to input 0, which opens again.
    bool done = eventually([&] { return cameras->model().stats(0).formatAttempts >= 2; });
    setting.raiseExitInMemory();
    w0.join();
    w1.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(n1By1RecordingsLeft.load(), 0);
    EXPECT_EQ(cameras->model().stats(1).formatAttempts, 1u);
    collect();
    const std::size_t open0 = err.find("/dev/video0 format succeeded");
    const std::size_t close0 = err.find("/dev/video0: close fd");
    const std::size_t open1 = err.find("/dev/video1 format succeeded");
    const std::size_t close1 = err.find("/dev/video1: close fd");
    const std::size_t reopen0 = err.find("/dev/video0 format succeeded", open0 + 1);
    ASSERT_NE(reopen0, std::string::npos);
    EXPECT_LT(open0, close0);
    EXPECT_LT(close0, open1);
    EXPECT_LT(open1, close1);
    EXPECT_LT(close1, reopen0);
    EXPECT_EQ(countOf(err, "/dev/video0: Restarting.. nDeviceID  0"), 1 + countOf(err.substr(reopen0), "/dev/video0: Restarting"));
    EXPECT_NE(out.find("step1by1: done recording from all cams\n"), std::string::npos);
}

TEST_F(RecordingTest, DisconnectedCameraIsReopenedWhenBackWhileTheOthersRecordOn) {
    startCameras("0 MJPG 320x240 100 disconnect=0.3:1.2\n1 MJPG 320x240 100");
    frame_count = 20;
    useScaledClock(20);  // the 10-second waits for the missing node take half a second
    std::thread w0(doUSBCapture, &nDevicesIDs[0]);
    std::thread w1(doUSBCapture, &nDevicesIDs[1]);
    bool reopened = eventually([&] { return cameras->model().stats(0).formatAttempts >= 2; });
    std::uint64_t deliveredAtReopen = cameras->model().stats(0).delivered;
    bool recording = eventually([&] { return cameras->model().stats(0).delivered >= deliveredAtReopen + 30; });
    setting.raiseExitInMemory();
    w0.join();
    w1.join();
    ASSERT_TRUE(reopened);
    EXPECT_TRUE(recording);
    // Camera 1 was never interrupted: it delivered throughout at its rate.
    EXPECT_EQ(cameras->model().stats(1).formatAttempts, 1u);
    EXPECT_GE(cameras->model().stats(1).delivered, 150u);
    collect();
    EXPECT_TRUE(saidTheCameraWentAway(err, 0));
    EXPECT_NE(err.find("/dev/video0: error received! loop exit! error= 1"), std::string::npos);
    EXPECT_NE(err.find("Cannot identify '/dev/video0': 2, No such file or directory"), std::string::npos);
    EXPECT_EQ(countOf(err, "/dev/video1: error received"), 0);
    EXPECT_EQ(countOf(err, "/dev/video1: close fd"), 1);  // only at the end
}

TEST_F(RecordingTest, StarterCreatesEachWorkerOnce) {
    setting.raiseExitInMemory();  // the workers end right after starting
    for (int N = 0; N < 4; ++N) {
        dev_name[N].store(nullptr);
        EXPECT_EQ(initCaptureThread(N), 0);
    }
    pthread_t first[4];
    for (int N = 0; N < 4; ++N) {
        first[N] = tid_usb_capture[N].load();
        EXPECT_NE(first[N], pthread_t{}) << N;
        EXPECT_STREQ(dev_name[N].load(), ("/dev/video" + std::to_string(N)).c_str());
    }
    g_bSaveFile[2].store(kSaveAlert);
    EXPECT_EQ(initCaptureThread(2), 0);
    EXPECT_EQ(tid_usb_capture[2].load(), first[2]);
    EXPECT_EQ(g_bSaveFile[2].load(), kSaveNone);
    EXPECT_EQ(tid_usb_capture[4].load(), pthread_t{});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the workers' first lines
    collect();
    EXPECT_EQ(countOf(err, "USB capture thread created successfully!"), 4);
    EXPECT_NE(err.find("/dev/video3: USB capture thread created successfully!\n"), std::string::npos);
}

}  // namespace
