#include "v4l2/device_setup.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "board/watchdog.h"
#include "common/clock.h"
#include "common/run_config.h"
#include "common/sys_error.h"
#include "common/syscalls.h"
#include "common/xioctl.h"
#include "log/console.h"
#include "log/debug.h"
#include "v4l2/device_state.h"

namespace {

// Reports one of the fixed device lines and hands the fault back.
CameraFault sayFault(const char* fmt, const char* path, const CameraFault& fault) {
    cm::printErrorFormatted(fmt, path);
    return fault;
}

// A failed request: the device family's line, and the fault.
CameraFault requestFailed(const char* name, const char* step, int N) {
    const int err = errno;
    errno_continue(name, N);
    return cameraFault(step, err);
}

void setFault(CameraFault* out, const CameraFault& f) {
    if (out != nullptr) *out = f;
}

void logManualFormat(const FormatRequest& f) {
    verbos("Manual settings \n g_nDevWidth  = %d\ng_nDevHeight = %d\ng_nField = %d\ng_nPixelFormat = %d\n", g_nDevWidth,
           g_nDevHeight, g_nField, static_cast<int>(g_nPixelFormat));
    verbos(f.field == V4L2_FIELD_INTERLACED ? "fmt.fmt.pix.field       = V4L2_FIELD_INTERLACED;;"
                                            : "fmt.fmt.pix.field       = V4L2_FIELD_NONE;;");
    switch (f.pixelFormat) {
        case V4L2_PIX_FMT_MJPEG: verbos("fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_MJPEG;"); break;
        case V4L2_PIX_FMT_H264: verbos("fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_H264;"); break;
        case V4L2_PIX_FMT_YUYV: verbos("fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;"); break;
        default: break;
    }
}

// Up to 15 attempts; every failure is retried, whatever its errno (a
// camera that another process still holds answers EBUSY for a while).
bool setFormat(int N, v4l2_format& fmt, CameraFault& fault) {
    const FormatRequest want = format_for_preset(force_format2);
    for (int attempt = 1; attempt <= kFormatAttempts; ++attempt) {
        fmt = v4l2_format{};
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        fmt.fmt.pix.width = want.width;
        fmt.fmt.pix.height = want.height;
        fmt.fmt.pix.pixelformat = want.pixelFormat;
        fmt.fmt.pix.field = want.field;
        if (xioctl2(fd[N], VIDIOC_S_FMT, &fmt) != -1) {
            cm::printErrorFormatted("%s format succeeded! .. after %d trails\n", deviceName(N), attempt);
            return true;
        }
        fault = cameraFault("S_FMT", errno);
        errno_continue("VIDIOC_S_FMT3", N);
        if (attempt < kFormatAttempts) {
            cm::printErrorFormatted("%s is buzy.. retraying after 2 secs.. trail %d of %d\n", deviceName(N), attempt,
                                    kFormatAttempts);
            cm::sleepSeconds(kFormatRetrySeconds);
        }
    }
    errno_continue("VIDIOC_S_FMT3-F.. failed setting format!", N);
    cm::sleepSeconds(kFormatFailureWaitSeconds);
    return false;
}

void listFrameIntervals(int N, const v4l2_format& fmt) {
    for (unsigned index = 0; index < kMaxFrameIntervals; ++index) {
        v4l2_frmivalenum fi{};
        fi.index = index;
        fi.pixel_format = fmt.fmt.pix.pixelformat;
        fi.width = fmt.fmt.pix.width;
        fi.height = fmt.fmt.pix.height;
        if (xioctl2(fd[N], VIDIOC_ENUM_FRAMEINTERVALS, &fi) == -1) break;
        cm::printOutFormatted("Frame Interval enum: %u - %u - %u\n", fi.type, fi.discrete.numerator,
                              fi.discrete.denominator);
    }
}

// The rate the raw clips are timed with: the driver's time per frame as it
// reads back, so that a clip plays at the speed it was recorded at even when
// the driver kept another rate than the one asked for (or none was asked).
// A driver that reports no time per frame leaves the asked rate, if any.
void recordDeliveredRate(int N, const v4l2_fract& tpf) {
    if (tpf.numerator != 0 && tpf.denominator != 0) {
        delivered_rate_frames[N] = tpf.denominator;
        delivered_rate_seconds[N] = tpf.numerator;
    } else if (g_FrameRate > 0 && g_Numerator > 0) {
        delivered_rate_frames[N] = static_cast<unsigned>(g_FrameRate);
        delivered_rate_seconds[N] = static_cast<unsigned>(g_Numerator);
    } else {
        delivered_rate_frames[N] = 0;
        delivered_rate_seconds[N] = 0;
    }
}

void setFrameRate(int N, const v4l2_format& fmt) {
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    v4l2_fract& tpf = parm.parm.capture.timeperframe;
    xioctl2(fd[N], VIDIOC_G_PARM, &parm);
    if (g_FrameRate != 0) {
        cm::printOutFormatted("vidioc_g_parm called frate=%d/%d\n", static_cast<int>(tpf.numerator),
                              static_cast<int>(tpf.denominator));
        tpf.numerator = static_cast<unsigned>(g_Numerator);
        tpf.denominator = static_cast<unsigned>(g_FrameRate);
        cm::printOutFormatted("vidioc_s_parm set: frate=%d/%d\n", g_Numerator, g_FrameRate);
        xioctl2(fd[N], VIDIOC_S_PARM, &parm);
        xioctl2(fd[N], VIDIOC_G_PARM, &parm);
        if (tpf.numerator == static_cast<unsigned>(g_Numerator) && tpf.denominator == static_cast<unsigned>(g_FrameRate))
            dbg("%s", "Device frame rate set correctly!");
        else
            errno_continue("VIDIOC_S_PARM FAILED TO SET", N);
    }
    recordDeliveredRate(N, tpf);
    cm::printOutFormatted("%dx%d@%d/%d", static_cast<int>(fmt.fmt.pix.width), static_cast<int>(fmt.fmt.pix.height),
                          static_cast<int>(tpf.numerator), static_cast<int>(tpf.denominator));
}

// Has the driver free the buffers of `fd` (REQBUFS with count 0).
bool freeDriverBuffers(int fd) {
    v4l2_requestbuffers req{};
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    return xioctl2(fd, VIDIOC_REQBUFS, &req) != -1;
}

// The buffers of the cycle; a fault when they cannot all be had. Buffers
// mapped before a failure stay in dev.buffers for the release.
CameraFault mapBuffers(const DeviceSlot& dev) {
    const int N = dev.N;
    notifyAction();
    v4l2_requestbuffers req{};
    req.count = kRequestedBuffers;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl2(dev.fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            return sayFault("%s does not support memory mapping\n", dev.path(),
                            {"REQBUFS", EINVAL, "the camera cannot stream through memory-mapped buffers"});
        return requestFailed("VIDIOC_REQBUFS", "REQBUFS", N);
    }
    if (req.count < kMinimumBuffers) {
        freeDriverBuffers(dev.fd);
        return sayFault("Insufficient buffer memory on %s\n", dev.path(),
                        {"REQBUFS", 0, "the camera granted fewer than two frame buffers"});
    }
    dev.buffers = new (std::nothrow) buffer[req.count]();
    if (dev.buffers == nullptr) {
        cm::printError("Out of memory\n");
        freeDriverBuffers(dev.fd);
        return cameraFault("buffers", ENOMEM);
    }
    for (dev.n_buffers = 0; dev.n_buffers < req.count; ++dev.n_buffers) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = dev.n_buffers;
        if (xioctl2(dev.fd, VIDIOC_QUERYBUF, &buf) == -1) return requestFailed("VIDIOC_QUERYBUF", "QUERYBUF", N);
        buffer& b = dev.buffers[dev.n_buffers];
        b.length = buf.length;
        void* start = cm::sys().mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, dev.fd, buf.m.offset);
        if (start == MAP_FAILED) return requestFailed("mmap", "mmap", N);
        b.start = start;
    }
    return {};
}

