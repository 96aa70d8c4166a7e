#include "v4l2/memory_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <tuple>
#include <vector>

#include "app/run_config.h"
#include "capture/time_group.h"
#include "common/footprint.h"
#include "common/queue_names.h"
#include "common/shell.h"
#include "common/sys_error.h"
#include "common/unique_fd.h"
#include "log/debug.h"
#include "streaming/frame_buffers.h"
#include "v4l2/device_state.h"
#include "v4l2/system_commands.h"

namespace {

// Suffixes tried when the name of a clip is already taken (see uniqueClipPaths).
constexpr int kMaxNameVariants = 100;

std::atomic<MemoryBlockMapper> g_mapper{nullptr};

void* mapAnonymous(std::size_t size) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
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

bool validDevice(int N) { return N >= 0 && N < kV4l2Devices; }

std::string formatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string formatText(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

bool pathPresent(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A clip's name is taken while anything of that name is still on its way
// to the upload: its raw clip (written, or claimed by a queued conversion)
// or its MP4 file in the queue directory. Saving over it would lose that
// clip, so a repeated name (one device saving twice within one time group)
// gets a numbered variant of the time group instead.
bool clipNameTaken(const ClipPaths& p) {
    return pathPresent(p.raw) || system_commands.claims(p.raw) || pathPresent(p.queued) ||
           pathPresent(inProgressPathFor(p.queued));
}

ClipPaths uniqueClipPaths(const std::string& name, int N, const std::string& timeGroup) {
    ClipPaths p = clip_paths(tmpDir(), LBASE_PATH, name, N, timeGroup);
    for (int variant = 2; clipNameTaken(p) && variant <= kMaxNameVariants; ++variant)
        p = clip_paths(tmpDir(), LBASE_PATH, name, N, timeGroup + "-" + std::to_string(variant));
    return p;
}

// Removes `path` when it is a regular file of this process's user (a stale
// temporary MP4 file would make the converter ask before overwriting it).
void removeStaleFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) ::unlink(path.c_str());
}

void reportCannotOpen(const std::string& path, int err) {
    fprintf(stderr, "Cannot open '%s': %d, %s\n", path.c_str(), err, cm::errnoText(err).c_str());
    fflush(stderr);
}

void queueConversion(const ClipPaths& p, const ConverterSettings& settings) {
    // A stale temporary MP4 file of the same name (from a conversion that
    // failed half way) would make the converter stop and ask.
    removeStaleFile(p.temporaryMp4);
    std::string command = convert_command(settings, p);
    std::string line = "mp4 convert cmd: " + command + "\n";
    fputs(line.c_str(), stdout);
    fflush(stdout);
    system_commands.append(std::move(command), p.raw);
}

}  // namespace

void set_memory_block_mapper(MemoryBlockMapper mapper) { g_mapper.store(mapper); }

void init_memory_output_buffer(int N) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    m.len.store(0, std::memory_order_relaxed);
    m.count.store(0, std::memory_order_relaxed);
    if (m.data != nullptr) return;  // a cycle that never released its block keeps it
    MemoryBlockMapper mapper = g_mapper.load();
    void* block = mapper != nullptr ? mapper(kMemoryOutputSize) : mapAnonymous(kMemoryOutputSize);
    if (block == nullptr) {
        fputs("Cannt create an output buffer.. Out of memory\n", stderr);
        endProcess(1);
    }
    m.data = static_cast<unsigned char*>(block);
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

const char* clip_name_for_save_request(int request) {
    switch (request) {
        case kSaveNone: return nullptr;
        case kSaveAlert: return "usb";
        case kSaveUser: return "user";
        case kSaveMemory: return "mem";
        case kSaveOverflow: return nullptr;
        default: return "ukn";
    }
}

ClipPaths clip_paths(const std::string& tmp, const std::string& baseDir, const std::string& name, int N,
                     const std::string& timeGroup) {
    std::string stem = name + "_" + std::to_string(N) + "_" + timeGroup;
    return ClipPaths{tmp + "/" + stem + ".raw", tmp + "/" + stem + ".mp4", baseDir + "/queue/" + stem + ".mp4"};
}

ConverterSettings converter_settings_from_run_config() {
    ConverterSettings s;
    s.converter = footprint::resolve(footprint::kConverter);
    s.copy = g_bCopy != 0;
    s.forceFormat = force_format2;
    s.pixelFormat = g_nPixelFormat;
    s.frameRate = g_FrameRate;
    s.fps = szFPS;
    s.size = szMP4Size;
    s.bitrate = szBitrate;
    return s;
}

