// Reading frames back: JPEG decoding to grey pixels (libturbojpeg) and the
// block pattern of a decoded frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulation/emucam_pattern.h"

namespace emucam {

struct GrayImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width x height, no padding
};

enum class DecodeResult {
    kOk,
    kWarning,  // decoded, but the data was damaged (corrupt or cut short)
    kError,    // not decodable at all
};

// Decodes a JPEG file to grey; `message` receives the decoder's complaint.
DecodeResult decodeJpegGray(const void* jpeg, std::size_t size, GrayImage& out, std::string* message = nullptr);

// Reads the block pattern of a JPEG frame; empty when it does not decode
// cleanly or carries no readable pattern.
std::optional<PatternReading> readJpegPattern(const void* jpeg, std::size_t size);

}  // namespace emucam
