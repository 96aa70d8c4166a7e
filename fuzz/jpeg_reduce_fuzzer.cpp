// The picture reduction fed any bytes as a camera frame: the first byte
// picks the scale, the rest is the frame. A reduction either refuses the
// frame with a status or gives a JPEG that decodes to exactly the promised
// size and fits the output buffer; it never reads or writes outside its
// buffers (AddressSanitizer) and never asks for more than its pixel limit.
#include <turbojpeg.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "streaming/jpeg_reduce.h"

namespace {

// The streaming scale most of the time; any scale, valid or not, otherwise.
int scaleFrom(std::uint8_t b) {
    if (b < 128) return 25;
    return static_cast<int>(b) - 150;  // -22 .. 105
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    static streaming::JpegReducer reducer;
    static tjhandle check = tjInitDecompress();
    const int scale = scaleFrom(data[0]);
    // The output buffer the streaming thread gives, and a small one that
    // most outputs overflow.
    static std::vector<unsigned char> out(256 * 1024);
    const std::size_t capacity = (data[0] & 1) ? out.size() : 512;

    streaming::ReduceResult r = reducer.reduce(data + 1, size - 1, scale, out.data(), capacity);
    if (r.status != streaming::ReduceStatus::Ok) {
        if (r.status == streaming::ReduceStatus::OutputTooLarge && r.length <= capacity) std::abort();
        return 0;
    }
    if (scale < 1 || scale > 100) std::abort();
    if (static_cast<long long>(r.sourceWidth) * r.sourceHeight > streaming::kMaxSourcePixels) std::abort();
    if (r.width != r.sourceWidth * scale / 100 || r.height != r.sourceHeight * scale / 100) std::abort();
    if (r.length == 0 || r.length > capacity) std::abort();

    int w = 0, h = 0, sub = 0, space = 0;
    if (tjDecompressHeader3(check, out.data(), static_cast<unsigned long>(r.length), &w, &h, &sub, &space) != 0)
        std::abort();
    if (w != r.width || h != r.height) std::abort();
    return 0;
}
