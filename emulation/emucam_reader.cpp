#include "emulation/emucam_reader.h"

#include <turbojpeg.h>

namespace emucam {

DecodeResult decodeJpegGray(const void* jpeg, std::size_t size, GrayImage& out, std::string* message) {
    tjhandle tj = tjInitDecompress();
    if (tj == nullptr) {
        if (message != nullptr) *message = "cannot start the JPEG decoder";
        return DecodeResult::kError;
    }
    auto* data = static_cast<const unsigned char*>(jpeg);
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    DecodeResult result = DecodeResult::kOk;
    if (tjDecompressHeader3(tj, data, static_cast<unsigned long>(size), &w, &h, &subsamp, &colorspace) != 0) {
        if (message != nullptr) *message = tjGetErrorStr2(tj);
        result = DecodeResult::kError;
    } else {
        out.width = w;
        out.height = h;
        out.pixels.assign(static_cast<std::size_t>(w) * h, 0);
        if (tjDecompress2(tj, data, static_cast<unsigned long>(size), out.pixels.data(), w, w, h, TJPF_GRAY, 0) != 0) {
            if (message != nullptr) *message = tjGetErrorStr2(tj);
            result = tjGetErrorCode(tj) == TJERR_WARNING ? DecodeResult::kWarning : DecodeResult::kError;
        }
    }
    tjDestroy(tj);
    return result;
}

std::optional<PatternReading> readJpegPattern(const void* jpeg, std::size_t size) {
    GrayImage img;
    if (decodeJpegGray(jpeg, size, img) != DecodeResult::kOk) return std::nullopt;
    return readPattern(img.pixels.data(), img.width, img.height, img.width);
}

}  // namespace emucam
