#include "app/options.h"

#include <linux/videodev2.h>

#include <cstdio>
#include <cstring>

#include "common/footprint.h"
#include "common/run_config.h"
#include "log/console.h"

namespace {

template <std::size_t N>
void setText(char (&dst)[N], const char* text) {
    snprintf(dst, N, "%s", text);
}

bool has(const char* arg, const char* key) { return std::strstr(arg, key) != nullptr; }

struct KeyValue {
    const char* key;
    int value;
};

// First key of `table` found in `arg`, or nullptr.
template <std::size_t N>
const KeyValue* firstKey(const char* arg, const KeyValue (&table)[N]) {
    for (const KeyValue& kv : table)
        if (has(arg, kv.key)) return &kv;
    return nullptr;
}

struct SizeKey {
    const char* key;
    int width;
    int height;
    const char* converterSize;
};

constexpr SizeKey kSizeKeys[] = {
    {"-s640x480", 640, 480, "-s 640x480"},       {"-s1280x720", 1280, 720, "-s 1280x720"},
    {"-s1920x1080", 1920, 1080, "-s 1920x1080"}, {"-s160x90", 160, 90, "-s 160x90"},
    {"-s160x120", 160, 120, "-s 160x120"},       {"-s640x360", 640, 360, "-s 640x360"},
    {"-s176x144", 176, 144, "-s 176x144"},       {"-s352x288", 352, 288, "-s 352x288"},
    {"-s320x180", 320, 180, "-s 320x180"},       {"-s432x240", 432, 240, "-s 432x240"},
    {"-s480x320", 480, 320, "-s 480x320"},       {"-s240x160", 240, 160, "-s 240x160"},
    {"-s960x640", 960, 640, "-s 960x640"},       {"-s320x240", 320, 240, "-s 320x240"},
};

// The video standard families, one parser each as v4l2-ctl has them: a
// parser reads what follows the family's name in the argument ("" for the
// family as a whole, "-X" for a member) and returns 0 for a specifier it
// does not know.
v4l2_std_id parsePal(const char* r) {
    if (r[0] == '\0') return V4L2_STD_PAL;
    if (r[0] != '-') return 0;
    switch (r[1]) {
        case '6': return V4L2_STD_PAL_60;
        case 'B': case 'b': case 'G': case 'g': return V4L2_STD_PAL_BG;
        case 'D': case 'd': case 'K': case 'k': return V4L2_STD_PAL_DK;
        case 'H': case 'h': return V4L2_STD_PAL_H;
        case 'I': case 'i': return V4L2_STD_PAL_I;
        case 'M': case 'm': return V4L2_STD_PAL_M;
        case 'N': case 'n': return (r[2] == 'c' || r[2] == 'C') ? V4L2_STD_PAL_Nc : V4L2_STD_PAL_N;
        default: return 0;
    }
}

v4l2_std_id parseNtsc(const char* r) {
    if (r[0] == '\0') return V4L2_STD_NTSC;
    if (r[0] != '-') return 0;
    switch (r[1]) {
        case 'M': case 'm': return V4L2_STD_NTSC_M;
        case 'J': case 'j': return V4L2_STD_NTSC_M_JP;
        case 'K': case 'k': return V4L2_STD_NTSC_M_KR;
        default: return 0;
    }
}

v4l2_std_id parseSecam(const char* r) {
    if (r[0] == '\0') return V4L2_STD_SECAM;
    if (r[0] != '-') return 0;
    switch (r[1]) {
        case 'B': case 'b': case 'G': case 'g': case 'H': case 'h':
            return V4L2_STD_SECAM_B | V4L2_STD_SECAM_G | V4L2_STD_SECAM_H;
        case 'D': case 'd': case 'K': case 'k': return V4L2_STD_SECAM_DK;
        case 'L': case 'l': return (r[2] == 'c' || r[2] == 'C') ? V4L2_STD_SECAM_LC : V4L2_STD_SECAM_L;
        default: return 0;
    }
}

struct StdFamily {
    const char* name;
    v4l2_std_id (*parse)(const char* rest);
};

constexpr StdFamily kStdFamilies[] = {{"pal", parsePal}, {"ntsc", parseNtsc}, {"secam", parseSecam}};

// The video standard argument: examined from its second character on, and
// only when it has at least 4 characters. The first family whose name it
// starts with sets g_std (0 for an unknown member, with a message).
void applyVideoStandard(const char* arg) {
    if (std::strlen(arg) < 4) return;
    const char* t = arg + 1;
    for (const StdFamily& family : kStdFamilies) {
        const std::size_t n = std::strlen(family.name);
        if (std::strncmp(t, family.name, n) != 0) continue;
        g_std = family.parse(t + n);
        if (g_std == 0) cm::printErrorFormatted("%s specifier not recognised\n", family.name);
        return;
    }
}

}  // namespace

