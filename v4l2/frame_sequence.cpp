#include "v4l2/frame_sequence.h"

#include "v4l2/device_state.h"

namespace {

struct Sequence {
    bool streamSeen = false;  // a buffer since STREAMON
    std::uint32_t last = 0;
    bool clipSeen = false;    // a frame in the clip
    std::uint32_t clipLast = 0;
    FrameGaps clip;
    FrameGaps camera;
};

Sequence g_sequences[kV4l2Devices];

Sequence& of(int N) { return g_sequences[validDevice(N) ? N : 0]; }

// Frames missing between `previous` and `next` (the counter wraps; a
// counter that went back, a driver that started over, is no loss).
std::uint32_t missingBetween(std::uint32_t previous, std::uint32_t next) {
    const auto d = static_cast<std::int32_t>(next - previous - 1);
    return d > 0 ? static_cast<std::uint32_t>(d) : 0;
}

void count(FrameGaps& g, std::uint32_t missing) {
    ++g.frames;
    if (missing == 0) return;
    g.lost += missing;
    ++g.gaps;
}

}  // namespace

void frameSequenceStreamingStarted(int N) { of(N).streamSeen = false; }

void frameSequenceClipStarted(int N) {
    Sequence& s = of(N);
    s.clipSeen = false;
    s.clip = FrameGaps{};
}

void frameSequenceSeen(int N, std::uint32_t sequence, bool stored) {
    Sequence& s = of(N);
    // The first buffer after STREAMON follows frame "-1".
    count(s.camera, missingBetween(s.streamSeen ? s.last : static_cast<std::uint32_t>(-1), sequence));
    s.streamSeen = true;
    s.last = sequence;
    if (!stored) return;
    if (s.clipSeen) {
        count(s.clip, missingBetween(s.clipLast, sequence));
    } else {
        ++s.clip.frames;
    }
    s.clipSeen = true;
    s.clipLast = sequence;
}

FrameGaps clipFrameGaps(int N) { return of(N).clip; }
FrameGaps cameraFrameGaps(int N) { return of(N).camera; }

std::string describeClipFrames(int N) {
    const FrameGaps c = clipFrameGaps(N);
    std::string text = std::to_string(c.frames) + " frames, ";
    if (c.lost == 0) {
        text += "none lost";
    } else {
        text += std::to_string(c.lost) + " lost in " + std::to_string(c.gaps) + (c.gaps == 1 ? " gap" : " gaps");
    }
    const FrameGaps all = cameraFrameGaps(N);
    text += "; camera " + std::to_string(N) + ": " + std::to_string(all.lost) + " of " +
            std::to_string(all.frames + all.lost) + " frames lost since the start";
    return text;
}

void resetFrameSequencesForTests() {
    for (Sequence& s : g_sequences) s = Sequence{};
}
