#include "jpeg_samples.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>

namespace cmtest {
namespace {

Bytes encode(const Bytes& rgb, int width, int height, int subsamp, int quality) {
    tjhandle h = tjInitCompress();
    if (h == nullptr) throw std::runtime_error("tjInitCompress");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(h, rgb.data(), width, width * 3, height, TJPF_RGB, &out, &size, subsamp, quality, 0);
    tjDestroy(h);
    if (rc != 0) throw std::runtime_error("tjCompress2");
    Bytes b(out, out + size);
    tjFree(out);
    return b;
}

int clamp8(int v) { return std::min(255, std::max(0, v)); }

}  // namespace

Bytes makeCameraJpeg(int width, int height, Rgb tint, int subsamp, int quality, unsigned seed, int noiseLevel) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-noiseLevel, noiseLevel);
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int shade = (x * 40) / std::max(1, width) + (y * 30) / std::max(1, height) - 35;
            bool bar = ((x / std::max(1, width / 16)) % 5) == 0 && y > height / 3;
            int n = noise(rng);
            unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(clamp8(tint.r + shade + n + (bar ? 20 : 0)));
            p[1] = static_cast<unsigned char>(clamp8(tint.g + shade + n + (bar ? 20 : 0)));
            p[2] = static_cast<unsigned char>(clamp8(tint.b + shade + n + (bar ? 20 : 0)));
        }
    }
    return encode(rgb, width, height, subsamp, quality);
}

Bytes makeFlatJpeg(int width, int height, Rgb colour, int subsamp) {
    Bytes rgb(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t k = 0; k < rgb.size(); k += 3) {
        rgb[k] = static_cast<unsigned char>(colour.r);
        rgb[k + 1] = static_cast<unsigned char>(colour.g);
        rgb[k + 2] = static_cast<unsigned char>(colour.b);
    }
    return encode(rgb, width, height, subsamp, 90);
}

bool hasHuffmanTables(const Bytes& jpeg) {
    for (std::size_t p = 2; p + 4 <= jpeg.size();) {
        if (jpeg[p] != 0xFF) return false;
        if (jpeg[p + 1] == 0xC4) return true;
        if (jpeg[p + 1] == 0xDA) return false;
        p += 2 + ((static_cast<std::size_t>(jpeg[p + 2]) << 8) | jpeg[p + 3]);
    }
    return false;
}

Decoded decodeJpeg(const unsigned char* data, std::size_t len) {
    Decoded d;
    tjhandle h = tjInitDecompress();
    if (h == nullptr) return d;
    int w = 0, hh = 0, ss = 0, cs = 0;
    if (tjDecompressHeader3(h, data, len, &w, &hh, &ss, &cs) == 0) {
        d.rgb.resize(static_cast<std::size_t>(w) * hh * 3);
        if (tjDecompress2(h, data, len, d.rgb.data(), w, w * 3, hh, TJPF_RGB, TJFLAG_STOPONWARNING) == 0) {
            d.ok = true;
            d.width = w;
            d.height = hh;
        }
    }
    tjDestroy(h);
    return d;
}

Rgb Decoded::mean() const {
    long long s[3] = {0, 0, 0};
    std::size_t n = rgb.size() / 3;
    if (n == 0) return {0, 0, 0};
    for (std::size_t k = 0; k < rgb.size(); k += 3)
        for (int c = 0; c < 3; ++c) s[c] += rgb[k + c];
    return {static_cast<int>(s[0] / static_cast<long long>(n)), static_cast<int>(s[1] / static_cast<long long>(n)),
            static_cast<int>(s[2] / static_cast<long long>(n))};
}

bool near(const Rgb& a, const Rgb& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

Rgb inputTint(int i) {
    static const Rgb tints[4] = {{200, 60, 60}, {60, 190, 70}, {60, 80, 200}, {200, 190, 60}};
    return tints[i & 3];
}

int inputOfTint(const Rgb& c, int tolerance) {
    for (int i = 0; i < 4; ++i)
        if (near(c, inputTint(i), tolerance)) return i;
    return -1;
}

}  // namespace cmtest
