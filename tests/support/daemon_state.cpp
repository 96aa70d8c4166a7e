#include "support/daemon_state.h"

#include "board/camera_selection.h"
#include "board/gpio.h"
#include "board/watchdog.h"
#include "capture/capture_loop.h"
#include "capture/picture_store.h"
#include "capture/video_creation.h"
#include "common/arrival_order.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/run_config.h"
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
#include "v4l2/camera_retry.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/device_state.h"
#include "v4l2/frame_sequence.h"
#include "v4l2/memory_output.h"
#include "v4l2/raw_clip_writer.h"
#include "v4l2/system_commands.h"

namespace cmtest {

void resetDaemonState() {
    // Units whose only state is a seam that tests replace.
    cm::setClockForTests(nullptr);
    cm::setSysCallsForTests(nullptr);
    setNotificationSinkForTests(nullptr);

    cm::resetLogWriterForTests();  // first: what an earlier case's threads handed over is written
    resetRunConfig();
    resetSettingsForTests();
    resetDebugForTests();
    cm::resetDiskSpaceForTests();
    cm::resetArrivalsForTests();
    resetGpioForTests();
    resetCameraSelectionForTests();
    resetWatchdogForTests();
    resetPictureStore();  // szTimeGroupTimestamp stays: a time string that every user renews
    resetVideoCreationForTests();
    resetCaptureLoopForTests();
    resetConnectionForTests();
    resetFrameBuffersForTests();
    resetScreenshotRequestForTests();
    resetStreamingControlForTests();
    resetFtpUploadForTests();
    resetPositionUrlForTests();
    resetRawClipWriterForTests();  // before the memory output: the clips it writes came from its blocks
    resetMemoryOutputForTests();  // before the device state: it releases the blocks
    resetDeviceStateForTests();
    resetCameraRetriesForTests();
    resetFrameSequencesForTests();
    resetSystemCommandsForTests();
    resetConversionOutputDirForTests();
}

}  // namespace cmtest
