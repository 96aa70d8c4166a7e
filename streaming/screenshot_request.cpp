#include "streaming/screenshot_request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "common/clock.h"
#include "common/footprint.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "streaming/connection.h"
#include "streaming/frame_buffers.h"
#include "streaming/jpeg_reduce.h"
#include "streaming/notification.h"

std::atomic<int> cmd_idx{0};
std::atomic<int> nSuccessReceived{0};
std::atomic<int> nNonSuccessReceived{0};
std::atomic<int> nEmptyReceived{0};
std::atomic<int> nTotalAge{0};
char receive_buffer[kReceiveBufferSize];

namespace {

// When the last started-streaming notification was queued (monotonic
// clock); nothing while none was. Not a zero time for "never": the
// monotonic clock is small shortly after boot.
std::mutex g_notifyLock;
std::optional<timespec> g_notifyTime;  // guarded by g_notifyLock

// Body bytes beyond which a picture is left out (a picture is included
// while body length + its length + 100 stays at most this).
constexpr long long kBodyLimit = 4299999;

// Per-thread scratch: the picture being reduced, and the reduction.
struct Scratch {
    std::vector<unsigned char> source;
    std::vector<unsigned char> reduced = std::vector<unsigned char>(kResizedImageCapacity);
    std::vector<unsigned char> staging = std::vector<unsigned char>(kResizedImageCapacity);
    streaming::JpegReducer reducer;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

void putBigEndian(unsigned char* out, std::uint64_t v, int bytes) {
    for (int k = bytes - 1; k >= 0; --k) {
        out[k] = static_cast<unsigned char>(v & 0xff);
        v >>= 8;
    }
}

int resizedLength(int i) {
    int len = 0;
    with_resized_streaming_image(i, [&](StreamingImage& e) { len = e.data != nullptr ? e.length : 0; });
    return len;
}

// Sends `n` bytes when the descriptor is a socket; the count accepted, or 0.
int sendPart(const void* data, int n) {
    int fd = sockfd.load();
    if (fd <= 0) return 0;
    int r = my_send(fd, data, n, 0);
    return r > 0 ? r : 0;
}

}  // namespace

void encodeStreamingHeader(std::uint32_t bodyLength, unsigned char out[kStreamingHeaderSize]) {
    putBigEndian(out, kStreamingMarker, 8);
    putBigEndian(out + 8, bodyLength, 4);
}

int formatStreamingRequestText(char (&out)[kRequestTextSize], int mode, const char* serial, int idx,
                               const int lengths[4]) {
    std::memset(out, 0, sizeof out);
    const char* fmt = mode == 9 ? "/stream4Jpegs?deviceid=%s&idx=%d&l0=%d&l1=%d&l2=%d&l3=%d&ver=%s"
                                : "/set4Jpegs?deviceid=%s&idx=%d&l0=%d&l1=%d&l2=%d&l3=%d&ver=%s";
    int n = snprintf(out, sizeof out, fmt, serial, idx, lengths[0], lengths[1], lengths[2], lengths[3],
                     kStreamingVersion);
    // The terminator always fits: snprintf cuts a text that would not.
    return n < 0 ? 0 : (n < kRequestTextSize ? n : kRequestTextSize - 1);
}

void resetStreamingRequestState() {
    {
        std::lock_guard<std::mutex> g(g_notifyLock);
        g_notifyTime.reset();
    }
    nNonSuccessReceived.store(0);
    nEmptyReceived.store(0);
    nSuccessReceived.store(0);
    nTotalAge.store(0);
}

int resizeImage(int nInput, int nScale, const unsigned char* pBuf, unsigned int nLen, unsigned char*& pOut,
                unsigned int& nOutLen, int bNewBuffer, unsigned int nOutCapacity) {
    if (nLen == 0) {
        cm::printOutFormatted("Zero size buffer: %u\n", nLen);
        return 0;
    }
    const timespec t0 = cm::monotonicNow();
    Scratch& s = scratch();
    // The reduction happens in memory: nothing is written to /tmp.
    streaming::ReduceResult r = s.reducer.reduce(pBuf, nLen, nScale, s.reduced.data(), s.reduced.size());
    if (r.status == streaming::ReduceStatus::OutputTooLarge) {
        // A larger picture than the resized buffer holds is left out.
        verbos("resized image %d too large: %d bytes, left out", nInput, static_cast<int>(r.length));
        return 0;
    }
    if (r.status != streaming::ReduceStatus::Ok) {
        cm::printOutFormatted("cannot load: picture of input %d, %u bytes: %s%s%s\n", nInput, nLen,
                              streaming::reduceStatusText(r.status), r.detail.empty() ? "" : ": ", r.detail.c_str());
        return 0;
    }
    const unsigned int outLen = static_cast<unsigned int>(r.length);
    if (bNewBuffer != 0) {
        pOut = static_cast<unsigned char*>(std::malloc(outLen));
        if (pOut == nullptr) return 0;
    } else if (pOut == nullptr || outLen > nOutCapacity) {
        verbos("resized image %d too large: %d bytes, left out", nInput, static_cast<int>(outLen));
        return 0;
    }
    std::memcpy(pOut, s.reduced.data(), outLen);
    nOutLen = outLen;
    const long long ms = cm::millisBetween(t0, cm::monotonicNow());
    cm::printOutFormatted("- Resizing memory buffer in: %lld ms.. from %u to %u KB\n", ms, nLen / 1024, outLen / 1024);
    return 1;
}

void resizeImages() {
    Scratch& s = scratch();
    for (int i = 0; i < kStreamingInputs; ++i) {
        StreamingTake take = take_new_latest_streaming_image(i, s.source);
        if (take == StreamingTake::ProcessedBefore) {
            verbos("image processed before");
            continue;
        }
        if (take == StreamingTake::Absent) continue;  // no buffers for this input
        // The picture was copied out and marked processed under its entry's
        // lock; the capture thread may write the next one meanwhile. The
        // reduction goes to this thread's staging buffer and is published
        // under the resized entry's lock.
        with_resized_streaming_image(i, [](StreamingImage& e) { e.length = 0; });
        unsigned char* staging = s.staging.data();
        unsigned int outLen = 0;
        if (resizeImage(i, kStreamingScalePercent, s.source.data(), static_cast<unsigned int>(s.source.size()), staging,
                        outLen, 0, static_cast<unsigned int>(s.staging.size())) != 1)
            continue;
        with_resized_streaming_image(i, [&](StreamingImage& e) {
            if (e.data == nullptr) return;
            std::memcpy(e.data, staging, outLen);
            e.length = static_cast<int>(outLen);
        });
    }
}

std::string startedStreamingUrl() {
    char url[996];
    snprintf(url, sizeof url, "http://%s/started_streaming_video.php?deviceid=%s&query=0&idx=%d&ver=%s&cams=",
             footprint::kDefaultStreamingServer, device_serial, cmd_idx.load(), kStreamingVersion);
    return url;
}

void addNotificationWSCallToQueue() {
    const std::string url = startedStreamingUrl();
    queueNotification(url.c_str());
    cm::printOutFormatted("saving a notification call: %s\n", url.c_str());
}

void notifyStreamingStarted() {
    const timespec now = cm::monotonicNow();
    std::optional<long long> age;
    {
        std::lock_guard<std::mutex> g(g_notifyLock);
        if (g_notifyTime) age = cm::millisBetween(*g_notifyTime, now);
    }
    cm::printOutFormatted("Age since last streaming notification for streaming: %lld\n", age.value_or(-1));
    if (!age || *age > kStreamingNotifyIntervalMillis) {
        {
            std::lock_guard<std::mutex> g(g_notifyLock);
            g_notifyTime = now;
        }
        addNotificationWSCallToQueue();
    } else {
        verbos("Notification bypassed!");
    }
}

bool takeStreamingReply(char* buffer, int got) {
    if (got >= 1) {
        buffer[got] = '\0';
        nReciveWaitTimer.store(0);
        nRecieved.fetch_add(got);
    } else {
        verbos("EURL: rror recieving from server. %d!", got);
        nEmptyReceived.fetch_add(1);
        buffer[0] = '\0';
    }
    const bool success = std::strstr(buffer, "success") != nullptr;
    if (success)
        nSuccessReceived.fetch_add(1);
    else
        nNonSuccessReceived.fetch_add(1);
    verbos("Received: %s", buffer);
    return success;
}

int sendCurrentScreenshots() {
    if (openSocketsConnection() == 0) return 0;
    if (exitRequested()) return 0;
    const timespec t0 = cm::monotonicNow();
    unsigned char* body = socket_outgoing_buf;
    if (body == nullptr) return 0;
    // One mode for the whole request: the text and the reply handling agree
    // even when the monitor switches modes meanwhile.
    const int mode = g_bStreamingVideo.load();

    resizeImages();

    int lengths[4];
    for (int i = 0; i < 4; ++i) lengths[i] = resizedLength(i);
    if (lengths[0] + lengths[1] + lengths[2] + lengths[3] == 0) {
        verbos("No resized images to send..");
        return 1;
    }

    // Only the text area needs clearing: every byte sent after it is a
    // picture copied below.
    char text[kRequestTextSize];
    formatStreamingRequestText(text, mode, device_serial, cmd_idx.load(), lengths);
    std::memcpy(body, text, kRequestTextSize);
    if (exitRequested()) return 0;
    verbos("Sending: %s", text);

    long long n = kRequestTextSize;
    for (int i = 0; i < 4; ++i) {
        bool added = false;
        with_resized_streaming_image(i, [&](StreamingImage& e) {
            if (e.data == nullptr || e.length <= 0 || e.length != lengths[i]) return;
            if (n + e.length + 100 > kBodyLimit) return;
            std::memcpy(body + n, e.data, static_cast<std::size_t>(e.length));
            n += e.length;
            e.length = 0;  // consumed: not sent again
            added = true;
        });
        if (added) {
            verbos("adding image %d", i);
            verbos("adding image %d added", i);
        } else {
            verbos("Cannot add image %d", i);
        }
    }
    if (exitRequested()) return 0;

    const int bodyLength = static_cast<int>(n);
    unsigned char header[kStreamingHeaderSize];
    encodeStreamingHeader(static_cast<std::uint32_t>(bodyLength), header);

    verbos("sending1 to %d", sockfd.load());
    const int markerSent = sendPart(header, 8);
    verbos("sent");
    if (exitRequested()) return 0;
    verbos("sending2");
    const int lengthSent = sendPart(header + 8, 4);
    if (exitRequested()) return 0;
    verbos("sending3");
    // A header that did not go out whole breaks the framing for the peer:
    // the body is then not sent and the request fails.
    int bodySent = markerSent == 8 && lengthSent == 4 ? sendPart(body, bodyLength) : 0;
    if (exitRequested()) return 0;
    verbos("sent all");

    if (bodySent < bodyLength) {
        verbos("URL: Error sending to server.. wasnt able to send it all.. orig size %d- sent: %d!", bodyLength, bodySent);
        cmd_idx.fetch_add(1);
        disconnectStreamingServer();
        return 0;
    }
    verbos("CMD Sent successfully. %d bytes!", bodyLength);

    if (mode == 9) {
        nReciveWaitTimer.store(0);
    } else {
        std::memset(receive_buffer, 0, sizeof receive_buffer);
        int got = sockfd.load() > 0 ? receiveStreamingReply(receive_buffer, kReceiveBufferSize - 1) : 0;
        takeStreamingReply(receive_buffer, got);
    }

    const long long ms = cm::millisBetween(t0, cm::monotonicNow());
    verbos("cmd# %d, Send/Received time: %dms", cmd_idx.load(), static_cast<int>(ms));
    nTotalAge.fetch_add(static_cast<int>(ms));

    notifyStreamingStarted();
    cmd_idx.fetch_add(1);
    return exitRequested() ? 0 : 1;
}

void resetScreenshotRequestForTests() {
    resetStreamingRequestState();
    cmd_idx.store(0);
    std::memset(receive_buffer, 0, sizeof receive_buffer);
}
