// Clip writing on the default capture path: pictures per second that the
// clip writer turns into a Motion-JPEG AVI clip in the queue directory, from
// the memory store (decoded pictures) and from the file store (PNG files).
//
// The store holds what a camera of the default path delivers: 640 x 480
// colour pictures (natural-looking scenes, bench/camera_pictures.h), 60 of
// them (the default storage length). Each iteration is one clip run of
// createUserVideos on one input; only the run is timed (the store is
// filled again between runs), with the clip writer's console lines going
// to /dev/null.
//
//   bench_clip_writer [google benchmark options]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "board/camera_selection.h"
#include "board_root.h"
#include "camera_pictures.h"
#include "capture/clip_writer.h"
#include "capture/picture_store.h"
#include "common/footprint.h"
#include "common/run_config.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 640, kHeight = 480;
constexpr int kPictures = 60;
constexpr int kInput = 0;

// The board root for the whole run, with the directories the clip
// writer writes to.
class Root : public bench::BoardRoot {
public:
    Root() : BoardRoot("board") {
        if (!ok()) return;
        resetRunConfig();
        for (const char* d : {"/queue", "/1", "/2", "/3", "/4", "/log", "/pos"})
            fs::create_directories(LBASE_PATH + d);
    }
};

const std::vector<cv::Mat>& pictures() {
    static std::vector<cv::Mat> v;
    if (v.empty()) {
        for (int k = 0; k < 8; ++k) {
            cmbench::RgbPicture p = cmbench::makeScene(kWidth, kHeight, static_cast<unsigned>(k + 1));
            cv::Mat rgb(kHeight, kWidth, CV_8UC3, p.rgb.data());
            cv::Mat bgr;
            cv::cvtColor(rgb, bgr, cv::COLOR_RGB2BGR);
            v.push_back(bgr);
        }
    }
    return v;
}

// Standard output to /dev/null while it lives: the clip writer prints a
// line per picture.
class Silenced {
public:
    Silenced() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    ~Silenced() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }

private:
    int saved_ = -1;
};

// The clips made so far are removed (and counted: a run that made none failed).
int takeClips() {
    int n = 0;
    for (const auto& e : fs::directory_iterator(LBASE_PATH + "/queue")) {
        if (e.path().extension() == ".avi") ++n;
        fs::remove(e.path());
    }
    return n;
}

void runClips(benchmark::State& state, bool memoryStore) {
    Root root;
    if (!root.ok()) {
        state.SkipWithError("no board root");
        return;
    }
    bMemoryStore = memoryStore ? 1 : 0;
    bInputs[kInput].store(1);
    const auto& pics = pictures();
    std::vector<std::string> pngs;
    if (!memoryStore) {
        // PNG files as the capture thread writes them; copied afresh for
        // every run, since a clip deletes the pictures it used.
        for (std::size_t k = 0; k < pics.size(); ++k) {
            pngs.push_back(LBASE_PATH + "/png" + std::to_string(k) + ".png");
            cv::imwrite(pngs.back(), pics[k]);
        }
    }
    for (auto _ : state) {
        for (int k = 0; k < kPictures; ++k) {
            if (memoryStore) {
                pic_frames[kInput].append(pics[static_cast<std::size_t>(k) % pics.size()].clone());
            } else {
                const std::string name = LBASE_PATH + "/1/pic" + std::to_string(k) + ".png";
                fs::copy_file(pngs[static_cast<std::size_t>(k) % pngs.size()], name, fs::copy_options::overwrite_existing);
                listImages[kInput].append(name);
            }
        }
        Silenced quiet;
        const auto t0 = std::chrono::steady_clock::now();
        createUserVideos(1);
        const auto t1 = std::chrono::steady_clock::now();
        quiet.restore();
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (takeClips() != 1 || pic_frames[kInput].size() != 0 || listImages[kInput].size() != 0) {
            state.SkipWithError("the clip run did not make one clip of every picture");
            break;
        }
    }
    state.counters["pictures_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kPictures, benchmark::Counter::kIsRate);
    bInputs[kInput].store(0);
}

void BM_ClipWriterMemoryStore(benchmark::State& state) { runClips(state, true); }
void BM_ClipWriterFileStore(benchmark::State& state) { runClips(state, false); }

BENCHMARK(BM_ClipWriterMemoryStore)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ClipWriterFileStore)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
