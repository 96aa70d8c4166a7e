// The picture an emulated camera shows, and the block pattern in it that
// tells which camera took a frame and which frame it is.
//
// The bottom third of every frame is a band of 8 x 4 big cells, each pure
// white or pure black. Four corner cells are references (top-left and
// bottom-right white, the other two black); the other 28 carry, most
// significant bit first in reading order, the camera number (3 bits), the
// frame counter (20 bits) and a CRC-5 of those 23 bits. The layout is given
// in fractions of the frame, so it survives scaling (the live stream sends
// quarter-size pictures), JPEG and H.264 compression: a reader samples the
// middle of each cell of a grey picture.
//
// Above the band each camera paints its own colour, its number as a big
// digit (top right) and, in frames at least 640 wide, the frame counter in
// decimal (top left), so that a person sees the same as a test reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace emucam {

inline constexpr int kPatternColumns = 8;
inline constexpr int kPatternRows = 4;
inline constexpr int kCounterBits = 20;
inline constexpr std::uint32_t kCounterMask = (1u << kCounterBits) - 1;
inline constexpr int kCameraBits = 3;
inline constexpr int kCheckBits = 5;

struct PatternReading {
    int camera = -1;
    std::uint32_t counter = 0;  // frame counter modulo 2^20
    bool operator==(const PatternReading&) const = default;
};

// The 28 data bits for a camera and counter (camera, counter, CRC-5).
std::uint32_t patternWord(int camera, std::uint32_t counter);

// Whether cell (column, row) of the band is white for `word`.
bool cellIsWhite(int column, int row, std::uint32_t word);

// Reads the pattern from a grey picture (one byte per pixel, rows `stride`
// bytes apart). Empty when the picture carries no readable pattern (too
// little contrast between the reference cells, a cell that is neither
// clearly white nor black, or a wrong check sum).
std::optional<PatternReading> readPattern(const std::uint8_t* gray, int width, int height, std::ptrdiff_t stride);

// Reads the pattern from a YUYV (4:2:2, Y0 U Y1 V) picture.
std::optional<PatternReading> readYuyvPattern(const std::uint8_t* yuyv, int width, int height);

// A rectangle of the picture (pixels, half-open).
struct Rect {
    int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

struct Rgb {
    std::uint8_t r = 0, g = 0, b = 0;
};

// The picture of one camera at one size. Everything that changes from
// frame to frame lies in `blocks()`: rectangles on the 16 x 8 pixel grid of
// a 4:2:2 JPEG frame, each in one of two colours per frame. Everything
// else is the same in every frame.
class Scene {
public:
    struct Block {
        Rect rect;
        Rgb on, off;
        // What decides the block's state: a band cell, or a pixel of a
        // counter digit.
        enum class Kind { kCell, kDigitPixel } kind = Kind::kCell;
        int a = 0, b = 0, c = 0;  // cell: column, row; digit pixel: digit place, font column, font row
    };

    // Width a multiple of 16, height of 8, at least 320 x 240.
    Scene(int camera, int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    int camera() const { return camera_; }
    const std::vector<Block>& blocks() const { return blocks_; }

    bool blockOn(std::size_t index, std::uint32_t counter) const;
    // The state of every block for `counter` (1 on, 0 off).
    void blockStates(std::uint32_t counter, std::vector<char>& on) const;

    // The picture for `counter` as RGB, 3 bytes per pixel.
    void render(std::uint32_t counter, std::vector<std::uint8_t>& rgb) const;
    // The picture with every block in the same state.
    void renderAll(bool on, std::vector<std::uint8_t>& rgb) const;

private:
    void paintStatic(std::vector<std::uint8_t>& rgb) const;
    static void fill(std::vector<std::uint8_t>& rgb, int width, const Rect& r, Rgb c);

    int camera_;
    int width_;
    int height_;
    std::vector<Block> blocks_;
    Rect cameraDigit_;
    int cameraDigitPixel_ = 0;
    Rect counterBox_;
    bool hasCounter_ = false;
};

// The band cell (column, row) of a width x height picture as drawn: its
// nominal place rounded to the 16 x 8 grid.
Rect drawnCell(int column, int row, int width, int height);

// The decimal digits shown for a counter (7 places, most significant first).
inline constexpr int kCounterDigits = 7;
int counterDigit(std::uint32_t counter, int place);

}  // namespace emucam
