#include "v4l2/raw_clip_writer.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "common/arrival_order.h"
#include "common/clock.h"
#include "common/file_replace.h"
#include "common/footprint.h"
#include "common/paths.h"
#include "common/queue_names.h"
#include "common/run_config.h"
#include "common/sys_error.h"
#include "common/threads.h"
#include "log/console.h"
#include "log/debug.h"
#include "v4l2/clip_names.h"
#include "v4l2/conversion_job.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/converter_command.h"
#include "v4l2/device_state.h"

namespace {

// Suffixes tried when the name of a clip is already taken (see uniqueClipPaths).
constexpr int kMaxNameVariants = 100;

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

// A clip's name is taken while anything of that name is still on its way
// to the upload: its raw clip (written, or claimed by a queued conversion)
// or its MP4 file in the queue directory. Saving over it would lose that
// clip, so a repeated name (one device saving twice within one time group)
// gets a numbered variant of the time group instead.
// Anything standing at the name of its format file or of its set-aside
// form takes the name too (a link or directory planted there).
bool clipNameTaken(const ClipPaths& p) {
    return cm::pathPresent(p.raw) || conversionPending(p.raw) || cm::pathPresent(p.queued) ||
           cm::pathPresent(inProgressPathFor(p.queued)) || cm::pathPresent(formatFilePath(p.raw)) ||
           cm::pathPresent(setAsidePath(p.raw));
}

ClipPaths uniqueClipPaths(const std::string& name, int N, const std::string& timeGroup) {
    const std::string out = conversionOutputDir();
    ClipPaths p = clipPaths(tmpDir(), out, LBASE_PATH, name, N, timeGroup);
    for (int variant = 2; clipNameTaken(p) && variant <= kMaxNameVariants; ++variant)
        p = clipPaths(tmpDir(), out, LBASE_PATH, name, N, timeGroup + "-" + std::to_string(variant));
    return p;
}

void reportCannotOpen(const std::string& path, int err) {
    cm::printErrorFormatted("Cannot open '%s': %d, %s\n", path.c_str(), err, cm::errnoText(err).c_str());
}

// ---- the writer ----

class Writer {
public:
    // Queues `clip`, starting the thread first; false (clip untouched) when
    // the thread cannot be started.
    bool handOver(RawClip& clip) {
        std::unique_lock<std::mutex> lock(lock_);
        if (tid_.load() == pthread_t{} &&
            cm::startDetachedThread(tid_, "cm-raw-writer", cm::Urgency::ordinary, run, this) != 0)
            return false;
        const std::size_t bytes = clip.bytes;
        if (fits(bytes)) {
            push(clip);
            return true;
        }
        const std::size_t waiting = waitingBytes_;
        lock.unlock();
        verbos("camera %d: %zu MB of raw clips wait for the card, at most %zu MB may: it records again once its "
               "clip fits",
               clip.info.device, waiting >> 20, kRawClipsWaitingMaxBytes >> 20);
        const timespec start = cm::monotonicNow();
        lock.lock();
        changed_.wait(lock, [&] { return fits(bytes); });
        push(clip);
        lock.unlock();
        const double blind = cm::secondsBetween(start, cm::monotonicNow());
        const ClipFormat& f = clip.info.format;
        const double rate = f.rateSeconds != 0 ? static_cast<double>(f.rateFrames) / f.rateSeconds : 0.0;
        verbos("camera %d was blind for %.1f s waiting for the card: about %.0f frames lost", clip.info.device, blind,
               blind * rate);
        return true;
    }

    bool finish(long long millis) {
        std::unique_lock<std::mutex> lock(lock_);
        const bool done = changed_.wait_for(lock, std::chrono::milliseconds(millis), [&] { return waitingBytes_ == 0; });
        if (!done) {
            if (!writing_.empty()) verbos("%s was still being written at the end: lost", writing_.c_str());
            for (const RawClip& c : queue_) verbos("%s was not written before the end: lost", describe(c).c_str());
        }
        return done;
    }

private:
    static std::string describe(const RawClip& c) {
        return cm::concat("camera ", c.info.device, ": its clip of ", c.bytes, " bytes (time group ", c.info.timeGroup,
                          ")");
    }

    bool fits(std::size_t bytes) const { return waitingBytes_ == 0 || waitingBytes_ + bytes <= kRawClipsWaitingMaxBytes; }

