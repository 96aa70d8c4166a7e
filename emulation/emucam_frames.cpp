#include "emulation/emucam_frames.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace emucam {
namespace {

struct JpegError {
    jpeg_error_mgr mgr;
};

[[noreturn]] void onJpegError(j_common_ptr cinfo) {
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    throw std::runtime_error(std::string("JPEG encoding failed: ") + text);
}

struct Segment {
    std::size_t begin, end;  // marker included
};

// Offset just after the SOS segment (start of the scan data).
std::size_t scanStart(const std::vector<std::uint8_t>& j) {
    std::size_t p = 2;
    while (p + 4 <= j.size()) {
        if (j[p] != 0xff) throw std::runtime_error("JPEG: marker expected");
        std::uint8_t m = j[p + 1];
        std::size_t len = static_cast<std::size_t>(j[p + 2]) << 8 | j[p + 3];
        if (m == 0xda) return p + 2 + len;
        p += 2 + len;
    }
    throw std::runtime_error("JPEG: no scan");
}

// Splits scan data into one piece per macroblock, each with the restart
// marker that follows it (the last ends before EOI).
std::vector<Segment> splitScan(const std::vector<std::uint8_t>& j, std::size_t start) {
    std::vector<Segment> out;
    std::size_t begin = start;
    for (std::size_t p = start; p + 1 < j.size(); ++p) {
        if (j[p] != 0xff) continue;
        std::uint8_t m = j[p + 1];
        if (m >= 0xd0 && m <= 0xd7) {
            out.push_back({begin, p + 2});
            begin = p + 2;
            ++p;
        } else if (m == 0xd9) {
            out.push_back({begin, p});
            return out;
        } else {
            ++p;  // stuffed 0xFF00
        }
    }
    throw std::runtime_error("JPEG: no end of image");
}

void rgbToYuv(const std::uint8_t* p, double& y, double& u, double& v) {
    // ITU-R BT.601, studio range, as UVC cameras send YUYV.
    double r = p[0], g = p[1], b = p[2];
    y = 16.0 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
    u = 128.0 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0;
    v = 128.0 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0;
}

std::uint8_t clampByte(double v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

std::uint32_t yuyvOf(Rgb c) {
    std::uint8_t px[3] = {c.r, c.g, c.b};
    double y, u, v;
    rgbToYuv(px, y, u, v);
    std::uint8_t q[4] = {clampByte(y), clampByte(u), clampByte(y), clampByte(v)};
    std::uint32_t word;
    std::memcpy(&word, q, 4);
    return word;
}

}  // namespace

std::vector<std::uint8_t> encodeJpeg(const std::uint8_t* rgb, int width, int height, int quality,
                                     bool restartEveryBlock) {
    jpeg_compress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    unsigned char* mem = nullptr;
    unsigned long memSize = 0;
    std::vector<std::uint8_t> out;
    try {
        jpeg_create_compress(&cinfo);
        jpeg_mem_dest(&cinfo, &mem, &memSize);
        cinfo.image_width = static_cast<JDIMENSION>(width);
        cinfo.image_height = static_cast<JDIMENSION>(height);
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, quality, TRUE);
        cinfo.comp_info[0].h_samp_factor = 2;
        cinfo.comp_info[0].v_samp_factor = 1;
        cinfo.comp_info[1].h_samp_factor = cinfo.comp_info[1].v_samp_factor = 1;
        cinfo.comp_info[2].h_samp_factor = cinfo.comp_info[2].v_samp_factor = 1;
        cinfo.optimize_coding = FALSE;  // the standard tables, which a stream without DHT implies
        if (restartEveryBlock) cinfo.restart_interval = 1;
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<std::size_t>(cinfo.next_scanline) * width * 3);
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        out.assign(mem, mem + memSize);
    } catch (...) {
        jpeg_destroy_compress(&cinfo);
        std::free(mem);
        throw;
    }
    jpeg_destroy_compress(&cinfo);
    std::free(mem);
    return out;
}

