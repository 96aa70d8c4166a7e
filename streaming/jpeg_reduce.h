// Reduction of a camera picture for live streaming, in memory.
//
// The source must be a JPEG (the direct capture path delivers Motion-JPEG
// frames; frames of UVC cameras often carry no Huffman tables, which the
// decoder fills in with the standard ones). It is decoded with the DCT-domain
// scaling of libjpeg-turbo, so that a quarter-size picture costs a fraction
// of a full decode: no full-size pixel buffer ever exists. The output has
// exactly width * scale / 100 by height * scale / 100 pixels (integer
// division): when the scaled decode is one pixel larger than that (a 100 x 75
// source decodes to 25 x 19 at one quarter and must give 25 x 18) the last
// column or row is cropped; a scale that no DCT factor matches is finished
// with an area resize of the nearest larger decode.
//
// A picture is reduced only when it decodes completely and cleanly, with
// one allowance: a picture that lacks nothing but its end-of-image marker
// (some cameras omit it; OpenCV decodes such pictures) is decoded as if the
// marker were there. Data that stops short in a scan, damaged data and
// anything else the decoder warns about is refused: its picture would be
// partly grey or wrong.
//
// Nothing here touches a file; nothing here logs: callers report.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace streaming {

// JPEG quality of the reduced pictures (the quality the pictures were
// always sent with), chroma subsampled 2x2.
inline constexpr int kReducedJpegQuality = 95;

// Sources are refused above this many pixels: a corrupt or hostile header
// may claim up to 65535 x 65535, which would ask for gigabytes on a board
// with 512 MB. 4096 x 4096 is far beyond any camera of the device.
inline constexpr long long kMaxSourcePixels = 4096LL * 4096LL;

enum class ReduceStatus {
    Ok,
    Empty,           // zero bytes
    NotJpeg,         // no JPEG header could be read (YUYV bytes, garbage)
    Corrupt,         // a JPEG header, but the data does not decode cleanly (truncated, damaged)
    SourceTooLarge,  // more than kMaxSourcePixels
    BadScale,        // scale outside 1..100, or a target of zero pixels
    EncodeFailed,
    OutputTooLarge,  // the encoded picture does not fit the caller's buffer
};

const char* reduceStatusText(ReduceStatus s);

struct ReduceResult {
    ReduceStatus status = ReduceStatus::Empty;
    int sourceWidth = 0, sourceHeight = 0;
    int width = 0, height = 0;  // of the reduced picture
    std::size_t length = 0;     // encoded bytes: written to the output (Ok), or too many (OutputTooLarge)
    std::string detail;         // the library's message, when it gave one
};

// Owns a decoder and an encoder and the scratch buffers between them, so
// that a stream of pictures is reduced without allocating per picture. Not
// shared between threads: each reducing thread has its own.
class JpegReducer {
public:
    JpegReducer();
    ~JpegReducer();
    JpegReducer(const JpegReducer&) = delete;
    JpegReducer& operator=(const JpegReducer&) = delete;

    // Reduces `src` (`len` bytes) to `scalePercent` of its width and height
    // and writes the JPEG into `out`, which holds `capacity` bytes. On any
    // status but Ok nothing usable is in `out`.
    ReduceResult reduce(const unsigned char* src, std::size_t len, int scalePercent, unsigned char* out,
                        std::size_t capacity);

private:
    void* decoder_ = nullptr;  // tjhandle
    void* encoder_ = nullptr;  // tjhandle
    std::vector<unsigned char> pixels_;   // scaled decode
    std::vector<unsigned char> resized_;  // area resize, when a crop is not enough
    std::vector<unsigned char> completed_;  // a source without its end marker, with the marker
    unsigned char* encoded_ = nullptr;    // the encoder's own buffer (tjAlloc), reused
    unsigned long encodedCapacity_ = 0;
};

}  // namespace streaming
