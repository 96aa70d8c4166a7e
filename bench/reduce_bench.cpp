// Reduction of camera frames for live streaming: the daemon's in-memory
// reduction (DCT-scaled decode, crop, encode) against the literal method
// (the frame written to a temporary file, decoded whole by OpenCV, resized
// bilinearly, encoded to a file and read back), on the same 1280 x 720
// Motion-JPEG-like frames, in one run. Prints the ratio of the two.
//
//   build/bench/bench_streaming_reduce [--benchmark_min_time=2]
#include <benchmark/benchmark.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "jpeg_samples.h"
#include "streaming/frame_buffers.h"
#include "streaming/jpeg_reduce.h"

namespace {

constexpr int kScale = 25;
constexpr int kFrames = 8;

// Frames as a camera sends them: 4:2:2, quality 80, a different scene per
// input, half of them without Huffman tables; with little sensor noise
// (argument 3) or much (argument 12), which sets how much entropy-coded
// data every decode must read whatever its scale.
const std::vector<cmtest::Bytes>& frames(int noise) {
    static std::map<int, std::vector<cmtest::Bytes>> cache;
    auto it = cache.find(noise);
    if (it != cache.end()) return it->second;
    std::vector<cmtest::Bytes> v;
    for (int k = 0; k < kFrames; ++k) {
        cmtest::Bytes j = cmtest::makeCameraJpeg(1280, 720, cmtest::inputTint(k % 4), TJSAMP_422, 80, 100 + k, noise);
        v.push_back(k % 2 ? cmtest::stripHuffmanTables(j) : j);
    }
    return cache[noise] = std::move(v);
}

double meanSize(const std::vector<cmtest::Bytes>& v) {
    double s = 0;
    for (const auto& b : v) s += static_cast<double>(b.size());
    return s / static_cast<double>(v.size());
}

void BM_ReduceInMemory(benchmark::State& state) {
    streaming::JpegReducer reducer;
    std::vector<unsigned char> out(kResizedImageCapacity);
    const auto& fs = frames(static_cast<int>(state.range(0)));
    std::size_t k = 0, bytes = 0;
    for (auto _ : state) {
        const cmtest::Bytes& f = fs[k++ % kFrames];
        streaming::ReduceResult r = reducer.reduce(f.data(), f.size(), kScale, out.data(), out.size());
        if (r.status != streaming::ReduceStatus::Ok || r.width != 320 || r.height != 180) {
            state.SkipWithError("reduction failed");
            break;
        }
        bytes += r.length;
    }
    state.counters["out_bytes"] = benchmark::Counter(static_cast<double>(bytes) / std::max<std::size_t>(1, k));
    state.counters["in_bytes"] = benchmark::Counter(meanSize(fs));
}

// The literal method, step by step as the pictures used to be reduced.
void BM_ReduceLiteral(benchmark::State& state) {
    char dir[] = "/tmp/cm-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string path = std::string(dir) + "/temp0.jpeg";
    std::vector<unsigned char> loadBuf(kLoadBufferSize);
    const auto& fs = frames(static_cast<int>(state.range(0)));
    std::size_t k = 0, bytes = 0;
    for (auto _ : state) {
        const cmtest::Bytes& f = fs[k++ % kFrames];
        {
            std::ofstream o(path, std::ios::binary);
            o.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
        }
        cv::Mat full = cv::imread(path, cv::IMREAD_COLOR);
        unlink(path.c_str());
        if (full.empty()) {
            state.SkipWithError("OpenCV could not decode the frame");
            break;
        }
        cv::Mat small;
        cv::resize(full, small, cv::Size(full.cols * kScale / 100, full.rows * kScale / 100), 0, 0, cv::INTER_LINEAR);
        cv::imwrite(path, small);
        std::FILE* in = std::fopen(path.c_str(), "rb");
        if (in == nullptr) {
            state.SkipWithError("could not read back");
            break;
        }
        std::size_t n = std::fread(loadBuf.data(), 1, loadBuf.size(), in);
        std::fclose(in);
        unlink(path.c_str());
        bytes += n;
    }
    rmdir(dir);
    state.counters["out_bytes"] = benchmark::Counter(static_cast<double>(bytes) / std::max<std::size_t>(1, k));
    state.counters["in_bytes"] = benchmark::Counter(meanSize(fs));
}

BENCHMARK(BM_ReduceInMemory)->Arg(3)->Arg(12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReduceLiteral)->Arg(3)->Arg(12)->Unit(benchmark::kMillisecond);

// Prints as usual and keeps each benchmark's time per frame.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                times_[r.run_name.function_name + "/" + r.run_name.args] = {r.GetAdjustedRealTime(),
                                                                             r.GetAdjustedCPUTime()};
    }
    // {real, CPU} per frame, in milliseconds; {0, 0} when it did not run.
    std::pair<double, double> time(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? std::pair<double, double>{0, 0} : it->second;
    }

private:
    std::map<std::string, std::pair<double, double>> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    for (const char* noise : {"3", "12"}) {
        const auto mem = reporter.time(std::string("BM_ReduceInMemory/") + noise);
        const auto lit = reporter.time(std::string("BM_ReduceLiteral/") + noise);
        if (mem.first > 0 && lit.first > 0 && mem.second > 0)
            std::printf("1280x720 frame to 320x180, noise %s: in memory %.3f ms, literal %.3f ms; "
                        "literal / in memory = %.2f (real time), %.2f (CPU time)\n",
                        noise, mem.first, lit.first, lit.first / mem.first, lit.second / mem.second);
    }
    benchmark::Shutdown();
    return 0;
}
