// The raw clip writer: the direct path's raw clips are written on a thread
// of their own ("cm-raw-writer"), never on the camera worker that saved
// them. A save hands the filled frame block over and the camera records on
// into a fresh block at once, so a camera is blind for its stream-off, the
// hand-over and its stream-on, not for a write: on a slow card (2 MB/s) the
// write of one clip takes seconds, of four clips half a minute.
//
// Each clip goes to the card in this order, each step done before the next
// (common/durable.h), so that a power cut at any point leaves either
// nothing of the clip or its raw clip whole with its format file:
//  1. the raw clip's data into a fresh file beside its name (not yet
//     visible: the next start removes such a file);
//  2. the format file (format_file.h): synced, renamed into place, /tmp
//     synced. A cut from here to 3 leaves a format file without its raw
//     clip, which the next start removes (conversion_start.h);
//  3. the raw clip: synced, renamed into place, /tmp synced;
//  4. its conversion queued (conversion_job.h): "mp4 convert cmd: ".
// The clip's name (clip_names.h) and the room it needs in /tmp are settled
// here too, so that a camera worker never waits on the file system.
//
// Memory: a handed-over block is resident only as far as it was filled. The
// writer gives its pages back as they reach the file, and unmaps the block
// once the clip is written. At most kRawClipsWaitingMaxBytes of clips wait
// for the writer (the clip being written counts until it is written); a
// save that would pass that bound waits until its clip fits, its camera
// blind meanwhile, and the daily log says for how long and about how many
// frames it lost. A clip always fits when none waits. No clip is ever
// dropped for the bound.
//
// The writer starts with the first hand-over and is never joined: it does
// not end on the exit flag but writes what was handed over until the
// process ends; the ending waits for it (finishRawClipWrites).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "v4l2/format_file.h"

// Four cameras' clips of ten seconds of 1280 x 720 Motion-JPEG at 30 frames
// a second (about 75 KB a frame: 22 MB a clip) fit together, so that an
// alert blinds no camera on a slow card; the cameras' fresh blocks fill
// meanwhile. Past it, a save waits rather than take more of the board's
// 512 MB.
inline constexpr std::size_t kRawClipsWaitingMaxBytes = 96u << 20;
// The ending's wait for the clips still to be written: four such clips on a
// card of 2 MB/s.
inline constexpr long long kRawClipEndWaitMillis = 60000;
// Pages of a handed-over block go back after each piece of this size.
inline constexpr std::size_t kRawClipWritePieceBytes = 1u << 20;

// Unmaps a frame block (kMemoryOutputSize bytes, memory_output.h).
struct FrameBlockUnmap {
    void operator()(unsigned char* block) const;
};
using FrameBlock = std::unique_ptr<unsigned char, FrameBlockUnmap>;

// What a save knows of its clip.
struct RawClipInfo {
    int device = 0;
    std::string name;       // clip kind (clip_names.h)
    std::string timeGroup;  // the time group when it was saved
    ClipFormat format;      // as the driver delivered it
    std::string frames;     // what its frames lack (frame_sequence.h), "" when nothing
};

// A filled block on its way to the card.
struct RawClip {
    RawClipInfo info;
    FrameBlock block;
    std::size_t bytes = 0;
};

// Hands `clip` to the writer and returns; waits only past the bound above.
// When the writer thread cannot be started, writes the clip itself. Camera
// worker threads.
void handOverRawClip(RawClip clip);

// Writes one raw clip now, in the order above: its name, room in /tmp, the
// format file, the raw clip (said in the daily log, with `frames`), its
// conversion. `releaseAsWritten`: the pages
// of `data` go back to the kernel as they are written (a handed-over
// block). A raw clip that could not be written whole is logged as cut
// short and marked so in its format file. The writer's thread, or a worker
// that could not hand over.
void writeRawClip(const RawClipInfo& clip, unsigned char* data, std::size_t bytes, bool releaseAsWritten);

// Waits until every clip handed over so far is written, at most `millis`
// (monotonic); whether they are. Says in the daily log which are not.
bool finishRawClipWrites(long long millis);

// Waits for the writer to write what it holds (the thread stays).
void resetRawClipWriterForTests();
