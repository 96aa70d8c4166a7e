// Direct V4L2 path ("-usb"): the frame capture loop. The default path's is capture/capture_loop.cpp.
#include "log/console.h"
#include "v4l2/capture_loop.h"

#include <linux/videodev2.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "common/run_config.h"
#include "common/syscalls.h"
#include "common/xioctl.h"
#include "control/settings.h"
#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "v4l2/camera_retry.h"
#include "v4l2/device_state.h"
#include "v4l2/frame_sequence.h"
#include "v4l2/memory_output.h"

namespace {

// Loop start: a countdown left by a clip request of the previous loop stays
// when it lies above frame_count and not above USER_VIDEO_FRAMES; any other
// value starts afresh. A compare-exchange, so that a countdown the clip
// maker stores at this very moment is never overwritten.
void startCountdown(int N) {
    const long long fresh = frame_count;
    unsigned seen = frames_left[N].load();
    while (seen <= fresh || seen > static_cast<unsigned>(USER_VIDEO_FRAMES)) {
        if (frames_left[N].compare_exchange_weak(seen, static_cast<unsigned>(frame_count))) break;
    }
}

// The countdown step: true when the countdown has run out and ends the
// loop. The countdown counts down unsigned (without a countdown, 0 wraps to
// the largest value). While a clip request is on its way
// (clip_request_pending) a countdown at 0 stays at 0 and does not end the
// loop: ending it would start a new loop with an empty buffer, and the
// request would then save only the frames that came after. The request
// ends the loop instead (or this step, once the request is raised and the
// buffer is kept for it).
bool countdownRunsOut(int N, bool noCountdown) {
    unsigned seen = frames_left[N].load();
    for (;;) {
        if (seen == 0 && !noCountdown && clip_request_pending[N].load() != kSaveNone) return false;
        if (frames_left[N].compare_exchange_weak(seen, seen - 1)) return seen == 0 && !noCountdown;
    }
}

// The save request check of a wait step: true when the loop ends for it.
bool saveRequested(int N) {
    const int request = g_bSaveFile[N].load();
    const MemoryOutput& m = memory_otuput[N];
    const bool enough = m.data != nullptr && m.len.load(std::memory_order_relaxed) > kSaveRequestMinimumBytes;
    switch (request) {
        case kSaveAlert:
            if (!enough) return false;
            log__("exit main loop to save a file. 1!", N);
            return true;
        case kSaveUser:
            if (!enough || frames_left[N].load() > kUserClipEndFrames) return false;
            log__("exit main loop to save a file. 2!", N);
            return true;
        case kSaveMemory:
        case kSaveOverflow:
            log__("exit main loop to save a file. 3!", N);
            return true;
        default:
            return false;
    }
}

enum class Wait { Readable, TimedOut, Interrupted, Failed };

// Waits up to 1 second for device N's descriptor (real time: the device
// paces itself).
Wait waitForFrame(const DeviceSlot& dev, CameraFault& fault) {
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(dev.fd, &fds);
    timeval tv{1, 0};
    int r = cm::sys().select(dev.fd + 1, &fds, nullptr, nullptr, &tv);
    if (r == -1) {
        if (errno == EINTR) return Wait::Interrupted;
        fault = cameraFault("select", errno);
        errno_continue("select", dev.N);
        return Wait::Failed;
    }
    return r == 0 ? Wait::TimedOut : Wait::Readable;
}

int captureLoop(int N, CameraFault& fault) {
    const bool noCountdown = frame_count == 0;
    startCountdown(N);
    const unsigned countdown = frames_left[N].load();
    if (countdown <= kUserClipEndFrames && !noCountdown) {
        cm::printErrorFormatted("\n%s: loop conditions error: frames: %d, infinite loop: %d", deviceName(N),
                                static_cast<int>(countdown), 0);
    }
    int handled = 0;
    int consecutiveTimeouts = 0;
    int dropped = 0;
    reset_memory_output_buffer(N);
    frameSequenceClipStarted(N);

    for (;;) {
        if (countdownRunsOut(N, noCountdown)) {
            log__("exit main loop to by finish conditions!!", N);
            return handled;
        }
        // Wait steps, until a frame was handled or a wait timed out.
        for (;;) {
            notifyAction();
            if (!inputSelected(N) || exitRequested()) {
                log__("cam is either switched off or exit flaged!", N);
                return 1;
            }
            if (saveRequested(N)) return handled;
            const Wait outcome = waitForFrame(device(N), fault);
            if (outcome == Wait::Interrupted) continue;
            if (outcome == Wait::Failed) return kCaptureLoopFailed;
            if (outcome == Wait::TimedOut) {
                ++dropped;
                ++consecutiveTimeouts;
                cm::printErrorFormatted("\nselect timeout %s.. dropped frames: %d", deviceName(N), dropped);
                if (consecutiveTimeouts <= kToleratedTimeouts) {
                    log__("mainloop break3!!", N);
                    break;  // a time-out uses up one countdown step
                }
                cm::printErrorFormatted("\nselect timeout several times %s.. resetting device!", deviceName(N));
                return 1;
            }
            const FrameRead read = read_frame(N, &fault);
            if (read == FrameRead::Failed) return kCaptureLoopFailed;
            if (read == FrameRead::Ignored) continue;
            g_successful_frames.fetch_add(1, std::memory_order_relaxed);
            ++handled;
            consecutiveTimeouts = 0;
            if (read == FrameRead::Handled) break;
        }
    }
}

}  // namespace

