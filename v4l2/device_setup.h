// The two halves of a device cycle around the recordings: opening and
// configuring a V4L2 capture device (identity and capability checks,
// cropping, format preset, frame intervals, frame rate, memory-mapped
// buffers, JPEG quality) and releasing it (buffers, descriptor). Every device
// call goes through the device system calls (cm::sys()), so the code runs
// unchanged against the emulated cameras.
//
// Only device N's worker runs these for device N. A device that is missing
// or cannot be opened is survivable (message, 10 s wait, the worker's next
// cycle tries again); a device that is no V4L2 capture device, lacks
// streaming I/O, or whose buffers cannot be had ends the process with
// status 1.
#pragma once

#include <cstdint>

inline constexpr int kFormatAttempts = 15;
inline constexpr int kFormatRetrySeconds = 2;
inline constexpr int kDeviceMissingWaitSeconds = 10;
inline constexpr int kFormatFailureWaitSeconds = 10;
inline constexpr unsigned kRequestedBuffers = 4;
inline constexpr unsigned kMinimumBuffers = 2;
inline constexpr int kJpegQuality = 95;
// A driver that never ends its frame-interval list is not followed forever.
inline constexpr unsigned kMaxFrameIntervals = 256;

// The format requested for a format preset (force_format2).
struct FormatRequest {
    unsigned width = 0;
    unsigned height = 0;
    std::uint32_t pixelFormat = 0;
    std::uint32_t field = 0;
};
FormatRequest format_for_preset(int preset);

// Checks and opens device N's path into fd[N]; false when not opened.
bool open_usb_device(int N);

enum class ConfigureResult { Configured, FormatFailed };
// Configures the open device N; on a format failure no buffers exist yet.
ConfigureResult configure_usb_device(int N);

// Unmaps and frees the buffers of the cycle (none after a format failure),
// closes the descriptor, sets fd[N] to -1 and waits 1 second. Safe to call
// on a device that is already released.
void release_usb_device(int N);
