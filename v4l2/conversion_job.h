// The conversion of a raw clip into an MP4 file in the upload queue, as one
// job on the system command queue (system_commands.h). The raw clip writer
// and start-up queue jobs; the command thread runs each job's converter command
// (converter_command.h) and then its completion step. What a caller may
// rely on, for a raw clip handed over with its format file:
//
// - Converted: only a whole MP4 file (mp4_check.h) enters the queue
//   (move_into_queue.h), in this order, each step durable before the next:
//   the MP4 file under its in-progress name in the queue; the raw clip and
//   its format file removed; the MP4 file under its final name. So a power
//   cut leaves the raw clip, the whole MP4 file staged (the next start
//   finishes it and removes the raw clip), or the clip in the queue and
//   no raw clip that could bring it back.
// - Failed (converter failed, killed or past its limit, broken output,
//   failed move): the raw clip stays, the daily log says why, and the job
//   runs again after kRetryFirstPauseSeconds, doubled at every failure up
//   to kRetryMaxPauseSeconds. A failure while /tmp or the queue has less
//   free than the raw clip (at most kSpaceNeededCapBytes) is not counted;
//   after kConversionAttempts counted failures the clip is set aside.
// - Waiting: another converter holds the clip's lock; runs again after
//   kLockBusyPauseSeconds, not counted.
// - Gone: the raw clip was removed before its converter ran; one line,
//   nothing more.
//
// Set aside: "<stem>.raw.failed" with its format file (clip_names.h), which
// retries, the next start and the upload all pass over; at most
// kSetAsideMaxClips clips and kSetAsideMaxBytes, the newest always kept,
// the oldest removed first with a line each.
//
// Failure counts live in memory: a restart tries every raw clip again
// (conversion_start.h). A clip cut short when it was written is converted
// all the same, and its conversion says so.
#pragma once

#include <cstdint>
#include <string>

#include "v4l2/clip_names.h"
#include "v4l2/converter_command.h"

inline constexpr int kConversionAttempts = 5;
inline constexpr int kRetryFirstPauseSeconds = 30;
inline constexpr int kRetryMaxPauseSeconds = 16 * 60;
inline constexpr int kLockBusyPauseSeconds = 30;
inline constexpr int kSetAsideMaxClips = 3;
inline constexpr long long kSetAsideMaxBytes = 64LL << 20;
inline constexpr long long kSpaceNeededCapBytes = 32LL << 20;

// Queues the conversion of the raw clip `paths.raw` (prints "mp4 convert
// cmd: " and the command); `paths.temporaryMp4` is set at every try, in
// the private output directory (conversion_output_dir.h). Any thread.
void queueConversion(const ClipPaths& paths, const ConverterSettings& settings);

// Whether the conversion of the raw clip `rawPath` is queued or running
// (its name is still taken). Any thread.
bool conversionPending(const std::string& rawPath);

// Makes room in /tmp for the raw clip `raw` of `bytes` by removing clips
// nothing works on: set-aside clips first, then the oldest raw clips still
// waiting for their conversion (which is withdrawn), never the one being
// converted, nor one whose conversion is not queued yet (another camera's
// clip just written: its conversion comes next). Each goes with its format
// file; one line says what went. Whether `bytes` fit afterwards. On the
// saving worker's thread.
bool makeRoomForRawClip(const std::string& raw, std::uint64_t bytes);
