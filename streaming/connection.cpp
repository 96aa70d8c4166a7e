#include "streaming/connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include "common/clock.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "common/sys_error.h"
#include "common/threads.h"
#include "common/unique_fd.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "streaming/frame_buffers.h"

std::atomic<int> sockfd{0};
std::atomic<int> isConnectd{0};
std::atomic<int> nTempSockfd{0};
std::atomic<pthread_t> tid_recv{0};
std::atomic<int> nReciveWaitTimer{0};
std::atomic<int> nRecieved{0};

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the SIGPIPE flag is set in signal context");
std::atomic<bool> g_sigpipePending{false};

// What one watchdog guards. Shared by the watchdog thread and the
// streaming thread; `lock` orders a shutdown against the removal.
struct Guard {
    std::mutex lock;
    int fd = 0;                      // guarded by lock
    std::atomic<bool> stopped{false};  // set under lock; read without it between ticks
};

std::mutex g_connLock;             // the socket and the current guard
cm::UniqueFd g_socket;             // guarded by g_connLock
std::shared_ptr<Guard> g_guard;    // guarded by g_connLock
std::atomic<int> g_watchdogsRunning{0};

std::mutex g_timingsLock;
StreamingTimings g_timings;  // guarded by g_timingsLock

// Waits for `events` on `fd` for at most `millis` of real time, restarting
// after a signal. >0 ready (revents in `got`), 0 timed out, -1 failed.
int waitFor(int fd, short events, int millis, short& got) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = ::poll(&p, 1, millis);
        if (r < 0 && errno == EINTR) continue;
        got = p.revents;
        return r;
    }
}

// A socket numbered 0 would read as "no socket": give it another number.
int moveOffZero(int fd) {
    if (fd != 0) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    ::close(fd);
    return moved;
}

}  // namespace

void setStreamingTimingsForTests(const StreamingTimings& t) {
    std::lock_guard<std::mutex> g(g_timingsLock);
    g_timings = t;
}

StreamingTimings streamingTimings() {
    std::lock_guard<std::mutex> g(g_timingsLock);
    return g_timings;
}

int connect_socket() {
    verbos("Connecting to sotcket..");
    verbos("streaming sotcket init");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error("URL: Error opening client socket");
        return 0;
    }
    fd = moveOffZero(fd);
    if (fd <= 0) {
        verbos("error sockfd %d", fd < 0 ? 0 : fd);
        return 0;
    }
    cm::UniqueFd sock(fd);
    verbos("sockfd %d", fd);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(footprint::kStreamingPort));
    if (::inet_pton(AF_INET, SOCKET_ADDR, &addr.sin_addr) != 1) {
        error("URL: Error with client connecting to server", "(not an IPv4 address)");
        return 0;
    }
    // Blocking, without a time-out of its own: a refused connection fails at
    // once and the next pass retries; a server that never answers holds the
    // streaming thread until the system gives up, which delays nothing else
    // (the process ends on the exit flag without waiting for this thread).
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error("URL: Error with client connecting to server");
        return 0;  // `sock` closes the descriptor
    }
    // A request goes out in three sends (marker, length, body) and then
    // waits for the server's reply: with Nagle's algorithm the length would
    // wait for the marker's acknowledgement, which the server delays by up
    // to 40 ms, on every request.
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        verbos("TCP_NODELAY refused (%s): requests may wait for delayed acknowledgements",
               cm::errnoText(errno).c_str());
    nRecieved.store(0);
    verbos("Connected to: %s:%d.. creating disconnection thread..", SOCKET_ADDR, footprint::kStreamingPort);
    // A watchdog of an earlier socket must be gone before that socket is
    // closed below, or it could shut down a reused descriptor number.
    removeDiconnectThread();
    {
        std::lock_guard<std::mutex> g(g_connLock);
        g_socket = std::move(sock);
        sockfd.store(fd);
    }
    if (g_bStreamingVideo.load() != 9) initDiconnectThread(fd);
    return 1;
}

int openSocketsConnection() {
    if (isConnectd.load() == 1) return 1;
    if (connect_socket() == 0) return 0;
    isConnectd.store(1);
    return 1;
}

int my_send(int& sock, const void* data, int n, int /*unused*/) {
    const StreamingTimings t = streamingTimings();
    const int fd = sock;
    if (fd <= 0 || data == nullptr || n <= 0) return -1;
    verbos("waiting on select!");
    short got = 0;
    int r = waitFor(fd, POLLIN | POLLOUT, t.selectWaitMillis, got);
    if (r < 0) {
        verbos("select error");
        return -1;
    }
    if (r > 0 && (got & POLLOUT) != 0) verbos("Ready for send!");
    if (exitRequested()) return 0;

    // All bytes, in as many calls as the socket takes them: a peer that
    // reads slowly is waited for, one that stops reading altogether fails
    // the send after sendStallMillis instead of holding the streaming
    // thread for as long as TCP keeps retrying.
    const auto* p = static_cast<const unsigned char*>(data);
    int sent = 0;
    int stalledMillis = 0;
    constexpr int kSliceMillis = 100;
    while (sent < n) {
        ssize_t k = ::send(fd, p + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k > 0) {
            sent += static_cast<int>(k);
            stalledMillis = 0;
            continue;
        }
        if (k < 0 && errno == EINTR) continue;
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (stalledMillis >= t.sendStallMillis || exitRequested()) break;
            int w = waitFor(fd, POLLOUT, kSliceMillis, got);
            if (w < 0) break;
            if (w == 0) stalledMillis += kSliceMillis;
            continue;
        }
        break;  // an error (EPIPE, ECONNRESET, a shut-down socket) or nothing accepted
    }
    return sent > 0 ? sent : -1;
}

