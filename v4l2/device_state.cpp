#include "v4l2/device_state.h"

int fd[kV4l2Devices] = {-1, -1, -1, -1, -1};
buffer* buffers[kV4l2Devices] = {};
unsigned n_buffers[kV4l2Devices] = {};
std::atomic<unsigned> frames_left[kV4l2Devices] = {};
std::atomic<int> g_bSaveFile[kV4l2Devices] = {};
std::atomic<int> g_nSaveType{0};
std::atomic<int> clip_request_pending[kV4l2Devices] = {};
MemoryOutput memory_otuput[kV4l2Devices];
std::atomic<pthread_t> tid_usb_capture[kV4l2Devices] = {};
int nDevicesIDs[kV4l2Devices] = {0, 1, 2, 3, 4};
std::uint32_t delivered_pixel_format[kV4l2Devices] = {};
unsigned delivered_width[kV4l2Devices] = {};
unsigned delivered_height[kV4l2Devices] = {};
unsigned delivered_rate_frames[kV4l2Devices] = {};
unsigned delivered_rate_seconds[kV4l2Devices] = {};

void resetDeviceStateForTests() {
    g_nSaveType.store(0);
    for (int i = 0; i < kV4l2Devices; ++i) {
        fd[i] = -1;
        buffers[i] = nullptr;
        n_buffers[i] = 0;
        frames_left[i].store(0);
        g_bSaveFile[i].store(kSaveNone);
        clip_request_pending[i].store(0);
        tid_usb_capture[i].store(0);
        nDevicesIDs[i] = i;
        delivered_pixel_format[i] = 0;
        delivered_width[i] = 0;
        delivered_height[i] = 0;
        delivered_rate_frames[i] = 0;
        delivered_rate_seconds[i] = 0;
    }
}