std::vector<std::uint8_t> withoutHuffmanTables(const std::vector<std::uint8_t>& j) {
    std::size_t scan = scanStart(j);
    std::vector<std::uint8_t> out(j.begin(), j.begin() + 2);
    std::size_t p = 2;
    while (p < scan) {
        std::size_t len = static_cast<std::size_t>(j[p + 2]) << 8 | j[p + 3];
        if (j[p + 1] != 0xc4) out.insert(out.end(), j.begin() + p, j.begin() + p + 2 + len);
        p += 2 + len;
    }
    out.insert(out.end(), j.begin() + scan, j.end());
    return out;
}

FrameSource::FrameSource(int camera, std::uint32_t fourcc, int width, int height, int quality, bool noHuffmanTables)
    : scene_(camera, width, height), fourcc_(fourcc), quality_(quality), noHuffman_(noHuffmanTables) {
    if (fourcc == V4L2_PIX_FMT_YUYV) buildYuyv();
    else buildJpeg();
}

FrameSource::~FrameSource() = default;

void FrameSource::buildJpeg() {
    std::vector<std::uint8_t> rgb;
    scene_.renderAll(false, rgb);
    std::vector<std::uint8_t> off = encodeJpeg(rgb.data(), width(), height(), quality_, true);
    scene_.renderAll(true, rgb);
    std::vector<std::uint8_t> on = encodeJpeg(rgb.data(), width(), height(), quality_, true);
    std::size_t offScan = scanStart(off), onScan = scanStart(on);
    if (offScan != onScan || std::memcmp(off.data(), on.data(), offScan) != 0)
        throw std::runtime_error("JPEG: the two encodings' headers differ");
    std::vector<Segment> offSegs = splitScan(off, offScan), onSegs = splitScan(on, onScan);
    const int mcusX = (width() + 15) / 16, mcusY = (height() + 7) / 8;
    const std::size_t mcus = static_cast<std::size_t>(mcusX) * mcusY;
    if (offSegs.size() != mcus || onSegs.size() != mcus)
        throw std::runtime_error("JPEG: restart markers do not match the macroblocks");

    std::vector<int> owner(mcus, -1);
    const auto& blocks = scene_.blocks();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        const Rect& r = blocks[b].rect;
        for (int my = r.y0 / 8; my < r.y1 / 8; ++my)
            for (int mx = r.x0 / 16; mx < r.x1 / 16; ++mx) owner[static_cast<std::size_t>(my) * mcusX + mx] = static_cast<int>(b);
    }

    std::vector<std::uint8_t> head(off.begin(), off.begin() + static_cast<std::ptrdiff_t>(offScan));
    header_ = noHuffman_ ? withoutHuffmanTables(head) : head;
    // Offsets into the scan data alone.
    offScan_.assign(off.begin() + static_cast<std::ptrdiff_t>(offScan), off.end());
    onScan_.assign(on.begin() + static_cast<std::ptrdiff_t>(onScan), on.end());
    runs_.clear();
    std::size_t total = header_.size() + 2;
    for (std::size_t i = 0; i < mcus; ++i) {
        auto ob = static_cast<std::uint32_t>(offSegs[i].begin - offScan), oe = static_cast<std::uint32_t>(offSegs[i].end - offScan);
        auto nb = static_cast<std::uint32_t>(onSegs[i].begin - onScan), ne = static_cast<std::uint32_t>(onSegs[i].end - onScan);
        if (!runs_.empty() && runs_.back().block == owner[i] && runs_.back().offEnd == ob && runs_.back().onEnd == nb) {
            runs_.back().offEnd = oe;
            runs_.back().onEnd = ne;
        } else {
            runs_.push_back({ob, oe, nb, ne, owner[i]});
        }
    }
    for (const Run& r : runs_) total += std::max(r.offEnd - r.offBegin, r.onEnd - r.onBegin);
    maxSize_ = total;
}

