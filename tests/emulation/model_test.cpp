// The emulated camera as the daemon's capture code sees it through the
// device system calls: V4L2 requests, buffers, frames and readiness.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <cstdio>

#include "camera_client.h"
#include "emulation/emucam_inprocess.h"
#include "emulation/emucam_reader.h"
#include "support/test_support.h"

namespace {

using emutest::Camera;
using emutest::Frame;
using emutest::request;

TEST(EmucamDevice, NodesAreVideoCharacterDevicesAndOtherPathsAreUntouched) {
    emucam::InProcessCameras cams;
    struct stat st{};
    ASSERT_EQ(cm::sys().stat("/dev/video2", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(major(st.st_rdev), 81u);
    EXPECT_EQ(minor(st.st_rdev), 2u);
    EXPECT_NE(cm::sys().stat("/dev/video4", &st), 0);
    EXPECT_NE(cm::sys().stat("/dev/video", &st), 0);
    ASSERT_EQ(cm::sys().stat("/proc/self", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    int fd = cm::sys().open("/proc/self/comm", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(cams.model().ownsDescriptor(fd));
    v4l2_capability cap{};
    EXPECT_EQ(request(fd, VIDIOC_QUERYCAP, &cap), emutest::plainFileQuerycapErrno());  // the system's answer for a plain file
    EXPECT_NE(request(fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(cm::sys().close(fd), 0);
}

TEST(EmucamDevice, QuerycapReportsAStreamingCaptureDevice) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video1");
    ASSERT_GE(cam.fd, 0);
    v4l2_capability cap{};
    ASSERT_EQ(request(cam.fd, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(cap.driver), "uvcvideo");
    EXPECT_NE(std::string(reinterpret_cast<const char*>(cap.card)).find('1'), std::string::npos);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_STREAMING);
    EXPECT_TRUE(cap.capabilities & V4L2_CAP_DEVICE_CAPS);
    EXPECT_FALSE(cap.capabilities & V4L2_CAP_READWRITE);
    EXPECT_EQ(cap.device_caps & ~V4L2_CAP_EXT_PIX_FORMAT, V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING);
}

TEST(EmucamDevice, FormatNegotiationAnswersWhatTheCameraHas) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0");
    v4l2_format f = emutest::format(0, 0, 0);
    ASSERT_EQ(request(cam.fd, VIDIOC_G_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<__u32>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(f.fmt.pix.width, 640u);
    EXPECT_EQ(f.fmt.pix.height, 480u);

    // The daemon's default request.
    ASSERT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 1280u);
    EXPECT_EQ(f.fmt.pix.height, 720u);
    EXPECT_EQ(f.fmt.pix.field, static_cast<__u32>(V4L2_FIELD_NONE));  // progressive, whatever was asked
    EXPECT_GE(f.fmt.pix.sizeimage, 1280u * 720u);

    // H264 is not offered: the answer is a format the camera has.
    ASSERT_EQ(cam.setFormat(V4L2_PIX_FMT_H264, 1920, 1080, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<__u32>(V4L2_PIX_FMT_MJPEG));
    EXPECT_EQ(f.fmt.pix.width, 1920u);

    // A size between offered ones gets the closest.
    ASSERT_EQ(cam.setFormat(V4L2_PIX_FMT_YUYV, 700, 500, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<__u32>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(f.fmt.pix.width, 640u);
    EXPECT_EQ(f.fmt.pix.bytesperline, 1280u);
    EXPECT_EQ(f.fmt.pix.sizeimage, 640u * 480u * 2u);

    // TRY_FMT answers without changing anything.
    v4l2_format t = emutest::format(V4L2_PIX_FMT_MJPEG, 320, 240);
    ASSERT_EQ(request(cam.fd, VIDIOC_TRY_FMT, &t), 0);
    EXPECT_EQ(t.fmt.pix.width, 320u);
    f = emutest::format(0, 0, 0);
    ASSERT_EQ(request(cam.fd, VIDIOC_G_FMT, &f), 0);
    EXPECT_EQ(f.fmt.pix.pixelformat, static_cast<__u32>(V4L2_PIX_FMT_YUYV));
    EXPECT_EQ(f.fmt.pix.width, 640u);

    // Another buffer type is refused.
    v4l2_format out = emutest::format(V4L2_PIX_FMT_MJPEG, 640, 480);
    out.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    EXPECT_EQ(request(cam.fd, VIDIOC_S_FMT, &out), EINVAL);
}

TEST(EmucamDevice, EnumeratesFormatsSizesAndIntervals) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video3");
    std::vector<std::uint32_t> formats;
    for (__u32 i = 0;; ++i) {
        v4l2_fmtdesc d{};
        d.index = i;
        d.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (request(cam.fd, VIDIOC_ENUM_FMT, &d) != 0) break;
        formats.push_back(d.pixelformat);
        if (d.pixelformat == V4L2_PIX_FMT_MJPEG) {
            EXPECT_TRUE(d.flags & V4L2_FMT_FLAG_COMPRESSED);
        }
    }
    EXPECT_EQ(formats, (std::vector<std::uint32_t>{V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV}));

    bool has720 = false;
    int sizes = 0;
    for (__u32 i = 0;; ++i) {
        v4l2_frmsizeenum s{};
        s.index = i;
        s.pixel_format = V4L2_PIX_FMT_MJPEG;
        if (request(cam.fd, VIDIOC_ENUM_FRAMESIZES, &s) != 0) break;
        EXPECT_EQ(s.type, static_cast<__u32>(V4L2_FRMSIZE_TYPE_DISCRETE));
        has720 |= s.discrete.width == 1280 && s.discrete.height == 720;
        ++sizes;
    }
    EXPECT_TRUE(has720);
    EXPECT_GE(sizes, 3);
    v4l2_frmsizeenum bad{};
    bad.pixel_format = V4L2_PIX_FMT_H264;
    EXPECT_EQ(request(cam.fd, VIDIOC_ENUM_FRAMESIZES, &bad), EINVAL);

    std::vector<__u32> rates;
    for (__u32 i = 0;; ++i) {
        v4l2_frmivalenum iv{};
        iv.index = i;
        iv.pixel_format = V4L2_PIX_FMT_MJPEG;
        iv.width = 1280;
        iv.height = 720;
        if (request(cam.fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv) != 0) break;
        EXPECT_EQ(iv.discrete.numerator, 1u);
        rates.push_back(iv.discrete.denominator);
    }
    ASSERT_FALSE(rates.empty());
    EXPECT_EQ(rates.front(), 30u);
    EXPECT_NE(std::find(rates.begin(), rates.end(), 25u), rates.end());
    v4l2_frmivalenum odd{};
    odd.pixel_format = V4L2_PIX_FMT_MJPEG;
    odd.width = 1000;
    odd.height = 700;
    EXPECT_EQ(request(cam.fd, VIDIOC_ENUM_FRAMEINTERVALS, &odd), EINVAL);
}

TEST(EmucamDevice, FrameIntervalIsSetToTheClosestOffered) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0");
    v4l2_streamparm p{};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(request(cam.fd, VIDIOC_G_PARM, &p), 0);
    EXPECT_TRUE(p.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
    EXPECT_EQ(p.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 30u);
    ASSERT_EQ(cam.setRate(25, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 25u);
    ASSERT_EQ(cam.setRate(24, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 25u);
    p = {};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(request(cam.fd, VIDIOC_G_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 25u);
}

TEST(EmucamDevice, CroppingAndJpegQualityAndControls) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0");
    v4l2_cropcap cc{};
    cc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(request(cam.fd, VIDIOC_CROPCAP, &cc), 0);
    EXPECT_EQ(cc.defrect.width, 640u);
    EXPECT_EQ(cc.defrect.height, 480u);
    v4l2_crop crop{};
    crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    crop.c = cc.defrect;
    EXPECT_EQ(request(cam.fd, VIDIOC_S_CROP, &crop), 0);

    v4l2_jpegcompression j{};
    ASSERT_EQ(request(cam.fd, VIDIOC_G_JPEGCOMP, &j), 0);
    EXPECT_EQ(j.quality, 80);
    j.quality = 95;
    ASSERT_EQ(request(cam.fd, VIDIOC_S_JPEGCOMP, &j), 0);
    j = {};
    ASSERT_EQ(request(cam.fd, VIDIOC_G_JPEGCOMP, &j), 0);
    EXPECT_EQ(j.quality, 95);
    EXPECT_TRUE(j.jpeg_markers & V4L2_JPEG_MARKER_DHT);

    v4l2_queryctrl q{};
    q.id = V4L2_CID_BRIGHTNESS;
    EXPECT_EQ(request(cam.fd, VIDIOC_QUERYCTRL, &q), EINVAL);
    q.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    EXPECT_EQ(request(cam.fd, VIDIOC_QUERYCTRL, &q), EINVAL);
    v4l2_control c{V4L2_CID_BRIGHTNESS, 10};
    EXPECT_EQ(request(cam.fd, VIDIOC_S_CTRL, &c), EINVAL);
    v4l2_std_id std = 0;
    EXPECT_EQ(request(cam.fd, VIDIOC_G_STD, &std), ENOTTY);
    v4l2_exportbuffer e{};
    EXPECT_EQ(request(cam.fd, VIDIOC_EXPBUF, &e), ENOTTY);
}

TEST(EmucamStreaming, FramesCarryTheCameraAndARisingCounter) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video2");
    ASSERT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), 0);
    ASSERT_EQ(cam.start(4), 0);
    std::uint32_t last = 0;
    for (int i = 0; i < 8; ++i) {
        Frame f;
        ASSERT_EQ(cam.next(f), 0) << "frame " << i;
        ASSERT_GT(f.buf.bytesused, 1000u);
        EXPECT_EQ(f.data[0], 0xff);
        EXPECT_EQ(f.data[1], 0xd8);
        EXPECT_EQ(f.data[f.data.size() - 2], 0xff);
        EXPECT_EQ(f.data[f.data.size() - 1], 0xd9);
        EXPECT_TRUE(f.buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC);
        auto reading = emucam::readJpegPattern(f.data.data(), f.data.size());
        ASSERT_TRUE(reading.has_value()) << "frame " << i;
        EXPECT_EQ(reading->camera, 2);
        if (i > 0) {
            EXPECT_GT(reading->counter, last);
        }
        last = reading->counter;
        emucam::GrayImage img;
        ASSERT_EQ(emucam::decodeJpegGray(f.data.data(), f.data.size(), img), emucam::DecodeResult::kOk);
        EXPECT_EQ(img.width, 1280);
        EXPECT_EQ(img.height, 720);
    }
    EXPECT_EQ(cam.streamOff(), 0);
}

TEST(EmucamStreaming, YuyvFramesCarryThePatternToo) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video3");
    ASSERT_EQ(cam.setFormat(V4L2_PIX_FMT_YUYV, 640, 480), 0);
    ASSERT_EQ(cam.start(3), 0);
    Frame f;
    ASSERT_EQ(cam.next(f), 0);
    ASSERT_EQ(f.buf.bytesused, 640u * 480u * 2u);
    auto reading = emucam::readYuyvPattern(f.data.data(), 640, 480);
    ASSERT_TRUE(reading.has_value());
    EXPECT_EQ(reading->camera, 3);
}

TEST(EmucamStreaming, SelectWaitsForFramesAtTheNegotiatedRate) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0");
    ASSERT_EQ(cam.setRate(15), 0);
    ASSERT_EQ(cam.allocate(4), 0);
    for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(cam.queue(i), 0);
    // Buffers queued but not streaming: nothing will come.
    EXPECT_FALSE(emutest::readable(cam.fd, 100));
    ASSERT_EQ(cam.streamOn(), 0);
    Frame first, f;
    ASSERT_EQ(cam.next(first), 0);
    for (int i = 0; i < 9; ++i) ASSERT_EQ(cam.next(f), 0);
    double seconds = static_cast<double>(f.buf.timestamp.tv_sec - first.buf.timestamp.tv_sec) +
                     static_cast<double>(f.buf.timestamp.tv_usec - first.buf.timestamp.tv_usec) / 1e6;
    double perFrame = seconds / (f.buf.sequence - first.buf.sequence);
    // 1/15 s per frame; generous bounds for a loaded machine.
    EXPECT_GT(perFrame, 0.8 / 15);
    EXPECT_LT(perFrame, 2.0 / 15);
    // Nothing is ready right after a frame was taken.
    v4l2_buffer b;
    EXPECT_EQ(cam.dequeue(b), EAGAIN);
}

TEST(EmucamStreaming, ASlowClientLosesFramesAsWithARealDriver) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video1");
    ASSERT_EQ(cam.start(2), 0);
    Frame a;
    ASSERT_EQ(cam.next(a), 0);
    // Hold no buffer queued... both buffers fill, then frames are dropped.
    usleep(400000);
    v4l2_buffer b1, b2, b3;
    ASSERT_EQ(cam.dequeue(b1), 0);
    ASSERT_EQ(cam.dequeue(b2), 0);
    EXPECT_EQ(cam.dequeue(b3), EAGAIN);
    EXPECT_EQ(b2.sequence, b1.sequence + 1);
    ASSERT_EQ(cam.queue(b1.index), 0);
    Frame c;
    ASSERT_EQ(cam.next(c), 0);
    // Frames made while no buffer was queued never arrive.
    EXPECT_GT(c.buf.sequence, b2.sequence + 3);
    EXPECT_GT(cams.model().stats(1).dropped, 3u);
}

TEST(EmucamStreaming, TheDropLogNamesEachFrameLostForWantOfABuffer) {
    char path[] = "/tmp/emucam-drops-XXXXXX";
    int tmp = mkstemp(path);
    ASSERT_GE(tmp, 0);
    ::close(tmp);
    emucam::Config config = emucam::Config::defaults();
    config.dropLog = path;
    std::vector<std::uint32_t> lost;
    std::uint32_t afterHeld = 0, resumed = 0;
    {
        emucam::InProcessCameras cams(config);
        Camera cam("/dev/video2");
        ASSERT_EQ(cam.start(2), 0);
        Frame a;
        ASSERT_EQ(cam.next(a), 0);
        usleep(300000);  // both buffers fill, later frames are dropped
        v4l2_buffer b1, b2;
        ASSERT_EQ(cam.dequeue(b1), 0);
        ASSERT_EQ(cam.dequeue(b2), 0);
        ASSERT_EQ(cam.queue(b1.index), 0);
        Frame c;
        ASSERT_EQ(cam.next(c), 0);
        auto first = emucam::readJpegPattern(a.data.data(), a.data.size());
        auto last = emucam::readJpegPattern(c.data.data(), c.data.size());
        ASSERT_TRUE(first && last);
        EXPECT_EQ(first->camera, 2);
        // Counter and sequence advance together with every frame made.
        afterHeld = first->counter + (b2.sequence - a.buf.sequence);
        resumed = last->counter;
        EXPECT_EQ(resumed - first->counter, c.buf.sequence - a.buf.sequence);
        ASSERT_EQ(cam.streamOff(), 0);
        for (const std::string& line : cmtest::splitLines(cmtest::readFile(path))) {
            long pid = 0;
            int camera = -1;
            unsigned counter = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%ld %d %u", &pid, &camera, &counter), 3) << line;
            EXPECT_EQ(pid, static_cast<long>(getpid()));
            EXPECT_EQ(camera, 2);
            lost.push_back(counter);
        }
        EXPECT_EQ(lost.size(), cams.model().stats(2).dropped);
    }
    ::unlink(path);
    // The frames between the last one held and the next delivered, then
    // those made after it while no buffer was queued again.
    ASSERT_GT(resumed, afterHeld + 1);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t n = afterHeld + 1; n < resumed; ++n) expected.push_back(n);
    ASSERT_GE(lost.size(), expected.size());
    EXPECT_EQ(std::vector<std::uint32_t>(lost.begin(), lost.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
    for (std::size_t i = expected.size(); i < lost.size(); ++i) EXPECT_GT(lost[i], resumed);
}

TEST(EmucamStreaming, BlockingDequeueWaitsForAFrame) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0", O_RDWR);
    ASSERT_EQ(cam.start(2), 0);
    v4l2_buffer b;
    ASSERT_EQ(cam.dequeue(b), 0);
    EXPECT_GT(b.bytesused, 0u);
    EXPECT_EQ(cam.queue(b.index), 0);
    ASSERT_EQ(cam.dequeue(b), 0);
}

TEST(EmucamBuffers, RefusesWhatARealDriverRefuses) {
    emucam::InProcessCameras cams;
    Camera cam("/dev/video0");
    v4l2_buffer b{};
    // Nothing allocated yet.
    EXPECT_EQ(cam.queue(0), EINVAL);
    EXPECT_EQ(cam.streamOn(), EINVAL);
    EXPECT_EQ(cam.dequeue(b), EINVAL);
    v4l2_requestbuffers r{};
    r.count = 4;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = V4L2_MEMORY_USERPTR;
    EXPECT_EQ(request(cam.fd, VIDIOC_REQBUFS, &r), EINVAL);
    ASSERT_EQ(cam.allocate(4), 0);
    ASSERT_EQ(cam.maps.size(), 4u);

    // QUERYBUF: index range, offsets, mapped flag.
    v4l2_buffer q{};
    q.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    q.index = 4;
    EXPECT_EQ(request(cam.fd, VIDIOC_QUERYBUF, &q), EINVAL);
    q.index = 1;
    ASSERT_EQ(request(cam.fd, VIDIOC_QUERYBUF, &q), 0);
    EXPECT_TRUE(q.flags & V4L2_BUF_FLAG_MAPPED);
    EXPECT_FALSE(q.flags & V4L2_BUF_FLAG_QUEUED);
    EXPECT_EQ(q.m.offset % 4096, 0u);
    const std::size_t length = q.length;

    // mmap: wrong offset, private mapping, too long.
    EXPECT_EQ(cm::sys().mmap(nullptr, length, PROT_READ, MAP_SHARED, cam.fd, q.m.offset + 4096), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(cm::sys().mmap(nullptr, length, PROT_READ, MAP_PRIVATE, cam.fd, q.m.offset), MAP_FAILED);
    EXPECT_EQ(cm::sys().mmap(nullptr, length + 4096, PROT_READ, MAP_SHARED, cam.fd, q.m.offset), MAP_FAILED);

    // QBUF: bad index, twice the same buffer.
    EXPECT_EQ(cam.queue(7), EINVAL);
    ASSERT_EQ(cam.queue(1), 0);
    EXPECT_EQ(cam.queue(1), EINVAL);
    ASSERT_EQ(request(cam.fd, VIDIOC_QUERYBUF, &q), 0);
    EXPECT_TRUE(q.flags & V4L2_BUF_FLAG_QUEUED);

    // The format cannot change while buffers exist; nor can another
    // descriptor take the queue.
    EXPECT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), EBUSY);
    Camera other("/dev/video0");
    ASSERT_GE(other.fd, 0);
    EXPECT_EQ(other.allocate(2), EBUSY);
    EXPECT_EQ(other.queue(0), EBUSY);
    v4l2_format f = emutest::format(0, 0, 0);
    EXPECT_EQ(request(other.fd, VIDIOC_G_FMT, &f), 0);  // but may look

    ASSERT_EQ(cam.streamOn(), 0);
    EXPECT_EQ(cam.streamOn(), 0);  // already streaming
    // No reallocation or rate change while streaming.
    v4l2_requestbuffers again{};
    again.count = 2;
    again.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    again.memory = V4L2_MEMORY_MMAP;
    EXPECT_EQ(request(cam.fd, VIDIOC_REQBUFS, &again), EBUSY);
    EXPECT_EQ(cam.setRate(10), EBUSY);

    // STREAMOFF hands every buffer back.
    ASSERT_EQ(cam.streamOff(), 0);
    EXPECT_EQ(cam.dequeue(b), EINVAL);
    ASSERT_EQ(request(cam.fd, VIDIOC_QUERYBUF, &q), 0);
    EXPECT_FALSE(q.flags & V4L2_BUF_FLAG_QUEUED);
    EXPECT_EQ(cam.queue(1), 0);

    // Freeing: the format may change again.
    cam.unmap();
    r.count = 0;
    r.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(request(cam.fd, VIDIOC_REQBUFS, &r), 0);
    EXPECT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), 0);
}

TEST(EmucamBuffers, ClosingTheOwnerReleasesTheQueue) {
    emucam::InProcessCameras cams;
    {
        Camera cam("/dev/video0");
        ASSERT_EQ(cam.start(4), 0);
        Frame f;
        ASSERT_EQ(cam.next(f), 0);
    }
    Camera again("/dev/video0");
    EXPECT_EQ(again.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), 0);
    ASSERT_EQ(again.start(4), 0);
    Frame f;
    EXPECT_EQ(again.next(f), 0);
}

}  // namespace