int applyArgument(const char* arg) {
    // 1
    if (has(arg, "-f")) force_format = 1;
    else if (has(arg, "-F")) force_format = 2;
    // 2
    if (has(arg, "-io")) init_only = 1;
    // 3
    static constexpr KeyValue kControlInputs[] = {{"-ci1", 1}, {"-ci2", 2}, {"-ci0", 0}};
    if (const KeyValue* kv = firstKey(arg, kControlInputs)) bControlInput = kv->value;
    // 4: "-sl300" is tried before "-sl30", which it contains.
    static constexpr KeyValue kStorage[] = {{"-sl300", 300}, {"-sl30", 30},   {"-sl60", 60},  {"-sl360", 360},
                                            {"-sl420", 420}, {"-sl120", 120}, {"-sl240", 240}};
    if (const KeyValue* kv = firstKey(arg, kStorage)) STORAGE_LENGTH = static_cast<std::uint32_t>(kv->value);
    // 5
    if (has(arg, "-rv")) g_bRandomVideos = 1;
    // 6
    if (has(arg, "-exit")) return 827;
    // 7
    if (has(arg, "-ms")) bMemoryStore = 1;
    else if (has(arg, "-ds")) bMemoryStore = 0;
    // 8-11
    if (has(arg, "-allcamson")) bTurnOnAllCams = 1;
    if (has(arg, "-debugjpeg")) g_bDebugJPEGStreamingFiles = 1;
    if (has(arg, "-usb")) g_bUSB = 1;
    if (has(arg, "-copy")) g_bCopy = 1;
    // 12
    struct TextKey {
        const char* key;
        const char* text;
    };
    static constexpr TextKey kBitrates[] = {{"-b1M", "-b 1024k"},   {"-b2M", "-b 2048k"}, {"-b512k", "-b 512k"},
                                            {"-b768k", "-b 768k"}, {"-nosampling", ""}};
    for (const TextKey& tk : kBitrates) {
        if (has(arg, tk.key)) {
            setText(szBitrate, tk.text);
            break;
        }
    }
    // 13
    static constexpr KeyValue kCamFps[] = {{"-camfps5", 5},   {"-camfps10", 10}, {"-camfps15", 15}, {"-camfps20", 20},
                                           {"-camfps25", 25}, {"-camfps24", 24}, {"-camfps30", 30}};
    if (const KeyValue* kv = firstKey(arg, kCamFps)) g_FrameRate = kv->value;
    // 14
    if (has(arg, "-1by1")) bOneByOne = 1;
    // 15
    if (has(arg, "-localwin")) setText(SOCKET_ADDR, footprint::kLocalWinServer);
    else if (has(arg, "-locallinux")) setText(SOCKET_ADDR, footprint::kLocalLinuxServer);
    // 16
    static constexpr TextKey kOutputRates[] = {
        {"-fps5", "-r 5"}, {"-fps10", "-r 10"}, {"-fps25", "-r 25"}, {"-fps20", "-r 20"}, {"-fps30", "-r 30"}};
    for (const TextKey& tk : kOutputRates) {
        if (has(arg, tk.key)) {
            setText(szFPS, tk.text);
            break;
        }
    }
    // 17
    static constexpr KeyValue kPresets[] = {{"-H", 2}, {"-G", 4}, {"-g", 5}, {"-F", 3}};
    if (const KeyValue* kv = firstKey(arg, kPresets)) force_format2 = kv->value;
    // 18
    if (has(arg, "-input_format")) force_format2 = 50;
    // 19
    if (has(arg, "-yuyv")) {
        force_format2 = 50;
        g_nPixelFormat = V4L2_PIX_FMT_YUYV;
    } else if (has(arg, "-h264")) {
        force_format2 = 50;
        g_nPixelFormat = V4L2_PIX_FMT_H264;
    } else if (has(arg, "-mjpeg")) {
        force_format2 = 50;
        g_nPixelFormat = V4L2_PIX_FMT_MJPEG;
    }
    // 20
    if (has(arg, "-interlaced")) g_nField = V4L2_FIELD_INTERLACED;
    else if (has(arg, "-none")) g_nField = V4L2_FIELD_NONE;
    // 21
    for (const SizeKey& sk : kSizeKeys) {
        if (has(arg, sk.key)) {
            g_nDevWidth = sk.width;
            g_nDevHeight = sk.height;
            setText(szMP4Size, sk.converterSize);
            break;
        }
    }
    // 22, 23
    if (has(arg, "-normtest")) bNormTest = 1;
    if (has(arg, "-noresize")) bNoresize = 1;
    // 24
    applyVideoStandard(arg);
    return 0;
}
