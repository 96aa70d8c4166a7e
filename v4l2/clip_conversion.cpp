#include "v4l2/clip_conversion.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <numeric>
#include <tuple>
#include <vector>

#include "app/run_config.h"
#include "app/time_string.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/footprint.h"
#include "common/queue_names.h"
#include "common/shell.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/console.h"
#include "log/debug.h"
#include "v4l2/device_setup.h"
#include "v4l2/device_state.h"
#include "v4l2/memory_output.h"
#include "v4l2/mp4_check.h"
#include "v4l2/system_commands.h"

namespace {

constexpr unsigned kMaxFrameSide = 16384;
constexpr unsigned kMaxRateTerm = 1000000;

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

bool pathPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool isOwnRegularFile(const std::string& path, struct stat* out = nullptr) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if (out != nullptr) *out = st;
    return true;
}

// Removes `path` when it is a regular file of this process's user.
void removeOwnFile(const std::string& path) {
    if (isOwnRegularFile(path)) ::unlink(path.c_str());
}

std::string baseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dirName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

double clockSeconds() {
    timespec t = cm::now();
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

const char* fourccName(std::uint32_t code) {
    switch (code) {
        case V4L2_PIX_FMT_MJPEG: return "MJPG";
        case V4L2_PIX_FMT_H264: return "H264";
        case V4L2_PIX_FMT_YUYV: return "YUYV";
        default: return nullptr;
    }
}

bool parseUnsigned(std::string_view s, unsigned limit, unsigned& out) {
    if (s.empty() || s.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > limit) return false;
    out = static_cast<unsigned>(v);
    return true;
}

// Free bytes on the file system of `path`, -1 when not known.
long long freeSpace(const std::string& path) {
    std::optional<std::uint64_t> free = cm::freeBytes(path);
    return free ? static_cast<long long>(*free) : -1;
}

// ---- the private output directory ----

std::mutex g_dirLock;
std::string g_outputDir;  // guarded by g_dirLock

bool isOwnPrivateDir(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 0777) == 0700;
}

