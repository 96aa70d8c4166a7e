// The frame memory buffer of every V4L2 device and the clip output: frames
// are appended, exactly as the driver delivered them, to one large block per
// device; a save writes the block as a raw clip in /tmp and queues the shell
// command that converts it with the external converter into an MP4 file in
// the upload queue directory (run later by the system command thread).
//
// Memory: the 100,000,000-byte block is an anonymous mapping, so it costs
// address space, not memory, until frames are written into it; pages are
// never touched ahead of use. After a clip has been saved, or an overflowed
// buffer dropped, the pages above kResidentKeepBytes go back to the kernel,
// so that one large clip does not keep the board's memory for the rest of
// the device cycle. The ordinary emptying at every capture loop start keeps
// its pages: the next loop fills them again at once, and faulting them in
// anew would cost several times the copy of the frames.
//
// Files in /tmp (raw clips, debug images) are written under a fresh,
// unpredictable name created exclusively (never through a link planted
// there), made readable by the converter and the upload (0644), and renamed
// over the final name: a file of that name is replaced whole and afterwards
// holds exactly the new content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr unsigned kSaveMinimumBytes = 500;            // a buffer of this size or less is not saved
inline constexpr std::size_t kResidentKeepBytes = 32u << 20;  // kept resident when a buffer is emptied
inline constexpr unsigned kCreatedFileMode = 0644;

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

// Writes the buffer as the raw clip "/tmp/<name>_<N>_<time group>.raw",
// empties it and queues the conversion command. A buffer of 500 bytes or
// less writes nothing.
void save_memory_output_buffer(int N, const char* name);

// Writes latest streaming entry N to "/tmp/<name>_<N>_<time group>.jpeg" and
// takes it out of the entry (length and marker to 0).
void save_streaming_output_buffer(int N, const char* name);

// The clip name that goes with a save request value: "usb", "user", "mem",
// "ukn" for unlisted values; nullptr for 0 (no request) and 4 (dropped).
const char* clip_name_for_save_request(int request);

struct ClipPaths {
    std::string raw;           // "<tmp>/<name>_<N>_<ts>.raw"
    std::string temporaryMp4;  // "<tmp>/<name>_<N>_<ts>.mp4"
    std::string queued;        // "<base>/queue/<name>_<N>_<ts>.mp4"
};
ClipPaths clip_paths(const std::string& tmpDir, const std::string& baseDir, const std::string& name, int N,
                     const std::string& timeGroup);

// What the converter command is built from (the run configuration's values).
struct ConverterSettings {
    std::string converter;      // the converter program's path
    bool copy = false;          // "-copy": copy the stream instead of re-encoding
    int forceFormat = 11;       // device format preset
    std::uint32_t pixelFormat;  // decides the converter's input format
    int frameRate = 0;          // camera frame rate, 0 = not set
    std::string fps;            // output rate flags
    std::string size;           // output size flags
    std::string bitrate;        // output bit-rate flags
};
ConverterSettings converter_settings_from_run_config();
// The same for the clips of device N: the converter reads the raw clip in
// the format the driver agreed to deliver (a preset may ask the device for
// H264 while the configured pixel format still says MJPG); the configured
// pixel format only while the device's is not known.
ConverterSettings converter_settings_for_device(int N);

// "-f h264 ", "-f mjpeg ", "-f yuyv " or "" by pixel format.
std::string converter_format_flags(std::uint32_t pixelFormat);
// "-r <rate>" for a rate above 0, else "".
std::string converter_rate_flags(int frameRate);

// The whole shell command: convert into the temporary MP4 file, move it
// into the queue directory, and only then remove the raw clip. The move goes
// to the in-progress name in the queue directory first (a move from /tmp
// crosses file systems and copies) and only then, once complete, is renamed
// within the directory to the name the upload walk takes.
//
// The raw clip is the one copy of the recording until the MP4 file stands
// in the queue under its final name: a process killed anywhere before that
// (the supervisor stopping the service takes the shell with it) leaves the
// raw clip for the next start to convert again. A failed conversion moves
// nothing (its output may be a partial MP4 file, which must never be
// uploaded), removes the raw clip and the temporary MP4 file, and ends the
// command with the converter's status. A failed move keeps both files for
// the next start.
std::string convert_command(const ConverterSettings& settings, const ClipPaths& paths);

enum class FileWrite { Done, OpenFailed, RenameFailed };
// Writes `data` to a fresh file beside `path` and renames it over `path`.
// `written` is the number of bytes that reached the file; `err` the errno of
// a failure.
FileWrite write_file_replacing(const std::string& path, const void* data, std::size_t length, std::size_t& written,
                               int& err);

// Queues again the conversion of every raw clip in /tmp that a previous run
// saved but whose conversion it never completed (with this run's converter
// settings), and removes the half-written files a run may have left behind.
// A raw clip whose MP4 file already stands in the queue under its final
// name was converted: the run ended before removing it, and it is removed
// now instead of being converted (and uploaded) a second time.
void requeue_pending_raw_clips();

// The block of a buffer is mapped through here; tests install a mapper that
// fails (returns nullptr). nullptr restores the anonymous mapping.
using MemoryBlockMapper = void* (*)(std::size_t);
void set_memory_block_mapper(MemoryBlockMapper mapper);