ConverterSettings converter_settings_for_device(int N) {
    ConverterSettings s = converter_settings_from_run_config();
    if (validDevice(N) && delivered_pixel_format[N] != 0) s.pixelFormat = delivered_pixel_format[N];
    return s;
}

std::string converter_format_flags(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
        case V4L2_PIX_FMT_H264: return "-f h264 ";
        case V4L2_PIX_FMT_MJPEG: return "-f mjpeg ";
        case V4L2_PIX_FMT_YUYV: return "-f yuyv ";
        default: return "";
    }
}

std::string converter_rate_flags(int frameRate) { return frameRate > 0 ? "-r " + std::to_string(frameRate) : ""; }

std::string convert_command(const ConverterSettings& s, const ClipPaths& p) {
    const std::string conv = cm::shellQuote(s.converter);
    const std::string raw = cm::shellQuote(p.raw);
    const std::string tmpMp4 = cm::shellQuote(p.temporaryMp4);
    const std::string queued = cm::shellQuote(p.queued);
    const std::string incomplete = cm::shellQuote(inProgressPathFor(p.queued));
    const std::string format = converter_format_flags(s.pixelFormat);
    const std::string rate = converter_rate_flags(s.frameRate);

    std::string convert;
    if (s.copy) {
        convert = formatText("%s %s -i %s -vcodec copy %s", conv.c_str(), format.c_str(), raw.c_str(), tmpMp4.c_str());
    } else if (s.forceFormat <= 9) {
        convert = formatText("%s %s %s -i %s %s %s -y -aspect 16:9 %s %s", conv.c_str(), format.c_str(), rate.c_str(),
                             raw.c_str(), s.fps.c_str(), s.size.c_str(), s.bitrate.c_str(), tmpMp4.c_str());
    } else {
        convert = formatText("%s %s %s -i %s %s %s -y %s %s", conv.c_str(), format.c_str(), rate.c_str(), raw.c_str(),
                             s.fps.c_str(), s.size.c_str(), s.bitrate.c_str(), tmpMp4.c_str());
    }
    return formatText("if %s;then mv %s %s && mv %s %s && rm %s;else s=$?;rm -f %s %s;exit $s;fi", convert.c_str(),
                      tmpMp4.c_str(), incomplete.c_str(), incomplete.c_str(), queued.c_str(), raw.c_str(),
                      tmpMp4.c_str(), raw.c_str());
}

FileWrite write_file_replacing(const std::string& path, const void* data, std::size_t length, std::size_t& written,
                               int& err) {
    written = 0;
    err = 0;
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // mkostemp creates the file exclusively under a name nobody could
    // predict, so no link planted in /tmp is ever followed.
    std::string fresh = dir + "/." + base + ".XXXXXX";
    cm::UniqueFd fd(::mkostemp(fresh.data(), O_CLOEXEC));
    if (!fd) {
        err = errno;
        return FileWrite::OpenFailed;
    }
    ::fchmod(fd.get(), kCreatedFileMode);
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (written < length) {
        ssize_t n = ::write(fd.get(), bytes + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the file system is full: what was written stays
        written += static_cast<std::size_t>(n);
    }
    fd.reset();
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        err = errno;
        ::unlink(fresh.c_str());
        return FileWrite::RenameFailed;
    }
    return FileWrite::Done;
}

void save_memory_output_buffer(int N, const char* name) {
    if (!validDevice(N)) return;
    MemoryOutput& m = memory_otuput[N];
    const unsigned len = m.len.load(std::memory_order_relaxed);
    if (m.data != nullptr && len > kSaveMinimumBytes) {
        ClipPaths p = uniqueClipPaths(name, N, szTimeGroupTimestamp.get());
        log__(p.raw.c_str(), N);
        std::size_t written = 0;
        int err = 0;
        FileWrite result = write_file_replacing(p.raw, m.data, len, written, err);
        drop_memory_output_buffer(N);
        if (result != FileWrite::Done) {
            reportCannotOpen(p.raw, err);
        } else {
            if (written < len) log__("Error writing the full buffer", N);
            queueConversion(p, converter_settings_for_device(N));
        }
    }
    log__("\nSave memory buffer done", N);
}

