// The order of urgency of the daemon's work on the board's one core, most
// urgent first:
//  1. capture: the camera workers, which must take every frame before the
//     driver runs out of queued buffers (a few frame intervals);
//  2. the daemon's ordinary work: the clip road (video creation, the raw
//     clip writer, the command thread), the upload walk, the log writer,
//     the watchdog, the main thread;
//  3. live streaming: the streaming thread, its monitor and the reply
//     readers; a late picture is only late, a lost frame is a hole in a clip;
//  4. the children (converters, the upload tool, mkdir): the least urgent
//     work, in processor and disk time alike (common/child_process.h).
// A thread takes its level as it starts (common/threads.h): Linux keeps a
// nice value per thread, and a new thread would otherwise inherit its
// creator's (a capture thread starts the log writer and the raw clip
// writer). The levels only order threads that want the core at the same
// time; a thread that sleeps lends its time to the others.
//
// The values are a measured choice (docs/performance.md, "The order on
// the one core"): on the board's share of a core, streaming and a
// converter running, all threads at nice 0 lost 8-11 % of the frames for
// want of a queued buffer; capture raised, 7 %; capture raised and
// streaming lowered, 5-7 %, at 2.4-2.5 streaming requests a second instead
// of 2.5-2.6 and with the same clip times. More driver buffers took the
// rest of the losses away (v4l2/device_setup.h).
#pragma once

namespace cm {

enum class Urgency { capture, ordinary, streaming };

inline constexpr int kCaptureNiceValue = -10;
inline constexpr int kOrdinaryNiceValue = 0;
inline constexpr int kStreamingNiceValue = 5;

int niceValueOf(Urgency urgency);

// Gives the calling thread, and only it, the nice value of `urgency`.
// Returns 0, or the errno of the refusal: raising a priority needs
// CAP_SYS_NICE (root has it, as under the daemon's systemd unit) or a
// matching RLIMIT_NICE; a refused thread keeps the nice value it had.
int takeUrgency(Urgency urgency);

// The calling thread's nice value.
int ownNiceValue();

}  // namespace cm
