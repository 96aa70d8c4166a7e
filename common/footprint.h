// The capture module's whole footprint on the board: every fixed path,
// address and board constant the program uses, in one place.
//
// Paths are written here exactly as they stand on the board. When the
// environment variable CAPTURE_MODULE_ROOT names a directory (an emulated
// board root), every fixed absolute path is resolved under it; device nodes
// ("/dev/video%d") never are, so that whatever stands behind them on the
// machine is what the program talks to.
#pragma once

#include <string>
#include <string_view>

#include "build_settings.h"

namespace footprint {

// Files and directories of the device.
inline constexpr char kHome[] = "/home/Tarvisel";                        // default base directory
inline constexpr char kControlFile[] = "/home/Tarvisel/capture_control.ini";
inline constexpr char kLogDir[] = "/home/Tarvisel/log";                  // daily logs, ftp logs
inline constexpr char kFtpDebugLog[] = "/home/Tarvisel/log/ftp_debug.log";
inline constexpr char kFtpErrorLog[] = "/home/Tarvisel/log/ftp_error.log";
inline constexpr char kNotifyDir[] = "/home/Tarvisel/pos";               // notification queue
inline constexpr char kNotifyFilePattern[] = "/home/Tarvisel/pos/%d.pos";
inline constexpr int kNotifyFileNumber = 1;
// Notification records that could not be queued before a run ended, for the
// next run to queue first (upload/positionurl.h). Not "*.pos": the
// companion reads only the queue file.
inline constexpr char kNotifyKeptFile[] = "/home/Tarvisel/pos/1.kept";
inline constexpr char kTmp[] = "/tmp";                                   // raw clips, debug images
inline constexpr char kNormTestBase[] = "/tmp/normtest";                 // base directory of "-normtest"

// Kernel interfaces.
inline constexpr char kGpioDir[] = "/sys/class/gpio";
inline constexpr char kEeprom[] = "/sys/bus/i2c/devices/1-0050/eeprom";  // board identity, I2C bus 1, 0x50
inline constexpr char kVideoDevicePattern[] = "/dev/video%d";            // never resolved under the root

// External programs.
inline constexpr char kConverter[] = "/usr/bin/avconv";
inline constexpr char kUploadTool[] = "/usr/bin/ncftpput";

// Network peers, fixed at build time (see the CMake cache variables of the
// same names; development and test builds use loopback addresses).
inline constexpr char kDefaultStreamingServer[] = CM_DEFAULT_STREAMING_SERVER;
inline constexpr char kLocalWinServer[] = CM_LOCALWIN_SERVER;
inline constexpr char kLocalLinuxServer[] = CM_LOCALLINUX_SERVER;
inline constexpr char kFtpHost[] = CM_FTP_HOST;
inline constexpr int kStreamingPort = 8080;
inline constexpr char kFtpUser[] = "kelm_o";
inline constexpr char kFtpPassword[] = "907";

// Board pins (sysfs GPIO numbers, 32 x bank + line).
inline constexpr int kPinCameraSwitch[4] = {66, 47, 34, 38};  // inputs 0..3
inline constexpr int kPinDipSwitch5 = 27;                     // force NTSC
inline constexpr int kPinDipSwitch6 = 10;                     // force the direct V4L2 path
inline constexpr int kPinActivity = 87;                       // watchdog output

// The emulated board root, or "" on a real board. Read once from the
// environment; stable for the life of the process.
std::string root();

// A fixed absolute path as this process must use it: `path` itself on a
// real board, the same path under the emulated root otherwise.
std::string resolve(std::string_view path);

// For tests: read the root anew from the environment.
void reloadRootFromEnvironment();

}  // namespace footprint
