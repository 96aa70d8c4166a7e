// The hand-over point between the direct capture path, which writes the
// newest picture of each input, and live streaming, which reduces and sends
// it. The streaming thread allocates the buffers when it starts and releases
// them when it ends; before and after that writers store nothing.
//
// Locking: a table lock (shared by every user of an entry, exclusive for
// allocation and release) keeps the arrays alive while an entry is used,
// and each entry has a lock of its own, so that a picture is never read
// while a capture thread is half way through rewriting it. Readers copy a
// picture out under its lock and do the slow work (decoding, reducing)
// outside it.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

inline constexpr int kStreamingEntries = 5;          // inputs 0..4; 0..3 are sent
inline constexpr int kStreamingInputs = 4;
inline constexpr int kLatestImageCapacity = 700000;  // pictures of at most 699,999 bytes
inline constexpr int kResizedImageCapacity = 140000;
inline constexpr int kOutgoingBufferSize = 4300000;
inline constexpr int kLoadBufferSize = 700000;

// Streaming mode: 0 off, 9 stream mode, any other value set mode. Written
// only by the streaming monitor.
extern std::atomic<int> g_bStreamingVideo;

struct StreamingImage {
    std::mutex lock;  // guards the three fields below
    unsigned char* data = nullptr;
    int length = 0;
    int processed = 0;  // marker: differs from length while the picture is new
};

// Message body buffer of a streaming request (streaming thread only).
extern unsigned char* socket_outgoing_buf;
// The per-input read-back buffers (inputs 0..3) of the streaming buffers'
// layout, allocated and released with the entries. Nothing reads or writes
// them any more: the reduction now works on an in-memory copy of the
// picture (streaming/jpeg_reduce.h). They are kept for the layout only.
extern unsigned char* load_buf[kStreamingInputs];

// Makes sure the shared buffers exist and entry i has its two picture buffers.
void init_streaming_buffer(int i);
// init_streaming_buffer(i) for i = 0..4.
void init_streaming_buffer();
// Length and marker of both entries i to 0 (logs "reset streaming buffer").
void reset_streaming_output_buffer(int i);
// Releases every picture buffer and both arrays; the body buffer stays.
void uninit_streaming_output_buffer();

// Whether the two entry arrays exist.
bool streaming_buffers_exist();

enum class StreamingStore { Stored, NoTable, NoBuffer, TooLarge };

// The writer's rule: copies a picture of at most 699,999 bytes into latest
// entry i, stores its length and adds 1 to the entry's marker.
StreamingStore store_latest_streaming_image(int i, const void* frame, int length);

// Runs `f` on latest entry i under its lock; false when the arrays are absent.
bool with_latest_streaming_image(int i, const std::function<void(StreamingImage&)>& f);
// The same for resized entry i.
bool with_resized_streaming_image(int i, const std::function<void(StreamingImage&)>& f);

enum class StreamingTake { New, ProcessedBefore, Absent };

// The reader's test and hand-over in one step, under the entry lock: when
// latest entry i holds a picture not yet processed (its marker differs from
// its length), copies it into `out`, sets the marker equal to the length and
// returns New. ProcessedBefore when the marker equals the length; Absent
// when the arrays or the entry's buffer do not exist (`out` is then empty).
StreamingTake take_new_latest_streaming_image(int i, std::vector<unsigned char>& out);

// Sum of the lengths of latest entries 0..3 (0 when the arrays are absent).
long long latest_streaming_lengths_sum();

// Allocation of the picture buffers goes through here; tests install an
// allocator that fails for chosen sizes (nullptr restores malloc).
using StreamingAllocator = void* (*)(std::size_t);
void setStreamingAllocatorForTests(StreamingAllocator alloc);

// Frees the picture buffers (socket_outgoing_buf stays, as in the daemon),
// streaming off, malloc as the allocator.
void resetFrameBuffersForTests();
