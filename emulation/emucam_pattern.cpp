#include "emulation/emucam_pattern.h"

#include <algorithm>
#include <cmath>

namespace emucam {
namespace {

constexpr int kDataBits = kCameraBits + kCounterBits + kCheckBits;  // 28

// Reference cells: (column, row, white).
struct RefCell {
    int column, row;
    bool white;
};
constexpr RefCell kRefs[4] = {{0, 0, true}, {kPatternColumns - 1, 0, false}, {0, kPatternRows - 1, false},
                              {kPatternColumns - 1, kPatternRows - 1, true}};

bool isRef(int column, int row, bool* white = nullptr) {
    for (const RefCell& r : kRefs) {
        if (r.column == column && r.row == row) {
            if (white != nullptr) *white = r.white;
            return true;
        }
    }
    return false;
}

// Position of a data cell in the bit sequence, -1 for a reference cell.
int dataIndex(int column, int row) {
    int index = 0;
    for (int r = 0; r < kPatternRows; ++r) {
        for (int c = 0; c < kPatternColumns; ++c) {
            if (isRef(c, r)) continue;
            if (c == column && r == row) return index;
            ++index;
        }
    }
    return -1;
}

// CRC-5 (polynomial x^5 + x^4 + x^2 + 1) of the low `bits` bits of v, most
// significant first.
std::uint32_t crc5(std::uint32_t v, int bits) {
    std::uint32_t crc = 0x1f;
    for (int i = bits - 1; i >= 0; --i) {
        std::uint32_t in = (v >> i) & 1u;
        std::uint32_t top = (crc >> 4) & 1u;
        crc = (crc << 1) & 0x1f;
        if (in ^ top) crc ^= 0x15;
    }
    return crc;
}

// 3 x 5 font, rows top to bottom, bit 2 = left column.
constexpr std::uint8_t kFont[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};

bool fontPixel(int digit, int column, int row) { return (kFont[digit][row] >> (2 - column)) & 1u; }

int roundTo(double v, int unit) { return unit * static_cast<int>(std::floor(v / unit + 0.5)); }

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kCounterBackground{40, 40, 40};
constexpr Rgb kCameraColours[8] = {{210, 50, 50}, {40, 160, 60},  {50, 80, 210},  {220, 190, 30},
                                   {160, 60, 200}, {30, 190, 190}, {230, 120, 30}, {120, 120, 120}};

// Mean of the middle 40% of a nominal rectangle [x0, x1) x [y0, y1).
double sampleMiddle(const std::uint8_t* p, int step, std::ptrdiff_t stride, double x0, double x1, double y0,
                    double y1, int width, int height) {
    double w = x1 - x0, h = y1 - y0;
    int sx0 = static_cast<int>(std::floor(x0 + 0.3 * w)), sx1 = static_cast<int>(std::ceil(x0 + 0.7 * w));
    int sy0 = static_cast<int>(std::floor(y0 + 0.3 * h)), sy1 = static_cast<int>(std::ceil(y0 + 0.7 * h));
    sx0 = std::clamp(sx0, 0, width - 1);
    sy0 = std::clamp(sy0, 0, height - 1);
    sx1 = std::clamp(sx1, sx0 + 1, width);
    sy1 = std::clamp(sy1, sy0 + 1, height);
    long sum = 0;
    long n = 0;
    for (int y = sy0; y < sy1; ++y) {
        const std::uint8_t* row = p + y * stride;
        for (int x = sx0; x < sx1; ++x) {
            sum += row[x * step];
            ++n;
        }
    }
    return static_cast<double>(sum) / static_cast<double>(n);
}

std::optional<PatternReading> readSamples(const std::uint8_t* p, int step, std::ptrdiff_t stride, int width,
                                          int height) {
    if (p == nullptr || width < kPatternColumns * 2 || height < kPatternRows * 6) return std::nullopt;
    double mean[kPatternRows][kPatternColumns];
    for (int r = 0; r < kPatternRows; ++r) {
        for (int c = 0; c < kPatternColumns; ++c) {
            double x0 = static_cast<double>(width) * c / kPatternColumns;
            double x1 = static_cast<double>(width) * (c + 1) / kPatternColumns;
            double y0 = height * 2.0 / 3.0 + height * static_cast<double>(r) / 12.0;
            double y1 = height * 2.0 / 3.0 + height * static_cast<double>(r + 1) / 12.0;
            mean[r][c] = sampleMiddle(p, step, stride, x0, x1, y0, y1, width, height);
        }
    }
    double minWhite = 255, maxBlack = 0;
    for (const RefCell& ref : kRefs) {
        double m = mean[ref.row][ref.column];
        if (ref.white) minWhite = std::min(minWhite, m);
        else maxBlack = std::max(maxBlack, m);
    }
    double contrast = minWhite - maxBlack;
    if (contrast < 40) return std::nullopt;
    double threshold = (minWhite + maxBlack) / 2;
    std::uint32_t word = 0;
    for (int r = 0; r < kPatternRows; ++r) {
        for (int c = 0; c < kPatternColumns; ++c) {
            int i = dataIndex(c, r);
            if (i < 0) continue;
            double m = mean[r][c];
            if (std::fabs(m - threshold) < contrast * 0.15) return std::nullopt;
            if (m > threshold) word |= 1u << (kDataBits - 1 - i);
        }
    }
    std::uint32_t payload = word >> kCheckBits;
    if (crc5(payload, kCameraBits + kCounterBits) != (word & 0x1f)) return std::nullopt;
    PatternReading reading;
    reading.camera = static_cast<int>(payload >> kCounterBits);
    reading.counter = payload & kCounterMask;
    return reading;
}

}  // namespace

std::uint32_t patternWord(int camera, std::uint32_t counter) {
    std::uint32_t payload = (static_cast<std::uint32_t>(camera) & 7u) << kCounterBits | (counter & kCounterMask);
    return payload << kCheckBits | crc5(payload, kCameraBits + kCounterBits);
}

bool cellIsWhite(int column, int row, std::uint32_t word) {
    bool white = false;
    if (isRef(column, row, &white)) return white;
    int i = dataIndex(column, row);
    return i >= 0 && ((word >> (kDataBits - 1 - i)) & 1u) != 0;
}

std::optional<PatternReading> readPattern(const std::uint8_t* gray, int width, int height, std::ptrdiff_t stride) {
    return readSamples(gray, 1, stride, width, height);
}

std::optional<PatternReading> readYuyvPattern(const std::uint8_t* yuyv, int width, int height) {
    return readSamples(yuyv, 2, static_cast<std::ptrdiff_t>(width) * 2, width, height);
}

Rect drawnCell(int column, int row, int width, int height) {
    Rect r;
    r.x0 = roundTo(static_cast<double>(width) * column / kPatternColumns, 16);
    r.x1 = roundTo(static_cast<double>(width) * (column + 1) / kPatternColumns, 16);
    r.y0 = roundTo(height * 2.0 / 3.0 + height * static_cast<double>(row) / 12.0, 8);
    r.y1 = row == kPatternRows - 1 ? height : roundTo(height * 2.0 / 3.0 + height * (row + 1.0) / 12.0, 8);
    return r;
}

int counterDigit(std::uint32_t counter, int place) {
    std::uint32_t v = counter;
    for (int i = kCounterDigits - 1; i > place; --i) v /= 10;
    return static_cast<int>(v % 10);
}

Scene::Scene(int camera, int width, int height) : camera_(camera), width_(width), height_(height) {
    for (int r = 0; r < kPatternRows; ++r) {
        for (int c = 0; c < kPatternColumns; ++c) {
            Block b;
            b.rect = drawnCell(c, r, width, height);
            b.on = kWhite;
            b.off = kBlack;
            b.kind = Block::Kind::kCell;
            b.a = c;
            b.b = r;
            blocks_.push_back(b);
        }
    }
    const int bandTop = drawnCell(0, 0, width, height).y0;
    const int scale = width / 640;
    const int margin = 16 * std::max(scale, 1);
    cameraDigitPixel_ = scale >= 1 ? 32 * scale : 16;
    cameraDigit_ = {width - margin - 3 * cameraDigitPixel_, margin, width - margin, margin + 5 * cameraDigitPixel_};
    if (cameraDigit_.y1 > bandTop) cameraDigitPixel_ = 0;  // no room: the band says it all
    if (scale >= 1) {
        const int fp = 16 * scale;
        const int x0 = margin, y0 = margin;
        counterBox_ = {x0 - fp / 2, y0 - fp / 2, x0 + (kCounterDigits * 4 - 1) * fp + fp / 2, y0 + 5 * fp + fp / 2};
        int limit = cameraDigitPixel_ > 0 ? cameraDigit_.x0 : width;
        hasCounter_ = counterBox_.x1 <= limit && counterBox_.y1 <= bandTop;
        if (hasCounter_) {
            for (int d = 0; d < kCounterDigits; ++d) {
                for (int py = 0; py < 5; ++py) {
                    for (int px = 0; px < 3; ++px) {
                        Block b;
                        int x = x0 + (d * 4 + px) * fp;
                        int y = y0 + py * fp;
                        b.rect = {x, y, x + fp, y + fp};
                        b.on = kWhite;
                        b.off = kCounterBackground;
                        b.kind = Block::Kind::kDigitPixel;
                        b.a = d;
                        b.b = px;
                        b.c = py;
                        blocks_.push_back(b);
                    }
                }
            }
        }
    }
}

bool Scene::blockOn(std::size_t index, std::uint32_t counter) const {
    const Block& b = blocks_[index];
    if (b.kind == Block::Kind::kCell) return cellIsWhite(b.a, b.b, patternWord(camera_, counter));
    return fontPixel(counterDigit(counter, b.a), b.b, b.c);
}

void Scene::blockStates(std::uint32_t counter, std::vector<char>& on) const {
    const std::uint32_t word = patternWord(camera_, counter);
    int digits[kCounterDigits];
    for (int d = 0; d < kCounterDigits; ++d) digits[d] = counterDigit(counter, d);
    on.resize(blocks_.size());
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const Block& b = blocks_[i];
        on[i] = b.kind == Block::Kind::kCell ? cellIsWhite(b.a, b.b, word) : fontPixel(digits[b.a], b.b, b.c);
    }
}

