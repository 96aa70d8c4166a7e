#include "app/startup.h"

#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "app/options.h"
#include "board/camera_selection.h"
#include "board/gpio.h"
#include "board/watchdog.h"
#include "capture/capture_loop.h"
#include "capture/video_creation.h"
#include "common/clock.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "common/shell.h"
#include "common/sys_error.h"
#include "common/time_group.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "streaming/streaming_control.h"
#include "upload/ftp_upload.h"
#include "upload/positionurl.h"
#include "v4l2/conversion_start.h"
#include "v4l2/move_into_queue.h"
#include "v4l2/raw_clip_writer.h"
#include "v4l2/system_commands.h"

namespace {

constexpr long long kExitPollMillis = 500;
constexpr long long kExitGraceMillis = 3500;

void logSummary() {
    verbos("Done processing argument storage Length=%d frames", static_cast<int>(STORAGE_LENGTH));
    verbos("Control Input=%d", bControlInput);
    verbos("Memory Store=%d", bMemoryStore);
    verbos("USB=%d", g_bUSB);
    verbos("Files resizer: %s", szMP4Size);
    verbos("Sampling Bitrate: %s", szBitrate);
    verbos("Norm Test=%d", static_cast<int>(bNormTest));
    verbos("Streaming Server: %s", SOCKET_ADDR);
    if (force_format2 == 50) {
        verbos("force_format2 = 50 (input format)\ng_nDevWidth  = %d\ng_nDevHeight = %d\ng_nField = %d\ng_nPixelFormat = %d\n",
               g_nDevWidth, g_nDevHeight, g_nField, static_cast<int>(g_nPixelFormat));
    }
}

}  // namespace

void applySwitchOverrides() {
    int sw5 = getGPIO(footprint::kPinDipSwitch5 / 32, footprint::kPinDipSwitch5 % 32);
    int sw6 = getGPIO(footprint::kPinDipSwitch6 / 32, footprint::kPinDipSwitch6 % 32);
    if (sw5 != 0) {
        g_std = V4L2_STD_NTSC;
        verbos("Override norm to NTSC by switch#5!");
    }
    if (sw6 != 0) {
        g_bUSB = 1;
        verbos("Override USB handling by switch#6!");
    }
    if (bNoresize) szMP4Size[0] = '\0';
}

namespace {

// The worker threads, one second apart, in this order: restart watchdog,
// capture, video creation, FTP upload, system commands, streaming.
void startThreads() {
    initRestarterThread();
    cm::sleepSeconds(1);
    initCaptureFromCamThread();
    cm::sleepSeconds(1);
    initCreateVideoThread();
    cm::sleepSeconds(1);
    initFTPThread();
    cm::sleepSeconds(1);
    initSystemCommandsThread();
    cm::sleepSeconds(1);
    initStreamingThread();
}

// The base directory of "-normtest". It lies in /tmp, where anybody may
// have put a link (or anything else) at "/tmp/normtest" beforehand, and the
// tree is built with plain "mkdir"s that would follow it. So the tree goes
// there only when that is a directory of this user that nobody else can
// write into (made here, or left by an earlier test run); otherwise into a
// fresh private directory "/tmp/normtest.XXXXXX", created exclusively under
// a name nobody could predict, like every other working file of the program
// in /tmp. Whatever was planted is neither followed nor changed. When not
// even that directory can be made, the test run ends (status 1).
std::string normTestBase() {
    const std::string wanted = footprint::resolve(footprint::kNormTestBase);
    if (::mkdir(wanted.c_str(), 0755) == 0 || errno == EEXIST) {
        struct stat st {};
        if (::lstat(wanted.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
            return wanted;
    }
    std::string fresh = wanted + ".XXXXXX";
    if (::mkdtemp(fresh.data()) == nullptr) {
        verbos("no directory for the test files: %s is not a directory of this user alone and %s failed: %s",
               wanted.c_str(), fresh.c_str(), cm::errnoText(errno).c_str());
        endProcess(1);
    }
    verbos("%s is not a directory of this user alone (a link, say): the test files go to %s", wanted.c_str(),
           fresh.c_str());
    return fresh;
}

}  // namespace

int initVars() {
    setting.reset();
    szTimeGroupTimestamp.renew();
    initGPIOs();
    clearInputSelection();
    setting.init();
    removeLeftoverControlRecordTemporaries();
    setting.readSettings();
    g_nCAMs.store(setting.camSet());
    lPreviousUserVideoCommandTimestamp.store(setting.userVideoCommand());
    LBASE_PATH = bNormTest ? normTestBase() : footprint::resolve(footprint::kHome);
    if (bNormTest) cm::printOutFormatted("NROM TEST!, path to test files: %s\n", LBASE_PATH.c_str());

    const std::string base = cm::shellQuote(LBASE_PATH);
    std::string command = "mkdir " + base + ";mkdir " + base + "/queue;mkdir " + base + "/1; mkdir " + base +
                          "/2; mkdir " + base + "/3; mkdir " + base + "/4;";
    int status = cm::runShell(command);
    // No producer runs yet: whatever in-progress file is in the queue was
    // left by a process that ended while writing it. A whole converted clip
    // among them is finished, not lost: its raw clip may be gone already.
    finishStagedClips(queueDirectory());
    removeStaleInProgressFiles(queueDirectory());
    // Before any thread appends a record of its own.
    restoreKeptNotificationRecords();

    readInputsDIPState();
    step1By1(0);
    cm::printOutFormatted("Init result: %d\n", status);
    return status;
}

void waitForExitRequest() {
    while (!exitRequested() && !setting.refreshExitFlagFromFile()) cm::sleepMillis(kExitPollMillis);
}

void runCaptureModule(int argc, char** argv) {
    resetRunConfig();
    verbos("capture module starting!");
    cm::printOutFormatted("Arguments count: %d\n", argc);
    storeStartValues();

    if (argc > 1) {
        verbos("Processing arguments..");
        for (int i = 1; i < argc; ++i) {
            cm::printOutFormatted("Processing argument# %d of %d: %s\n", i, argc - 1, argv[i]);
            if (applyArgument(argv[i]) == 827) endProcess(827);
        }
        applySwitchOverrides();
        logSummary();
    }

    initVars();

    if (setting.exitFlag()) {
        verbos("Exiting flag initially up.. turning it down and exit.. cya!!");
        setting.exit(0);
        endProcess(0);
    }

    if (computeFrameCounts()) {
        verbos("Frame rate=%d", g_FrameRate);
        verbos("Frames count=%d", frame_count);
    }

    // Raw clips an earlier run left unconverted are converted whatever
    // capture path this run takes (the command thread runs on every path).
    startClipConversion();
    startThreads();

    waitForExitRequest();
    cm::sleepMillis(kExitGraceMillis);
    // The clips the cameras saved last are written before the process ends.
    finishRawClipWrites(kRawClipEndWaitMillis);
    // A clip the server stores must get its notification record, and a
    // record still waiting for room gets a last try, else is kept for the
    // next run.
    finishUploadUnderWay();
    keepPendingNotificationRecordsForNextRun();
    verbos("Exiting.. cya!!");
    endProcess(0);
}