bool isOutputDirName(std::string_view name) {
    const std::size_t prefix = sizeof(kOutputDirPrefix) - 1;
    if (name.size() != prefix + 6 || name.substr(0, prefix) != kOutputDirPrefix) return false;
    return std::all_of(name.begin() + static_cast<long>(prefix), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    ::remove(path);
    return 0;
}

// Removes the private directories earlier runs left: this user's real
// directories of the pattern, never through a link (nftw with FTW_PHYS
// lists links as links and removes only them).
void removeStaleOutputDirs(const std::string& keep) {
    const std::string tmp = tmpDir();
    std::vector<std::string> stale;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        if (!isOutputDirName(entry->d_name)) continue;
        const std::string path = tmp + "/" + entry->d_name;
        struct stat st {};
        if (path == keep || ::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        stale.push_back(path);
    }
    ::closedir(dir);
    for (const std::string& path : stale) ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// ---- raw clip names ----

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A time group as this program writes it: a time string, and optionally
// '-' and the number of a repeated name.
bool isTimeGroup(std::string_view s) {
    if (s.size() < kTimeStringLength || !isTimeString(s.substr(0, kTimeStringLength))) return false;
    return s.size() == kTimeStringLength || (s[kTimeStringLength] == '-' && allDigits(s.substr(kTimeStringLength + 1)));
}

bool isClipName(std::string_view s) { return s == "usb" || s == "user" || s == "mem" || s == "ukn"; }

struct SavedName {
    std::string name, timeGroup;
    int device = 0;
};

// "<name>_<N>_<time group><extension>" with a clip name of this program
// (or "debug" when `debugToo`) and a device number 0 to 4.
bool parseSavedName(std::string_view file, std::string_view extension, bool debugToo, SavedName& out) {
    if (file.size() <= extension.size() || file.substr(file.size() - extension.size()) != extension) return false;
    file.remove_suffix(extension.size());
    const std::size_t first = file.find('_');
    if (first == std::string_view::npos || first + 3 > file.size()) return false;
    const std::string_view name = file.substr(0, first);
    if (!isClipName(name) && !(debugToo && name == "debug")) return false;
    const char device = file[first + 1];
    if (device < '0' || device > '4' || file[first + 2] != '_' || !isTimeGroup(file.substr(first + 3))) return false;
    out = SavedName{std::string(name), std::string(file.substr(first + 3)), device - '0'};
    return true;
}

// ".<saved name>.XXXXXX": a fresh file that a run never got to rename.
bool isHalfWritten(std::string_view file) {
    if (file.size() < 8 || file[0] != '.' || file[file.size() - 7] != '.') return false;
    const std::string_view saved = file.substr(1, file.size() - 8);
    SavedName ignored;
    return parseSavedName(saved, ".raw", false, ignored) || parseSavedName(saved, ".raw.format", false, ignored) ||
           parseSavedName(saved, ".jpeg", true, ignored);
}

bool olderFirst(const SavedName& a, const SavedName& b) {
    return std::tie(a.timeGroup, a.device, a.name) < std::tie(b.timeGroup, b.device, b.name);
}

// ---- set aside ----

// Keeps at most kSetAsideMaxClips clips and kSetAsideMaxBytes set aside
// (the newest always stays); the oldest go first.
void boundSetAside() {
    const std::string tmp = tmpDir();
    struct Aside {
        SavedName name;
        std::string path;
        long long bytes;
    };
    std::vector<Aside> aside;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        SavedName n;
        if (!parseSavedName(entry->d_name, ".raw.failed", false, n)) continue;
        const std::string path = tmp + "/" + entry->d_name;
        struct stat st {};
        if (!isOwnRegularFile(path, &st)) continue;
        aside.push_back(Aside{n, path, static_cast<long long>(st.st_size)});
    }
    ::closedir(dir);
    std::sort(aside.begin(), aside.end(), [](const Aside& a, const Aside& b) { return olderFirst(a.name, b.name); });
    long long bytes = 0;
    for (const Aside& a : aside) bytes += a.bytes;
    std::size_t count = aside.size();
    for (const Aside& a : aside) {
        if (count <= 1 || (count <= static_cast<std::size_t>(kSetAsideMaxClips) && bytes <= kSetAsideMaxBytes)) break;
        ::unlink(a.path.c_str());
        removeOwnFile(format_file_path(a.path));
        verbos("Removed the oldest clip set aside, %s (%lld bytes): at most %d clips and %lld MB are kept",
               a.path.c_str(), a.bytes, kSetAsideMaxClips, kSetAsideMaxBytes >> 20);
        bytes -= a.bytes;
        --count;
    }
}

void setAside(const std::string& raw, int failures) {
    const std::string aside = set_aside_path(raw);
    if (::rename(raw.c_str(), aside.c_str()) != 0) {
        int err = errno;
        verbos("Could not set aside %s: %s; it is tried again at the next start", raw.c_str(),
               cm::errnoText(err).c_str());
        return;
    }
    if (pathPresent(format_file_path(raw)) && ::rename(format_file_path(raw).c_str(), format_file_path(aside).c_str()) != 0)
        removeOwnFile(format_file_path(raw));
    verbos("Conversion of %s failed %d times: set aside as %s", raw.c_str(), failures, aside.c_str());
    boundSetAside();
}

// ---- moving a converted clip into the queue ----

bool copyFile(int from, int to, std::string& why) {
    char buf[1 << 16];
    for (;;) {
        ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "reading: " + cm::errnoText(errno);
            return false;
        }
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                why = "writing: " + cm::errnoText(w < 0 ? errno : ENOSPC);
                return false;
            }
            done += w;
        }
    }
}

