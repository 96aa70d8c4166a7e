// An in-process streaming server on a loopback address, port 8080: reads
// framed messages and answers them as a test tells it to.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cmtest {

class LoopbackPeer {
public:
    enum class Mode {
        Reply,            // reads messages, answers each with reply()
        Silent,           // reads messages, never answers
        ResetOnAccept,    // accepts and resets the connection at once
        NeverRead,        // accepts and reads nothing
    };

    // Binds port 8080 on a random address of 127.0.0.0/8 (retrying while
    // one is taken).
    explicit LoopbackPeer(Mode mode = Mode::Reply, std::string reply = "success");
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    const std::string& address() const { return address_; }

    struct Message {
        std::vector<unsigned char> header;  // the 12 bytes as received
        std::uint64_t marker = 0;
        std::uint32_t length = 0;
        std::vector<unsigned char> body;
        std::string text() const;  // up to the first NUL of the 200-byte area
    };
    std::vector<Message> messages() const;
    // Waits (real time, at most `seconds`) until `n` messages have arrived.
    bool waitForMessages(std::size_t n, double seconds = 10) const;
    int connectionsAccepted() const { return accepted_.load(); }
    // Connections that ended (peer closed or reset).
    int connectionsEnded() const { return ended_.load(); }
    bool waitForEnded(int n, double seconds = 10) const;
    bool waitForAccepted(int n, double seconds = 10) const;

private:
    void acceptLoop();
    void serve(int fd);

    Mode mode_;
    std::string reply_;
    std::string address_;
    int listenFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> ended_{0};
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<Message> messages_;  // guarded by lock_
    std::vector<int> connections_;   // guarded by lock_
    std::vector<std::thread> threads_;  // accept thread only touches this
    std::thread acceptThread_;
};

}  // namespace cmtest
