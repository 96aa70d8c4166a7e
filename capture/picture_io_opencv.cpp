// The picture I/O module: OpenCV's image and video I/O behind
// capture/picture_io.h. Built as "libcapture-module-picture-io.so"; it
// needs nothing of the daemon but OpenCV.
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "capture/picture_io.h"

namespace {

// Whether it opened is not tested: a camera that cannot deliver shows up
// as failed pictures.
class OpenCvCamera final : public PictureSource {
public:
    explicit OpenCvCamera(int id) {
        try {
            capture_.open(id, cv::CAP_V4L2);
        } catch (const cv::Exception&) {
            // Left closed: every read fails.
        }
    }
    void read(cv::Mat& out) override {
        try {
            capture_ >> out;
        } catch (const cv::Exception&) {
            out.release();  // a frame the backend could not decode
        }
    }

private:
    cv::VideoCapture capture_;
};

class OpenCvClip final : public cm::ClipEncoder {
public:
    bool open(const std::string& path, double rate, cv::Size size) {
        try {
            writer_.open(path, cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), rate, size, true);
        } catch (const cv::Exception&) {
            return false;
        }
        return writer_.isOpened();
    }
    bool write(const cv::Mat& frame) override {
        if (!writer_.isOpened()) return false;
        try {
            writer_.write(frame);
        } catch (const cv::Exception&) {
            return false;
        }
        return true;
    }
    void close() override {
        try {
            writer_.release();
        } catch (const cv::Exception&) {
        }
    }
    ~OpenCvClip() override { close(); }

private:
    cv::VideoWriter writer_;
};

class OpenCvPictureIo final : public cm::PictureIo {
public:
    // OpenCV builds its table of picture codecs on first use. Built here,
    // as the module is first asked for, before the capture threads start,
    // the threads' start orders it before every use; built by the first
    // thread to save a picture, the others would reach it through a
    // static-initialisation guard inside the library, which the thread
    // sanitizer cannot see and reports as a race.
    OpenCvPictureIo() { cv::haveImageWriter(".jpg"); }

    std::unique_ptr<PictureSource> openCamera(int id) const override { return std::make_unique<OpenCvCamera>(id); }

    bool writePicture(const std::string& path, const cv::Mat& picture) const override {
        try {
            return cv::imwrite(path, picture);
        } catch (const cv::Exception&) {
            return false;
        }
    }

    cv::Mat readColourPicture(const std::string& path) const override {
        try {
            return cv::imread(path, cv::IMREAD_COLOR);
        } catch (const cv::Exception&) {
            return cv::Mat();
        }
    }

    std::unique_ptr<cm::ClipEncoder> createClip(const std::string& path, double rate, cv::Size size) const override {
        auto clip = std::make_unique<OpenCvClip>();
        if (!clip->open(path, rate, size)) return nullptr;
        return clip;
    }

    double framesInClip(const std::string& path) const override {
        try {
            cv::VideoCapture check(path, cv::CAP_OPENCV_MJPEG);
            return check.isOpened() ? check.get(cv::CAP_PROP_FRAME_COUNT) : -1;
        } catch (const cv::Exception&) {
            return -1;
        }
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const cm::PictureIo* cm_picture_io() {
    static const OpenCvPictureIo io;
    return &io;
}
