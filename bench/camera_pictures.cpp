#include "camera_pictures.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <stdexcept>

#include "emulation/emucam_frames.h"
#include "v4l2/device_setup.h"

namespace cmbench {
namespace {

constexpr int kCameraQuality = 80;

unsigned char clamp8(float v) { return static_cast<unsigned char>(std::lround(std::min(255.f, std::max(0.f, v)))); }

// Value noise: a grid of random values every `cell` pixels, interpolated
// smoothly between the grid points.
class ValueNoise {
public:
    ValueNoise(int width, int height, int cell, std::mt19937& rng) : cell_(cell) {
        gw_ = width / cell + 2;
        gh_ = height / cell + 2;
        std::uniform_real_distribution<float> u(-1.f, 1.f);
        grid_.resize(static_cast<std::size_t>(gw_) * gh_);
        for (float& v : grid_) v = u(rng);
    }
    float at(int x, int y) const {
        const float fx = static_cast<float>(x) / cell_, fy = static_cast<float>(y) / cell_;
        const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
        float tx = fx - ix, ty = fy - iy;
        tx = tx * tx * (3 - 2 * tx);
        ty = ty * ty * (3 - 2 * ty);
        const float a = g(ix, iy), b = g(ix + 1, iy), c = g(ix, iy + 1), d = g(ix + 1, iy + 1);
        return (a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty;
    }

private:
    float g(int x, int y) const { return grid_[static_cast<std::size_t>(y) * gw_ + x]; }
    int cell_, gw_ = 0, gh_ = 0;
    std::vector<float> grid_;
};

// Texture with a 1/f amplitude spectrum: octaves from `largest` pixels down
// to 2, each half the size and about half the amplitude of the one before.
class FractalNoise {
public:
    FractalNoise(int width, int height, int largest, std::mt19937& rng) {
        for (int cell = largest; cell >= 2; cell /= 2) octaves_.emplace_back(width, height, cell, rng);
    }
    float at(int x, int y) const {
        float sum = 0, amp = 1;
        for (const ValueNoise& o : octaves_) {
            sum += amp * o.at(x, y);
            amp *= 0.5f;
        }
        return sum;
    }

private:
    std::vector<ValueNoise> octaves_;
};

struct Box {
    int x0, y0, x1, y1;
    float r, g, b;
    float texture;  // amplitude of the object's own fine texture
};

Bytes encode(const RgbPicture& p, int subsamp, int quality) {
    tjhandle h = tjInitCompress();
    if (h == nullptr) throw std::runtime_error("tjInitCompress");
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(h, p.rgb.data(), p.width, p.width * 3, p.height, TJPF_RGB, &out, &size, subsamp,
                               quality, TJFLAG_ACCURATEDCT);
    tjDestroy(h);
    if (rc != 0) throw std::runtime_error("tjCompress2");
    Bytes b(out, out + size);
    tjFree(out);
    return b;
}

}  // namespace

const char* contentName(Content c) { return c == Content::Scene ? "scene" : "emulated"; }

RgbPicture makeScene(int width, int height, unsigned seed) {
    std::mt19937 rng(seed * 7919u + 17u);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    const int largest = std::max(8, std::min(width, height) / 3);
    FractalNoise light(width, height, largest, rng);     // luminance texture of the background
    FractalNoise tint(width, height, largest, rng);      // slow colour drift
    FractalNoise fine(width, height, 16, rng);           // texture of the objects
    const float baseR = 90 + 60 * u(rng), baseG = 90 + 60 * u(rng), baseB = 80 + 60 * u(rng);

    // A room: a few walls, furniture and windows as flat boxes.
    // Large ones first, then smaller things in front of them (shelves,
    // frames, cables).
    std::vector<Box> boxes;
    const int nLarge = 5 + static_cast<int>(u(rng) * 5), nSmall = 10 + static_cast<int>(u(rng) * 15);
    for (int k = 0; k < nLarge + nSmall; ++k) {
        const bool large = k < nLarge;
        const bool thin = !large && u(rng) < 0.3f;
        int w = static_cast<int>((large ? 0.1f + 0.35f * u(rng) : 0.02f + 0.1f * u(rng)) * width);
        int h = static_cast<int>((large ? 0.1f + 0.45f * u(rng) : 0.02f + 0.15f * u(rng)) * height);
        if (thin) (u(rng) < 0.5f ? w : h) = 2 + static_cast<int>(u(rng) * 4);
        const int x0 = static_cast<int>(u(rng) * (width - w));
        const int y0 = static_cast<int>(u(rng) * (height - h));
        const bool bright = u(rng) < 0.2f;  // a window
        const float level = bright ? 200 + 40 * u(rng) : 30 + 150 * u(rng);
        boxes.push_back({x0, y0, x0 + w, y0 + h, level * (0.8f + 0.4f * u(rng)), level * (0.8f + 0.4f * u(rng)),
                         level * (0.8f + 0.4f * u(rng)), bright ? 1.5f : 2.f + 4.f * u(rng)});
    }

    std::vector<float> img(static_cast<std::size_t>(width) * height * 3);
    const float cx = width * (0.3f + 0.4f * u(rng)), cy = height * (0.2f + 0.3f * u(rng));
    const float reach = static_cast<float>(width * width + height * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float l = 12.f * light.at(x, y);
            const float t = 10.f * tint.at(x, y);
            float r = baseR + l + t, g = baseG + l, b = baseB + l - t;
            for (const Box& bx : boxes) {
                if (x >= bx.x0 && x < bx.x1 && y >= bx.y0 && y < bx.y1) {
                    const float f = bx.texture * fine.at(x, y);
                    r = bx.r + f;
                    g = bx.g + f;
                    b = bx.b + f;
                }
            }
            // Soft light from one side of the room, darker corners.
            const float dx = x - cx, dy = y - cy;
            const float lightness = 1.15f - 0.55f * (dx * dx + dy * dy) / reach;
            float* p = &img[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] = r * lightness;
            p[1] = g * lightness;
            p[2] = b * lightness;
        }
    }

