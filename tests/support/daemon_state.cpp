#include "support/daemon_state.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/run_config.h"
#include "board/camera_selection.h"
#include "board/gpio.h"
#include "board/watchdog.h"
#include "capture/capture_loop.h"
#include "capture/picture_store.h"
#include "capture/video_creation.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/syscalls.h"
#include "control/settings.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "streaming/connection.h"
#include "streaming/frame_buffers.h"
#include "streaming/notification.h"
#include "streaming/screenshot_request.h"
#include "streaming/streaming_control.h"
#include "upload/ftp_upload.h"
#include "upload/positionurl.h"
#include "v4l2/device_state.h"
#include "v4l2/memory_output.h"
#include "v4l2/system_commands.h"

namespace cmtest {

void resetDaemonState() {
    // Seams that tests replace.
    cm::setClockForTests(nullptr);
    cm::setSysCallsForTests(nullptr);
    setPictureSourceFactoryForTests(nullptr);
    setRandomDrawForTests(nullptr);
    setMemoryBlockMapperForTests(nullptr);
    setStreamingAllocatorForTests(nullptr);
    setNotificationSinkForTests(nullptr);
    setNotificationOpenForTests(nullptr);
    cm::setFreeSpaceProbeForTests(nullptr);
    resetNotificationRecordsForTests();
    setStreamingTimingsForTests(StreamingTimings{});

    // app: the options, at their defaults.
    resetRunConfig();

    // control: the record, the exit latch, the serial.
    settingTag::clearExitLatch();  // first: while latched, a reset keeps the exit flag up
    setting.reset();
    std::snprintf(device_serial, sizeof device_serial, "%s", "UNKNOWN");

    // board
    for (auto& s : gpio_states) s.store(0);
    for (auto& b : bInputs) b.store(0);
    for (auto& b : b1By1Inputs) b.store(0);
    n1By1RecordingsLeft.store(0);
    g_nCAMs.store(0);
    g_successful_frames.store(0);
    g_nActivityIteration.store(0);
    tid_restarterThread.store(0);

    // log (first: lines an earlier case's threads handed over are written)
    cm::resetLogWriterForTests();
    nError.store(0);
    for (auto& n : dev_name) n.store(nullptr);

    // capture (the picture store resets its own lists and counters)
    resetPictureStore();
    lPreviousUserVideoCommandTimestamp.store(0);
    g_nSaveType.store(0);
    tid_createVideoThread.store(0);
    for (auto& t : tid_captureFromCamThread) t.store(0);
    videoIDs[0] = 0;
    videoIDs[1] = 1;
    // szTimeGroupTimestamp stays: a time string that every user renews.

    // streaming
    isConnectd.store(0);
    disconnectStreamingServer();  // closes a socket left open, stops its watchdog
    nTempSockfd.store(0);
    tid_recv.store(0);
    nReciveWaitTimer.store(0);
    nRecieved.store(0);
    uninit_streaming_output_buffer();  // socket_outgoing_buf stays, as in the daemon
    g_bStreamingVideo.store(0);
    resetStreamingRequestState();
    cmd_idx.store(0);
    std::memset(receive_buffer, 0, sizeof receive_buffer);
    lPreviousStreamingVideoCommandTimestamp.store(0);
    tid_streamingThread.store(0);
    tid_streamVideoThread.store(0);

    // upload
    tid_FTPThread.store(0);

    // v4l2 (descriptors and mappings are the fixtures' to release)
    for (int i = 0; i < kV4l2Devices; ++i) {
        uninit_memory_output_buffer(i);
        fd[i] = -1;
        buffers[i] = nullptr;
        n_buffers[i] = 0;
        frames_left[i].store(0);
        g_bSaveFile[i].store(kSaveNone);
        tid_usb_capture[i].store(0);
        nDevicesIDs[i] = i;
        delivered_pixel_format[i] = 0;
    }
    std::string command;
    std::size_t waiting = 0;
    while (system_commands.takeFirst(command, waiting)) system_commands.finished();
    tid_system_commands.store(0);
}

}  // namespace cmtest
