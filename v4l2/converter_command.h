// The converter's command line, built from settings and paths alone: no
// file system access, no state. Callers may rely on this shape:
//
//   flock -n -E 75 <raw> timeout --foreground -k 30 <limit>
//     <converter> <input options> -i <raw> <output options> -y <output>
//
// (the converter's own part as the device has always run it; with "-copy"
// "<converter> <format> -i <raw> -vcodec copy <output>"). Every path is
// quoted for the shell.
//
// - The lock on the raw clip is held by flock, timeout and the converter
//   together, so a converter left running by an earlier process still
//   holds it and a second converter of the same clip never starts; the
//   lock being busy ends the command with kConverterLockBusyStatus, which
//   only means "try again later".
// - timeout ends a converter that runs past its limit (TERM, then KILL
//   kConverterKillGraceSeconds later), status 124. "--foreground" keeps the
//   converter in the daemon's process group, so that a supervisor ending
//   the daemon's group ends the conversion with it.
// - Input options: Motion-JPEG "-f mjpeg ", H.264 "-f h264 ", YUYV
//   "-f rawvideo -pix_fmt yuyv422 -s WxH " (YUYV frames say nothing of
//   their size, and an ffmpeg-compatible converter knows no "yuyv"
//   format), anything else none; then the input rate "-r F" or "-r F/S"
//   as the driver set it, since without it the converter times
//   Motion-JPEG at 25 frames a second and a 30-a-second camera's clip plays
//   too slowly. No rate known, no rate option.
#pragma once

#include <string>

#include "v4l2/clip_names.h"
#include "v4l2/format_file.h"

inline constexpr int kConverterLockBusyStatus = 75;  // flock -E: the clip is locked by another converter
// Measured on a development machine: 330 frames of 1920 x 1080 Motion-JPEG
// (41 MB) take 18.5 s of processor time to convert, so the largest raw clip
// (the whole 100,000,000-byte buffer) about 45 s; the board's single
// Cortex-A8 is 10 to 20 times slower: up to about 15 minutes there. The
// limit is five times that, so only a converter that hangs meets it.
inline constexpr int kConverterTimeLimitSeconds = 80 * 60;
inline constexpr int kConverterKillGraceSeconds = 30;

// What the converter command is built from.
struct ConverterSettings {
    std::string converter;  // the converter program's path
    bool copy = false;      // "-copy": copy the stream instead of re-encoding
    int forceFormat = 11;   // device format preset; 9 or less adds "-aspect 16:9"
    ClipFormat input;       // what the raw clip holds
    std::string fps;        // output rate flags
    std::string size;       // output size flags
    std::string bitrate;    // output bit-rate flags
    int timeLimitSeconds = kConverterTimeLimitSeconds;
};

// The run configuration's settings, the input as configured (pixel format,
// the preset's size, the asked rate). Reads the run configuration only.
ConverterSettings converterSettingsFromRunConfig();
// The same with the input as recorded, wherever the recording knows it
// (a raw clip without a usable format file: ClipFormat{}, the run's).
ConverterSettings converterSettingsFor(const ClipFormat& recorded);

std::string converterFormatFlags(const ClipFormat& input);
std::string converterRateFlags(const ClipFormat& input);
// The command converting `paths.raw` into `paths.temporaryMp4`.
std::string convertCommand(const ConverterSettings& settings, const ClipPaths& paths);
