// Every fault an emulated camera can show, observed through the device
// system calls as the daemon would meet it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "camera_client.h"
#include "emulation/emucam_inprocess.h"
#include "emulation/emucam_reader.h"

namespace {

using emutest::Camera;
using emutest::Frame;
using emutest::request;

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

TEST(EmucamFaults, MissingNode) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30\n2 missing"));
    struct stat st{};
    EXPECT_EQ(cm::sys().stat("/dev/video2", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(cm::sys().open("/dev/video2", O_RDWR | O_NONBLOCK, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    // Without a line a camera is missing too; camera 0 is there.
    EXPECT_EQ(cm::sys().stat("/dev/video3", &st), -1);
    EXPECT_EQ(cm::sys().stat("/dev/video0", &st), 0);
}

TEST(EmucamFaults, NodeThatIsARegularFile) {
    emucam::InProcessCameras cams(emucam::configFromText("1 regular"));
    struct stat st{};
    ASSERT_EQ(cm::sys().stat("/dev/video1", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_FALSE(S_ISCHR(st.st_mode));
    int fd = cm::sys().open("/dev/video1", O_RDWR | O_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    v4l2_capability cap{};
    EXPECT_EQ(request(fd, VIDIOC_QUERYCAP, &cap), emutest::plainFileQuerycapErrno());  // the system's answer for a plain file
    EXPECT_NE(request(fd, VIDIOC_QUERYCAP, &cap), 0);
    cm::sys().close(fd);
}

TEST(EmucamFaults, FormatBusyForTheFirstAttempts) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 busy=3"));
    Camera cam("/dev/video0");
    v4l2_format t = emutest::format(V4L2_PIX_FMT_MJPEG, 1280, 720);
    EXPECT_EQ(request(cam.fd, VIDIOC_TRY_FMT, &t), 0);  // trying is not setting
    for (int i = 0; i < 3; ++i) EXPECT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720), EBUSY) << i;
    v4l2_format f;
    EXPECT_EQ(cam.setFormat(V4L2_PIX_FMT_MJPEG, 1280, 720, &f), 0);
    EXPECT_EQ(f.fmt.pix.width, 1280u);
    EXPECT_EQ(cams.model().stats(0).formatAttempts, 4u);
}

TEST(EmucamFaults, FewerBuffersThanAsked) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 buffers=1"));
    Camera cam("/dev/video0");
    v4l2_requestbuffers r{};
    r.count = 4;
    r.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    r.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(request(cam.fd, VIDIOC_REQBUFS, &r), 0);
    EXPECT_EQ(r.count, 1u);
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.index = 1;
    EXPECT_EQ(request(cam.fd, VIDIOC_QUERYBUF, &b), EINVAL);
}

TEST(EmucamFaults, FrameRateNotSettable) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 fixed-rate"));
    Camera cam("/dev/video0");
    v4l2_streamparm p;
    ASSERT_EQ(cam.setRate(25, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.numerator, 1u);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 30u);
    EXPECT_FALSE(p.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
    p = {};
    p.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(request(cam.fd, VIDIOC_G_PARM, &p), 0);
    EXPECT_EQ(p.parm.capture.timeperframe.denominator, 30u);
}

TEST(EmucamFaults, FramesStopForAWhileAndResume) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 stall=0.3:1.2"));
    Camera cam("/dev/video0");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(cam.start(4), 0);
    Frame f;
    ASSERT_EQ(cam.next(f), 0);
    // Take frames until the stall: a wait then times out.
    int timeouts = 0;
    std::uint32_t before = 0;
    while (secondsSince(start) < 1.0) {
        int e = cam.next(f, 200);
        if (e == ETIMEDOUT) {
            ++timeouts;
            continue;
        }
        ASSERT_EQ(e, 0);
        if (timeouts == 0) before = emucam::readJpegPattern(f.data.data(), f.data.size())->counter;
    }
    EXPECT_GE(timeouts, 2);
    // After it frames come again, the counter going on where it stopped.
    ASSERT_EQ(cam.next(f, 1500), 0);
    auto after = emucam::readJpegPattern(f.data.data(), f.data.size());
    ASSERT_TRUE(after.has_value());
    EXPECT_GE(secondsSince(start), 1.4);
    EXPECT_LE(after->counter, before + 3);
    EXPECT_GT(after->counter, before);
}

TEST(EmucamFaults, DisconnectMidStreamAndComeBack) {
    emucam::InProcessCameras cams(emucam::configFromText("3 MJPG 640x480 30 disconnect=0.3:0.7"));
    Camera cam("/dev/video3");
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(cam.start(4), 0);
    Frame f;
    int e = 0;
    while ((e = cam.next(f, 1000)) == 0 && secondsSince(start) < 2) {
    }
    // The descriptor reports ready and the dequeue fails: the device is gone.
    EXPECT_EQ(e, ENODEV);
    EXPECT_LT(secondsSince(start), 0.6);
    EXPECT_TRUE(emutest::readable(cam.fd, 0));
    v4l2_capability cap{};
    EXPECT_EQ(request(cam.fd, VIDIOC_QUERYCAP, &cap), ENODEV);
    struct stat st{};
    EXPECT_EQ(cm::sys().stat("/dev/video3", &st), -1);
    EXPECT_EQ(cm::sys().open("/dev/video3", O_RDWR, 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(cm::sys().close(cam.fd), 0);  // closing a dead descriptor works
    cam.fd = -1;

    // Back after a while: a fresh device that streams again.
    while (cm::sys().stat("/dev/video3", &st) != 0 && secondsSince(start) < 3) usleep(20000);
    EXPECT_GE(secondsSince(start), 0.95);
    Camera again("/dev/video3");
    ASSERT_GE(again.fd, 0);
    ASSERT_EQ(again.start(4), 0);
    ASSERT_EQ(again.next(f), 0);
    auto r = emucam::readJpegPattern(f.data.data(), f.data.size());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->camera, 3);
}

// The buffer queue's error state, as the kernel leaves it: a USB reset while
// the client holds a buffer (its re-queue fails), a camera that breaks again
// at every STREAMON, and STREAMON refused for want of USB bandwidth.
TEST(EmucamFaults, QueueErrorsAndNoBandwidthAsTheKernelAnswersThem) {
    emucam::InProcessCameras cams(
        emucam::configFromText("0 MJPG 640x480 30 queue-error=0.2\n1 MJPG 640x480 30 stream-error=0.2\n"
                               "2 MJPG 640x480 30 nospace=0:0.4"));
    Frame f;
    Camera once("/dev/video0"), broken("/dev/video1");
    for (Camera* cam : {&once, &broken}) {
        ASSERT_EQ(cam->start(4), 0);
        int e = 0;
        for (auto start = std::chrono::steady_clock::now(); e == 0 && secondsSince(start) < 2;) e = cam->next(f);
        EXPECT_EQ(e, EIO);  // camera 0: the held buffer's QBUF
        EXPECT_TRUE(emutest::readable(cam->fd, 0));
        EXPECT_EQ(cam->dequeue(f.buf), EIO);
        ASSERT_EQ(cam->streamOff(), 0);  // clears the error
        for (unsigned i = 0; i < 4; ++i) ASSERT_EQ(cam->queue(i), 0);
        ASSERT_EQ(cam->streamOn(), 0);
    }
    for (int i = 0; i < 10; ++i) ASSERT_EQ(once.next(f), 0) << i;  // once only
    EXPECT_EQ(broken.dequeue(f.buf), EIO);                          // broken again at every STREAMON
    EXPECT_EQ(broken.queue(0), EIO);

    Camera crowded("/dev/video2");
    EXPECT_EQ(crowded.start(4), ENOSPC);
    EXPECT_EQ(crowded.queue(0), EINVAL);  // the buffers stay queued
    usleep(450000);
    ASSERT_EQ(crowded.streamOn(), 0);
}

// Frames of a camera whose counter c has (c + 1) % n == 0 are damaged.
std::vector<Frame> takeFrames(const char* config, int count, unsigned buffers = 4) {
    emucam::InProcessCameras cams(emucam::configFromText(config));
    Camera cam("/dev/video0");
    EXPECT_EQ(cam.start(buffers), 0);
    std::vector<Frame> frames(static_cast<std::size_t>(count));
    for (Frame& f : frames) EXPECT_EQ(cam.next(f), 0);
    return frames;
}

TEST(EmucamFaults, CorruptFrames) {
    std::vector<Frame> frames = takeFrames("0 MJPG 640x480 30 corrupt=3", 9);
    int damaged = 0;
    for (const Frame& f : frames) {
        emucam::GrayImage img;
        if (emucam::decodeJpegGray(f.data.data(), f.data.size(), img) != emucam::DecodeResult::kOk) ++damaged;
        EXPECT_EQ(f.data.back(), 0xd9);  // whole, but wrong inside
    }
    // One in three (a frame lost to scheduling may shift it by one).
    EXPECT_GE(damaged, 2);
    EXPECT_LE(damaged, 4);
}

TEST(EmucamFaults, TruncatedFrames) {
    std::vector<Frame> frames = takeFrames("0 MJPG 640x480 30 truncate=2", 6);
    int cut = 0;
    for (const Frame& f : frames) {
        bool whole = f.data.size() > 2 && f.data[f.data.size() - 2] == 0xff && f.data.back() == 0xd9;
        if (!whole) {
            ++cut;
            emucam::GrayImage img;
            EXPECT_NE(emucam::decodeJpegGray(f.data.data(), f.data.size(), img), emucam::DecodeResult::kOk);
        }
    }
    EXPECT_GE(cut, 2);
    EXPECT_LE(cut, 4);
}

TEST(EmucamFaults, FramesAbove700000Bytes) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 oversize=2"));
    Camera cam("/dev/video0");
    v4l2_format f = emutest::format(0, 0, 0);
    ASSERT_EQ(request(cam.fd, VIDIOC_G_FMT, &f), 0);
    EXPECT_GT(f.fmt.pix.sizeimage, 750000u);
    ASSERT_EQ(cam.start(4), 0);
    int big = 0;
    for (int i = 0; i < 6; ++i) {
        Frame fr;
        ASSERT_EQ(cam.next(fr), 0);
        if (fr.buf.bytesused > 700000) {
            ++big;
            EXPECT_EQ(fr.buf.bytesused, 750000u);
        }
        auto r = emucam::readJpegPattern(fr.data.data(), fr.data.size());
        ASSERT_TRUE(r.has_value());  // padded frames are valid pictures
        EXPECT_EQ((r->counter + 1) % 2 == 0, fr.buf.bytesused > 700000);
    }
    EXPECT_GE(big, 2);
}

TEST(EmucamFaults, FramesWithoutHuffmanTables) {
    emucam::InProcessCameras cams(emucam::configFromText("0 MJPG 640x480 30 no-huffman"));
    Camera cam("/dev/video0");
    v4l2_jpegcompression j{};
    ASSERT_EQ(request(cam.fd, VIDIOC_G_JPEGCOMP, &j), 0);
    EXPECT_FALSE(j.jpeg_markers & V4L2_JPEG_MARKER_DHT);
    ASSERT_EQ(cam.start(4), 0);
    Frame fr;
    ASSERT_EQ(cam.next(fr), 0);
    bool dht = false;
    for (std::size_t i = 0; i + 1 < fr.data.size(); ++i) dht |= fr.data[i] == 0xff && fr.data[i + 1] == 0xc4;
    EXPECT_FALSE(dht);
    EXPECT_TRUE(emucam::readJpegPattern(fr.data.data(), fr.data.size()).has_value());
}

}  // namespace
