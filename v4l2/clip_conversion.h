// The conversion of raw clips into MP4 files in the upload queue. A saved
// raw clip is handed to the system command queue as one converter command;
// the command's completion step, on the command thread, checks the output
// and moves it into the queue. No clip is lost or corrupted on the way:
//
// Format. A raw clip is a plain run of frames exactly as the driver
// delivered them; the converter must be told what they are. Beside every
// raw clip "<stem>.raw" stands its format file "<stem>.raw.format" (written
// like the raw clip: a fresh file made exclusively, then renamed), holding
// the pixel format, the frame size the driver delivered, the frame rate it
// set (read back from the driver) and whether the raw clip was cut short.
// A clip converted after a restart is thus converted as it was recorded. A
// format file is read only when it is a regular file of this process's
// user, at most kFormatFileMaxBytes long; every value is checked (numbers,
// a known pixel format), anything else is ignored, so nothing from the file
// reaches the command line but checked numbers and fixed words. A raw clip
// without a usable format file (left by an older version) is converted with
// this run's settings.
//
// Input options. Motion-JPEG is "-f mjpeg ", H.264 "-f h264 ", YUYV raw
// video "-f rawvideo -pix_fmt yuyv422 -s WxH " (YUYV frames say nothing of
// their size; an ffmpeg-compatible converter knows no "yuyv" format); any
// other pixel format no "-f" at all. The input rate "-r F" (or "-r F/S") is
// the rate the driver set, as read back, also when no rate was asked for:
// without it the converter times Motion-JPEG at its default of 25 frames a
// second and a clip of a 30-a-second camera plays too slowly. When the
// driver does not report its rate the asked rate stands; when nothing is
// known there is no input rate, as before.
//
// Command. "flock -n -E 75 <raw> timeout --foreground -k 30 <limit>
// <converter> <input options> -i <raw> <output options> -y <output>" (the
// converter's own part as it always was). The lock on the raw clip is held
// by flock, timeout and the converter together, so that a converter left
// running by an earlier process (ended by the exit flag, or killed alone)
// still holds it: a second converter of the same clip never starts; the
// lock being busy (status 75) only means "try again later". timeout ends a
// converter that runs past kConverterTimeLimitSeconds (TERM, then KILL 30 s
// later); that counts as a failure. "--foreground" keeps the converter in
// the daemon's process group, so that a supervisor ending the daemon's
// group ends the conversion with it (the converter front end execs the
// converter itself, which timeout then still ends at the limit).
//
// Output. The converter writes into a private directory made at start with
// mkdtemp (mode 0700) in /tmp: nobody can predict, pre-empt or plant a link
// at the output's name. Stale private directories of earlier runs (this
// user's, matching the name pattern, never a link) are removed at start; the
// directory is made anew if it has gone.
//
// Completion. Status 0: the output must be a whole MP4 file (mp4_check.h);
// it is moved into the queue (renamed when on the same file system, else
// copied to the in-progress name, synced and renamed into place), and only
// then are the raw clip and its format file removed. A copy that fails is
// removed at once. Anything else (a failed, killed or timed-out converter,
// a broken output, a failed move) keeps the raw clip, is written to the
// daily log, and the clip is tried again after a pause of 30 s, doubled at
// every failure (the process clock's time). A failure while a file system
// is short of space (less free than the raw clip's size, at most 32 MB, on
// /tmp or the queue's file system) is not held against the clip: it waits,
// at most 16 minutes between tries, until space is back. After
// kConversionAttempts failures otherwise the clip is set aside as
// "<stem>.raw.failed" (with "<stem>.raw.failed.format"), which the retry,
// the next start and the upload all pass over; at most kSetAsideMaxClips
// clips and kSetAsideMaxBytes are kept set aside (the newest always), the
// oldest go first, one log line each. Failure counts live in memory: a
// restart tries every raw clip again.
//
// A raw clip cut short when it was written (a full /tmp) is logged as such
// and marked in its format file; it is converted all the same (what was
// written is a playable beginning), and its conversion says it is short.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr int kConverterLockBusyStatus = 75;       // flock -E: the clip is locked by another converter
// Measured on a development machine: 330 frames of 1920 x 1080 Motion-JPEG
// (41 MB) take 18.5 s of processor time to convert, so the largest raw clip
// (the whole 100,000,000-byte buffer) about 45 s; the board's single
// Cortex-A8 is 10 to 20 times slower: up to about 15 minutes there. The
// limit is five times that, so only a converter that hangs meets it.
inline constexpr int kConverterTimeLimitSeconds = 80 * 60;
inline constexpr int kConverterKillGraceSeconds = 30;
inline constexpr int kConversionAttempts = 5;
inline constexpr int kRetryFirstPauseSeconds = 30;
inline constexpr int kRetryMaxPauseSeconds = 16 * 60;
inline constexpr int kLockBusyPauseSeconds = 30;
inline constexpr int kSetAsideMaxClips = 3;
inline constexpr long long kSetAsideMaxBytes = 64LL << 20;
inline constexpr long long kSpaceNeededCapBytes = 32LL << 20;
inline constexpr std::size_t kFormatFileMaxBytes = 4096;
inline constexpr char kOutputDirPrefix[] = "capture_module.convert.";

