// Real JPEG pictures for the streaming tests, made with libjpeg-turbo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cmtest {

using Bytes = std::vector<unsigned char>;

struct Rgb {
    int r, g, b;
};

// A camera-like picture: a colour field with gradients, a few bars and some
// noise, so that it compresses like a real scene rather than a flat card.
// `tint` dominates the picture, so that a reduced copy still tells which
// camera it came from. `subsamp` is a TJSAMP_* value; `noise` is the
// largest random deviation per pixel (sensor noise).
Bytes makeCameraJpeg(int width, int height, Rgb tint, int subsamp, int quality = 85, unsigned seed = 1,
                     int noise = 12);

// A picture of one flat colour.
Bytes makeFlatJpeg(int width, int height, Rgb colour, int subsamp = 2 /* TJSAMP_420 */);

bool hasHuffmanTables(const Bytes& jpeg);

struct Decoded {
    bool ok = false;
    int width = 0, height = 0;
    Bytes rgb;  // width * height * 3
    Rgb mean() const;
};

// A full decode (for checking what was sent).
Decoded decodeJpeg(const unsigned char* data, std::size_t len);
inline Decoded decodeJpeg(const Bytes& b) { return decodeJpeg(b.data(), b.size()); }

// True when the two colours differ by at most `tolerance` in every channel.
bool near(const Rgb& a, const Rgb& b, int tolerance);

// The distinct tint of camera input i (0..3).
Rgb inputTint(int i);

// Which of the four input tints `c` is closest to (-1 when none is near).
int inputOfTint(const Rgb& c, int tolerance = 40);

}  // namespace cmtest
