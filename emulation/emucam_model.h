// The emulated cameras at the system-call boundary: "/dev/video0" to
// "/dev/video3" behave as UVC webcams (driver "uvcvideo") for open, close,
// the stat family, ioctl, mmap and munmap. Everything else (other paths,
// other descriptors) goes to the system unchanged.
//
// An open device is a real descriptor: the read end of a pipe that holds a
// byte exactly while a poll on a real device would report it ready, so
// select, poll and epoll work on it unchanged. Frame buffers are a memfd
// mapped by the client, so frames reach it as a driver's DMA would.
//
// Frames are paced by the real monotonic clock (read past any time-faking
// library): a streaming device fills its oldest queued buffer once per
// frame interval and, as a real driver does, drops the frame when the
// client has no buffer queued. The same model serves unit tests in-process
// (emucam_inprocess.h) and any program through the preload library.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "emulation/emucam_config.h"

namespace emucam {

// The system's calls, which the model uses and passes foreign paths and
// descriptors to.
struct Passthrough {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    int (*stat)(const char* path, struct stat* st);
    int (*fstat)(int fd, struct stat* st);
    int (*ioctl)(int fd, unsigned long request, void* arg);
    void* (*mmap)(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
    int (*munmap)(void* addr, std::size_t length);
};

// The C library's own calls.
Passthrough libcPassthrough();

// Camera index of an emulated device path ("/dev/video0" to "/dev/video3"),
// or -1.
int devicePathIndex(const char* path);

class Model {
public:
    Model(const Config& config, const Passthrough& system);
    // Stops every stream and waits for the frame threads; descriptors still
    // open are closed.
    ~Model();
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    // The system calls. Each returns what the system call returns (-1 with
    // errno on failure; mmap MAP_FAILED).
    int open(const char* path, int flags, mode_t mode);
    int close(int fd);
    int stat(const char* path, struct stat* st);
    int fstat(int fd, struct stat* st);
    int ioctl(int fd, unsigned long request, void* arg);
    void* mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset);
    int munmap(void* addr, std::size_t length);

    // Whether `fd` is an open emulated device.
    bool ownsDescriptor(int fd);

    // What a camera did, for tests and diagnostics.
    struct Stats {
        std::uint64_t produced = 0;       // frames the sensor made (delivered or dropped)
        std::uint64_t delivered = 0;      // frames put into a buffer
        std::uint64_t dropped = 0;        // frames lost for want of a queued buffer
        std::uint64_t formatAttempts = 0; // S_FMT requests seen
    };
    Stats stats(int camera) const;

    const Config& config() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Monotonic time in nanoseconds, read from the kernel itself.
std::int64_t monotonicNanos();

}  // namespace emucam