int goForOneCaptureLoop(int N, CameraFault* fault) {
    notifyAction();
    CameraFault f;
    int result = captureLoop(N, f);
    notifyAction();
    if (fault != nullptr) *fault = f;
    return result;
}

FrameRead read_frame(int N, CameraFault* fault) {
    const DeviceSlot dev = device(N);
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (xioctl2(dev.fd, VIDIOC_DQBUF, &buf) == -1) {
        if (errno == EAGAIN) return FrameRead::NotReady;
        if (fault != nullptr) *fault = cameraFault("DQBUF", errno);
        log__("mainloop return 2!!", N);
        return FrameRead::Failed;
    }
    if (!(buf.index < dev.n_buffers)) {
        // Nothing of that buffer is trusted, nor can it be queued again.
        cm::printErrorFormatted("%s: read_frame: the driver dequeued buffer %u, but the device has %u; passed over\n",
                                dev.path(), buf.index, dev.n_buffers);
        return FrameRead::Ignored;
    }
    const buffer& b = dev.buffers[buf.index];
    // A driver that reports more bytes than its buffer holds is not
    // followed past the end of the mapping.
    const std::size_t used = std::min<std::size_t>(buf.bytesused, b.length);
    const bool stored = process_image(b.start, static_cast<int>(std::min<std::size_t>(used, 0x7fffffff)), N);
    frameSequenceSeen(N, buf.sequence, stored);
    cameraRetry(N).delivering(N);
    if (xioctl2(dev.fd, VIDIOC_QBUF, &buf) == -1) {
        if (fault != nullptr) *fault = cameraFault("QBUF", errno);
        errno_continue("VIDIOC_QBUF1", N);
        return FrameRead::Failed;
    }
    return FrameRead::Handled;
}

bool process_image(const void* frame, int length, int N) {
    const std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
    const bool stored = append_memory_output_frame(N, frame, size);
    if (!stored) {
        cm::printError("Buffer full!\n");
        // A full buffer raises the clip's type while a clip is being made
        // (the buffer is then saved under the clip's name), else 4 (dropped).
        // A request already pending is kept: overwriting it could turn an
        // alert clip into a dropped buffer.
        const int type = g_nSaveType.load();
        int none = kSaveNone;
        g_bSaveFile[N].compare_exchange_strong(none, type != 0 ? type : static_cast<int>(kSaveOverflow));
    }
    // The streaming mark and the progress mark go out together in one write
    // (standard error is unbuffered: every fputc would be a system call of
    // its own, per frame and device).
    char marks[2];
    std::size_t n = 0;
    if (g_bStreamingVideo.load(std::memory_order_relaxed) != 0) {
        if (length > kStreamingFrameLimit) {
            cm::printErrorFormatted("Streaming Buffer full!... %d bytes\n", length);
        } else if (store_latest_streaming_image(N, frame, static_cast<int>(size)) == StreamingStore::NoTable) {
            marks[n++] = '_';
        } else {
            marks[n++] = '|';
            if (g_bDebugJPEGStreamingFiles) {
                // The mark stays ahead of anything the debug file reports.
                cm::printError(std::string(marks, n));
                n = 0;
                save_streaming_output_buffer(N, "debug");
            }
        }
    }
    marks[n++] = static_cast<char>(N == 0 ? '.' : '0' + N);
    cm::printError(std::string(marks, n));
    return stored;
}
