#include "v4l2/clip_names.h"

#include <algorithm>
#include <tuple>

#include "common/time_string.h"
#include "v4l2/device_state.h"

namespace {

struct ClipKind {
    int request;
    const char* name;
};
// The one list of clip kinds.
constexpr ClipKind kClipKinds[] = {{kSaveAlert, "usb"}, {kSaveUser, "user"}, {kSaveMemory, "mem"}};
constexpr char kUnlistedKind[] = "ukn";

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A time group as this program writes it: a time string, and optionally
// '-' and the number of a repeated name.
bool isTimeGroup(std::string_view s) {
    if (s.size() < kTimeStringLength || !isTimeString(s.substr(0, kTimeStringLength))) return false;
    return s.size() == kTimeStringLength || (s[kTimeStringLength] == '-' && allDigits(s.substr(kTimeStringLength + 1)));
}

}  // namespace

const char* clipNameForSaveRequest(int request) {
    if (request == kSaveNone || request == kSaveOverflow) return nullptr;
    for (const ClipKind& k : kClipKinds)
        if (k.request == request) return k.name;
    return kUnlistedKind;
}

bool isClipKind(std::string_view name) {
    return name == kUnlistedKind ||
           std::any_of(std::begin(kClipKinds), std::end(kClipKinds), [&](const ClipKind& k) { return name == k.name; });
}

std::string clipStem(std::string_view name, int N, std::string_view timeGroup) {
    std::string stem(name);
    stem += "_" + std::to_string(N) + "_";
    stem += timeGroup;
    return stem;
}

bool parseSavedName(std::string_view file, std::string_view extension, bool debugToo, SavedName& out) {
    if (file.size() <= extension.size() || file.substr(file.size() - extension.size()) != extension) return false;
    file.remove_suffix(extension.size());
    const std::size_t first = file.find('_');
    if (first == std::string_view::npos || first + 3 > file.size()) return false;
    const std::string_view name = file.substr(0, first);
    if (!isClipKind(name) && !(debugToo && name == "debug")) return false;
    const char device = file[first + 1];
    if (device < '0' || device > '4' || file[first + 2] != '_' || !isTimeGroup(file.substr(first + 3))) return false;
    out = SavedName{std::string(name), std::string(file.substr(first + 3)), device - '0'};
    return true;
}

bool olderFirst(const SavedName& a, const SavedName& b) {
    return std::tie(a.timeGroup, a.device, a.name) < std::tie(b.timeGroup, b.device, b.name);
}

bool isRawClipName(std::string_view file, bool setAsideToo) {
    SavedName ignored;
    return parseSavedName(file, ".raw", false, ignored) ||
           (setAsideToo && parseSavedName(file, ".raw.failed", false, ignored));
}

bool isHalfWritten(std::string_view file) {
    if (file.size() < 8 || file[0] != '.' || file[file.size() - 7] != '.') return false;
    const std::string_view saved = file.substr(1, file.size() - 8);
    SavedName ignored;
    return parseSavedName(saved, ".raw", false, ignored) || parseSavedName(saved, ".raw.format", false, ignored) ||
           parseSavedName(saved, ".jpeg", true, ignored);
}

ClipPaths clipPaths(const std::string& tmpDir, const std::string& outputDir, const std::string& baseDir,
                    const std::string& name, int N, const std::string& timeGroup) {
    const std::string stem = clipStem(name, N, timeGroup);
    return ClipPaths{tmpDir + "/" + stem + ".raw", outputDir + "/" + stem + ".mp4", baseDir + "/queue/" + stem + ".mp4"};
}

std::string formatFilePath(const std::string& rawPath) { return rawPath + ".format"; }
std::string setAsidePath(const std::string& rawPath) { return rawPath + ".failed"; }