// Moves the checked MP4 file `from` to `to` in the queue directory. On the
// same file system one rename; across file systems a copy to the
// in-progress name (the upload walk passes over it), synced, renamed into
// place. A copy that fails is removed at once.
bool moveIntoQueue(const std::string& from, const std::string& to, std::string& why) {
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) {
        why = cm::errnoText(errno);
        return false;
    }
    const std::string partial = inProgressPathFor(to);
    removeOwnFile(partial);
    cm::UniqueFd src(::open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!src) {
        why = cm::errnoText(errno);
        return false;
    }
    cm::UniqueFd dst(::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kCreatedFileMode));
    if (!dst) {
        why = cm::errnoText(errno);
        return false;
    }
    bool ok = copyFile(src.get(), dst.get(), why);
    if (ok && ::fsync(dst.get()) != 0) {
        why = "syncing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && dst.reset() != 0) {
        why = "closing: " + cm::errnoText(errno);
        ok = false;
    }
    if (ok && ::rename(partial.c_str(), to.c_str()) != 0) {
        why = cm::errnoText(errno);
        ok = false;
    }
    if (!ok) {
        dst.reset();
        ::unlink(partial.c_str());
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

// The oldest complete clips of the queue make way for a converted clip
// when the queue's file system is short of room (if they are not enough,
// the move fails and the clip is tried again later).
void makeRoomInQueueFor(const std::string& mp4, const std::string& queued) {
    struct stat st {};
    const std::uint64_t bytes = ::lstat(mp4.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    const std::string dir = dirName(queued);
    if (cm::roomFor(dir, bytes)) return;
    verbos(cm::describeEviction(cm::makeRoomInQueue(dir, bytes), "the converted clip " + queued).c_str());
}

// ---- the conversion job ----

struct ConversionJob {
    ClipPaths paths;
    ConverterSettings settings;
    int failures = 0;  // held against the clip
    int tries = 0;     // every failed try, for the pause
};

void queueJob(const std::shared_ptr<ConversionJob>& job, double notBefore);

// flock, timeout and sh pass a signal's end on as 128 + the signal.
std::string describeStatus(int status, int limit) {
    if (status == -1) return "the shell could not start";
    if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
    const int code = WEXITSTATUS(status);
    if (code == 124) return "ran past its limit of " + std::to_string(limit) + " s and was ended";
    if (code > 128) return "killed by signal " + std::to_string(code - 128);
    return "status " + std::to_string(code);
}

bool spaceShort(const ConversionJob& job) {
    struct stat st {};
    long long need = ::lstat(job.paths.raw.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    need = std::min(need, kSpaceNeededCapBytes);
    const std::string out = dirName(job.paths.temporaryMp4);
    const long long tmpFree = freeSpace(out.empty() || out == "." ? tmpDir() : out);
    const long long queueFree = freeSpace(dirName(job.paths.queued));
    return (tmpFree >= 0 && tmpFree < need) || (queueFree >= 0 && queueFree < need);
}

void retryLater(const std::shared_ptr<ConversionJob>& job, const std::string& what) {
    const bool shortOfSpace = spaceShort(*job);
    ++job->tries;
    if (!shortOfSpace) ++job->failures;
    if (job->failures >= kConversionAttempts) {
        verbos("Conversion of %s failed (%s), attempt %d of %d", job->paths.raw.c_str(), what.c_str(),
               job->failures, kConversionAttempts);
        setAside(job->paths.raw, job->failures);
        return;
    }
    long long pause = kRetryFirstPauseSeconds;
    for (int i = 1; i < job->tries && pause < kRetryMaxPauseSeconds; ++i) pause *= 2;
    pause = std::min<long long>(pause, kRetryMaxPauseSeconds);
    if (shortOfSpace) {
        verbos("Conversion of %s failed (%s) while space is short; trying again in %lld s", job->paths.raw.c_str(),
               what.c_str(), pause);
    } else {
        verbos("Conversion of %s failed (%s), attempt %d of %d; trying again in %lld s", job->paths.raw.c_str(),
               what.c_str(), job->failures, kConversionAttempts, pause);
    }
    queueJob(job, clockSeconds() + static_cast<double>(pause));
}

void complete(const std::shared_ptr<ConversionJob>& job, int status) {
    const ClipPaths& p = job->paths;
    if (p.temporaryMp4.empty()) {
        retryLater(job, "no private directory for the converter's output");
        return;
    }
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kConverterLockBusyStatus) {
        verbos("Conversion of %s waits: another converter still works on it; trying again in %d s", p.raw.c_str(),
               kLockBusyPauseSeconds);
        queueJob(job, clockSeconds() + kLockBusyPauseSeconds);
        return;
    }
    // A raw clip removed to make room before its conversion could be taken
    // back is gone, even when the lock's flock has since created an empty
    // file at its name: no clip is ever empty, and trying an empty file again
    // would only fail five times and set it aside.
    struct stat raw {};
    if (!isOwnRegularFile(p.raw, &raw) || raw.st_size == 0) {
        removeOwnFile(p.temporaryMp4);
        removeOwnFile(p.raw);
        removeOwnFile(format_file_path(p.raw));
        verbos("Conversion of %s: the raw clip is gone", p.raw.c_str());
        return;
    }
    std::string why;
    if (status == 0) {
        const bool whole = is_whole_mp4_file(p.temporaryMp4, why);
        if (whole) makeRoomInQueueFor(p.temporaryMp4, p.queued);
        if (!whole) {
            why = "the converter ended with status 0 but left no whole MP4 file: " + why;
        } else if (!moveIntoQueue(p.temporaryMp4, p.queued, why)) {
            why = "moving it into the queue failed: " + why;
        } else {
            ::unlink(p.raw.c_str());
            removeOwnFile(format_file_path(p.raw));
            if (job->settings.input.cutShort)
                verbos("Converted %s, a clip that was cut short when it was written", p.raw.c_str());
            return;
        }
    } else {
        why = "the converter " + describeStatus(status, job->settings.timeLimitSeconds);
    }
    removeOwnFile(p.temporaryMp4);
    retryLater(job, why);
}

void queueJob(const std::shared_ptr<ConversionJob>& job, double notBefore) {
    const std::string dir = conversion_output_dir();
    std::string command;
    if (dir.empty()) {
        job->paths.temporaryMp4.clear();
        command = "false";  // nothing to convert into; the completion step waits and tries again
    } else {
        job->paths.temporaryMp4 = dir + "/" + baseName(job->paths.queued);
        command = convert_command(job->settings, job->paths);
    }
    cm::printOut("mp4 convert cmd: " + command + "\n");
    system_commands.append(std::move(command), job->paths.raw, [job](int status) { complete(job, status); },
                           notBefore);
}

}  // namespace

bool is_raw_clip_name(std::string_view file, bool setAsideToo) {
    SavedName ignored;
    return parseSavedName(file, ".raw", false, ignored) ||
           (setAsideToo && parseSavedName(file, ".raw.failed", false, ignored));
}

bool operator==(const ClipFormat& a, const ClipFormat& b) {
    return a.pixelFormat == b.pixelFormat && a.width == b.width && a.height == b.height &&
           a.rateFrames == b.rateFrames && a.rateSeconds == b.rateSeconds && a.cutShort == b.cutShort;
}

std::string format_file_text(const ClipFormat& f) {
    const char* name = fourccName(f.pixelFormat);
    std::string s = "pixelformat=" + std::string(name != nullptr ? name : "0") + "\n";
    s += "width=" + std::to_string(f.width) + "\n";
    s += "height=" + std::to_string(f.height) + "\n";
    s += "rate=" + std::to_string(f.rateFrames) + "/" + std::to_string(f.rateSeconds) + "\n";
    s += std::string("cut_short=") + (f.cutShort ? "1" : "0") + "\n";
    return s;
}

bool parse_format_file_text(std::string_view text, ClipFormat& out) {
    if (text.size() > kFormatFileMaxBytes) return false;
    ClipFormat f;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty()) continue;
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) return false;
        std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "pixelformat") {
            if (value == "MJPG") f.pixelFormat = V4L2_PIX_FMT_MJPEG;
            else if (value == "H264") f.pixelFormat = V4L2_PIX_FMT_H264;
            else if (value == "YUYV") f.pixelFormat = V4L2_PIX_FMT_YUYV;
            else if (value == "0") f.pixelFormat = 0;
            else return false;
        } else if (key == "width") {
            if (!parseUnsigned(value, kMaxFrameSide, f.width)) return false;
        } else if (key == "height") {
            if (!parseUnsigned(value, kMaxFrameSide, f.height)) return false;
        } else if (key == "rate") {
            std::size_t slash = value.find('/');
            if (slash == std::string_view::npos || !parseUnsigned(value.substr(0, slash), kMaxRateTerm, f.rateFrames) ||
                !parseUnsigned(value.substr(slash + 1), kMaxRateTerm, f.rateSeconds))
                return false;
            if (f.rateFrames == 0 || f.rateSeconds == 0) f.rateFrames = f.rateSeconds = 0;
        } else if (key == "cut_short") {
            if (value != "0" && value != "1") return false;
            f.cutShort = value == "1";
        }  // other keys: written by a later version; ignored
    }
    out = f;
    return true;
}

