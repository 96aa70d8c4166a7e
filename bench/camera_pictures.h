// Pictures for the benchmarks, as cameras deliver them.
//
// Two kinds of content:
//   - Scene: natural-looking synthetic views as an ordinary webcam sees a
//     room: texture with the 1/f spectrum of natural images, flat objects
//     with hard edges, soft lighting, a lens that is not quite sharp and
//     sensor noise; encoded as the camera does (baseline 4:2:2, quality
//     80, half of them without Huffman tables). At 1280 x 720 they come to
//     about 40 KB a frame, the size of an ordinary webcam's frame of an
//     indoor view.
//   - Emulated: the frames of the emulated cameras (emulation/) at the JPEG
//     quality the daemon sets (95), byte for byte what the daemon on the
//     emulated board receives; half of the cameras leave the Huffman
//     tables out.
// Everything is deterministic: the same seed gives the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cmbench {

using Bytes = std::vector<unsigned char>;

enum class Content { Scene, Emulated };

const char* contentName(Content c);

// An RGB picture (3 bytes per pixel, rows back to back).
struct RgbPicture {
    int width = 0, height = 0;
    Bytes rgb;
};

// The natural-looking scene number `seed` at the given size.
RgbPicture makeScene(int width, int height, unsigned seed);

// `count` camera frames (JPEG files) of the given content and size.
std::vector<Bytes> cameraFrames(Content content, int width, int height, int count);

// Mean length in bytes.
double meanLength(const std::vector<Bytes>& frames);

// Full-size decode to RGB with libjpeg-turbo (accurate IDCT, smooth
// upsampling); an empty picture when the frame does not decode.
RgbPicture decodeFull(const Bytes& jpeg);

// The reference a reduced picture is judged against: the full-size decode
// reduced to width x height by area averaging.
RgbPicture areaReduced(const RgbPicture& full, int width, int height);

// Peak signal-to-noise ratio of `b` against `a` (same size), over all three
// channels, in dB; 99 for identical pictures, -1 when the sizes differ.
double psnr(const RgbPicture& a, const RgbPicture& b);

}  // namespace cmbench
