#include "v4l2/memory_output.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/file_replace.h"
#include "common/footprint.h"
#include "common/sys_error.h"
#include "common/time_group.h"
#include "log/console.h"
#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "v4l2/clip_names.h"
#include "v4l2/device_state.h"
#include "v4l2/format_file.h"
#include "v4l2/raw_clip_writer.h"

namespace {

std::atomic<MemoryBlockMapper> g_mapper{nullptr};

void* mapAnonymous(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// A fresh block, or nullptr when none can be had.
unsigned char* mapBlock() {
    MemoryBlockMapper mapper = g_mapper.load();
    return static_cast<unsigned char*>(mapper != nullptr ? mapper(kMemoryOutputSize) : mapAnonymous(kMemoryOutputSize));
}

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t roundUpToPage(std::size_t n) { return (n + pageSize() - 1) / pageSize() * pageSize(); }

// Hands the pages of a buffer that held `heldBytes` back to the kernel,
// above the first kResidentKeepBytes. The next frames written there get
// fresh zero pages.
void returnResidentTail(unsigned char* data, std::size_t heldBytes) {
    if (data == nullptr || heldBytes <= kResidentKeepBytes) return;
    std::size_t end = std::min(roundUpToPage(heldBytes), roundUpToPage(kMemoryOutputSize));
    ::madvise(data + kResidentKeepBytes, end - kResidentKeepBytes, MADV_DONTNEED);
}

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

void reportCannotOpen(const std::string& path, int err) {
    cm::printErrorFormatted("Cannot open '%s': %d, %s\n", path.c_str(), err, cm::errnoText(err).c_str());
}

}  // namespace

void setMemoryBlockMapperForTests(MemoryBlockMapper mapper) { g_mapper.store(mapper); }

void resetMemoryOutputForTests() {
    for (int N = 0; N < kV4l2Devices; ++N) uninit_memory_output_buffer(N);
    g_mapper.store(nullptr);
}

void init_memory_output_buffer(int N) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    m.len.store(0, std::memory_order_relaxed);
    m.count.store(0, std::memory_order_relaxed);
    if (m.data != nullptr) return;  // a cycle that never released its block keeps it
    unsigned char* block = mapBlock();
    if (block == nullptr) {
        cm::printError("Cannt create an output buffer.. Out of memory\n");
        endProcess(1);
    }
    m.data = block;
}

void reset_memory_output_buffer(int N) {
    if (!validDevice(N)) return;
    memory_otuput[N].len.store(0, std::memory_order_relaxed);
    memory_otuput[N].count.store(0, std::memory_order_relaxed);
}

void drop_memory_output_buffer(int N) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    unsigned held = m.len.exchange(0, std::memory_order_relaxed);
    m.count.store(0, std::memory_order_relaxed);
    returnResidentTail(m.data, held);
}

void uninit_memory_output_buffer(int N) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    m.len.store(0, std::memory_order_relaxed);
    m.count.store(0, std::memory_order_relaxed);
    if (m.data != nullptr) ::munmap(m.data, kMemoryOutputSize);
    m.data = nullptr;
}

bool append_memory_output_frame(int N, const void* frame, std::size_t length) {
    MemoryOutput& m = memory_otuput[N];
    unsigned len = m.len.load(std::memory_order_relaxed);
    if (m.data == nullptr || static_cast<std::uint64_t>(len) + length >= kMemoryOutputSize) return false;
    std::memcpy(m.data + len, frame, length);
    m.len.store(len + static_cast<unsigned>(length), std::memory_order_relaxed);
    m.count.store(m.count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return true;
}

void save_memory_output_buffer(int N, const char* name, const std::string& frames) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    const unsigned len = m.len.load(std::memory_order_relaxed);
    if (m.data != nullptr && len > kSaveMinimumBytes) {
        RawClipInfo clip{N, name, szTimeGroupTimestamp.get(), deliveredClipFormat(N), frames};
        // The filled block goes to the raw clip writer and the camera
        // records on into a fresh one at once: it never waits on the card.
        if (unsigned char* fresh = mapBlock()) {
            RawClip filled{std::move(clip), FrameBlock(m.data), len};
            m.data = fresh;
            m.len.store(0, std::memory_order_relaxed);
            m.count.store(0, std::memory_order_relaxed);
            handOverRawClip(std::move(filled));
        } else {
            verbos("camera %d: no memory for a fresh frame block: it writes its raw clip itself", N);
            writeRawClip(clip, m.data, len, false);
            drop_memory_output_buffer(N);
        }
    }
    log__("\nSave memory buffer done", N);
}

void save_streaming_output_buffer(int N, const char* name) {
    if (g_bStreamingVideo.load(std::memory_order_relaxed) == 0) return;
    const std::string path = tmpDir() + "/" + clipStem(name, N, szTimeGroupTimestamp.get()) + ".jpeg";
    with_latest_streaming_image(N, [&](StreamingImage& e) {
        if (e.data == nullptr || e.length <= static_cast<int>(kSaveMinimumBytes)) return;
        std::size_t written = 0;
        int err = 0;
        cm::FileWrite result = cm::writeFileReplacing(path, e.data, static_cast<std::size_t>(e.length),
                                                     cm::Durability::cacheOnly, written, err);
        if (result == cm::FileWrite::Done && written < static_cast<std::size_t>(e.length))
            log__("Error writing the full buffer", N);
        e.length = 0;
        e.processed = 0;
        if (result != cm::FileWrite::Done) reportCannotOpen(path, err);
    });
}

