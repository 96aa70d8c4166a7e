// Configuration of the emulated cameras: what each of "/dev/video0" to
// "/dev/video3" is and which faults it shows. The text form (one line per
// camera) is described in emulation/README.md; the preload library reads it
// from the environment variable EMUCAM_CONFIG.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emucam {

inline constexpr int kCameras = 4;
inline constexpr std::uint32_t kDefaultOversizeBytes = 750000;

struct FrameSize {
    int width = 0;
    int height = 0;
    bool operator==(const FrameSize&) const = default;
};

// A span of real time, in seconds from the camera's first STREAMON in this
// process: frames stop during it (stall) or the device is gone (disconnect).
struct Window {
    double after = 0;
    double duration = 0;
    bool contains(double t) const { return t >= after && t < after + duration; }
};

enum class Node {
    kCamera,   // a working character device
    kMissing,  // no node at the path
    kRegular,  // a regular file stands at the path
};

struct CameraConfig {
    Node node = Node::kCamera;
    // Offered pixel formats (V4L2 four-character codes), the first is the
    // power-on format.
    std::vector<std::uint32_t> formats;
    FrameSize size{640, 480};       // power-on size; always among `sizes`
    std::vector<FrameSize> sizes;   // offered sizes, ascending by area
    int fps = 30;                   // power-on rate; always offered
    int quality = 80;               // JPEG quality at power-on (G/S_JPEGCOMP)

    // Faults.
    int busyFormatAttempts = 0;     // S_FMT answers EBUSY this many times first
    int maxBuffers = 32;            // REQBUFS grants at most this many
    bool fixedRate = false;         // S_PARM keeps the power-on interval
    std::vector<Window> stalls;     // no frames while inside one
    std::vector<Window> disconnects;  // device gone while inside one
    // The buffer queue in error, as the kernel's buffer queue is left after
    // a USB reset (vb2_queue_error): QBUF and DQBUF fail with EIO and poll
    // reports an error until STREAMOFF, REQBUFS or close.
    std::vector<double> queueErrors;  // once each: at the first dequeue from then on
    double streamErrorAfter = -1;     // from then on, and again at every STREAMON (-1: never)
    std::vector<Window> noBandwidth;  // STREAMON refused with ENOSPC while inside one
    int corruptEvery = 0;           // every n-th frame has garbage in its data
    int truncateEvery = 0;          // every n-th frame is cut to half its length
    int oversizeEvery = 0;          // every n-th JPEG frame is padded past 700,000 bytes
    std::uint32_t oversizeBytes = kDefaultOversizeBytes;
    bool noHuffmanTables = false;   // JPEG frames without DHT segments
};

struct Config {
    CameraConfig cameras[kCameras];
    // A file every dropped frame is appended to as a line "PID CAMERA
    // COUNTER" (empty: none), so that a test can tell the frames a camera
    // lost for want of a queued buffer from frames its client lost.
    std::string dropLog;
    // A file every frame a camera makes is appended to as a line "PID
    // CAMERA COUNTER DELIVERED MONOTONIC_NS" (DELIVERED 1 when a queued
    // buffer took it, 0 when it was dropped; the time the frame was made on
    // the kernel's monotonic clock), so that a benchmark can tell how old a
    // picture is when it reaches a peer (empty: none).
    std::string frameLog;

    // Four healthy cameras: MJPEG (YUYV also offered), 640x480 at 30 fps.
    static Config defaults();
};

// The standard sizes every camera offers unless its line says otherwise.
const std::vector<FrameSize>& standardSizes();
// The frame rates every camera offers (besides its own power-on rate).
const std::vector<int>& standardRates();

// A healthy camera with the defaults.
CameraConfig healthyCamera();

// Parses the text form. Lines are separated by newlines or ';'; '#' starts
// a comment. Cameras without a line are missing. Returns false and sets
// `error` (naming the line) when the text is malformed.
bool parseConfig(std::string_view text, Config& out, std::string& error);

// The configuration named by EMUCAM_CONFIG: its text, or the content of the
// file it names; the defaults when unset or empty. EMUCAM_DROP_LOG names
// `dropLog`, EMUCAM_FRAME_LOG `frameLog`.
bool configFromEnvironment(Config& out, std::string& error);

std::string fourccText(std::uint32_t fourcc);

}  // namespace emucam