void FrameSource::buildYuyv() {
    std::vector<std::uint8_t> rgb;
    scene_.renderAll(false, rgb);
    const int w = width(), h = height();
    yuyvBase_.resize(static_cast<std::size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; x += 2) {
            const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * w + x) * 3;
            double y0, u0, v0, y1, u1, v1;
            rgbToYuv(p, y0, u0, v0);
            rgbToYuv(p + 3, y1, u1, v1);
            std::uint8_t* q = yuyvBase_.data() + (static_cast<std::size_t>(y) * w + x) * 2;
            q[0] = clampByte(y0);
            q[1] = clampByte((u0 + u1) / 2);
            q[2] = clampByte(y1);
            q[3] = clampByte((v0 + v1) / 2);
        }
    }
    for (const Scene::Block& b : scene_.blocks()) {
        yuyvOn_.push_back(yuyvOf(b.on));
        yuyvOff_.push_back(yuyvOf(b.off));
    }
    maxSize_ = yuyvBase_.size();
}

std::size_t FrameSource::compose(std::uint32_t counter, std::uint8_t* out, std::size_t capacity) const {
    if (capacity < maxSize_) return 0;
    scene_.blockStates(counter, states_);
    if (fourcc_ == V4L2_PIX_FMT_YUYV) {
        std::memcpy(out, yuyvBase_.data(), yuyvBase_.size());
        const int w = width();
        const auto& blocks = scene_.blocks();
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            if (!states_[i]) continue;
            const Rect& r = blocks[i].rect;
            for (int y = r.y0; y < r.y1; ++y) {
                std::uint8_t* q = out + (static_cast<std::size_t>(y) * w + r.x0) * 2;
                for (int x = r.x0; x < r.x1; x += 2, q += 4) std::memcpy(q, &yuyvOn_[i], 4);
            }
        }
        return yuyvBase_.size();
    }
    std::uint8_t* p = out;
    std::memcpy(p, header_.data(), header_.size());
    p += header_.size();
    for (const Run& r : runs_) {
        if (r.block >= 0 && states_[static_cast<std::size_t>(r.block)]) {
            std::memcpy(p, onScan_.data() + r.onBegin, r.onEnd - r.onBegin);
            p += r.onEnd - r.onBegin;
        } else {
            std::memcpy(p, offScan_.data() + r.offBegin, r.offEnd - r.offBegin);
            p += r.offEnd - r.offBegin;
        }
    }
    *p++ = 0xff;
    *p++ = 0xd9;
    return static_cast<std::size_t>(p - out);
}

std::size_t corruptFrame(std::uint8_t* frame, std::size_t length, std::uint32_t seed) {
    if (length < 256) return length;
    std::uint32_t x = seed * 2654435761u + 12345u;
    std::size_t start = length / 2;
    for (std::size_t i = 0; i < 64; ++i) {
        x = x * 1103515245u + 12345u;
        std::uint8_t b = static_cast<std::uint8_t>(x >> 16);
        frame[start + i] = b == 0xff ? 0x5a : b;
    }
    return length;
}

std::size_t truncateFrame(std::size_t length) { return length / 2; }

std::size_t padJpeg(std::uint8_t* frame, std::size_t length, std::size_t capacity, std::size_t target) {
    if (length >= target) return length;
    std::size_t extra = std::max<std::size_t>(target - length, 4);  // a segment is at least 4 bytes
    if (capacity < length + extra || length < 2) return 0;
    // Comment segments of at most 65,535 bytes (marker 2, length field
    // included in the length), the last one at least 4 bytes.
    std::vector<std::uint8_t> pad;
    pad.reserve(extra);
    static const char kText[] = "emucam padding ";
    while (extra > 0) {
        std::size_t seg = extra > 65537 ? 65537 : extra;
        if (extra - seg > 0 && extra - seg < 4) seg -= 4;
        std::size_t len = seg - 2;  // value of the length field
        pad.push_back(0xff);
        pad.push_back(0xfe);
        pad.push_back(static_cast<std::uint8_t>(len >> 8));
        pad.push_back(static_cast<std::uint8_t>(len & 0xff));
        for (std::size_t i = 0; i + 2 < len; ++i) pad.push_back(static_cast<std::uint8_t>(kText[i % (sizeof kText - 1)]));
        extra -= seg;
    }
    std::memmove(frame + 2 + pad.size(), frame + 2, length - 2);
    std::memcpy(frame + 2, pad.data(), pad.size());
    return length + pad.size();
}

}  // namespace emucam
