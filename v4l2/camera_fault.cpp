#include "v4l2/camera_fault.h"

#include <cerrno>
#include <cstring>

#include "common/sys_error.h"

namespace {

// What an errno means for a USB camera, as uvcvideo and the kernel's buffer
// queue use them.
const char* meaningOf(const CameraFault& f) {
    if (f.meaning != nullptr) return f.meaning;
    switch (f.err) {
        case ENOSPC: return "the USB bus has no bandwidth left for this format";
        case EIO:
        case EPROTO:
        case EPIPE:
        case ETIMEDOUT: return "the camera's stream broke off (a USB reset, or a failing cable or power supply)";
        case ENODEV:
        case ENXIO: return "the camera is gone from the USB bus (unplugged, or its cable or power failed)";
        case ENOENT: return "there is no camera at this node (not plugged in, or not found yet)";
        case EBUSY: return "the camera is held by another program";
        case ENOMEM: return "the board has no memory left for the camera's buffers";
        case EACCES:
        case EPERM: return "the daemon may not use the camera (the node's permissions)";
        case ENOTTY:
        case EINVAL: return "the camera refused a request it should take";
        default: return "the camera failed";
    }
}

}  // namespace

bool sameCameraFault(const CameraFault& a, const CameraFault& b) {
    auto same = [](const char* x, const char* y) {
        return x == y || (x != nullptr && y != nullptr && std::strcmp(x, y) == 0);
    };
    return same(a.step, b.step) && a.err == b.err && same(a.meaning, b.meaning);
}

std::string describeCameraFault(const CameraFault& f) {
    std::string text = meaningOf(f);
    text += " (";
    text += f.step != nullptr ? f.step : "?";
    if (f.err != 0) text += ": " + cm::errnoText(f.err);
    text += ")";
    return text;
}