void save_streaming_output_buffer(int N, const char* name) {
    if (g_bStreamingVideo.load(std::memory_order_relaxed) == 0) return;
    const std::string path = tmpDir() + "/" + name + "_" + std::to_string(N) + "_" + szTimeGroupTimestamp.get() + ".jpeg";
    with_latest_streaming_image(N, [&](StreamingImage& e) {
        if (e.data == nullptr || e.length <= static_cast<int>(kSaveMinimumBytes)) return;
        std::size_t written = 0;
        int err = 0;
        FileWrite result = write_file_replacing(path, e.data, static_cast<std::size_t>(e.length), written, err);
        if (result == FileWrite::Done && written < static_cast<std::size_t>(e.length))
            log__("Error writing the full buffer", N);
        e.length = 0;
        e.processed = 0;
        if (result != FileWrite::Done) reportCannotOpen(path, err);
    });
}

namespace {

bool allDigits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A time group as this program writes it: 14 digits, '_', 6 digits, and
// optionally '-' and the number of a repeated name.
bool isTimeGroup(std::string_view s) {
    if (s.size() < 21 || !allDigits(s.substr(0, 14)) || s[14] != '_' || !allDigits(s.substr(15, 6))) return false;
    return s.size() == 21 || (s[21] == '-' && allDigits(s.substr(22)));
}

bool isClipName(std::string_view s) { return s == "usb" || s == "user" || s == "mem" || s == "ukn"; }

struct RawClipName {
    std::string name, timeGroup;
    int device = 0;
};

// "<name>_<N>_<time group><extension>" with a clip name of this program
// (or "debug" when `debugToo`) and a device number 0 to 4.
bool parseSavedName(std::string_view file, std::string_view extension, bool debugToo, RawClipName& out) {
    if (file.size() <= extension.size() || file.substr(file.size() - extension.size()) != extension) return false;
    file.remove_suffix(extension.size());
    const std::size_t first = file.find('_');
    if (first == std::string_view::npos || first + 3 > file.size()) return false;
    const std::string_view name = file.substr(0, first);
    if (!isClipName(name) && !(debugToo && name == "debug")) return false;
    const char device = file[first + 1];
    if (device < '0' || device > '4' || file[first + 2] != '_' || !isTimeGroup(file.substr(first + 3))) return false;
    out = RawClipName{std::string(name), std::string(file.substr(first + 3)), device - '0'};
    return true;
}

// ".<saved name>.XXXXXX": a fresh file that a run never got to rename.
bool isHalfWritten(std::string_view file) {
    if (file.size() < 8 || file[0] != '.' || file[file.size() - 7] != '.') return false;
    const std::string_view saved = file.substr(1, file.size() - 8);
    RawClipName ignored;
    return parseSavedName(saved, ".raw", false, ignored) || parseSavedName(saved, ".jpeg", true, ignored);
}

}  // namespace

void requeue_pending_raw_clips() {
    const std::string tmp = tmpDir();
    std::vector<RawClipName> pending;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        const std::string file = entry->d_name;
        if (isHalfWritten(file)) {
            removeStaleFile(tmp + "/" + file);
            continue;
        }
        RawClipName clip;
        if (!parseSavedName(file, ".raw", false, clip)) continue;
        // Only regular files of this process's user: /tmp is open to every
        // user of the board, and whatever is converted here gets uploaded.
        struct stat st {};
        if (::lstat((tmp + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
        pending.push_back(std::move(clip));
    }
    ::closedir(dir);
    std::sort(pending.begin(), pending.end(), [](const RawClipName& a, const RawClipName& b) {
        return std::tie(a.timeGroup, a.device, a.name) < std::tie(b.timeGroup, b.device, b.name);
    });
    for (const RawClipName& p : pending) {
        ClipPaths paths = clip_paths(tmp, LBASE_PATH, p.name, p.device, p.timeGroup);
        if (system_commands.claims(paths.raw)) continue;  // saved by this run already
        if (pathPresent(paths.queued)) {
            verbos("Removing a clip left by the last run, already converted into the queue: %s", paths.raw.c_str());
            ::unlink(paths.raw.c_str());
            continue;
        }
        verbos("Queueing the conversion of a clip left by the last run: %s", paths.raw.c_str());
        // The format these clips were recorded in is not known any more;
        // they are converted with this run's settings.
        queueConversion(paths, converter_settings_from_run_config());
    }
}
