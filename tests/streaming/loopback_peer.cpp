#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

namespace cmtest {
namespace {

bool readExact(int fd, unsigned char* p, std::size_t n) {
    while (n > 0) {
        ssize_t k = ::recv(fd, p, n, 0);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
    return true;
}

std::uint64_t bigEndian(const unsigned char* p, int n) {
    std::uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = (v << 8) | p[k];
    return v;
}

}  // namespace

std::string LoopbackPeer::Message::text() const {
    std::size_t n = 0;
    while (n < body.size() && n < 200 && body[n] != 0) ++n;
    return std::string(body.begin(), body.begin() + static_cast<long>(n));
}

LoopbackPeer::LoopbackPeer(Mode mode, std::string reply) : mode_(mode), reply_(std::move(reply)) {
    std::random_device rd;
    std::mt19937 rng(rd());
    std::uniform_int_distribution<int> octet(1, 254);
    for (int attempt = 0; attempt < 50 && listenFd_ < 0; ++attempt) {
        std::string addr = "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) + "." +
                           std::to_string(octet(rng));
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(8080);
        ::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(fd, 8) == 0) {
            listenFd_ = fd;
            address_ = addr;
        } else {
            ::close(fd);
        }
    }
    if (listenFd_ < 0) throw std::runtime_error("no free loopback address for port 8080");
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackPeer::~LoopbackPeer() {
    stop_ = true;
    // After the accept thread has ended no connection can be added: a
    // connection accepted while stopping is shut down as well.
    acceptThread_.join();
    {
        std::lock_guard<std::mutex> g(lock_);
        for (int fd : connections_)
            if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : threads_) t.join();
    ::close(listenFd_);
}

void LoopbackPeer::acceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        accepted_.fetch_add(1);
        {
            std::lock_guard<std::mutex> g(lock_);
            connections_.push_back(fd);
        }
        changed_.notify_all();
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void LoopbackPeer::serve(int fd) {
    if (mode_ == Mode::ResetOnAccept) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    } else if (mode_ == Mode::NeverRead) {
        while (!stop_) ::usleep(10000);
    } else {
        for (;;) {
            Message m;
            m.header.resize(12);
            if (!readExact(fd, m.header.data(), 12)) break;
            m.marker = bigEndian(m.header.data(), 8);
            m.length = static_cast<std::uint32_t>(bigEndian(m.header.data() + 8, 4));
            if (m.length > 4300000) break;
            m.body.resize(m.length);
            if (!readExact(fd, m.body.data(), m.length)) break;
            bool isSet = m.text().rfind("/set4Jpegs", 0) == 0;
            {
                std::lock_guard<std::mutex> g(lock_);
                messages_.push_back(std::move(m));
            }
            changed_.notify_all();
            if (isSet && mode_ == Mode::Reply && !reply_.empty())
                ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        }
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        for (auto& c : connections_)
            if (c == fd) c = -1;
        ::close(fd);
    }
    ended_.fetch_add(1);
    changed_.notify_all();
}

std::vector<LoopbackPeer::Message> LoopbackPeer::messages() const {
    std::lock_guard<std::mutex> g(lock_);
    return messages_;
}

bool LoopbackPeer::waitForMessages(std::size_t n, double seconds) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return messages_.size() >= n; });
}

bool LoopbackPeer::waitForEnded(int n, double seconds) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return ended_.load() >= n; });
}

bool LoopbackPeer::waitForAccepted(int n, double seconds) const {
    std::unique_lock<std::mutex> g(lock_);
    return changed_.wait_for(g, std::chrono::duration<double>(seconds), [&] { return accepted_.load() >= n; });
}

}  // namespace cmtest