    void push(RawClip& clip) {
        waitingBytes_ += clip.bytes;
        queue_.push_back(std::move(clip));
        changed_.notify_all();
    }

    static void* run(void* self) {
        static_cast<Writer*>(self)->loop();
        return nullptr;
    }

    void loop() {
        for (;;) {
            RawClip clip;
            {
                std::unique_lock<std::mutex> lock(lock_);
                changed_.wait(lock, [&] { return !queue_.empty(); });
                clip = std::move(queue_.front());
                queue_.pop_front();
                writing_ = describe(clip);
            }
            writeRawClip(clip.info, clip.block.get(), clip.bytes, true);
            clip.block.reset();
            std::lock_guard<std::mutex> g(lock_);
            writing_.clear();
            waitingBytes_ -= clip.bytes;
            changed_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<RawClip> queue_;     // guarded by lock_
    std::size_t waitingBytes_ = 0;  // queued and being written; guarded by lock_
    std::string writing_;           // the clip being written, "" when none; guarded by lock_
    std::atomic<pthread_t> tid_{0};
};

// Never destroyed: its thread waits on it until the process ends.
Writer& writer() {
    static Writer* w = new Writer;
    return *w;
}

}  // namespace

void FrameBlockUnmap::operator()(unsigned char* block) const { ::munmap(block, kMemoryOutputSize); }

void handOverRawClip(RawClip clip) {
    if (writer().handOver(clip)) return;
    verbos("camera %d: no thread to write its raw clip: it writes the clip itself", clip.info.device);
    writeRawClip(clip.info, clip.block.get(), clip.bytes, true);
}

void writeRawClip(const RawClipInfo& clip, unsigned char* data, std::size_t bytes, bool releaseAsWritten) {
    const int N = clip.device;
    const ClipPaths p = uniqueClipPaths(clip.name, N, clip.timeGroup);
    log__(p.raw.c_str(), N);
    if (!makeRoomForRawClip(p.raw, bytes)) {
        verbos("Raw clip %s not written: no room for its %zu bytes in %s", p.raw.c_str(), bytes, tmpDir().c_str());
        return;
    }
    // 1. The data, into a fresh file that nothing takes for a clip yet.
    cm::ReplacingFile raw(p.raw);
    if (!raw.opened()) {
        reportCannotOpen(p.raw, raw.openError());
        return;
    }
    std::size_t written = 0;
    while (written < bytes) {
        const std::size_t piece = std::min(kRawClipWritePieceBytes, bytes - written);
        const std::size_t n = raw.append(data + written, piece);
        // A piece in the file is in the page cache: the block's copy of it
        // would only double what the clip holds of the board's memory.
        if (releaseAsWritten && n == piece) ::madvise(data + written, piece, MADV_DONTNEED);
        written += n;
        if (n < piece) break;
    }
    ClipFormat recorded = clip.format;
    if (written < bytes) {
        log__("Error writing the full buffer", N);
        verbos("Raw clip %s cut short: %zu of %zu bytes written", p.raw.c_str(), written, bytes);
        recorded.cutShort = true;
    }
    // 2. The format file, durably in place before the raw clip: a raw clip
    // is never found without it.
    int err = 0;
    if (!writeFormatFile(p.raw, recorded, err))
        verbos("Could not write the format file of %s: %s", p.raw.c_str(), cm::errnoText(err).c_str());
    // 3. The raw clip: its data synced, then its name, then /tmp.
    cm::noteArrival(p.raw);
    switch (raw.publish(cm::Durability::durable, err)) {
        case cm::FileWrite::Done: break;
        case cm::FileWrite::NotDurable:
            verbos("Raw clip %s could not be synced (%s): a power cut may lose it", p.raw.c_str(),
                   cm::errnoText(err).c_str());
            break;
        default:
            reportCannotOpen(p.raw, err);
            cm::removeOwnFile(formatFilePath(p.raw));
            return;
    }
    verbos("camera %d: clip %s saved, %zu bytes%s%s", N, p.raw.c_str(), bytes, clip.frames.empty() ? "" : ": ",
           clip.frames.c_str());
    // 4. Only a clip on the card is handed to the conversion.
    queueConversion(p, converterSettingsFor(recorded));
}

bool finishRawClipWrites(long long millis) { return writer().finish(millis); }

void resetRawClipWriterForTests() { writer().finish(60000); }
