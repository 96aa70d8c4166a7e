#include "v4l2/device_state.h"

int fd[kV4l2Devices] = {-1, -1, -1, -1, -1};
buffer* buffers[kV4l2Devices] = {};
unsigned n_buffers[kV4l2Devices] = {};
std::atomic<unsigned> frames_left[kV4l2Devices] = {};
std::atomic<int> g_bSaveFile[kV4l2Devices] = {};
std::atomic<int> clip_request_pending[kV4l2Devices] = {};
MemoryOutput memory_otuput[kV4l2Devices];
std::atomic<pthread_t> tid_usb_capture[kV4l2Devices] = {};
int nDevicesIDs[kV4l2Devices] = {0, 1, 2, 3, 4};
std::uint32_t delivered_pixel_format[kV4l2Devices] = {};
unsigned delivered_width[kV4l2Devices] = {};
unsigned delivered_height[kV4l2Devices] = {};
unsigned delivered_rate_frames[kV4l2Devices] = {};
unsigned delivered_rate_seconds[kV4l2Devices] = {};
