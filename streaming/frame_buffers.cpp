#include "streaming/frame_buffers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <shared_mutex>

#include "log/console.h"
#include "log/debug.h"

std::atomic<int> g_bStreamingVideo{0};
unsigned char* socket_outgoing_buf = nullptr;
unsigned char* load_buf[kStreamingInputs] = {};

namespace {

std::shared_mutex g_tableLock;                 // lifetime of the two arrays
StreamingImage* g_latest = nullptr;            // guarded by g_tableLock
StreamingImage* g_resized = nullptr;
std::atomic<StreamingAllocator> g_alloc{nullptr};

unsigned char* allocate(std::size_t n) {
    StreamingAllocator a = g_alloc.load();
    return static_cast<unsigned char*>(a != nullptr ? a(n) : std::malloc(n));
}

void resetEntry(StreamingImage& e) {
    std::lock_guard<std::mutex> g(e.lock);
    e.length = 0;
    e.processed = 0;
}

bool withEntry(int i, StreamingImage* table, const std::function<void(StreamingImage&)>& f) {
    if (table == nullptr || i < 0 || i >= kStreamingEntries) return false;
    StreamingImage& e = table[i];
    std::lock_guard<std::mutex> g(e.lock);
    f(e);
    return true;
}

}  // namespace

void setStreamingAllocatorForTests(StreamingAllocator alloc) { g_alloc.store(alloc); }

void init_streaming_buffer(int i) {
    if (i < 0 || i >= kStreamingEntries) return;
    std::unique_lock<std::shared_mutex> table(g_tableLock);
    if (socket_outgoing_buf == nullptr) socket_outgoing_buf = static_cast<unsigned char*>(std::malloc(kOutgoingBufferSize));
    if (g_latest == nullptr) g_latest = new StreamingImage[kStreamingEntries];
    if (g_resized == nullptr) g_resized = new StreamingImage[kStreamingEntries];
    if (i < kStreamingInputs && load_buf[i] == nullptr) load_buf[i] = static_cast<unsigned char*>(std::malloc(kLoadBufferSize));
    verbos("reset streaming buffer");
    resetEntry(g_latest[i]);
    resetEntry(g_resized[i]);
    StreamingImage& latest = g_latest[i];
    StreamingImage& resized = g_resized[i];
    std::scoped_lock entries(latest.lock, resized.lock);
    if (latest.data == nullptr) latest.data = allocate(kLatestImageCapacity);
    if (resized.data == nullptr) resized.data = allocate(kResizedImageCapacity);
    if (latest.data == nullptr || resized.data == nullptr) {
        cm::printError("Cann't create an streaming buffer.. Out of memory\n");
        std::free(latest.data);
        std::free(resized.data);
        latest.data = nullptr;
        resized.data = nullptr;
    }
}

void init_streaming_buffer() {
    for (int i = 0; i < kStreamingEntries; ++i) init_streaming_buffer(i);
}

void reset_streaming_output_buffer(int i) {
    verbos("reset streaming buffer");
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    if (g_latest == nullptr || i < 0 || i >= kStreamingEntries) return;
    resetEntry(g_latest[i]);
    resetEntry(g_resized[i]);
}

void uninit_streaming_output_buffer() {
    std::unique_lock<std::shared_mutex> table(g_tableLock);
    if (g_latest != nullptr) {
        for (int i = 0; i < kStreamingEntries; ++i) {
            std::free(g_latest[i].data);
            std::free(g_resized[i].data);
        }
        delete[] g_latest;
        delete[] g_resized;
        g_latest = nullptr;
        g_resized = nullptr;
    }
    for (auto& b : load_buf) {
        std::free(b);
        b = nullptr;
    }
}

bool streaming_buffers_exist() {
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    return g_latest != nullptr;
}

StreamingStore store_latest_streaming_image(int i, const void* frame, int length) {
    if (length < 0 || length >= kLatestImageCapacity) return StreamingStore::TooLarge;
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    if (g_latest == nullptr || i < 0 || i >= kStreamingEntries) return StreamingStore::NoTable;
    StreamingImage& e = g_latest[i];
    std::lock_guard<std::mutex> g(e.lock);
    if (e.data == nullptr) return StreamingStore::NoBuffer;
    std::memcpy(e.data, frame, static_cast<std::size_t>(length));
    e.length = length;
    e.processed += 1;
    return StreamingStore::Stored;
}

bool with_latest_streaming_image(int i, const std::function<void(StreamingImage&)>& f) {
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    return withEntry(i, g_latest, f);
}

bool with_resized_streaming_image(int i, const std::function<void(StreamingImage&)>& f) {
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    return withEntry(i, g_resized, f);
}

StreamingTake take_new_latest_streaming_image(int i, std::vector<unsigned char>& out) {
    out.clear();
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    if (g_latest == nullptr || i < 0 || i >= kStreamingEntries) return StreamingTake::Absent;
    StreamingImage& e = g_latest[i];
    std::lock_guard<std::mutex> g(e.lock);
    if (e.data == nullptr) return StreamingTake::Absent;
    if (e.processed == e.length) return StreamingTake::ProcessedBefore;
    if (e.length > 0) out.assign(e.data, e.data + e.length);
    e.processed = e.length;
    return StreamingTake::New;
}

long long latest_streaming_lengths_sum() {
    std::shared_lock<std::shared_mutex> table(g_tableLock);
    if (g_latest == nullptr) return 0;
    long long sum = 0;
    for (int i = 0; i < kStreamingInputs; ++i) {
        std::lock_guard<std::mutex> g(g_latest[i].lock);
        sum += g_latest[i].length;
    }
    return sum;
}

void resetFrameBuffersForTests() {
    uninit_streaming_output_buffer();
    g_bStreamingVideo.store(0);
    setStreamingAllocatorForTests(nullptr);
}
