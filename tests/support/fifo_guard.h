// For tests of files that may turn out to be FIFOs: runs a call that must
// never wait on the FIFO and tells whether it came back by itself.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "support/test_support.h"

namespace cmtest {

// Makes a FIFO at `path` (replacing whatever stands there).
inline void makeFifo(const std::string& path) {
    ::unlink(path.c_str());
    ::mkfifo(path.c_str(), 0644);
}

// Runs `call` in a thread of its own. True when it returns within
// `seconds`; otherwise it is held by the FIFO at `fifo`, which is then
// served from both ends (opened, fed, closed) until the call comes back,
// so that the test can go on, and false is returned.
inline bool returnsWithoutWaitingOn(const std::string& fifo, const std::function<void()>& call, double seconds = 5) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        call();
        done = true;
    });
    bool byItself = eventually([&] { return done.load(); }, seconds);
    ::signal(SIGPIPE, SIG_IGN);
    while (!done.load()) {
        int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
        if (fd >= 0) {
            static const char kZeros[4096] = {};
            (void)!::write(fd, kZeros, sizeof kZeros);
            ::usleep(50000);
            ::close(fd);
        } else {
            ::usleep(50000);
        }
    }
    t.join();
    return byItself;
}

}  // namespace cmtest
