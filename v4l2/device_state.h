// Per-device state of the direct V4L2 path, indexed by device number 0..4
// (the daemon uses 0..3). Each device has one worker thread, the only user
// of its descriptor, buffers and frame memory block; the words that the
// video creation thread also touches (frame countdown, save request, frame
// count) are atomic.
//
// The arrays keep their historic names and layout (tests and the logging
// read them by index); DeviceSlot is the view of one device's entries that
// the worker functions take, so that they name `dev.fd` rather than
// repeating the index, and so that the device checks live here once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "log/debug.h"

inline constexpr int kV4l2Devices = 5;

// Save request values of g_bSaveFile.
enum SaveRequest : int {
    kSaveNone = 0,
    kSaveAlert = 1,     // clip name "usb"
    kSaveUser = 2,      // clip name "user"
    kSaveMemory = 3,    // clip name "mem"
    kSaveOverflow = 4,  // buffer dropped
};

// One memory-mapped frame buffer of a device.
struct buffer {
    void* start = nullptr;
    std::size_t length = 0;
};

// The frame memory buffer of a device: frames back to back in data[0, len).
inline constexpr unsigned kMemoryOutputSize = 100000000;
struct MemoryOutput {
    unsigned char* data = nullptr;     // worker thread only
    std::atomic<unsigned> len{0};
    std::atomic<unsigned> count{0};    // also read by the video creation thread
};

extern int fd[kV4l2Devices];                          // -1 while closed (worker only)
extern buffer* buffers[kV4l2Devices];                 // worker only
extern unsigned n_buffers[kV4l2Devices];              // worker only
extern std::atomic<unsigned> frames_left[kV4l2Devices];
extern std::atomic<int> g_bSaveFile[kV4l2Devices];
// Kind of clip being made (0 none, 1 alert, 2 user video), written by the
// video creation thread; a device whose buffer overflows while a clip is
// being made raises it as its save request.
extern std::atomic<int> g_nSaveType;
// The kind of clip (1 alert, 2 user) whose countdown the clip maker has set
// on device N and whose save request it has not raised yet; 0 when none.
// While it is set, a countdown that runs out does not end the capture loop:
// the loop records on until the request arrives, so that the frames it
// recorded before the alert are still in the buffer when the request saves
// it. Set before the countdown, cleared only after the request is raised (or
// when the clip run ends without raising it).
extern std::atomic<int> clip_request_pending[kV4l2Devices];
extern MemoryOutput memory_otuput[kV4l2Devices];
extern std::atomic<pthread_t> tid_usb_capture[kV4l2Devices];
extern int nDevicesIDs[kV4l2Devices];                 // 0..4, constant
// The pixel format the driver agreed to deliver in the current device cycle
// (0 while not known); it tells the converter what the raw clip holds.
extern std::uint32_t delivered_pixel_format[kV4l2Devices];  // worker only
// The frame size the driver agreed to deliver, and the frame rate it set as
// frames per second (delivered_rate_frames / delivered_rate_seconds, read
// back from the driver's time per frame): what the raw clips of the current
// cycle hold. 0 while not known.
extern unsigned delivered_width[kV4l2Devices];           // worker only
extern unsigned delivered_height[kV4l2Devices];          // worker only
extern unsigned delivered_rate_frames[kV4l2Devices];     // worker only
extern unsigned delivered_rate_seconds[kV4l2Devices];    // worker only

// Every entry as a new process has it: descriptors closed (-1), nothing
// mapped, no request, no format known. Descriptors and mappings themselves
// are their owners' to release first.
void resetDeviceStateForTests();

// True for a device number the arrays have an entry for (0..4).
inline bool validDevice(int N) { return N >= 0 && N < kV4l2Devices; }

// One device's entries of the arrays above, by reference. Cheap to make
// (device(N)) and to pass; valid for the whole run. N must be valid.
struct DeviceSlot {
    int N;
    int& fd;
    buffer*& buffers;
    unsigned& n_buffers;
    std::atomic<unsigned>& frames_left;
    std::atomic<int>& saveRequest;        // g_bSaveFile[N]
    std::atomic<int>& clipRequestPending;
    MemoryOutput& memory;                 // memory_otuput[N]
    std::uint32_t& pixelFormat;           // delivered_pixel_format[N]
    unsigned& width;                      // delivered_width[N]
    unsigned& height;                     // delivered_height[N]
    unsigned& rateFrames;                 // delivered_rate_frames[N]
    unsigned& rateSeconds;                // delivered_rate_seconds[N]

    // The device's path as every message prints it ("(null)" while unset).
    const char* path() const { return deviceName(N); }
};

inline DeviceSlot device(int N) {
    return DeviceSlot{N,
                      fd[N],
                      buffers[N],
                      n_buffers[N],
                      frames_left[N],
                      g_bSaveFile[N],
                      clip_request_pending[N],
                      memory_otuput[N],
                      delivered_pixel_format[N],
                      delivered_width[N],
                      delivered_height[N],
                      delivered_rate_frames[N],
                      delivered_rate_seconds[N]};
}