    // A lens that is not quite sharp (a 3 x 3 blur), then sensor noise:
    // mostly in the luminance, a little per channel.
    std::normal_distribution<float> lumaNoise(0.f, 0.8f), chromaNoise(0.f, 0.4f);
    RgbPicture out{width, height, Bytes(img.size())};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const float n = lumaNoise(rng);
            for (int c = 0; c < 3; ++c) {
                float s = 0;
                int count = 0;
                for (int yy = std::max(0, y - 1); yy <= std::min(height - 1, y + 1); ++yy)
                    for (int xx = std::max(0, x - 1); xx <= std::min(width - 1, x + 1); ++xx) {
                        const float w = (xx == x && yy == y) ? 4.f : 1.f;
                        s += w * img[(static_cast<std::size_t>(yy) * width + xx) * 3 + c];
                        count += static_cast<int>(w);
                    }
                out.rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c] = clamp8(s / count + n + chromaNoise(rng));
            }
        }
    }
    return out;
}

std::vector<Bytes> cameraFrames(Content content, int width, int height, int count) {
    std::vector<Bytes> frames;
    if (content == Content::Scene) {
        for (int k = 0; k < count; ++k) {
            Bytes j = encode(makeScene(width, height, static_cast<unsigned>(k + 1)), TJSAMP_422, kCameraQuality);
            frames.push_back(k % 2 ? emucam::withoutHuffmanTables(j) : j);
        }
        return frames;
    }
    // The emulated cameras 0 to 3 in turn, each at its own frame counter, at
    // the JPEG quality the daemon asks its cameras for.
    std::vector<std::unique_ptr<emucam::FrameSource>> sources;
    for (int camera = 0; camera < 4; ++camera)
        sources.push_back(std::make_unique<emucam::FrameSource>(camera, V4L2_PIX_FMT_MJPEG, width, height,
                                                                kJpegQuality, camera % 2 == 1));
    for (int k = 0; k < count; ++k) {
        const emucam::FrameSource& s = *sources[static_cast<std::size_t>(k % 4)];
        Bytes f(s.maxSize());
        const std::size_t n = s.compose(static_cast<std::uint32_t>(100 + 37 * k), f.data(), f.size());
        if (n == 0) throw std::runtime_error("emulated frame does not fit");
        f.resize(n);
        frames.push_back(std::move(f));
    }
    return frames;
}

double meanLength(const std::vector<Bytes>& frames) {
    double s = 0;
    for (const Bytes& f : frames) s += static_cast<double>(f.size());
    return frames.empty() ? 0 : s / static_cast<double>(frames.size());
}

RgbPicture decodeFull(const Bytes& jpeg) {
    RgbPicture p;
    tjhandle h = tjInitDecompress();
    if (h == nullptr) return p;
    int w = 0, hh = 0, sub = 0, cs = 0;
    if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hh, &sub, &cs) == 0 && w > 0 && hh > 0) {
        p.rgb.resize(static_cast<std::size_t>(w) * hh * 3);
        if (tjDecompress2(h, jpeg.data(), jpeg.size(), p.rgb.data(), w, w * 3, hh, TJPF_RGB, TJFLAG_ACCURATEDCT) == 0) {
            p.width = w;
            p.height = hh;
        } else {
            p.rgb.clear();
        }
    }
    tjDestroy(h);
    return p;
}

RgbPicture areaReduced(const RgbPicture& full, int width, int height) {
    RgbPicture out{width, height, Bytes(static_cast<std::size_t>(width) * height * 3)};
    // Each output pixel is the mean of the source area it covers; the edge
    // pixels of a source that does not divide evenly count in part.
    const double sx = static_cast<double>(full.width) / width, sy = static_cast<double>(full.height) / height;
    for (int y = 0; y < height; ++y) {
        const double y0 = y * sy, y1 = (y + 1) * sy;
        for (int x = 0; x < width; ++x) {
            const double x0 = x * sx, x1 = (x + 1) * sx;
            double sum[3] = {0, 0, 0}, area = 0;
            for (int yy = static_cast<int>(y0); yy < std::min<double>(full.height, std::ceil(y1)); ++yy) {
                const double wy = std::min<double>(yy + 1, y1) - std::max<double>(yy, y0);
                for (int xx = static_cast<int>(x0); xx < std::min<double>(full.width, std::ceil(x1)); ++xx) {
                    const double w = wy * (std::min<double>(xx + 1, x1) - std::max<double>(xx, x0));
                    const unsigned char* p = &full.rgb[(static_cast<std::size_t>(yy) * full.width + xx) * 3];
                    for (int c = 0; c < 3; ++c) sum[c] += w * p[c];
                    area += w;
                }
            }
            for (int c = 0; c < 3; ++c)
                out.rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c] =
                    static_cast<unsigned char>(std::lround(sum[c] / area));
        }
    }
    return out;
}

double psnr(const RgbPicture& a, const RgbPicture& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size() || a.rgb.empty()) return -1;
    double se = 0;
    for (std::size_t k = 0; k < a.rgb.size(); ++k) {
        const double d = static_cast<double>(a.rgb[k]) - b.rgb[k];
        se += d * d;
    }
    if (se == 0) return 99;
    const double mse = se / static_cast<double>(a.rgb.size());
    return 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace cmbench
