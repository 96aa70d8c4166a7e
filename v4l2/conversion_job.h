// The conversion of a raw clip into an MP4 file in the upload queue, as one
// job on the system command queue (system_commands.h). A capture worker
// queues the job; the command thread runs its converter command
// (converter_command.h) and then its completion step, which ends the job
// one of four ways:
//
// - Converted: the output is a whole MP4 file (mp4_check.h); it is moved
//   into the queue (move_into_queue.h), and only then are the raw clip and
//   its format file removed. No clip is lost on the way.
// - Failed (the converter failed, was killed or ran past its limit, its
//   output is broken, the move failed): the raw clip stays, the daily log
//   says why, and the job is queued again after a pause of
//   kRetryFirstPauseSeconds, doubled at every failure up to
//   kRetryMaxPauseSeconds. A failure while a file system is short of space
//   (less free than the raw clip, at most kSpaceNeededCapBytes, in the
//   output directory or the queue) is not held against the clip. After
//   kConversionAttempts failures otherwise the clip is set aside (below).
// - Waiting: another converter holds the clip's lock; tried again after
//   kLockBusyPauseSeconds, not counted as a failure.
// - Gone: the raw clip was removed (to make room) before its converter
//   ran; one line, nothing retried.
//
// Set aside: "<stem>.raw.failed" with its format file (clip_names.h), which
// the retry, the next start and the upload all pass over. At most
// kSetAsideMaxClips clips and kSetAsideMaxBytes stay set aside, the newest
// always; the oldest go first, with a line each.
//
// Failure counts live in the job, in memory: a restart tries every raw
// clip again (conversion_start.h). A clip that was cut short when it was
// written is converted all the same (what was written is a playable
// beginning), and its conversion says so.
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
// cmd: " and the command). The private output directory is taken at every
// try; `paths.temporaryMp4` is made there.
void queueConversion(const ClipPaths& paths, const ConverterSettings& settings);

// Whether the conversion of the raw clip `rawPath` is queued or running:
// its name is still taken.
bool conversionPending(const std::string& rawPath);

// Makes room in /tmp for the raw clip `raw` of `bytes` by removing clips
// nothing works on: set-aside clips first, then the oldest raw clips still
// waiting for their conversion (which is withdrawn), never the one being
// converted, nor one whose conversion is not queued yet (another camera's
// clip just written: its conversion comes next). Each goes with its format
// file; one line says what went. Whether `bytes` fit afterwards.
bool makeRoomForRawClip(const std::string& raw, std::uint64_t bytes);
