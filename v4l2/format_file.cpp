#include "v4l2/format_file.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_replace.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "v4l2/clip_names.h"
#include "v4l2/device_state.h"

namespace {

constexpr unsigned kMaxFrameSide = 16384;
constexpr unsigned kMaxRateTerm = 1000000;

const char* fourccName(std::uint32_t code) {
    switch (code) {
        case V4L2_PIX_FMT_MJPEG: return "MJPG";
        case V4L2_PIX_FMT_H264: return "H264";
        case V4L2_PIX_FMT_YUYV: return "YUYV";
        default: return nullptr;
    }
}

bool parseUnsigned(std::string_view s, unsigned limit, unsigned& out) {
    if (s.empty() || s.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > limit) return false;
    out = static_cast<unsigned>(v);
    return true;
}

}  // namespace

bool operator==(const ClipFormat& a, const ClipFormat& b) {
    return a.pixelFormat == b.pixelFormat && a.width == b.width && a.height == b.height &&
           a.rateFrames == b.rateFrames && a.rateSeconds == b.rateSeconds && a.cutShort == b.cutShort;
}

ClipFormat deliveredClipFormat(int N) {
    ClipFormat f;
    if (!validDevice(N)) return f;
    f.pixelFormat = delivered_pixel_format[N];
    f.width = delivered_width[N];
    f.height = delivered_height[N];
    f.rateFrames = delivered_rate_frames[N];
    f.rateSeconds = delivered_rate_seconds[N];
    return f;
}

std::string formatFileText(const ClipFormat& f) {
    const char* name = fourccName(f.pixelFormat);
    std::string s = "pixelformat=" + std::string(name != nullptr ? name : "0") + "\n";
    s += "width=" + std::to_string(f.width) + "\n";
    s += "height=" + std::to_string(f.height) + "\n";
    s += "rate=" + std::to_string(f.rateFrames) + "/" + std::to_string(f.rateSeconds) + "\n";
    s += std::string("cut_short=") + (f.cutShort ? "1" : "0") + "\n";
    return s;
}

bool parseFormatFileText(std::string_view text, ClipFormat& out) {
    if (text.size() > kFormatFileMaxBytes) return false;
    ClipFormat f;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pixelformat") {
            if (value == "MJPG") f.pixelFormat = V4L2_PIX_FMT_MJPEG;
            else if (value == "H264") f.pixelFormat = V4L2_PIX_FMT_H264;
            else if (value == "YUYV") f.pixelFormat = V4L2_PIX_FMT_YUYV;
            else if (value == "0") f.pixelFormat = 0;
            else return false;
        } else if (key == "width") {
            if (!parseUnsigned(value, kMaxFrameSide, f.width)) return false;
        } else if (key == "height") {
            if (!parseUnsigned(value, kMaxFrameSide, f.height)) return false;
        } else if (key == "rate") {
            std::size_t slash = value.find('/');
            if (slash == std::string_view::npos || !parseUnsigned(value.substr(0, slash), kMaxRateTerm, f.rateFrames) ||
                !parseUnsigned(value.substr(slash + 1), kMaxRateTerm, f.rateSeconds))
                return false;
            if (f.rateFrames == 0 || f.rateSeconds == 0) f.rateFrames = f.rateSeconds = 0;
        } else if (key == "cut_short") {
            if (value != "0" && value != "1") return false;
            f.cutShort = value == "1";
        }  // other keys: written by a later version; ignored
    }
    out = f;
    return true;
}

bool writeFormatFile(const std::string& rawPath, const ClipFormat& f, int& err) {
    const std::string text = formatFileText(f);
    std::size_t written = 0;
    cm::FileWrite r = cm::writeFileReplacing(formatFilePath(rawPath), text.data(), text.size(), cm::Durability::durable,
                                            written, err);
    const bool inPlace = r == cm::FileWrite::Done || r == cm::FileWrite::NotDurable;
    if (inPlace && written < text.size()) {
        ::unlink(formatFilePath(rawPath).c_str());
        err = ENOSPC;
        return false;
    }
    return inPlace;
}

FormatFileRead readFormatFile(const std::string& rawPath, ClipFormat& out, std::string& why) {
    const std::string path = formatFilePath(rawPath);
    cm::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) return FormatFileRead::Missing;
        why = cm::errnoText(errno);
        return FormatFileRead::Refused;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        why = "not a regular file of this user";
        return FormatFileRead::Refused;
    }
    if (static_cast<std::size_t>(st.st_size) > kFormatFileMaxBytes) {
        why = "too long";
        return FormatFileRead::Refused;
    }
    std::string text(kFormatFileMaxBytes + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (!parseFormatFileText(text, out)) {
        why = "not a format file";
        return FormatFileRead::Refused;
    }
    return FormatFileRead::Read;
}
