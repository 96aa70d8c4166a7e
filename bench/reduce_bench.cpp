// Time per frame of the reductions to a quarter of width and height
// (bench/reduce_methods.h: the daemon's, the literal method, the floor) on
// every frame set (bench/camera_pictures.h), in one run. Instruction counts
// and PSNR come from bench_reduce_count; scripts/run-benchmarks.sh puts
// them together.
//
//   bench_streaming_reduce [google benchmark options]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>

#include "reduce_methods.h"

namespace {

void runTimed(benchmark::State& state, const std::string& method, const cmbench::FrameSetSpec& shape) {
    const std::vector<cmbench::Bytes>& frames = cmbench::frameSet(shape);
    std::unique_ptr<cmbench::ReduceMethod> m = cmbench::makeReduceMethod(method);
    cmbench::Bytes out;
    std::size_t k = 0, outBytes = 0;
    for (auto _ : state) {
        if (!m->reduce(frames[k++ % frames.size()], out)) {
            state.SkipWithError("reduction failed");
            break;
        }
        outBytes += out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["in_bytes"] = cmbench::meanLength(frames);
    state.counters["out_bytes"] = static_cast<double>(outBytes) / static_cast<double>(std::max<std::size_t>(1, k));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    for (const cmbench::FrameSetSpec& shape : cmbench::frameSetSpecs())
        for (const char* method : cmbench::kReduceMethods) {
            const std::string name = std::string("reduce/") + method + "/" + shape.name();
            benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& st) { runTimed(st, method, shape); })
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
