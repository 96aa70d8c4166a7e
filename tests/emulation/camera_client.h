// A small V4L2 client over the daemon's device system calls (cm::sys()),
// as the capture code uses them, for the emulated camera's tests.
#pragma once

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <sys/select.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/syscalls.h"

namespace emutest {

// ioctl through the seam; returns 0 or the errno.
inline int request(int fd, unsigned long req, void* arg) {
    int r = cm::sys().ioctl(fd, req, arg);
    return r == 0 ? 0 : errno;
}

// The system's own answer (errno) to VIDIOC_QUERYCAP on a plain file:
// ENOTTY from the kernel (an emulator may say otherwise).
inline int plainFileQuerycapErrno() {
    int fd = ::open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    v4l2_capability cap{};
    int r = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    int e = r == 0 ? 0 : errno;
    ::close(fd);
    return e;
}

inline v4l2_format format(std::uint32_t fourcc, int w, int h) {
    v4l2_format f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    f.fmt.pix.pixelformat = fourcc;
    f.fmt.pix.width = static_cast<__u32>(w);
    f.fmt.pix.height = static_cast<__u32>(h);
    f.fmt.pix.field = V4L2_FIELD_INTERLACED;
    return f;
}

// Whether `fd` becomes readable within `ms` milliseconds.
inline bool readable(int fd, int ms) {
    fd_set r;
    FD_ZERO(&r);
    FD_SET(fd, &r);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return cm::sys().select(fd + 1, &r, nullptr, nullptr, &tv) == 1;
}

struct Frame {
    v4l2_buffer buf{};
    std::vector<std::uint8_t> data;
};

// An open device with mapped buffers.
class Camera {
public:
    explicit Camera(const char* path, int flags = O_RDWR | O_NONBLOCK) { fd = cm::sys().open(path, flags, 0); }
    ~Camera() { close(); }
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    void close() {
        unmap();
        if (fd >= 0) cm::sys().close(fd);
        fd = -1;
    }

    int setFormat(std::uint32_t fourcc, int w, int h, v4l2_format* out = nullptr) {
        v4l2_format f = format(fourcc, w, h);
        int e = request(fd, VIDIOC_S_FMT, &f);
        if (out != nullptr) *out = f;
        return e;
    }

    int setRate(int fps, v4l2_streamparm* out = nullptr) {
        v4l2_streamparm p{};
        p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        p.parm.capture.timeperframe = {1, static_cast<__u32>(fps)};
        int e = request(fd, VIDIOC_S_PARM, &p);
        if (out != nullptr) *out = p;
        return e;
    }

    // REQBUFS, QUERYBUF and mmap of every granted buffer; returns the errno.
    int allocate(unsigned count) {
        v4l2_requestbuffers r{};
        r.count = count;
        r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        r.memory = V4L2_MEMORY_MMAP;
        if (int e = request(fd, VIDIOC_REQBUFS, &r)) return e;
        for (unsigned i = 0; i < r.count; ++i) {
            v4l2_buffer b{};
            b.index = i;
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            if (int e = request(fd, VIDIOC_QUERYBUF, &b)) return e;
            void* p = cm::sys().mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, b.m.offset);
            if (p == MAP_FAILED) return errno;
            maps.push_back({p, b.length});
        }
        return 0;
    }

    int queue(unsigned index) {
        v4l2_buffer b{};
        b.index = index;
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        return request(fd, VIDIOC_QBUF, &b);
    }

    int streamOn() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return request(fd, VIDIOC_STREAMON, &type);
    }
    int streamOff() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return request(fd, VIDIOC_STREAMOFF, &type);
    }

    // Allocates `count` buffers, queues them all and starts streaming.
    int start(unsigned count = 4) {
        if (int e = allocate(count)) return e;
        for (unsigned i = 0; i < maps.size(); ++i)
            if (int e = queue(i)) return e;
        return streamOn();
    }

    // DQBUF; returns the errno.
    int dequeue(v4l2_buffer& b) {
        b = {};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        return request(fd, VIDIOC_DQBUF, &b);
    }

    // Waits up to `ms` for a frame, copies it and queues its buffer again.
    // Returns the errno of the failing step (ETIMEDOUT when none came).
    int next(Frame& f, int ms = 2000) {
        if (!readable(fd, ms)) return ETIMEDOUT;
        if (int e = dequeue(f.buf)) return e;
        const auto* p = static_cast<const std::uint8_t*>(maps.at(f.buf.index).addr);
        f.data.assign(p, p + f.buf.bytesused);
        return queue(f.buf.index);
    }

    void unmap() {
        for (auto& m : maps) cm::sys().munmap(m.addr, m.length);
        maps.clear();
    }

    struct Map {
        void* addr;
        std::size_t length;
    };
    int fd = -1;
    std::vector<Map> maps;
};

}  // namespace emutest
