#include "emulation/emucam_config.h"

#include <linux/videodev2.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace emucam {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == sep) {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        std::size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

bool parseInt(std::string_view s, long lo, long hi, long& out) {
    if (s.empty() || s.size() > 12) return false;
    std::string t(s);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(t.c_str(), &end, 10);
    if (errno != 0 || end != t.c_str() + t.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parseSeconds(std::string_view s, double& out) {
    if (s.empty() || s.size() > 20) return false;
    std::string t(s);
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || !(v >= 0) || v > 1e6) return false;
    out = v;
    return true;
}

bool parseSize(std::string_view s, FrameSize& out) {
    auto x = s.find('x');
    if (x == std::string_view::npos) return false;
    long w, h;
    // Sizes are whole macroblocks wide and high: 16 x 8 pixel units, the
    // unit of a 4:2:2 JPEG frame; below 320 x 240 the block pattern would
    // not survive a reduction to a quarter.
    if (!parseInt(s.substr(0, x), 320, 4096, w) || !parseInt(s.substr(x + 1), 240, 4096, h)) return false;
    if (w % 16 != 0 || h % 8 != 0) return false;
    out = {static_cast<int>(w), static_cast<int>(h)};
    return true;
}

bool parseWindow(std::string_view s, Window& out) {
    auto c = s.find(':');
    if (c == std::string_view::npos) return false;
    return parseSeconds(s.substr(0, c), out.after) && parseSeconds(s.substr(c + 1), out.duration) &&
           out.duration > 0;
}

bool parseFormat(std::string_view s, std::uint32_t& out) {
    if (s == "MJPG") out = V4L2_PIX_FMT_MJPEG;
    else if (s == "YUYV") out = V4L2_PIX_FMT_YUYV;
    else return false;
    return true;
}

void sortSizes(std::vector<FrameSize>& sizes) {
    std::sort(sizes.begin(), sizes.end(), [](const FrameSize& a, const FrameSize& b) {
        return a.width * a.height != b.width * b.height ? a.width * a.height < b.width * b.height : a.width < b.width;
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
}

// One camera line after its index.
bool parseCamera(const std::vector<std::string_view>& w, CameraConfig& cam, std::string& why) {
    cam = healthyCamera();
    if (w.size() == 2 && w[1] == "missing") {
        cam.node = Node::kMissing;
        return true;
    }
    if (w.size() == 2 && w[1] == "regular") {
        cam.node = Node::kRegular;
        return true;
    }
    if (w.size() < 4) {
        why = "expected: INDEX FORMATS WIDTHxHEIGHT FPS [OPTION...], or INDEX missing|regular";
        return false;
    }
    cam.formats.clear();
    for (std::string_view f : split(w[1], ',')) {
        std::uint32_t code;
        if (!parseFormat(f, code)) {
            why = "unknown format '" + std::string(f) + "' (MJPG or YUYV)";
            return false;
        }
        if (std::find(cam.formats.begin(), cam.formats.end(), code) == cam.formats.end()) cam.formats.push_back(code);
    }
    if (!parseSize(w[2], cam.size)) {
        why = "bad size '" + std::string(w[2]) + "' (WIDTHxHEIGHT from 320x240 to 4096x4096, width a multiple of 16, height of 8)";
        return false;
    }
    long fps;
    if (!parseInt(w[3], 1, 120, fps)) {
        why = "bad frame rate '" + std::string(w[3]) + "' (1 to 120)";
        return false;
    }
    cam.fps = static_cast<int>(fps);
    bool sizesGiven = false;
    for (std::size_t i = 4; i < w.size(); ++i) {
        std::string_view opt = w[i];
        auto eq = opt.find('=');
        std::string_view key = opt.substr(0, eq);
        std::string_view val = eq == std::string_view::npos ? std::string_view() : opt.substr(eq + 1);
        bool hasVal = eq != std::string_view::npos;
        long n;
        if (key == "fixed-rate" && !hasVal) {
            cam.fixedRate = true;
        } else if (key == "no-huffman" && !hasVal) {
            cam.noHuffmanTables = true;
        } else if (key == "busy" && parseInt(val, 1, 1000, n)) {
            cam.busyFormatAttempts = static_cast<int>(n);
        } else if (key == "buffers" && parseInt(val, 1, 32, n)) {
            cam.maxBuffers = static_cast<int>(n);
        } else if (key == "quality" && parseInt(val, 1, 100, n)) {
            cam.quality = static_cast<int>(n);
        } else if (key == "corrupt" && parseInt(val, 1, 1000000, n)) {
            cam.corruptEvery = static_cast<int>(n);
        } else if (key == "truncate" && parseInt(val, 1, 1000000, n)) {
            cam.truncateEvery = static_cast<int>(n);
        } else if (key == "oversize" && hasVal) {
            auto c = val.find(':');
            if (!parseInt(val.substr(0, c), 1, 1000000, n)) {
                why = "bad option '" + std::string(opt) + "'";
                return false;
            }
            cam.oversizeEvery = static_cast<int>(n);
            if (c != std::string_view::npos) {
                long bytes;
                if (!parseInt(val.substr(c + 1), 700001, 16000000, bytes)) {
                    why = "bad option '" + std::string(opt) + "' (size 700001 to 16000000 bytes)";
                    return false;
                }
                cam.oversizeBytes = static_cast<std::uint32_t>(bytes);
            }
        } else if ((key == "stall" || key == "disconnect") && hasVal) {
            Window win;
            if (!parseWindow(val, win)) {
                why = "bad option '" + std::string(opt) + "' (AFTER:DURATION in seconds)";
                return false;
            }
            (key == "stall" ? cam.stalls : cam.disconnects).push_back(win);
        } else if (key == "queue-error" && hasVal) {
            double at;
            if (!parseSeconds(val, at)) {
                why = "bad option '" + std::string(opt) + "' (AFTER in seconds)";
                return false;
            }
            cam.queueErrors.push_back(at);
            std::sort(cam.queueErrors.begin(), cam.queueErrors.end());
        } else if (key == "stream-error" && hasVal) {
            if (!parseSeconds(val, cam.streamErrorAfter)) {
                why = "bad option '" + std::string(opt) + "' (AFTER in seconds)";
                return false;
            }
        } else if (key == "nospace" && hasVal) {
            Window win;
            if (!parseWindow(val, win)) {
                why = "bad option '" + std::string(opt) + "' (AFTER:DURATION in seconds)";
                return false;
            }
            cam.noBandwidth.push_back(win);
        } else if (key == "sizes" && hasVal) {
            cam.sizes.clear();
            for (std::string_view s : split(val, ',')) {
                FrameSize fs;
                if (!parseSize(s, fs)) {
                    why = "bad size '" + std::string(s) + "' in sizes=";
                    return false;
                }
                cam.sizes.push_back(fs);
            }
            sizesGiven = true;
        } else {
            why = "unknown or malformed option '" + std::string(opt) + "'";
            return false;
        }
    }
    if (!sizesGiven) cam.sizes = standardSizes();
    if (std::find(cam.sizes.begin(), cam.sizes.end(), cam.size) == cam.sizes.end()) cam.sizes.push_back(cam.size);
    sortSizes(cam.sizes);
    return true;
}

}  // namespace

const std::vector<FrameSize>& standardSizes() {
    static const std::vector<FrameSize> sizes{{320, 240}, {640, 480}, {800, 600}, {1280, 720}, {1920, 1080}};
    return sizes;
}

const std::vector<int>& standardRates() {
    static const std::vector<int> rates{30, 25, 20, 15, 10, 5};
    return rates;
}

CameraConfig healthyCamera() {
    CameraConfig c;
    c.formats = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV};
    c.sizes = standardSizes();
    return c;
}

Config Config::defaults() {
    Config c;
    for (CameraConfig& cam : c.cameras) cam = healthyCamera();
    return c;
}

bool parseConfig(std::string_view text, Config& out, std::string& error) {
    Config cfg;
    for (CameraConfig& cam : cfg.cameras) {
        cam = healthyCamera();
        cam.node = Node::kMissing;
    }
    bool seen[kCameras] = {};
    std::vector<std::string_view> lines;
    for (std::string_view nl : split(text, '\n'))
        for (std::string_view part : split(nl, ';')) lines.push_back(part);
    int lineNo = 0;
    for (std::string_view raw : lines) {
        ++lineNo;
        std::string_view line = raw.substr(0, raw.find('#'));
        line = trim(line);
        if (line.empty()) continue;
        std::vector<std::string_view> w = words(line);
        long index;
        if (!parseInt(w[0], 0, kCameras - 1, index)) {
            error = "line " + std::to_string(lineNo) + ": camera index must be 0 to 3: '" + std::string(line) + "'";
            return false;
        }
        if (seen[index]) {
            error = "line " + std::to_string(lineNo) + ": camera " + std::to_string(index) + " given twice";
            return false;
        }
        seen[index] = true;
        std::string why;
        if (!parseCamera(w, cfg.cameras[index], why)) {
            error = "line " + std::to_string(lineNo) + ": " + why + ": '" + std::string(line) + "'";
            return false;
        }
    }
    out = cfg;
    return true;
}

namespace {

// The camera lines named by EMUCAM_CONFIG.
bool configTextFromEnvironment(Config& out, std::string& error) {
    const char* env = std::getenv("EMUCAM_CONFIG");
    if (env == nullptr || *env == '\0') {
        out = Config::defaults();
        return true;
    }
    std::string text = env;
    struct stat st{};
    if (text.find('\n') == std::string::npos && text.find(';') == std::string::npos && ::stat(env, &st) == 0 &&
        S_ISREG(st.st_mode)) {
        std::ifstream f(env);
        std::stringstream ss;
        ss << f.rdbuf();
        if (!f) {
            error = "cannot read " + text;
            return false;
        }
        text = ss.str();
    }
    return parseConfig(text, out, error);
}

}  // namespace

bool configFromEnvironment(Config& out, std::string& error) {
    const char* dropLog = std::getenv("EMUCAM_DROP_LOG");
    const char* frameLog = std::getenv("EMUCAM_FRAME_LOG");
    if (!configTextFromEnvironment(out, error)) return false;
    out.dropLog = dropLog != nullptr ? dropLog : "";
    out.frameLog = frameLog != nullptr ? frameLog : "";
    return true;
}

std::string fourccText(std::uint32_t fourcc) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += static_cast<char>((fourcc >> (8 * i)) & 0xff);
    return s;
}

}  // namespace emucam
