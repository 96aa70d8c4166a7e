#include "capture/video_creation.h"

#include <cstdio>
#include <cstdlib>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "capture/clip_writer.h"
#include "capture/picture_store.h"
#include "common/clock.h"
#include "common/run_config.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/debug.h"
#include "v4l2/device_state.h"

std::atomic<long long> lPreviousUserVideoCommandTimestamp{0};
std::atomic<pthread_t> tid_createVideoThread{};

namespace {

constexpr int kAfterAlertPauseSeconds = 45;
constexpr long long kAfterClipPauseSeconds = 1;
constexpr long long kPassPauseMicros = 500000;
constexpr int kRandomAlertOdds = 200;  // one pass in 200
constexpr int kRandomAlertDraw = 2;

int systemDraw() { return std::rand(); }

std::atomic<RandomDraw> g_draw{&systemDraw};

const bool kThreadArgument = true;  // handed to the thread, which ignores it

}  // namespace

void setRandomDrawForTests(RandomDraw draw) { g_draw.store(draw != nullptr ? draw : &systemDraw); }

void videoCreationPass() {
    setting.readSettings();
    checkCams();
    readInputsDIPState();
    checkCams();
    if (setting.alertFlag() != 0) verbos("alert=%d", static_cast<int>(setting.alertFlag()));
    // A random alert lives in memory only, until the next re-read.
    if (g_bRandomVideos && g_draw.load()() % kRandomAlertOdds == kRandomAlertDraw) setting.raiseAlertInMemory();
    checkCams();

    const long long command = setting.userVideoCommand();
    if (command != 0 && command != lPreviousUserVideoCommandTimestamp.load()) {
        g_nSaveType.store(2);
        verbos("capture module received an user video recording.. waiting 3 seconds...");
        lPreviousUserVideoCommandTimestamp.store(command);
        createUserVideos(2);
        nCreatingVideosForInput.store(-1);
    } else if (setting.alertFlag() != 0) {
        verbos("capture module received an alert!");
        g_nSaveType.store(1);
        createUserVideos(1);
        nCreatingVideosForInput.store(-1);
        verbos("sleep for %d seconds after creating videos!", kAfterAlertPauseSeconds);
        cm::sleepSeconds(kAfterAlertPauseSeconds);
    }

    checkCams();
    if (g_nSaveType.load() != 0) {
        cm::sleepSeconds(kAfterClipPauseSeconds);
        g_nSaveType.store(0);
    }
    checkCams();
    cm::sleepMicros(kPassPauseMicros);
}

void* doCreateVideoThread(void*) {
    verbos("video creation thread work start!");
    nCreatingVideosForInput.store(-1);
    g_nSaveType.store(0);
    if (exitRequested()) return nullptr;
    do {
        videoCreationPass();
    } while (!exitRequested());
    return nullptr;
}

int initCreateVideoThread() {
    if (tid_createVideoThread.load() != pthread_t{}) return 0;
    notifyAction();
    return cm::startWorkerThread(tid_createVideoThread, "cm-video", cm::Urgency::ordinary, doCreateVideoThread,
                                 const_cast<bool*>(&kThreadArgument),
                                 {"Capture video thread created successfully!", "can't Capture video capture thread", false});
}

void resetVideoCreationForTests() {
    lPreviousUserVideoCommandTimestamp.store(0);
    tid_createVideoThread.store(0);
    setRandomDrawForTests(nullptr);
}
