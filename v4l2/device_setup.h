// The two halves of a device cycle around the recordings: opening and
// configuring a V4L2 capture device (identity and capability checks,
// cropping, format preset, frame intervals, frame rate, memory-mapped
// buffers, JPEG quality) and releasing it (buffers, descriptor). Every device
// call goes through the device system calls (cm::sys()), so the code runs
// unchanged against the emulated cameras.
//
// Only device N's worker runs these for device N. No failure of a camera
// ends the process: each is reported (the device family's line on standard
// error, as before) and handed back as a CameraFault, and the worker
// releases the device and tries again after a pause (camera_retry.h).
// That holds for a node that is no V4L2 capture device at all, or lacks
// streaming I/O, too: ending the daemon would stop the other cameras and
// the streaming, and the board's supervisor would start it into the same
// fault again and again; a camera's metadata node or another device at a
// camera's path is an installer's matter, said once and looked at again
// once a minute (a camera plugged in later may take the node).
//
// The descriptor is opened close-on-exec: no child of the daemon (a
// converter) holds a camera, which would make its next S_FMT fail with
// EBUSY after a reopen.
#pragma once

#include <cstdint>

#include "v4l2/camera_fault.h"

inline constexpr int kFormatAttempts = 15;
inline constexpr int kFormatRetrySeconds = 2;
inline constexpr int kDeviceMissingWaitSeconds = 10;
inline constexpr int kFormatFailureWaitSeconds = 10;
// The driver's buffers asked for: 12 frames (400 ms at 30 a second) that
// the camera can fill while its worker waits for the core. A measured choice
// (docs/performance.md, "The number of V4L2 buffers"): on the board's share
// of a core with four 1280 x 720 cameras, streaming and a converter, 4
// buffers lost 5-7 % of the frames, 6 lost 1.6 %, 8 lost 0.1-0.7 %, 12 none;
// each buffer costs the driver's mapping of one frame (1.8 MB at 1280 x
// 720), which a board counts to the daemon.
inline constexpr unsigned kRequestedBuffers = 12;
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

// Checks and opens device N's path into fd[N] (close-on-exec); false when
// not opened, after the 10-second wait, with `fault` (if given) set.
bool open_usb_device(int N, CameraFault* fault = nullptr);

enum class ConfigureResult { Configured, FormatFailed, Failed };
// Configures the open device N. FormatFailed: no buffers exist yet (after
// the format's own waits); Failed: a check or the buffers failed (some may
// be mapped; release_usb_device frees them). `fault` (if given) says what
// failed.
ConfigureResult configure_usb_device(int N, CameraFault* fault = nullptr);

// Unmaps the buffers of the cycle, has the driver free them (REQBUFS with
// count 0), closes the descriptor, sets fd[N] to -1 and waits 1 second.
// After a format failure there are no buffers: only the close. Failures are
// reported and passed over. Safe to call on a released device.
void release_usb_device(int N);
