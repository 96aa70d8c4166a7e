// A streaming server's reply in the set mode: any bytes, received over a
// real socket by the daemon's own receive and counted by its own reply
// handling. Checks that the receive stays inside the reply buffer, that the
// text handled is the bytes received up to the first NUL, that "success" is
// found exactly when it is there, and that each reply is counted once.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "streaming/connection.h"
#include "streaming/screenshot_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        StreamingTimings t;
        t.replyWaitMillis = 200;
        setStreamingTimingsForTests(t);
        return true;
    }();
    (void)once;

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) std::abort();
    // The server's side: the reply, then the end of the connection.
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t k = ::send(pair[1], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k <= 0) break;  // the socket buffer is full: the rest is never read anyway
        sent += static_cast<std::size_t>(k);
    }
    ::close(pair[1]);

    sockfd.store(pair[0]);
    const int success = nSuccessReceived.load(), other = nNonSuccessReceived.load();
    std::memset(receive_buffer, 0, sizeof receive_buffer);
    const int got = receiveStreamingReply(receive_buffer, kReceiveBufferSize - 1);
    const bool said = takeStreamingReply(receive_buffer, got);
    sockfd.store(0);
    ::close(pair[0]);

    if (got > kReceiveBufferSize - 1) std::abort();
    if (size == 0 && got != 0) std::abort();
    if (size > 0 && got < 1) std::abort();  // the bytes were there to read
    if (got > 0 && std::memcmp(receive_buffer, data, static_cast<std::size_t>(got)) != 0) std::abort();

    std::string_view text(reinterpret_cast<const char*>(data), got > 0 ? static_cast<std::size_t>(got) : 0);
    text = text.substr(0, text.find('\0'));
    const bool expected = text.find("success") != std::string_view::npos;
    if (said != expected) std::abort();
    if (nSuccessReceived.load() - success != (expected ? 1 : 0)) std::abort();
    if (nNonSuccessReceived.load() - other != (expected ? 0 : 1)) std::abort();
    return 0;
}
