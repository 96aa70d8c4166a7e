// The format file beside every raw clip ("<stem>.raw.format",
// clip_names.h): what the raw clip holds, as it was recorded, so that a
// clip converted after a restart is converted as it was recorded. A raw
// clip is a plain run of frames exactly as the driver delivered them; the
// converter must be told what they are.
//
// The file is "key=value" lines: pixelformat (MJPG, H264, YUYV or 0),
// width, height, rate "F/S" (frames per S seconds, as the driver set it)
// and cut_short (0 or 1). Keys a later version adds are passed over.
// Nothing read from a format file reaches a command line but checked
// numbers and fixed words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t kFormatFileMaxBytes = 4096;

// What a raw clip holds, as recorded. 0 = not known.
struct ClipFormat {
    std::uint32_t pixelFormat = 0;  // V4L2 pixel format code
    unsigned width = 0;
    unsigned height = 0;
    unsigned rateFrames = 0;   // frames per second = rateFrames / rateSeconds
    unsigned rateSeconds = 0;
    bool cutShort = false;     // the raw clip was not written whole
};
bool operator==(const ClipFormat& a, const ClipFormat& b);

// What device N's raw clips of the current device cycle hold (the format,
// size and rate the driver agreed to); read on device N's worker thread.
ClipFormat deliveredClipFormat(int N);

// The format file's text.
std::string formatFileText(const ClipFormat& f);
// Parses a format file's text; false (and `out` untouched) when it is not
// one this program wrote: too long, a line without '=', a value out of
// range or not a number, an unknown pixel format.
bool parseFormatFileText(std::string_view text, ClipFormat& out);

// Writes the format file of `rawPath` whole and durably
// (common/file_replace.h): true once it is in place, synced unless the
// card refused a sync. A
// file the full file system cut short is removed again (`err` ENOSPC): a
// torn format file would say less than nothing.
bool writeFormatFile(const std::string& rawPath, const ClipFormat& f, int& err);

enum class FormatFileRead { Read, Missing, Refused };
// Reads the format file of `rawPath`. Refused (`why` says which) when it
// is not a regular file of this process's user (never through a link),
// longer than kFormatFileMaxBytes, or not parsable.
FormatFileRead readFormatFile(const std::string& rawPath, ClipFormat& out, std::string& why);
