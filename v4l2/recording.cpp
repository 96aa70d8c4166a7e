#include "v4l2/recording.h"

#include <linux/videodev2.h>

#include <array>
#include <cstdio>
#include <string>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "common/clock.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "common/threads.h"
#include "common/xioctl.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "v4l2/camera_retry.h"
#include "v4l2/capture_loop.h"
#include "v4l2/clip_names.h"
#include "v4l2/device_setup.h"
#include "v4l2/device_state.h"
#include "v4l2/frame_sequence.h"
#include "v4l2/memory_output.h"

namespace {

constexpr std::size_t kPathSize = 256;

// "/dev/video%d" for device n, built at compile time.
constexpr std::array<char, kPathSize> devicePath(int n) {
    std::array<char, kPathSize> out{};
    std::size_t o = 0;
    for (const char* p = footprint::kVideoDevicePattern; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'd') {
            out[o++] = static_cast<char>('0' + n);
            ++p;
        } else {
            out[o++] = *p;
        }
    }
    return out;
}

// The device paths stay valid for the whole run: the logging of every
// thread prints them. They are constant, so no thread ever writes a byte
// that another may be reading.
constexpr std::array<char, kPathSize> kDevicePaths[kV4l2Devices] = {devicePath(0), devicePath(1), devicePath(2),
                                                                    devicePath(3), devicePath(4)};

// In one-by-one mode only the input whose turn it is records.
bool waitingForTurn(int N) {
    return bOneByOne && !(N >= 0 && N < 4 && b1By1Inputs[N].load(std::memory_order_relaxed) != 0);
}

// The release and its one-second wait that follow every fault.
constexpr int kReleaseWaitSeconds = 1;
// What a recording whose capture loop handled no frame at all reports.
constexpr CameraFault kNoPictures{"capture loop", 0, "the camera delivered no picture"};

bool startStreaming(const DeviceSlot& dev, CameraFault& fault) {
    for (unsigned i = 0; i < dev.n_buffers; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (xioctl2(dev.fd, VIDIOC_QBUF, &buf) == -1) {
            fault = cameraFault("QBUF", errno);
            errno_continue("VIDIOC_QBUF4", dev.N);
            return false;
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl2(dev.fd, VIDIOC_STREAMON, &type) == -1) {
        fault = cameraFault("STREAMON", errno);
        errno_continue("VIDIOC_STREAMON", dev.N);
        return false;
    }
    frameSequenceStreamingStarted(dev.N);
    return true;
}

void stopStreaming(const DeviceSlot& dev) {
    // Stopping the stream also takes every buffer back from the driver, so
    // the next recording can queue them again.
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl2(dev.fd, VIDIOC_STREAMOFF, &type) == -1) errno_continue("VIDIOC_STREAMOFF", dev.N);
}

void actOnSaveRequest(int N, int request) {
    if (request == kSaveNone) return;
    if (request == kSaveOverflow) {
        cm::printOutFormatted("\nMemory overflow without saving.. # %d\n", request);
        drop_memory_output_buffer(N);
        return;
    }
    save_memory_output_buffer(N, clipNameForSaveRequest(request), describeClipFrames(N));
}

// Acts on device N's save request, if one is raised, and clears it (only
// that request: one raised meanwhile stays).
void serveSaveRequest(int N) {
    int request = g_bSaveFile[N].load();
    if (request == kSaveNone) return;
    actOnSaveRequest(N, request);
    g_bSaveFile[N].compare_exchange_strong(request, kSaveNone);
}

// The pause after a fault of device N, in short steps, so that the exit
// flag ends it and a save request raised meanwhile is acted on with the
// frames the buffer still holds. It lasts `seconds` at least and, while a
// clip request is on its way for a buffer worth saving (the clip maker
// raises the request three seconds after the countdown), until the request
// has come.
void pauseAfterFault(int N, int seconds) {
    for (long long waited = 0;; waited += kFaultPauseStepMillis) {
        serveSaveRequest(N);
        if (exitRequested()) return;
        const bool clipOnItsWay = clip_request_pending[N].load() != kSaveNone &&
                                  memory_otuput[N].len.load(std::memory_order_relaxed) > kSaveMinimumBytes;
        if (waited >= seconds * 1000LL && !clipOnItsWay) return;
        cm::sleepMillis(kFaultPauseStepMillis);
    }
}

// Waits until input N is selected and, in one-by-one mode, has its turn;
// false when the exit flag ends the worker instead.
bool waitUntilInputMayRecord(int N) {
    while (!inputSelected(N)) {
        if (exitRequested()) {
            log__("exit flaged!", N);
            return false;
        }
        cm::sleepSeconds(kSwitchedOffWaitSeconds);
        logd("Turned off by switch.. nDeviceID# ", N, N);
    }
    while (waitingForTurn(N)) {
        if (exitRequested()) {
            log__("exit flaged!", N);
            return false;
        }
        cm::sleepSeconds(kOneByOneWaitSeconds);
    }
    return true;
}