void setJpegQuality(int N) {
    verbos("manipolating quality  VIDIOC_G_JPEGCOMP");
    v4l2_jpegcompression jc{};
    jc.quality = kJpegQuality;
    if (xioctl2(fd[N], VIDIOC_G_JPEGCOMP, &jc) == -1) {
        if (errno != EINVAL) verbos("VIDIOC_G_JPEGCOMP cant read compression");
        verbos("driver does not support VIDIOC_G_JPEGCOMP");
        return;
    }
    verbos("driver originally set to quality: %d", jc.quality);
    jc.quality = kJpegQuality;
    if (xioctl2(fd[N], VIDIOC_S_JPEGCOMP, &jc) == -1) verbos("VIDIOC_S_JPEGCOMP not supported");
    if (xioctl2(fd[N], VIDIOC_G_JPEGCOMP, &jc) == -1) verbos("VIDIOC_G_JPEGCOMP not supported");
    verbos("jpegcomp quality came out at %d\n", jc.quality);
}

}  // namespace

FormatRequest format_for_preset(int preset) {
    switch (preset) {
        case 2: return {640, 480, V4L2_PIX_FMT_H264, V4L2_FIELD_INTERLACED};
        case 3: return {1920, 1080, V4L2_PIX_FMT_MJPEG, V4L2_FIELD_INTERLACED};
        case 4: return {1920, 1080, V4L2_PIX_FMT_H264, V4L2_FIELD_INTERLACED};
        case 5: return {1280, 720, V4L2_PIX_FMT_H264, V4L2_FIELD_INTERLACED};
        case 11: return {1280, 720, V4L2_PIX_FMT_MJPEG, V4L2_FIELD_INTERLACED};
        case 50: {
            FormatRequest f;
            f.width = static_cast<unsigned>(g_nDevWidth);
            f.height = static_cast<unsigned>(g_nDevHeight);
            const bool known = g_nPixelFormat == V4L2_PIX_FMT_MJPEG || g_nPixelFormat == V4L2_PIX_FMT_H264 ||
                               g_nPixelFormat == V4L2_PIX_FMT_YUYV;
            f.pixelFormat = known ? g_nPixelFormat : 0;  // 0: the driver chooses
            f.field = g_nField == V4L2_FIELD_INTERLACED ? V4L2_FIELD_INTERLACED : V4L2_FIELD_NONE;
            return f;
        }
        default: return {};  // no preset of that number: the driver chooses everything
    }
}

