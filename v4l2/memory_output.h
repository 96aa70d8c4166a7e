// The frame memory buffer of every V4L2 device and the clip output: frames
// are appended, exactly as the driver delivered them, to one large block per
// device; a save hands the filled block to the raw clip writer
// (raw_clip_writer.h), which writes it as a raw clip in /tmp with its format
// file and queues its conversion into an MP4 file in the upload queue
// directory (conversion_job.h), while the device records on into a fresh
// block. The buffer of device N is used by device N's worker thread only.
//
// Memory: the 100,000,000-byte block is an anonymous mapping, so it costs
// address space, not memory, until frames are written into it; pages are
// never touched ahead of use. A saved block leaves with its clip (the
// writer unmaps it once written); after an overflowed buffer is dropped,
// the pages above kResidentKeepBytes go back to the kernel, so that one
// large recording does not keep the board's memory for the rest of the
// device cycle. The ordinary emptying at every capture loop start keeps its
// pages: the next loop fills them again at once, and faulting them in anew
// would cost several times the copy of the frames.
//
// Debug images in /tmp are written whole under their final names
// (common/file_replace.h), never through a link planted there.
#pragma once

#include <cstddef>
#include <string>

inline constexpr unsigned kSaveMinimumBytes = 500;            // a buffer of this size or less is not saved
inline constexpr std::size_t kResidentKeepBytes = 32u << 20;  // kept resident when a buffer is emptied

// Empties the buffer of device N and maps its block; when the block cannot
// be had, reports "Cannt create an output buffer.. Out of memory" and ends
// the process with status 1.
void init_memory_output_buffer(int N);
// Empties the buffer (len and count to 0); the block stays.
void reset_memory_output_buffer(int N);
// Empties the buffer and returns the pages it held above kResidentKeepBytes
// (a buffer dropped after it overflowed).
void drop_memory_output_buffer(int N);
// Empties the buffer and releases its block.
void uninit_memory_output_buffer(int N);

// Appends one frame with one copy. Stores nothing and returns false when the
// frame does not fit (len + length reaches 100,000,000) or there is no block.
bool append_memory_output_frame(int N, const void* frame, std::size_t length);

// Saves the buffer as the raw clip "/tmp/<name>_<N>_<time group>.raw" (the
// time group of now) and leaves it empty: the filled block is handed to the
// raw clip writer and a fresh block takes its place; when none can be had,
// the clip is written here and now (raw_clip_writer.h). A buffer of 500
// bytes or less writes nothing. `frames` (what its frames lack,
// frame_sequence.h) goes with the clip into the daily log's line that says
// it was saved.
void save_memory_output_buffer(int N, const char* name, const std::string& frames = {});

// Writes latest streaming entry N to "/tmp/<name>_<N>_<time group>.jpeg" and
// takes it out of the entry (length and marker to 0).
void save_streaming_output_buffer(int N, const char* name);

// The block of a buffer is mapped through here; tests install a mapper that
// fails (returns nullptr). nullptr restores the anonymous mapping.
using MemoryBlockMapper = void* (*)(std::size_t);
void setMemoryBlockMapperForTests(MemoryBlockMapper mapper);
// Releases every device's block and restores the anonymous mapping.
void resetMemoryOutputForTests();