std::string format_file_path(const std::string& rawPath) { return rawPath + ".format"; }
std::string set_aside_path(const std::string& rawPath) { return rawPath + ".failed"; }

bool write_format_file(const std::string& rawPath, const ClipFormat& f, int& err) {
    const std::string text = format_file_text(f);
    std::size_t written = 0;
    FileWrite r = write_file_replacing(format_file_path(rawPath), text.data(), text.size(), written, err);
    if (r == FileWrite::Done && written < text.size()) {
        ::unlink(format_file_path(rawPath).c_str());  // a torn format file would say less than nothing
        err = ENOSPC;
        return false;
    }
    return r == FileWrite::Done;
}

FormatFileRead read_format_file(const std::string& rawPath, ClipFormat& out, std::string& why) {
    const std::string path = format_file_path(rawPath);
    cm::UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) return FormatFileRead::Missing;
        why = cm::errnoText(errno);
        return FormatFileRead::Refused;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        why = "not a regular file of this user";
        return FormatFileRead::Refused;
    }
    if (static_cast<std::size_t>(st.st_size) > kFormatFileMaxBytes) {
        why = "too long";
        return FormatFileRead::Refused;
    }
    std::string text(kFormatFileMaxBytes + 1, '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    if (!parse_format_file_text(text, out)) {
        why = "not a format file";
        return FormatFileRead::Refused;
    }
    return FormatFileRead::Read;
}