bool open_usb_device(int N, CameraFault* fault) {
    const char* path = deviceName(N);
    struct stat st {};
    if (cm::sys().stat(path, &st) == -1) {
        int err = errno;
        cm::printErrorFormatted("Cannot identify '%s': %d, %s\n", path, err, cm::errnoText(err).c_str());
        setFault(fault, cameraFault("stat", err));
        cm::sleepSeconds(kDeviceMissingWaitSeconds);
        return false;
    }
    if (!S_ISCHR(st.st_mode)) {
        cm::printErrorFormatted("%s is no device\n", path);
        setFault(fault, {"stat", 0, "something other than a device stands at the camera's node"});
        cm::sleepSeconds(kDeviceMissingWaitSeconds);
        return false;
    }
    fd[N] = cm::sys().open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd[N] == -1) {
        int err = errno;
        cm::printErrorFormatted("Cannot open '%s': %d, %s\n", path, err, cm::errnoText(err).c_str());
        setFault(fault, cameraFault("open", err));
        cm::sleepSeconds(kDeviceMissingWaitSeconds);
        return false;
    }
    notifyAction();
    notifyAction();
    return true;
}

ConfigureResult configure_usb_device(int N, CameraFault* fault) {
    const char* path = deviceName(N);
    constexpr const char* kNoCamera = "the node is no V4L2 video capture device (a camera's metadata node, or another device)";
    v4l2_capability cap{};
    if (xioctl2(fd[N], VIDIOC_QUERYCAP, &cap) == -1) {
        if (errno == EINVAL) {
            setFault(fault, sayFault("%s is no V4L2 device\n", path, {"QUERYCAP", EINVAL, kNoCamera}));
        } else {
            const bool noV4l2 = errno == ENOTTY;
            CameraFault f = requestFailed("VIDIOC_QUERYCAP", "QUERYCAP", N);
            if (noV4l2) f.meaning = kNoCamera;
            setFault(fault, f);
        }
        return ConfigureResult::Failed;
    }
    if ((cap.capabilities & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        setFault(fault, sayFault("%s is no video capture device\n", path, {"QUERYCAP", 0, kNoCamera}));
        return ConfigureResult::Failed;
    }
    if ((cap.capabilities & V4L2_CAP_STREAMING) == 0) {
        setFault(fault, sayFault("%s does not support streaming i/o\n", path,
                                 {"QUERYCAP", 0, "the camera cannot stream through memory-mapped buffers"}));
        return ConfigureResult::Failed;
    }

    v4l2_cropcap cropcap{};
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl2(fd[N], VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop{};
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        xioctl2(fd[N], VIDIOC_S_CROP, &crop);  // not every driver crops; that is fine
    }

    cm::printErrorFormatted("device#%d, Force Format %d, frames %d, fd: %x\n", N, force_format2, frame_count,
             static_cast<unsigned>(fd[N]));
    const FormatRequest want = format_for_preset(force_format2);
    if (force_format2 == 50) logManualFormat(want);
    verbos("check condition1280: %d", want.width == 1280 ? 1 : 0);
    verbos("check condition720: %d", want.height == 720 ? 1 : 0);
    verbos("check conditionmpeg: %d", want.pixelFormat == V4L2_PIX_FMT_MJPEG ? 1 : 0);
    verbos("check conditioninterlace: %d", want.field == V4L2_FIELD_INTERLACED ? 1 : 0);

    v4l2_format fmt{};
    CameraFault formatFault;
    if (!setFormat(N, fmt, formatFault)) {
        setFault(fault, formatFault);
        return ConfigureResult::FormatFailed;
    }
    delivered_pixel_format[N] = fmt.fmt.pix.pixelformat;
    delivered_width[N] = fmt.fmt.pix.width;
    delivered_height[N] = fmt.fmt.pix.height;

    listFrameIntervals(N, fmt);
    setFrameRate(N, fmt);
    if (CameraFault f = mapBuffers(device(N))) {
        setFault(fault, f);
        return ConfigureResult::Failed;
    }
    setJpegQuality(N);
    return ConfigureResult::Configured;
}

void release_usb_device(int N) {
    const DeviceSlot dev = device(N);
    if (dev.buffers != nullptr) {
        for (unsigned i = 0; i < dev.n_buffers; ++i) {
            const buffer& b = dev.buffers[i];
            if (b.start == nullptr) continue;
            if (cm::sys().munmap(b.start, b.length) == -1) errno_continue("munmap", N);
        }
        delete[] dev.buffers;
        dev.buffers = nullptr;
        // Unmapped first: an older kernel refuses to free mapped buffers.
        // Closing would free them too, but only once no child holds the
        // descriptor; this frees them now whatever holds it.
        if (dev.fd >= 0 && !freeDriverBuffers(dev.fd)) errno_continue("VIDIOC_REQBUFS", N);
    }
    dev.n_buffers = 0;
    dev.pixelFormat = 0;
    dev.width = dev.height = 0;
    dev.rateFrames = dev.rateSeconds = 0;
    cm::printErrorFormatted("%s: %s %d.. Reason: %s\n", dev.path(), "close fd", dev.fd, "Cycle exit");
    if (dev.fd >= 0 && cm::sys().close(dev.fd) == -1) {
        int err = errno;
        cm::printErrorFormatted("Device: %d, %s error %d, %s, caller: %s\n", N, "close", err, cm::errnoText(err).c_str(), "Cycle exit");
    }
    dev.fd = -1;
    cm::sleepSeconds(1);
}
