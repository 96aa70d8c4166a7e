// The cost of the small records' durability: wall time per notification
// record appended by the upload (with and without the sync that makes it
// survive a power cut) and per control record written (data synced,
// renamed, directory synced). Syncs wait for the device, so the times are
// wall times, and they are those of the file system that holds the board
// root: CM_BENCH_DIR names the directory it is made in (default /tmp), for
// example a mounted ext4 image on a loop device.
//
//   CM_BENCH_DIR=/mnt/ext4 bench_record_sync [google benchmark options]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "board_root.h"
#include "common/footprint.h"
#include "control/settings.h"
#include "upload/positionurl.h"

namespace {

namespace fs = std::filesystem;

// The board root for the whole run, with its records' directory.
bench::BoardRoot& root() {
    static bench::BoardRoot r("records");
    static const bool made = r.ok() && fs::create_directories(footprint::resolve("/home/Tarvisel/pos"));
    (void)made;
    return r;
}

// Standard output to /dev/null while it lives: every record logs a line.
class Silenced {
public:
    Silenced() : saved_(::dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) ::dup2(null, STDOUT_FILENO), ::close(null);
    }
    ~Silenced() {
        std::fflush(stdout);
        if (saved_ >= 0) ::dup2(saved_, STDOUT_FILENO), ::close(saved_);
    }
    Silenced(const Silenced&) = delete;
    Silenced& operator=(const Silenced&) = delete;

private:
    int saved_;
};

// The upload's record: appended, then synced before the walk goes on.
void BM_NotificationRecord(benchmark::State& state) {
    const bool synced = state.range(0) != 0;
    if (!root().ok()) return state.SkipWithError("no board root");
    PositionURL record;
    record.setURL("/notify_file_upload.php?deviceid=BBBK1234&fpath=/home/Tarvisel/queue/usb_0_20240105100000.mp4");
    Silenced quiet;
    for (auto _ : state) {
        record.saveRecord();
        if (synced && !syncNotificationRecords()) return state.SkipWithError("sync failed");
    }
    state.SetLabel(synced ? "appended and synced" : "appended only");
}
BENCHMARK(BM_NotificationRecord)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ControlRecord(benchmark::State& state) {
    if (!root().ok()) return state.SkipWithError("no board root");
    long long value = 1;
    Silenced quiet;
    for (auto _ : state)
        if (!setting.stream_video(++value)) return state.SkipWithError("control record not written");
    state.SetLabel("written durably");
}
BENCHMARK(BM_ControlRecord)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