ClipPaths clip_paths(const std::string& tmp, const std::string& outputDir, const std::string& baseDir,
                     const std::string& name, int N, const std::string& timeGroup) {
    std::string stem = name + "_" + std::to_string(N) + "_" + timeGroup;
    return ClipPaths{tmp + "/" + stem + ".raw", outputDir + "/" + stem + ".mp4", baseDir + "/queue/" + stem + ".mp4"};
}

ConverterSettings converter_settings_from_run_config() {
    ConverterSettings s;
    s.converter = footprint::resolve(footprint::kConverter);
    s.copy = g_bCopy != 0;
    s.forceFormat = force_format2;
    s.input.pixelFormat = g_nPixelFormat;
    const FormatRequest preset = format_for_preset(force_format2);
    s.input.width = preset.width;
    s.input.height = preset.height;
    if (g_FrameRate > 0 && g_Numerator > 0) {
        s.input.rateFrames = static_cast<unsigned>(g_FrameRate);
        s.input.rateSeconds = static_cast<unsigned>(g_Numerator);
    }
    s.fps = szFPS;
    s.size = szMP4Size;
    s.bitrate = szBitrate;
    return s;
}

ConverterSettings converter_settings_for(const ClipFormat& recorded) {
    ConverterSettings s = converter_settings_from_run_config();
    if (recorded.pixelFormat != 0) s.input.pixelFormat = recorded.pixelFormat;
    if (recorded.width != 0 && recorded.height != 0) {
        s.input.width = recorded.width;
        s.input.height = recorded.height;
    }
    if (recorded.rateFrames != 0 && recorded.rateSeconds != 0) {
        s.input.rateFrames = recorded.rateFrames;
        s.input.rateSeconds = recorded.rateSeconds;
    }
    s.input.cutShort = recorded.cutShort;
    return s;
}

ClipFormat delivered_clip_format(int N) {
    ClipFormat f;
    if (N < 0 || N >= kV4l2Devices) return f;
    f.pixelFormat = delivered_pixel_format[N];
    f.width = delivered_width[N];
    f.height = delivered_height[N];
    f.rateFrames = delivered_rate_frames[N];
    f.rateSeconds = delivered_rate_seconds[N];
    return f;
}

std::string converter_format_flags(const ClipFormat& in) {
    switch (in.pixelFormat) {
        case V4L2_PIX_FMT_H264: return "-f h264 ";
        case V4L2_PIX_FMT_MJPEG: return "-f mjpeg ";
        case V4L2_PIX_FMT_YUYV:
            if (in.width == 0 || in.height == 0) return "-f rawvideo -pix_fmt yuyv422 ";
            return "-f rawvideo -pix_fmt yuyv422 -s " + std::to_string(in.width) + "x" + std::to_string(in.height) + " ";
        default: return "";
    }
}

