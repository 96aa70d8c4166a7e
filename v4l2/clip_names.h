// The names of the direct path's clips, made and recognised here only.
//
// A clip's stem is "<kind>_<N>_<time group>": its kind (one of the clip
// kinds below, by the save request that made it), the device number N (0
// to 4) and the time group (a time string, common/time_string.h,
// optionally followed by "-<number>" for a repeated name). Its files:
// the raw clip "<tmp>/<stem>.raw", beside it the format file
// "<stem>.raw.format", once set aside "<stem>.raw.failed" (with
// "<stem>.raw.failed.format"), the converter's output
// "<private output dir>/<stem>.mp4" and the clip in the upload queue
// "<base>/queue/<stem>.mp4". Debug images share the shape with the name
// "debug": "<tmp>/debug_<N>_<time group>.jpeg".
#pragma once

#include <string>
#include <string_view>

// The clip kind of a save request value (device_state.h): "usb" (alert),
// "user", "mem", "ukn" for an unlisted value; nullptr for no request and
// for a dropped buffer.
const char* clipNameForSaveRequest(int request);
// Whether `name` is one of the clip kinds.
bool isClipKind(std::string_view name);

// "<name>_<N>_<timeGroup>".
std::string clipStem(std::string_view name, int N, std::string_view timeGroup);

// A stem taken apart.
struct SavedName {
    std::string name, timeGroup;
    int device = 0;
};
// Parses "<stem><extension>" whose name is a clip kind (or "debug" with
// `debugToo`); false, and `out` untouched, for anything else.
bool parseSavedName(std::string_view file, std::string_view extension, bool debugToo, SavedName& out);
// Oldest time group first, then by device and kind: the order clips were made.
bool olderFirst(const SavedName& a, const SavedName& b);

// Whether `file` (a name in /tmp) is a raw clip, or with `setAsideToo` also
// a set-aside one.
bool isRawClipName(std::string_view file, bool setAsideToo);
// Whether `file` is ".<raw clip, format file or debug image>.XXXXXX": a
// fresh file a run never got to rename (common/file_replace.h).
bool isHalfWritten(std::string_view file);

// The files of one clip.
struct ClipPaths {
    std::string raw;           // "<tmp>/<stem>.raw"
    std::string temporaryMp4;  // "<private output dir>/<stem>.mp4"
    std::string queued;        // "<base>/queue/<stem>.mp4"
};
ClipPaths clipPaths(const std::string& tmpDir, const std::string& outputDir, const std::string& baseDir,
                    const std::string& name, int N, const std::string& timeGroup);

std::string formatFilePath(const std::string& rawPath);  // "<raw>.format"
std::string setAsidePath(const std::string& rawPath);    // "<raw>.failed"
