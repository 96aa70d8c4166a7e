// Frames of an emulated camera: Motion-JPEG or YUYV pictures of its scene.
//
// A camera makes 30 frames a second (four cameras at once on the board),
// so a frame is not encoded anew each time. For Motion-JPEG the scene is
// encoded twice at set-up, once with every changing block off and once on,
// with a restart marker after every 16 x 8 macroblock: each macroblock is
// then coded on its own, and a frame is the two encodings' macroblocks
// spliced together, each changing block taken from the encoding that shows
// its state. The result is exactly the JPEG file an encoder would write for
// that picture with these settings. YUYV frames are the scene's fixed part
// with the changing blocks painted in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "emulation/emucam_pattern.h"

namespace emucam {

class FrameSource {
public:
    // `fourcc` V4L2_PIX_FMT_MJPEG or V4L2_PIX_FMT_YUYV. `noHuffmanTables`
    // leaves the DHT segments out of JPEG frames (the decoder must use the
    // standard tables, as with many UVC cameras).
    FrameSource(int camera, std::uint32_t fourcc, int width, int height, int quality, bool noHuffmanTables);
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    std::uint32_t fourcc() const { return fourcc_; }
    int width() const { return scene_.width(); }
    int height() const { return scene_.height(); }
    int quality() const { return quality_; }
    bool noHuffmanTables() const { return noHuffman_; }
    const Scene& scene() const { return scene_; }

    // The largest frame compose() writes.
    std::size_t maxSize() const { return maxSize_; }

    // Writes the frame showing `counter` to `out` (room for `capacity`
    // bytes); returns its length, 0 when it does not fit.
    std::size_t compose(std::uint32_t counter, std::uint8_t* out, std::size_t capacity) const;

private:
    void buildJpeg();
    void buildYuyv();

    Scene scene_;
    std::uint32_t fourcc_;
    int quality_;
    bool noHuffman_;
    std::size_t maxSize_ = 0;

    // Motion-JPEG: the headers up to the scan data, both encodings' scan
    // data, and a plan of runs of macroblocks.
    struct Run {
        std::uint32_t offBegin, offEnd, onBegin, onEnd;
        int block;  // -1: the same in every frame
    };
    std::vector<std::uint8_t> header_;
    std::vector<std::uint8_t> offScan_, onScan_;
    std::vector<Run> runs_;

    // YUYV: the picture with every block off, and each block's two colours
    // as Y U Y V.
    std::vector<std::uint8_t> yuyvBase_;
    std::vector<std::uint32_t> yuyvOn_, yuyvOff_;

    mutable std::vector<char> states_;  // scratch, guarded by the caller
};

// Encodes an RGB picture (3 bytes per pixel) as a baseline 4:2:2 JPEG.
// `restartEveryBlock` puts a restart marker after every macroblock.
std::vector<std::uint8_t> encodeJpeg(const std::uint8_t* rgb, int width, int height, int quality,
                                     bool restartEveryBlock);

// Removes every DHT segment from a JPEG file.
std::vector<std::uint8_t> withoutHuffmanTables(const std::vector<std::uint8_t>& jpeg);

// Faults applied to a composed frame in place. Each returns the new length.
// Garbage (never 0xFF) over 64 bytes in the middle of the frame's data.
std::size_t corruptFrame(std::uint8_t* frame, std::size_t length, std::uint32_t seed);
// The first half of the frame.
std::size_t truncateFrame(std::size_t length);
// A JPEG frame made `target` bytes long by comment segments after its start
// marker (still a valid JPEG file); 0 when `capacity` is too small.
std::size_t padJpeg(std::uint8_t* frame, std::size_t length, std::size_t capacity, std::size_t target);

}  // namespace emucam