int receiveStreamingReply(char* buffer, int capacity) {
    const int fd = sockfd.load();
    if (fd <= 0 || buffer == nullptr || capacity <= 0) return -1;
    const StreamingTimings t = streamingTimings();
    constexpr int kSliceMillis = 100;
    for (int waited = 0; waited < t.replyWaitMillis; waited += kSliceMillis) {
        if (exitRequested()) return -1;
        short got = 0;
        int w = waitFor(fd, POLLIN, kSliceMillis, got);
        if (w < 0) return -1;
        if (w == 0) continue;
        for (;;) {
            ssize_t k = ::recv(fd, buffer, static_cast<size_t>(capacity), 0);
            if (k < 0 && errno == EINTR) continue;
            return static_cast<int>(k);
        }
    }
    return -1;
}

void disconnectStreamingServer() {
    removeDiconnectThread();
    std::lock_guard<std::mutex> g(g_connLock);
    if (isConnectd.load() != 0) verbos("URL: closing socket, recieved %d bytes!!", nRecieved.load());
    // The one close of the descriptor (also of a socket connected without
    // openSocketsConnection, which the flag does not show).
    g_socket.reset();
    isConnectd.store(0);
    sockfd.store(0);
}

void initDiconnectThread(int sock) {
    removeDiconnectThread();
    auto guard = std::make_shared<Guard>();
    guard->fd = sock;
    nTempSockfd.store(sock);
    auto* arg = new std::shared_ptr<Guard>(guard);
    {
        std::lock_guard<std::mutex> g(g_connLock);
        g_guard = guard;
    }
    g_watchdogsRunning.fetch_add(1);
    int rc = cm::startDetachedThread(tid_recv, "cm-disconnect", cm::Urgency::streaming, doDisconnectAfterAWhileThread,
                                      arg);
    if (rc == 0) {
        verbos("recv Thread created successfully");
        return;
    }
    g_watchdogsRunning.fetch_sub(1);
    delete arg;
    {
        std::lock_guard<std::mutex> g(g_connLock);
        g_guard.reset();
    }
    nTempSockfd.store(0);
    cm::printOutFormatted("\ncan't create recv thread :[%s]\n", cm::errnoText(rc).c_str());
}

void removeDiconnectThread() {
    std::shared_ptr<Guard> guard;
    {
        std::lock_guard<std::mutex> g(g_connLock);
        guard = std::move(g_guard);
        g_guard.reset();
    }
    if (guard) {
        std::lock_guard<std::mutex> g(guard->lock);
        if (!guard->stopped.load() && guard->fd != 0) verbos("Force closing socket.. waited for long!");
        guard->stopped.store(true);
        guard->fd = 0;
    }
    tid_recv.store(0);
    nTempSockfd.store(0);
}

void* doDisconnectAfterAWhileThread(void* arg) {
    // It logs while holding the connection's guard, which the streaming
    // thread waits for: it never waits on a log write either.
    cm::setThreadLogRole(cm::LogRole::queued);
    if (arg == nullptr) return nullptr;
    std::unique_ptr<std::shared_ptr<Guard>> owned(static_cast<std::shared_ptr<Guard>*>(arg));
    std::shared_ptr<Guard> guard = *owned;
    struct Running {
        ~Running() { g_watchdogsRunning.fetch_sub(1); }
    } running;
    const StreamingTimings t = streamingTimings();
    nReciveWaitTimer.store(0);
    if (guard->stopped.load() || exitRequested()) return nullptr;
    for (;;) {
        cm::sleepMillis(t.watchdogTickMillis);
        if (guard->stopped.load()) return nullptr;
        int ticks = nReciveWaitTimer.fetch_add(1) + 1;
        if (ticks < t.watchdogTicks) {
            if (exitRequested()) return nullptr;
            continue;
        }
        std::lock_guard<std::mutex> g(guard->lock);
        if (guard->stopped.load()) return nullptr;  // removed while we waited for the lock
        verbos("URL: recv wait time ellapsed. Closing socket!");
        const int fd = guard->fd;
        guard->fd = 0;
        guard->stopped.store(true);
        nTempSockfd.store(0);
        if (fd != 0) {
            verbos("URL: closing socket!");
            // Shut down, never close: the streaming thread owns the
            // descriptor. A receive or send blocked on it returns now.
            ::shutdown(fd, SHUT_RDWR);
        }
        return nullptr;
    }
}

int disconnectWatchdogsRunning() { return g_watchdogsRunning.load(); }

void myMethod(int) { g_sigpipePending.store(true); }

void installSigpipeHandler() {
    struct sigaction sa {};
    sa.sa_handler = myMethod;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

bool handlePendingSigpipe() {
    if (!g_sigpipePending.exchange(false)) return false;
    verbos("SIGPIPE Received!");
    disconnectStreamingServer();
    return true;
}

void resetConnectionForTests() {
    isConnectd.store(0);
    disconnectStreamingServer();
    nTempSockfd.store(0);
    tid_recv.store(0);
    nReciveWaitTimer.store(0);
    nRecieved.store(0);
    setStreamingTimingsForTests(StreamingTimings{});
}
