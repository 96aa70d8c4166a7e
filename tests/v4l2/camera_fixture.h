// Shared set-up of the direct path's tests against the emulated cameras:
// an emulated board root, the run configuration at its defaults with a
// small manual format (so frames are cheap), the four inputs selected, the
// device names set, both standard streams captured, and a clock that makes
// the path's long waits short.
#pragma once

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/camera_selection.h"
#include "common/clock.h"
#include "common/run_config.h"
#include "common/syscalls.h"
#include "common/time_group.h"
#include "control/settings.h"
#include "emulation/emucam_inprocess.h"
#include "emulation/emucam_reader.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "support/test_support.h"
#include "v4l2/camera_retry.h"
#include "v4l2/device_setup.h"
#include "v4l2/frame_sequence.h"
#include "v4l2/device_state.h"
#include "v4l2/memory_output.h"
#include "v4l2/raw_clip_writer.h"

namespace v4l2test {

// Real time, but every pause of the program lasts 1/`scale` of its length:
// the 10-second and 2-second waits of the device cycle pass quickly while
// the cameras, paced by real time, go on delivering.
class ScaledClock final : public cm::Clock {
public:
    explicit ScaledClock(long long scale) : scale_(scale) { cm::setClockForTests(this); }
    ~ScaledClock() override { cm::setClockForTests(nullptr); }
    timespec wallNow() override {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        return ts;
    }
    void sleepFor(std::chrono::microseconds d) override {
        slept_.fetch_add(d.count());
        std::this_thread::sleep_for(d / scale_);
    }
    double sleptSeconds() const { return static_cast<double>(slept_.load()) / 1e6; }

private:
    long long scale_;
    std::atomic<long long> slept_{0};
};

// The JPEG frames of a raw clip (a plain concatenation of frames).
inline std::vector<std::string> splitJpegFrames(const std::string& raw) {
    std::vector<std::string> frames;
    const std::string soi("\xFF\xD8\xFF", 3);
    std::size_t at = raw.find(soi);
    while (at != std::string::npos) {
        std::size_t next = raw.find(soi, at + 3);
        frames.push_back(raw.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    return frames;
}

// The camera and counter of each frame (camera -1 when unreadable).
inline std::vector<emucam::PatternReading> patternsOf(const std::string& raw) {
    std::vector<emucam::PatternReading> out;
    for (const std::string& f : splitJpegFrames(raw)) {
        auto r = emucam::readJpegPattern(f.data(), f.size());
        out.push_back(r ? *r : emucam::PatternReading{});
    }
    return out;
}

// Whether the frames are all of `camera` with counters that follow on.
inline ::testing::AssertionResult consecutiveFramesOf(const std::vector<emucam::PatternReading>& frames, int camera) {
    if (frames.empty()) return ::testing::AssertionFailure() << "no frames";
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].camera != camera)
            return ::testing::AssertionFailure() << "frame " << i << " is of camera " << frames[i].camera;
        if (i > 0 && frames[i].counter != frames[i - 1].counter + 1)
            return ::testing::AssertionFailure()
                   << "frame " << i << " has counter " << frames[i].counter << " after " << frames[i - 1].counter;
    }
    return ::testing::AssertionSuccess();
}

// Whether the capture loop said camera N went away: the device may go while
// a frame is awaited (the dequeue fails) or between the dequeue and the
// queueing of that buffer (the queueing fails).
inline ::testing::AssertionResult saidTheCameraWentAway(const std::string& err, int N) {
    if (err.find("/dev/video" + std::to_string(N) + ": mainloop return 2!!") != std::string::npos ||
        err.find("Device: " + std::to_string(N) + ", VIDIOC_QBUF1 error 19, No such device") != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no failed DQBUF or QBUF of camera " << N << " in:\n" << err;
}

class CameraTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        force_format2 = 50;
        g_nDevWidth = 320;
        g_nDevHeight = 240;
        for (int i = 0; i < 4; ++i) bInputs[i].store(1);
        for (int i = 0; i < kV4l2Devices; ++i) {
            paths_[i] = "/dev/video" + std::to_string(i);
            dev_name[i].store(paths_[i].c_str());
        }
        cmtest::makeDirs(LBASE_PATH + "/queue");
        resetCameraRetriesForTests();
        resetFrameSequencesForTests();
        timeGroup = szTimeGroupTimestamp.renew();
        clock_ = std::make_unique<cmtest::FakeClock>();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }

    void TearDown() override {
        for (int i = 0; i < kV4l2Devices; ++i) {
            if (fd[i] >= 0) {
                int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                cm::sys().ioctl(fd[i], VIDIOC_STREAMOFF, &type);
                release_usb_device(i);
            }
            uninit_memory_output_buffer(i);
        }
        cameras.reset();
        clock_.reset();
        out += testing::internal::GetCapturedStdout();
        err += testing::internal::GetCapturedStderr();
        if (HasFailure()) printf("--- stdout:\n%s\n--- stderr:\n%s\n", out.c_str(), err.c_str());
    }

    void startCameras(const char* config) { cameras = std::make_unique<emucam::InProcessCameras>(emucam::configFromText(config)); }

    cmtest::FakeClock& fakeClock() { return static_cast<cmtest::FakeClock&>(*clock_); }
    // Replaces the fake clock (the default) with a scaled real-time one.
    ScaledClock& useScaledClock(long long scale) {
        clock_.reset();
        clock_ = std::make_unique<ScaledClock>(scale);
        return static_cast<ScaledClock&>(*clock_);
    }

    // Gathers what the program wrote so far (out and err accumulate).
    // What was printed, once the raw clips handed over are written.
    void collect() {
        finishRawClipWrites(10000);
        cm::drainLogWriter(5000);  // the worker threads' lines, handed to the log writer
        out += testing::internal::GetCapturedStdout();
        err += testing::internal::GetCapturedStderr();
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }

    // Opens and configures device N, which must succeed.
    void openConfigured(int N) {
        ASSERT_TRUE(open_usb_device(N));
        ASSERT_EQ(configure_usb_device(N), ConfigureResult::Configured);
        init_memory_output_buffer(N);
    }

    static bool streamOn(int N) {
        for (unsigned i = 0; i < n_buffers[N]; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            if (cm::sys().ioctl(fd[N], VIDIOC_QBUF, &b) != 0) return false;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return cm::sys().ioctl(fd[N], VIDIOC_STREAMON, &type) == 0;
    }

    std::string buffered(int N) const {
        return std::string(reinterpret_cast<const char*>(memory_otuput[N].data), memory_otuput[N].len.load());
    }

    std::unique_ptr<emucam::InProcessCameras> cameras;
    cmtest::BoardRoot root;
    std::string timeGroup, out, err;

private:
    std::unique_ptr<cm::Clock> clock_;
    std::string paths_[kV4l2Devices];
};

}  // namespace v4l2test
