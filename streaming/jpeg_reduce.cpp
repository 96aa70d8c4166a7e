#include "streaming/jpeg_reduce.h"

#include <turbojpeg.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstring>

namespace streaming {
namespace {

constexpr int kChannels = 3;  // decoded as RGB

int scaled(int dimension, const tjscalingfactor& f) { return TJSCALED(dimension, f); }

// The smallest DCT scaling factor whose decode is at least `tw` x `th`.
bool pickScalingFactor(int w, int h, int tw, int th, tjscalingfactor& best) {
    int n = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&n);
    if (factors == nullptr || n <= 0) return false;
    bool found = false;
    for (int k = 0; k < n; ++k) {
        const tjscalingfactor& f = factors[k];
        if (f.num > f.denom) continue;  // never decode larger than the source
        if (scaled(w, f) < tw || scaled(h, f) < th) continue;
        if (!found || scaled(w, f) * scaled(h, f) < scaled(w, best) * scaled(h, best)) {
            best = f;
            found = true;
        }
    }
    return found;
}

std::string tjMessage(void* handle) {
    const char* m = tjGetErrorStr2(handle);
    return m != nullptr ? m : "";
}

}  // namespace

const char* reduceStatusText(ReduceStatus s) {
    switch (s) {
        case ReduceStatus::Ok: return "reduced";
        case ReduceStatus::Empty: return "zero size picture";
        case ReduceStatus::NotJpeg: return "not a JPEG picture";
        case ReduceStatus::Corrupt: return "corrupt or truncated JPEG picture";
        case ReduceStatus::SourceTooLarge: return "picture dimensions too large";
        case ReduceStatus::BadScale: return "no picture at this scale";
        case ReduceStatus::EncodeFailed: return "JPEG encoding failed";
        case ReduceStatus::OutputTooLarge: return "reduced picture too large for its buffer";
    }
    return "unknown";
}

JpegReducer::JpegReducer() : decoder_(tjInitDecompress()), encoder_(tjInitCompress()) {}

JpegReducer::~JpegReducer() {
    if (encoded_ != nullptr) tjFree(encoded_);
    if (decoder_ != nullptr) tjDestroy(decoder_);
    if (encoder_ != nullptr) tjDestroy(encoder_);
}

ReduceResult JpegReducer::reduce(const unsigned char* src, std::size_t len, int scalePercent, unsigned char* out,
                                 std::size_t capacity) {
    ReduceResult r;
    if (src == nullptr || len == 0) {
        r.status = ReduceStatus::Empty;
        return r;
    }
    if (decoder_ == nullptr || encoder_ == nullptr) {
        r.status = ReduceStatus::EncodeFailed;
        r.detail = "no JPEG codec";
        return r;
    }
    if (len > 0xffffffffUL - 2) {
        r.status = ReduceStatus::SourceTooLarge;
        return r;
    }
    // A JPEG starts with the SOI marker; checking it first keeps YUYV frames
    // (whose first bytes can look like anything) away from the decoder.
    if (len < 4 || src[0] != 0xFF || src[1] != 0xD8) {
        r.status = ReduceStatus::NotJpeg;
        return r;
    }
    int w = 0, h = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(decoder_, src, static_cast<unsigned long>(len), &w, &h, &subsamp, &colorspace) != 0) {
        r.status = ReduceStatus::NotJpeg;
        r.detail = tjMessage(decoder_);
        return r;
    }
    r.sourceWidth = w;
    r.sourceHeight = h;
    if (w <= 0 || h <= 0) {  // markers without a frame header
        r.status = ReduceStatus::NotJpeg;
        return r;
    }
    if (static_cast<long long>(w) * h > kMaxSourcePixels) {
        r.status = ReduceStatus::SourceTooLarge;
        return r;
    }
    if (scalePercent < 1 || scalePercent > 100) {
        r.status = ReduceStatus::BadScale;
        return r;
    }
    const int tw = static_cast<int>(static_cast<long long>(w) * scalePercent / 100);
    const int th = static_cast<int>(static_cast<long long>(h) * scalePercent / 100);
    tjscalingfactor f{1, 1};
    if (tw < 1 || th < 1 || !pickScalingFactor(w, h, tw, th, f)) {
        r.status = ReduceStatus::BadScale;
        return r;
    }
    const int sw = scaled(w, f);
    const int sh = scaled(h, f);
    const int pitch = sw * kChannels;
    pixels_.resize(static_cast<std::size_t>(pitch) * sh);
    // Warnings (a truncated stream, a damaged segment) fail the picture: a
    // half-grey picture is not worth sending. Progressive pictures with an
    // absurd number of scans are refused instead of decoded for seconds.
    // A picture that does not end with the end-of-image marker is decoded
    // with the marker supplied: when all its data is there the decode is
    // then clean, and when the data stops short the decoder still meets the
    // marker in the middle of a scan and warns.
    const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    const unsigned char* whole = src;
    std::size_t wholeLen = len;
    if (src[len - 2] != 0xFF || src[len - 1] != 0xD9) {
        completed_.assign(src, src + len);
        completed_.push_back(0xFF);
        completed_.push_back(0xD9);
        whole = completed_.data();
        wholeLen = completed_.size();
    }
    if (tjDecompress2(decoder_, whole, static_cast<unsigned long>(wholeLen), pixels_.data(), sw, pitch, sh, TJPF_RGB,
                      flags) != 0) {
        r.status = ReduceStatus::Corrupt;
        r.detail = tjMessage(decoder_);
        return r;
    }

    // The DCT decode rounds up; the picture size rounds down. A difference of
    // one pixel is cropped away (the encoder reads the top-left tw x th of
    // the decode through its pitch), a larger one is resized.
    const unsigned char* encodeFrom = pixels_.data();
    int encodePitch = pitch;
    if (sw - tw > 1 || sh - th > 1) {
        resized_.resize(static_cast<std::size_t>(tw) * th * kChannels);
        cv::Mat from(sh, sw, CV_8UC3, pixels_.data(), static_cast<std::size_t>(pitch));
        cv::Mat to(th, tw, CV_8UC3, resized_.data());
        cv::resize(from, to, to.size(), 0, 0, cv::INTER_AREA);
        encodeFrom = resized_.data();
        encodePitch = tw * kChannels;
    }

    const unsigned long need = tjBufSize(tw, th, TJSAMP_420);
    if (need == static_cast<unsigned long>(-1)) {
        r.status = ReduceStatus::EncodeFailed;
        return r;
    }
    if (encodedCapacity_ < need) {
        if (encoded_ != nullptr) tjFree(encoded_);
        encoded_ = tjAlloc(static_cast<int>(need));
        encodedCapacity_ = encoded_ != nullptr ? need : 0;
        if (encoded_ == nullptr) {
            r.status = ReduceStatus::EncodeFailed;
            r.detail = "out of memory";
            return r;
        }
    }
    unsigned long size = encodedCapacity_;
    if (tjCompress2(encoder_, encodeFrom, tw, encodePitch, th, TJPF_RGB, &encoded_, &size, TJSAMP_420,
                    kReducedJpegQuality, TJFLAG_NOREALLOC) != 0) {
        r.status = ReduceStatus::EncodeFailed;
        r.detail = tjMessage(encoder_);
        return r;
    }
    r.width = tw;
    r.height = th;
    if (out == nullptr || size > capacity) {
        r.status = ReduceStatus::OutputTooLarge;
        r.length = size;
        return r;
    }
    std::memcpy(out, encoded_, size);
    r.length = size;
    r.status = ReduceStatus::Ok;
    return r;
}

}  // namespace streaming