// Records on the open device N until the worker is to stop; `fault` says
// what ended it when the device failed.
void recordUntilInterrupted(int N, CameraFault& fault) {
    while (!exitRequested() && inputSelected(N) && !waitingForTurn(N)) {
        notifyAction();
        CameraFault failed;
        const int result = start_usb_cam_recording(N, &failed);
        if (exitRequested()) return;
        logd("Capture loop result: ", result, N);
        if (result != 0) {
            logd("error received! loop exit! error=", result, N);
            fault = result == 1 && failed ? failed : kNoPictures;
            return;
        }
        logd("Restarting.. nDeviceID ", N, N);
        // In one-by-one mode a clip run walks through the inputs: after one
        // recording this input hands over to the next.
        if (bOneByOne && n1By1RecordingsLeft.load() != 0) return;
    }
}

}  // namespace

int initCaptureThread(int N) {
    if (!validDevice(N)) return 1;
    dev_name[N].store(kDevicePaths[N].data());
    g_bSaveFile[N].store(kSaveNone);
    if (tid_usb_capture[N].load() != 0) return 0;
    const int rc = cm::startDetachedThread(tid_usb_capture[N], "cm-v4l2-" + std::to_string(N), cm::Urgency::capture,
                                           doUSBCapture, &nDevicesIDs[N]);
    log__(rc == 0 ? "USB capture thread created successfully!" : "can't create video capture thread", N);
    return rc;
}

void* doUSBCapture(void* arg) {
    cm::setThreadLogRole(cm::LogRole::queued);  // capture never waits on a log write
    if (arg == nullptr) return nullptr;
    const int N = *static_cast<const int*>(arg);
    if (!validDevice(N)) return nullptr;
    dev_name[N].store(kDevicePaths[N].data());
    logd("Starting.. nDeviceID ", N, N);
    if (exitRequested()) return nullptr;

    for (;;) {
        if (!waitUntilInputMayRecord(N)) return nullptr;
        init_memory_output_buffer(N);
        CameraFault fault;
        int waited = 0;  // of the pause after a fault, what the cycle waits anyway
        const bool opened = open_usb_device(N, &fault);
        if (!opened) {
            waited = kDeviceMissingWaitSeconds;
        } else {
            const ConfigureResult configured = configure_usb_device(N, &fault);
            if (configured == ConfigureResult::Configured) recordUntilInterrupted(N, fault);
            if (configured == ConfigureResult::FormatFailed) waited = kFormatFailureWaitSeconds;
            waited += kReleaseWaitSeconds;
        }
        // Said before the release, as it happens; the pause follows it.
        const int pause = fault ? cameraRetry(N).failed(N, fault, waited) : 0;
        if (opened) release_usb_device(N);  // after a format failure: no buffers, only the close
        if (fault) pauseAfterFault(N, pause);
        uninit_memory_output_buffer(N);
        if (exitRequested()) return nullptr;
        step1By1(1);
        if (exitRequested()) return nullptr;
    }
}

int start_usb_cam_recording(int N, CameraFault* fault) {
    reset_memory_output_buffer(N);
    frameSequenceClipStarted(N);
    if (exitRequested()) {
        log__("exit flaged!!!", N);
        return 0;
    }
    notifyAction();
    notifyAction();
    int result = 0;
    CameraFault failed;
    if (!startStreaming(device(N), failed)) {
        result = 1;
    } else {
        for (int loop = 1; loop <= kCaptureLoopsPerRecording; ++loop) {
            const int frames = goForOneCaptureLoop(N, &failed);
            if (frames == 0) result = 2;
            verbos("%s: capture loop ended..", dev_name[N].load());
            // A failed loop shows the frames it stored: its result is no count.
            const int shown = frames == kCaptureLoopFailed ? static_cast<int>(memory_otuput[N].count.load()) : frames;
            cm::printOutFormatted("Loops: %d, Frames: %dExit Flag: %d\n", loop, shown, exitRequested() ? 1 : 0);
            if (frames == kCaptureLoopFailed) {
                result = 1;
                break;
            }
            if (g_bSaveFile[N].load() != kSaveNone || exitRequested()) break;
        }
        stopStreaming(device(N));
    }
    if (fault != nullptr) *fault = failed;
    notifyAction();
    const int request = g_bSaveFile[N].load();
    cm::printOutFormatted("\nExit with video save status# %d\n", request);
    actOnSaveRequest(N, request);
    // Only the request acted on is cleared; one raised meanwhile stays.
    int acted = request;
    g_bSaveFile[N].compare_exchange_strong(acted, kSaveNone);
    notifyAction();
    return result;
}
