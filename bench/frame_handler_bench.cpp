// The frame handler of the direct path against a plain copy of the same
// bytes. The handler's work per frame is meant to be one copy into the
// pre-allocated frame memory buffer (a second one into the streaming
// picture while streaming is on) and no allocation, so its cost per frame
// should stay close to that of memcpy: the handler is compared with one
// plain copy, and while streaming with the two copies it has to make.
//
// Both sides run the device's rhythm: 300 frames per capture loop, the
// buffer emptied at every loop start. Progress marks go to /dev/null.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "v4l2/capture_loop.h"
#include "v4l2/device_state.h"
#include "v4l2/memory_output.h"

namespace {

constexpr int kFramesPerLoop = 300;
constexpr int kDevice = 1;

std::vector<unsigned char> frameOf(std::size_t size) {
    std::vector<unsigned char> f(size);
    for (std::size_t i = 0; i < size; ++i) f[i] = static_cast<unsigned char>(i * 31 + 7);
    return f;
}

// The floor of the handler's work: each frame copied after the previous one
// into a memory output block (and, while streaming, a second copy into a
// 700,000-byte streaming block), restarting every capture loop.
void plainCopies(benchmark::State& state, bool streaming) {
    const auto frame = frameOf(static_cast<std::size_t>(state.range(0)));
    void* block = mmap(nullptr, kMemoryOutputSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    auto* data = static_cast<unsigned char*>(block);
    std::vector<unsigned char> latest(streaming ? kLatestImageCapacity : 0);
    std::size_t len = 0;
    int inLoop = 0;
    for (auto _ : state) {
        if (inLoop++ == kFramesPerLoop) {
            len = 0;
            inLoop = 1;
        }
        std::memcpy(data + len, frame.data(), frame.size());
        len += frame.size();
        if (streaming) std::memcpy(latest.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(data);
        benchmark::DoNotOptimize(latest.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    munmap(block, kMemoryOutputSize);
}

void BM_PlainCopy(benchmark::State& state) { plainCopies(state, false); }
void BM_PlainCopyTwice(benchmark::State& state) { plainCopies(state, true); }

void runHandler(benchmark::State& state, bool streaming) {
    const auto frame = frameOf(static_cast<std::size_t>(state.range(0)));
    init_memory_output_buffer(kDevice);
    if (streaming) init_streaming_buffer();
    g_bStreamingVideo.store(streaming ? 1 : 0);
    int inLoop = 0;
    for (auto _ : state) {
        if (inLoop++ == kFramesPerLoop) {
            reset_memory_output_buffer(kDevice);
            inLoop = 1;
        }
        process_image(frame.data(), static_cast<int>(frame.size()), kDevice);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    if (g_bSaveFile[kDevice].load() != 0) state.SkipWithError("the frame memory buffer overflowed");
    g_bStreamingVideo.store(0);
    uninit_streaming_output_buffer();
    uninit_memory_output_buffer(kDevice);
}

void BM_FrameHandler(benchmark::State& state) { runHandler(state, false); }
void BM_FrameHandlerStreaming(benchmark::State& state) { runHandler(state, true); }

// Frame sizes: a small MJPEG frame, a typical 720p one, a large 1080p one.
BENCHMARK(BM_PlainCopy)->Arg(20000)->Arg(100000)->Arg(300000);
BENCHMARK(BM_PlainCopyTwice)->Arg(20000)->Arg(100000)->Arg(300000);
BENCHMARK(BM_FrameHandler)->Arg(20000)->Arg(100000)->Arg(300000);
BENCHMARK(BM_FrameHandlerStreaming)->Arg(20000)->Arg(100000)->Arg(300000);

}  // namespace

int main(int argc, char** argv) {
    // The handler writes a progress mark per frame to standard error.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    dev_name[kDevice].store("/dev/video1");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
