// One streaming request: the newest picture of each of the four inputs,
// reduced to a quarter of its width and height and JPEG-encoded, behind a
// one-line request text, in one framed message.
//
// On the wire (numbers big-endian):
//   0   8  marker 1234123456 as a 64-bit number (00 00 00 00 49 8F 3A C0)
//   8   4  body length N
//   12  N  body: the request text NUL-padded to 200 bytes, then the JPEGs
//          of inputs 0..3 that are included, back to back
// The request text is "/set4Jpegs?..." (set mode: one text reply, searched
// for "success") or "/stream4Jpegs?..." (stream mode 9: no reply).
//
// Everything here runs on the streaming thread; the counters are atomics
// because the monitoring thread reads cmd_idx for its notifications.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr std::uint64_t kStreamingMarker = 1234123456ULL;
inline constexpr int kStreamingHeaderSize = 12;
inline constexpr int kRequestTextSize = 200;
inline constexpr int kReceiveBufferSize = 500;
inline constexpr int kStreamingScalePercent = 25;
inline constexpr char kStreamingVersion[] = "0.5_PC_C_Tester";
// A notification is queued at most once per this many milliseconds.
inline constexpr long long kStreamingNotifyIntervalMillis = 60000;

extern std::atomic<int> cmd_idx;              // request counter; never reset
extern std::atomic<int> nSuccessReceived;     // replies containing "success"
extern std::atomic<int> nNonSuccessReceived;  // all other replies, empty or failed ones included
extern std::atomic<int> nEmptyReceived;       // receives that gave nothing
extern std::atomic<int> nTotalAge;            // milliseconds spent in requests that were sent
extern char receive_buffer[kReceiveBufferSize];

// The 12 header bytes for a body of `bodyLength` bytes.
void encodeStreamingHeader(std::uint32_t bodyLength, unsigned char out[kStreamingHeaderSize]);

// The request text for streaming mode `mode` (9: stream, else set) into
// `out` (200 bytes, NUL-padded). Returns the text's length.
int formatStreamingRequestText(char (&out)[kRequestTextSize], int mode, const char* serial, int idx,
                               const int lengths[4]);

// Sends one request. 1 when it was sent (or there was nothing to send), 0
// when it was not sent, there was no connection, or the exit flag rose.
int sendCurrentScreenshots();

// Counts one set-mode reply: `got` bytes received into `buffer` (which
// holds at least got + 1 bytes), or none when `got` is 0 or less. The reply
// is a text up to its first NUL; it counts as a success when it contains
// "success". Returns whether it did.
bool takeStreamingReply(char* buffer, int got);

// Brings the resized pictures of inputs 0..3 up to date with the newest
// pictures.
void resizeImages();

// Reduces a JPEG picture of input `nInput` to `nScale` percent and JPEG.
// With bNewBuffer non-zero `pOut` receives a new malloc'ed buffer of the
// output's size (the caller frees it); otherwise the output is copied into
// `pOut`, which holds `nOutCapacity` bytes. 1 on success, 0 on failure
// (reported on standard output).
int resizeImage(int nInput, int nScale, const unsigned char* pBuf, unsigned int nLen, unsigned char*& pOut,
                unsigned int& nOutLen, int bNewBuffer, unsigned int nOutCapacity);

// Queues the started-streaming notification unless one was queued less
// than a minute ago (by the monotonic clock, common/clock.h).
void notifyStreamingStarted();
// Queues one started-streaming notification.
void addNotificationWSCallToQueue();
// The started-streaming URL for the current cmd_idx.
std::string startedStreamingUrl();

// The streaming thread's start: counters to 0 and no notification queued yet.
void resetStreamingRequestState();

// resetStreamingRequestState, the request counter to 0 and an empty
// receive buffer.
void resetScreenshotRequestForTests();
