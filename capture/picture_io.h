// The default capture path's picture and video files and its cameras, as
// OpenCV's image and video I/O (imgcodecs, videoio) provide them.
//
// Those two libraries pull in some 245 shared libraries (about 50-60 MB of
// the daemon's resident memory) that the direct path never uses. So they are
// not linked into the daemon: they live in a module of their own,
// "libcapture-module-picture-io.so", loaded on the first use of
// pictureIo(), i.e. only on the default path. The module is looked for
// beside the program (a build tree) and in "../lib/capture-module/" from
// the program's directory (the installed package: /usr/lib/capture-module).
// A program that links the module itself (the tests) uses that copy.
//
// Every call may be made from any thread; nothing here throws (OpenCV's
// exceptions become failed results).
#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

// Where a capture thread gets its pictures from.
class PictureSource {
public:
    virtual ~PictureSource() = default;
    // Reads the next picture into `out`; an empty `out` is a failed read.
    virtual void read(cv::Mat& out) = 0;
};

namespace cm {

// One Motion-JPEG AVI clip being written.
class ClipEncoder {
public:
    virtual ~ClipEncoder() = default;
    // Appends `frame` (8-bit, three channels, the clip's size); false when
    // the encoder refused it.
    virtual bool write(const cv::Mat& frame) = 0;
    // Completes the file; further writes are refused.
    virtual void close() = 0;
};

class PictureIo {
public:
    // OpenCV's V4L2 capture of device index `id`; a camera that cannot be
    // opened gives a source whose every read fails.
    virtual std::unique_ptr<PictureSource> openCamera(int id) const = 0;
    // Writes `picture` to `path` in the format its extension names; false
    // when it was not written in full.
    virtual bool writePicture(const std::string& path, const cv::Mat& picture) const = 0;
    // The picture at `path` as 8-bit colour; empty when unreadable.
    virtual cv::Mat readColourPicture(const std::string& path) const = 0;
    // A new Motion-JPEG AVI clip at `path` of `rate` frames a second and
    // pictures of `size`; nullptr when it cannot be created.
    virtual std::unique_ptr<ClipEncoder> createClip(const std::string& path, double rate, cv::Size size) const = 0;
    // The frames the AVI clip at `path` holds by its index; -1 when it does
    // not read as a clip.
    virtual double framesInClip(const std::string& path) const = 0;

protected:
    ~PictureIo() = default;
};

// The picture I/O, loaded on the first call; nullptr when the module
// cannot be loaded (said once, on the console and in the daily log, with
// the places looked at). The result never changes afterwards.
const PictureIo* pictureIo();

}  // namespace cm

// The module's one entry point.
extern "C" const cm::PictureIo* cm_picture_io();
