#include "v4l2/converter_command.h"

#include <linux/videodev2.h>

#include <numeric>

#include "common/footprint.h"
#include "common/run_config.h"
#include "common/shell.h"
#include "v4l2/device_setup.h"

ConverterSettings converterSettingsFromRunConfig() {
    ConverterSettings s;
    s.converter = footprint::resolve(footprint::kConverter);
    s.copy = g_bCopy != 0;
    s.forceFormat = force_format2;
    s.input.pixelFormat = g_nPixelFormat;
    const FormatRequest preset = format_for_preset(force_format2);
    s.input.width = preset.width;
    s.input.height = preset.height;
    if (g_FrameRate > 0 && g_Numerator > 0) {
        s.input.rateFrames = static_cast<unsigned>(g_FrameRate);
        s.input.rateSeconds = static_cast<unsigned>(g_Numerator);
    }
    s.fps = szFPS;
    s.size = szMP4Size;
    s.bitrate = szBitrate;
    return s;
}

ConverterSettings converterSettingsFor(const ClipFormat& recorded) {
    ConverterSettings s = converterSettingsFromRunConfig();
    if (recorded.pixelFormat != 0) s.input.pixelFormat = recorded.pixelFormat;
    if (recorded.width != 0 && recorded.height != 0) {
        s.input.width = recorded.width;
        s.input.height = recorded.height;
    }
    if (recorded.rateFrames != 0 && recorded.rateSeconds != 0) {
        s.input.rateFrames = recorded.rateFrames;
        s.input.rateSeconds = recorded.rateSeconds;
    }
    s.input.cutShort = recorded.cutShort;
    return s;
}

std::string converterFormatFlags(const ClipFormat& in) {
    switch (in.pixelFormat) {
        case V4L2_PIX_FMT_H264: return "-f h264 ";
        case V4L2_PIX_FMT_MJPEG: return "-f mjpeg ";
        case V4L2_PIX_FMT_YUYV:
            if (in.width == 0 || in.height == 0) return "-f rawvideo -pix_fmt yuyv422 ";
            return "-f rawvideo -pix_fmt yuyv422 -s " + std::to_string(in.width) + "x" + std::to_string(in.height) + " ";
        default: return "";
    }
}

std::string converterRateFlags(const ClipFormat& in) {
    if (in.rateFrames == 0 || in.rateSeconds == 0) return "";
    const unsigned g = std::gcd(in.rateFrames, in.rateSeconds);
    const unsigned frames = in.rateFrames / g, seconds = in.rateSeconds / g;
    return "-r " + std::to_string(frames) + (seconds == 1 ? "" : "/" + std::to_string(seconds));
}

std::string convertCommand(const ConverterSettings& s, const ClipPaths& p) {
    const std::string conv = cm::shellQuote(s.converter);
    const std::string raw = cm::shellQuote(p.raw);
    const std::string out = cm::shellQuote(p.temporaryMp4);
    const std::string format = converterFormatFlags(s.input);
    const std::string rate = converterRateFlags(s.input);
    const std::string guard = "flock -n -E " + std::to_string(kConverterLockBusyStatus) + " " + raw + " timeout --foreground -k " +
                              std::to_string(kConverterKillGraceSeconds) + " " + std::to_string(s.timeLimitSeconds) +
                              " ";
    if (s.copy) return guard + conv + " " + format + " -i " + raw + " -vcodec copy " + out;
    if (s.forceFormat <= 9)
        return guard + conv + " " + format + " " + rate + " -i " + raw + " " + s.fps + " " + s.size + " -y -aspect 16:9 " +
               s.bitrate + " " + out;
    return guard + conv + " " + format + " " + rate + " -i " + raw + " " + s.fps + " " + s.size + " -y " + s.bitrate +
           " " + out;
}