// What a raw clip holds, as recorded. 0 = not known.
struct ClipFormat {
    std::uint32_t pixelFormat = 0;  // V4L2 pixel format code
    unsigned width = 0;
    unsigned height = 0;
    unsigned rateFrames = 0;   // frames per second = rateFrames / rateSeconds
    unsigned rateSeconds = 0;
    bool cutShort = false;     // the raw clip was not written whole
};
bool operator==(const ClipFormat& a, const ClipFormat& b);

// The format file's text: "key=value" lines (pixelformat, width, height,
// rate "F/S", cut_short 0 or 1).
std::string format_file_text(const ClipFormat& f);
// Parses a format file's text; false (and `out` untouched) when it is not
// one this program wrote: too long, a line without '=', a value out of range.
bool parse_format_file_text(std::string_view text, ClipFormat& out);

// Whether `file` (a name in /tmp) is a raw clip of this program,
// "<name>_<N>_<time group>.raw", or with `setAsideToo` also a set-aside one.
bool is_raw_clip_name(std::string_view file, bool setAsideToo);

std::string format_file_path(const std::string& rawPath);  // "<raw>.format"
std::string set_aside_path(const std::string& rawPath);    // "<raw>.failed"

// Writes the format file of `rawPath` (fresh file, renamed over the name).
bool write_format_file(const std::string& rawPath, const ClipFormat& f, int& err);
enum class FormatFileRead { Read, Missing, Refused };
// Reads the format file of `rawPath`; Refused when it is not a regular file
// of this user, too long, or not parsable (`why` says which).
FormatFileRead read_format_file(const std::string& rawPath, ClipFormat& out, std::string& why);

struct ClipPaths {
    std::string raw;           // "<tmp>/<name>_<N>_<ts>.raw"
    std::string temporaryMp4;  // "<private output dir>/<name>_<N>_<ts>.mp4"
    std::string queued;        // "<base>/queue/<name>_<N>_<ts>.mp4"
};
ClipPaths clip_paths(const std::string& tmpDir, const std::string& outputDir, const std::string& baseDir,
                     const std::string& name, int N, const std::string& timeGroup);

// What the converter command is built from.
struct ConverterSettings {
    std::string converter;  // the converter program's path
    bool copy = false;      // "-copy": copy the stream instead of re-encoding
    int forceFormat = 11;   // device format preset
    ClipFormat input;       // what the raw clip holds
    std::string fps;        // output rate flags
    std::string size;       // output size flags
    std::string bitrate;    // output bit-rate flags
    int timeLimitSeconds = kConverterTimeLimitSeconds;
};
// The run configuration's settings; the input as configured (pixel format,
// the preset's size, the asked rate).
ConverterSettings converter_settings_from_run_config();
// The run configuration's settings with the input as recorded, where the
// recording says.
ConverterSettings converter_settings_for(const ClipFormat& recorded);
// What device N's raw clips of the current cycle hold.
ClipFormat delivered_clip_format(int N);

std::string converter_format_flags(const ClipFormat& input);
std::string converter_rate_flags(const ClipFormat& input);
std::string convert_command(const ConverterSettings& settings, const ClipPaths& paths);

// The private output directory, made when missing (or gone, or no longer
// this user's 0700 directory); "" when it cannot be made.
std::string conversion_output_dir();

// Queues the conversion of a raw clip (prints "mp4 convert cmd: ").
void queue_conversion(const ClipPaths& paths, const ConverterSettings& settings);

// Queues again the conversion of every raw clip in /tmp that an earlier run
// saved but never completed, each with its recorded format, and removes the
// half-written files a run may have left. A raw clip whose MP4 file already
// stands in the queue was converted: it is removed instead.
void requeue_pending_raw_clips();

// At start-up, before the threads: removes stale private directories,
// makes this run's and queues the clips earlier runs left.
void start_clip_conversion();
