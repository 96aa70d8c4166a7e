#include "common/run_config.h"

#include <linux/videodev2.h>

#include <cstdio>

#include "common/footprint.h"

std::uint32_t STORAGE_LENGTH;
int g_FrameRate;
int nPreSaveTime;
int frame_count;
int USER_VIDEO_FRAMES;
char szBitrate[20];
char szFPS[20];
char szMP4Size[20];
int g_nDevWidth;
int g_nDevHeight;
std::uint32_t g_nPixelFormat;
int g_nField;
int force_format2;
int force_format;
int g_Numerator;
std::uint64_t g_std;
int init_only;
int bControlInput;
int g_bRandomVideos;
int bMemoryStore;
int bTurnOnAllCams;
int bOneByOne;
int g_bDebugJPEGStreamingFiles;
int g_bUSB;
int g_bCopy;
char SOCKET_ADDR[100];
std::uint8_t bNormTest;
std::uint8_t bNoresize;
std::string LBASE_PATH;

namespace {

template <std::size_t N>
void setText(char (&dst)[N], const char* text) {
    snprintf(dst, N, "%s", text);
}

}  // namespace

void resetRunConfig() {
    STORAGE_LENGTH = 60;
    g_FrameRate = 0;
    nPreSaveTime = 10;
    frame_count = 300;
    USER_VIDEO_FRAMES = 300;
    szBitrate[0] = '\0';
    setText(szFPS, "-r 30000/1001");
    szMP4Size[0] = '\0';
    g_nDevWidth = 640;
    g_nDevHeight = 480;
    g_nPixelFormat = V4L2_PIX_FMT_MJPEG;
    g_nField = V4L2_FIELD_INTERLACED;
    force_format2 = 11;
    force_format = 0;
    g_Numerator = 1;
    g_std = 0;
    init_only = 0;
    bControlInput = 1;
    g_bRandomVideos = 0;
    bMemoryStore = 0;
    bTurnOnAllCams = 0;
    bOneByOne = 0;
    g_bDebugJPEGStreamingFiles = 0;
    g_bUSB = 0;
    g_bCopy = 0;
    setText(SOCKET_ADDR, footprint::kDefaultStreamingServer);
    bNormTest = 0;
    bNoresize = 0;
    LBASE_PATH = footprint::resolve(footprint::kHome);
}

void storeStartValues() {
    szBitrate[0] = '\0';
    szMP4Size[0] = '\0';
    bNormTest = 0;
    g_FrameRate = 0;
    g_Numerator = 1;
    setText(szFPS, "-r 30000/1001");
}

bool computeFrameCounts() {
    if (g_FrameRate == 0) return false;
    frame_count = g_FrameRate * nPreSaveTime;
    USER_VIDEO_FRAMES = g_FrameRate * nPreSaveTime;
    return true;
}