void Scene::fill(std::vector<std::uint8_t>& rgb, int width, const Rect& r, Rgb c) {
    for (int y = r.y0; y < r.y1; ++y) {
        std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * width + r.x0) * 3;
        for (int x = r.x0; x < r.x1; ++x, p += 3) {
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    }
}

void Scene::paintStatic(std::vector<std::uint8_t>& rgb) const {
    rgb.assign(static_cast<std::size_t>(width_) * height_ * 3, 0);
    const Rgb base = kCameraColours[camera_ & 7];
    const int bandTop = drawnCell(0, 0, width_, height_).y0;
    for (int y = 0; y < bandTop; ++y) {
        double shade = 0.45 + 0.55 * (1.0 - static_cast<double>(y) / bandTop);
        std::uint8_t* p = rgb.data() + static_cast<std::size_t>(y) * width_ * 3;
        for (int x = 0; x < width_; ++x, p += 3) {
            double lift = 25.0 * x / width_;
            p[0] = static_cast<std::uint8_t>(std::min(255.0, base.r * shade + lift));
            p[1] = static_cast<std::uint8_t>(std::min(255.0, base.g * shade + lift));
            p[2] = static_cast<std::uint8_t>(std::min(255.0, base.b * shade + lift));
        }
    }
    if (cameraDigitPixel_ > 0) {
        const int digit = camera_ % 10;
        for (int py = 0; py < 5; ++py) {
            for (int px = 0; px < 3; ++px) {
                if (!fontPixel(digit, px, py)) continue;
                Rect r{cameraDigit_.x0 + px * cameraDigitPixel_, cameraDigit_.y0 + py * cameraDigitPixel_,
                       cameraDigit_.x0 + (px + 1) * cameraDigitPixel_, cameraDigit_.y0 + (py + 1) * cameraDigitPixel_};
                fill(rgb, width_, r, kWhite);
            }
        }
    }
    if (hasCounter_) fill(rgb, width_, counterBox_, kCounterBackground);
}

void Scene::render(std::uint32_t counter, std::vector<std::uint8_t>& rgb) const {
    paintStatic(rgb);
    for (std::size_t i = 0; i < blocks_.size(); ++i)
        fill(rgb, width_, blocks_[i].rect, blockOn(i, counter) ? blocks_[i].on : blocks_[i].off);
}

void Scene::renderAll(bool on, std::vector<std::uint8_t>& rgb) const {
    paintStatic(rgb);
    for (const Block& b : blocks_) fill(rgb, width_, b.rect, on ? b.on : b.off);
}

}  // namespace emucam
