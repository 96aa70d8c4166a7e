// Instruction counts and picture quality of the reductions
// (bench/reduce_methods.h), without Google Benchmark, so that it also
// cross-builds for the board and runs under qemu-arm.
//
//   bench_reduce_count --write-frames DIR
//       writes every frame set to DIR ("<set>-<k>.jpg"), so that both
//       instruction sets reduce the very same bytes;
//   bench_reduce_count --count METHOD DIR SET N
//       reduces every frame of the set once (not counted: tables, scratch
//       buffers), then N frames inside cmbench_counted_reductions(). Under
//       callgrind, --toggle-collect=cmbench_counted_reductions counts just
//       those; under qemu-arm with the instruction-count plugin, two runs
//       with different N give the count per frame by their difference;
//   bench_reduce_count --quality DIR
//       prints per set and method the mean input and output sizes and the
//       PSNR of the reduced pictures against the full-size decode reduced by
//       area averaging, mean and worst (tab-separated).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reduce_methods.h"
#include "streaming/screenshot_request.h"

using cmbench::Bytes;
using cmbench::ReduceMethod;

// Kept out of line under a plain name: callgrind counts exactly the
// instructions executed inside it.
extern "C" __attribute__((noinline)) int cmbench_counted_reductions(ReduceMethod* m, const std::vector<Bytes>* frames,
                                                                    int n, Bytes* out) {
    int failed = 0;
    for (int k = 0; k < n; ++k)
        if (!m->reduce((*frames)[static_cast<std::size_t>(k) % frames->size()], *out)) ++failed;
    return failed;
}

namespace {

int usage(const char* self) {
    std::fprintf(stderr,
                 "usage: %s --write-frames DIR\n"
                 "       %s --count daemon|literal|floor DIR SET N\n"
                 "       %s --quality DIR\n",
                 self, self, self);
    return 2;
}

int writeFrames(const char* dir) {
    for (const cmbench::FrameSetSpec& s : cmbench::frameSetSpecs())
        if (!cmbench::writeFrameSet(dir, s)) {
            std::fprintf(stderr, "cannot write %s to %s\n", s.name().c_str(), dir);
            return 1;
        }
    return 0;
}

int count(const char* method, const char* dir, const char* set, int n) {
    std::unique_ptr<ReduceMethod> m = cmbench::makeReduceMethod(method);
    const std::vector<Bytes> frames = cmbench::readFrameSet(dir, set);
    if (m == nullptr || frames.empty() || n < 0) {
        std::fprintf(stderr, "no method %s or no frames %s/%s-*.jpg\n", method, dir, set);
        return 2;
    }
    Bytes out;
    for (const Bytes& f : frames)
        if (!m->reduce(f, out)) {
            std::fprintf(stderr, "%s cannot reduce a frame of %s\n", method, set);
            return 1;
        }
    const int failed = cmbench_counted_reductions(m.get(), &frames, n, &out);
    std::printf("%s\t%s\treductions\t%d\tfailed\t%d\n", method, set, n, failed);
    return failed == 0 ? 0 : 1;
}

int quality(const char* dir) {
    std::printf("set\tmethod\tin_bytes\tout_bytes\tpsnr_db\tpsnr_worst_db\n");
    for (const cmbench::FrameSetSpec& s : cmbench::frameSetSpecs()) {
        const std::vector<Bytes> frames = cmbench::readFrameSet(dir, s.name());
        if (frames.empty()) {
            std::fprintf(stderr, "no frames %s/%s-*.jpg\n", dir, s.name().c_str());
            return 1;
        }
        const int tw = s.width * kStreamingScalePercent / 100, th = s.height * kStreamingScalePercent / 100;
        std::vector<cmbench::RgbPicture> refs;
        for (const Bytes& f : frames) refs.push_back(cmbench::areaReduced(cmbench::decodeFull(f), tw, th));
        for (const char* method : {"daemon", "literal"}) {
            std::unique_ptr<ReduceMethod> m = cmbench::makeReduceMethod(method);
            double sum = 0, worst = 1e9, outBytes = 0;
            Bytes out;
            for (std::size_t k = 0; k < frames.size(); ++k) {
                if (!m->reduce(frames[k], out)) {
                    std::fprintf(stderr, "%s cannot reduce a frame of %s\n", method, s.name().c_str());
                    return 1;
                }
                const double p = cmbench::psnr(refs[k], cmbench::decodeFull(out));
                sum += p;
                worst = std::min(worst, p);
                outBytes += static_cast<double>(out.size());
            }
            const double n = static_cast<double>(frames.size());
            std::printf("%s\t%s\t%.0f\t%.0f\t%.2f\t%.2f\n", s.name().c_str(), method, cmbench::meanLength(frames),
                        outBytes / n, sum / n, worst);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--write-frames") == 0) return writeFrames(argv[2]);
    if (argc == 6 && std::strcmp(argv[1], "--count") == 0) return count(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (argc == 3 && std::strcmp(argv[1], "--quality") == 0) return quality(argv[2]);
    return usage(argv[0]);
}