std::string converter_rate_flags(const ClipFormat& in) {
    if (in.rateFrames == 0 || in.rateSeconds == 0) return "";
    const unsigned g = std::gcd(in.rateFrames, in.rateSeconds);
    const unsigned frames = in.rateFrames / g, seconds = in.rateSeconds / g;
    return "-r " + std::to_string(frames) + (seconds == 1 ? "" : "/" + std::to_string(seconds));
}

std::string convert_command(const ConverterSettings& s, const ClipPaths& p) {
    const std::string conv = cm::shellQuote(s.converter);
    const std::string raw = cm::shellQuote(p.raw);
    const std::string out = cm::shellQuote(p.temporaryMp4);
    const std::string format = converter_format_flags(s.input);
    const std::string rate = converter_rate_flags(s.input);
    const std::string guard = "flock -n -E " + std::to_string(kConverterLockBusyStatus) + " " + raw + " timeout --foreground -k " +
                              std::to_string(kConverterKillGraceSeconds) + " " + std::to_string(s.timeLimitSeconds) +
                              " ";
    if (s.copy) return guard + conv + " " + format + " -i " + raw + " -vcodec copy " + out;
    if (s.forceFormat <= 9)
        return guard + conv + " " + format + " " + rate + " -i " + raw + " " + s.fps + " " + s.size + " -y -aspect 16:9 " +
               s.bitrate + " " + out;
    return guard + conv + " " + format + " " + rate + " -i " + raw + " " + s.fps + " " + s.size + " -y " + s.bitrate +
           " " + out;
}

std::string conversion_output_dir() {
    std::lock_guard<std::mutex> g(g_dirLock);
    if (!g_outputDir.empty() && isOwnPrivateDir(g_outputDir)) return g_outputDir;
    std::string dir = tmpDir() + "/" + kOutputDirPrefix + "XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        int err = errno;
        verbos("Cannot make a private directory for the converter's output in %s: %s", tmpDir().c_str(),
               cm::errnoText(err).c_str());
        g_outputDir.clear();
    } else {
        g_outputDir = dir;
    }
    return g_outputDir;
}

void queue_conversion(const ClipPaths& paths, const ConverterSettings& settings) {
    auto job = std::make_shared<ConversionJob>();
    job->paths = paths;
    job->settings = settings;
    queueJob(job, 0);
}

void requeue_pending_raw_clips() {
    const std::string tmp = tmpDir();
    std::vector<SavedName> pending;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (isHalfWritten(file)) {
            removeOwnFile(tmp + "/" + file);
            continue;
        }
        SavedName clip;
        if (!parseSavedName(file, ".raw", false, clip)) continue;
        // Only regular files of this process's user: /tmp is open to every
        // user of the board, and whatever is converted here gets uploaded.
        if (!isOwnRegularFile(tmp + "/" + file)) continue;
        pending.push_back(std::move(clip));
    }
    ::closedir(dir);
    std::sort(pending.begin(), pending.end(), olderFirst);
    for (const SavedName& c : pending) {
        ClipPaths paths = clip_paths(tmp, "", LBASE_PATH, c.name, c.device, c.timeGroup);
        if (system_commands.claims(paths.raw)) continue;  // saved by this run already
        // The temporary MP4 file of older versions, beside the raw clip.
        removeOwnFile(tmp + "/" + c.name + "_" + std::to_string(c.device) + "_" + c.timeGroup + ".mp4");
        if (pathPresent(paths.queued)) {
            verbos("Removing a clip left by the last run, already converted into the queue: %s", paths.raw.c_str());
            ::unlink(paths.raw.c_str());
            removeOwnFile(format_file_path(paths.raw));
            continue;
        }
        verbos("Queueing the conversion of a clip left by the last run: %s", paths.raw.c_str());
        ClipFormat recorded;
        std::string why;
        switch (read_format_file(paths.raw, recorded, why)) {
            case FormatFileRead::Read: break;
            case FormatFileRead::Missing:
                verbos("No format file beside %s: converted with this run's settings", paths.raw.c_str());
                break;
            case FormatFileRead::Refused:
                verbos("Format file of %s refused (%s): converted with this run's settings", paths.raw.c_str(),
                       why.c_str());
                recorded = ClipFormat{};
                break;
        }
        queue_conversion(paths, converter_settings_for(recorded));
    }
}

void start_clip_conversion() {
    const std::string dir = conversion_output_dir();
    removeStaleOutputDirs(dir);
    requeue_pending_raw_clips();
}

