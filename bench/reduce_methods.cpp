#include "reduce_methods.h"

#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "streaming/frame_buffers.h"
#include "streaming/jpeg_reduce.h"
#include "streaming/screenshot_request.h"

namespace cmbench {
namespace {

constexpr int kScale = kStreamingScalePercent;

class DaemonMethod final : public ReduceMethod {
public:
    bool reduce(const Bytes& frame, Bytes& out) override {
        out.resize(kResizedImageCapacity);
        streaming::ReduceResult r = reducer_.reduce(frame.data(), frame.size(), kScale, out.data(), out.size());
        if (r.status != streaming::ReduceStatus::Ok) return false;
        out.resize(r.length);
        return true;
    }

private:
    streaming::JpegReducer reducer_;
};

// Step by step as the pictures used to be reduced, through a file in /tmp.
class LiteralMethod final : public ReduceMethod {
public:
    LiteralMethod() {
        char dir[] = "/tmp/cm-bench-XXXXXX";
        if (mkdtemp(dir) != nullptr) dir_ = dir;
        path_ = dir_ + "/temp0.jpeg";
        loadBuf_.resize(kLoadBufferSize);
    }
    ~LiteralMethod() override {
        unlink(path_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }
    bool reduce(const Bytes& frame, Bytes& out) override {
        if (dir_.empty()) return false;
        {
            std::ofstream o(path_, std::ios::binary);
            o.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
            if (!o) return false;
        }
        cv::Mat full = cv::imread(path_, cv::IMREAD_COLOR);
        unlink(path_.c_str());
        if (full.empty()) return false;
        cv::Mat small;
        cv::resize(full, small, cv::Size(full.cols * kScale / 100, full.rows * kScale / 100), 0, 0, cv::INTER_LINEAR);
        if (!cv::imwrite(path_, small)) return false;
        std::FILE* in = std::fopen(path_.c_str(), "rb");
        if (in == nullptr) return false;
        const std::size_t n = std::fread(loadBuf_.data(), 1, loadBuf_.size(), in);
        std::fclose(in);
        unlink(path_.c_str());
        out.assign(loadBuf_.begin(), loadBuf_.begin() + static_cast<long>(n));
        return n > 0;
    }

private:
    std::string dir_, path_;
    Bytes loadBuf_;
};

// The whole entropy-coded stream read, one DC value per block used.
class FloorMethod final : public ReduceMethod {
public:
    FloorMethod() : h_(tjInitDecompress()) {}
    ~FloorMethod() override {
        if (h_ != nullptr) tjDestroy(h_);
    }
    bool reduce(const Bytes& frame, Bytes& out) override {
        out.clear();
        int w = 0, h = 0, sub = 0, cs = 0;
        if (h_ == nullptr || tjDecompressHeader3(h_, frame.data(), frame.size(), &w, &h, &sub, &cs) != 0) return false;
        const tjscalingfactor eighth{1, 8};
        const int sw = TJSCALED(w, eighth), sh = TJSCALED(h, eighth);
        pixels_.resize(static_cast<std::size_t>(sw) * sh * 3);
        return tjDecompress2(h_, frame.data(), frame.size(), pixels_.data(), sw, sw * 3, sh, TJPF_RGB, 0) == 0;
    }

private:
    tjhandle h_;
    Bytes pixels_;
};

}  // namespace

std::unique_ptr<ReduceMethod> makeReduceMethod(const std::string& name) {
    if (name == "daemon") return std::make_unique<DaemonMethod>();
    if (name == "literal") return std::make_unique<LiteralMethod>();
    if (name == "floor") return std::make_unique<FloorMethod>();
    return nullptr;
}

std::string FrameSetSpec::name() const {
    return std::string(contentName(content)) + "-" + std::to_string(width) + "x" + std::to_string(height);
}

std::vector<FrameSetSpec> frameSetSpecs() {
    std::vector<FrameSetSpec> v;
    for (auto [w, h] : {std::pair{1280, 720}, std::pair{640, 480}})
        for (Content c : {Content::Scene, Content::Emulated}) v.push_back({c, w, h});
    return v;
}

const std::vector<Bytes>& frameSet(const FrameSetSpec& shape) {
    static std::map<std::string, std::vector<Bytes>> cache;
    auto it = cache.find(shape.name());
    if (it == cache.end())
        it = cache.emplace(shape.name(), cameraFrames(shape.content, shape.width, shape.height, kFramesPerSet)).first;
    return it->second;
}

bool writeFrameSet(const std::string& dir, const FrameSetSpec& shape) {
    const std::vector<Bytes>& frames = frameSet(shape);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        std::ofstream o(dir + "/" + shape.name() + "-" + std::to_string(k) + ".jpg", std::ios::binary);
        o.write(reinterpret_cast<const char*>(frames[k].data()), static_cast<std::streamsize>(frames[k].size()));
        if (!o) return false;
    }
    return true;
}

std::vector<Bytes> readFrameSet(const std::string& dir, const std::string& set) {
    std::vector<Bytes> frames;
    for (int k = 0; k < kFramesPerSet; ++k) {
        std::ifstream in(dir + "/" + set + "-" + std::to_string(k) + ".jpg", std::ios::binary);
        if (!in) break;
        frames.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return frames;
}

}  // namespace cmbench
