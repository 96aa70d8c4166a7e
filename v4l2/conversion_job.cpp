#include "v4l2/conversion_job.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "common/arrival_order.h"
#include "common/disk_space.h"
#include "common/durable.h"
#include "common/footprint.h"
#include "common/paths.h"
#include "common/sys_error.h"
#include "log/console.h"
#include "log/debug.h"
#include "v4l2/conversion_output_dir.h"
#include "v4l2/device_state.h"
#include "v4l2/move_into_queue.h"
#include "v4l2/mp4_check.h"
#include "v4l2/system_commands.h"

namespace {

std::string tmpDir() { return footprint::resolve(footprint::kTmp); }

// Free bytes on the file system of `path`, -1 when not known.
long long freeSpace(const std::string& path) {
    std::optional<std::uint64_t> free = cm::freeBytes(path);
    return free ? static_cast<long long>(*free) : -1;
}

// ---- set aside ----

// Keeps at most kSetAsideMaxClips clips and kSetAsideMaxBytes set aside
// (the newest always stays); the oldest go first: an earlier run's (by the
// time groups of their names), then this run's in the order they were set
// aside (common/arrival_order.h; their names' time groups are readings of
// the wall clock, which a step can invert).
void boundSetAside() {
    const std::string tmp = tmpDir();
    struct Aside {
        SavedName name;
        std::string path;
        long long bytes;
        std::uint64_t order;  // 0 for an earlier run's, else 1 + its arrival
    };
    std::vector<Aside> aside;
    DIR* dir = ::opendir(tmp.c_str());
    if (dir == nullptr) return;
    while (dirent* entry = ::readdir(dir)) {
        SavedName n;
        if (!parseSavedName(entry->d_name, ".raw.failed", false, n)) continue;
        const std::string path = tmp + "/" + entry->d_name;
        struct stat st {};
        if (!cm::isOwnRegularFile(path, &st)) continue;
        const std::optional<std::uint64_t> arrival = cm::arrivalOf(path);
        aside.push_back(Aside{n, path, static_cast<long long>(st.st_size), arrival ? *arrival + 1 : 0});
    }
    ::closedir(dir);
    std::sort(aside.begin(), aside.end(), [](const Aside& a, const Aside& b) {
        return a.order != b.order ? a.order < b.order : olderFirst(a.name, b.name);
    });
    long long bytes = 0;
    for (const Aside& a : aside) bytes += a.bytes;
    std::size_t count = aside.size();
    for (const Aside& a : aside) {
        if (count <= 1 || (count <= static_cast<std::size_t>(kSetAsideMaxClips) && bytes <= kSetAsideMaxBytes)) break;
        ::unlink(a.path.c_str());
        cm::removeOwnFile(formatFilePath(a.path));
        verbos("Removed the oldest clip set aside, %s (%lld bytes): at most %d clips and %lld MB are kept",
               a.path.c_str(), a.bytes, kSetAsideMaxClips, kSetAsideMaxBytes >> 20);
        bytes -= a.bytes;
        --count;
    }
}

void setAside(const std::string& raw, int failures) {
    const std::string aside = setAsidePath(raw);
    cm::noteArrival(aside);
    if (::rename(raw.c_str(), aside.c_str()) != 0) {
        int err = errno;
        verbos("Could not set aside %s: %s; it is tried again at the next start", raw.c_str(),
               cm::errnoText(err).c_str());
        return;
    }
    if (cm::pathPresent(formatFilePath(raw)) &&
        ::rename(formatFilePath(raw).c_str(), formatFilePath(aside).c_str()) != 0)
        cm::removeOwnFile(formatFilePath(raw));
    verbos("Conversion of %s failed %d times: set aside as %s", raw.c_str(), failures, aside.c_str());
    boundSetAside();
}

// ---- the job ----

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
    const std::string out = cm::dirName(job.paths.temporaryMp4);
    const long long tmpFree = freeSpace(out.empty() || out == "." ? tmpDir() : out);
    const long long queueFree = freeSpace(cm::dirName(job.paths.queued));
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
    queueJob(job, SystemCommandQueue::clockSeconds() + static_cast<double>(pause));
}

// The completion step, on the command thread.
void complete(const std::shared_ptr<ConversionJob>& job, int status) {
    const ClipPaths& p = job->paths;
    if (p.temporaryMp4.empty()) {
        retryLater(job, "no private directory for the converter's output");
        return;
    }
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kConverterLockBusyStatus) {
        verbos("Conversion of %s waits: another converter still works on it; trying again in %d s", p.raw.c_str(),
               kLockBusyPauseSeconds);
        queueJob(job, SystemCommandQueue::clockSeconds() + kLockBusyPauseSeconds);
        return;
    }
    // A raw clip removed to make room before its conversion could be taken
    // back is gone, even when the lock's flock has since created an empty
    // file at its name: no clip is ever empty, and trying an empty file again
    // would only fail five times and set it aside.
    struct stat raw {};
    if (!cm::isOwnRegularFile(p.raw, &raw) || raw.st_size == 0) {
        cm::removeOwnFile(p.temporaryMp4);
        cm::removeOwnFile(p.raw);
        cm::removeOwnFile(formatFilePath(p.raw));
        verbos("Conversion of %s: the raw clip is gone", p.raw.c_str());
        return;
    }
    std::string why;
    if (status == 0) {
        // A converter cut off or out of space may end with status 0 and
        // leave a file without its index: never uploaded as a clip.
        const bool whole = isWholeMp4File(p.temporaryMp4, why);
        if (whole) {
            makeRoomInQueueFor(p.temporaryMp4, p.queued);
            cm::noteArrival(p.queued);
        }
        if (!whole) {
            why = "the converter ended with status 0 but left no whole MP4 file: " + why;
        } else if (!stageIntoQueue(p.temporaryMp4, p.queued, why)) {
            why = "moving it into the queue failed: " + why;
        } else {
            // Only now, with the clip durably in the queue, may the raw clip
            // go; and its removal is durable before the clip can be
            // uploaded, or a cut could bring it back to be converted and
            // uploaded once more.
            ::unlink(p.raw.c_str());
            cm::removeOwnFile(formatFilePath(p.raw));
            cm::syncParentDirectory(p.raw);
            if (!publishStaged(p.queued, why))
                verbos("Converted %s, but it could not take its name in the queue (%s): the next start finishes it",
                       p.queued.c_str(), why.c_str());
            if (job->settings.input.cutShort)
                verbos("Converted %s, a clip that was cut short when it was written", p.raw.c_str());
            return;
        }
    } else {
        why = "the converter " + describeStatus(status, job->settings.timeLimitSeconds);
    }
    cm::removeOwnFile(p.temporaryMp4);
    retryLater(job, why);
}

// An alert's clips are what the device is for: they are converted ahead of
// user and memory clips still waiting (never stopping the one converting),
// the oldest alert first. A user clip waits only while alert clips do, and
// alerts are bounded by the cameras, so it is late, never lost. On the
// board one conversion takes about a minute, so a user request's four
// clips would otherwise hold an alert's back by four.
SystemCommandQueue::Turn turnOf(const ClipPaths& paths) {
    SavedName n;
    const bool alert = parseSavedName(cm::baseName(paths.raw), ".raw", false, n) &&
                       n.name == clipNameForSaveRequest(kSaveAlert);
    return alert ? SystemCommandQueue::Turn::ahead : SystemCommandQueue::Turn::inTurn;
}

void queueJob(const std::shared_ptr<ConversionJob>& job, double notBefore) {
    const std::string dir = conversionOutputDir();
    std::string command;
    if (dir.empty()) {
        job->paths.temporaryMp4.clear();
        command = "false";  // nothing to convert into; the completion step waits and tries again
    } else {
        job->paths.temporaryMp4 = dir + "/" + cm::baseName(job->paths.queued);
        command = convertCommand(job->settings, job->paths);
    }
    cm::printOut("mp4 convert cmd: " + command + "\n");
    // The raw clip's path tags the command: its name stays taken until the
    // job is done, and eviction can withdraw a job still waiting.
    system_commands.append(std::move(command), job->paths.raw, [job](int status) { complete(job, status); },
                           notBefore, turnOf(job->paths));
}

}  // namespace

void queueConversion(const ClipPaths& paths, const ConverterSettings& settings) {
    auto job = std::make_shared<ConversionJob>();
    job->paths = paths;
    job->settings = settings;
    queueJob(job, 0);
}

bool conversionPending(const std::string& rawPath) { return system_commands.isTagged(rawPath); }

bool makeRoomForRawClip(const std::string& raw, std::uint64_t bytes) {
    const std::string tmp = tmpDir();
    if (cm::roomFor(tmp, bytes)) return true;
    std::vector<cm::Evictable> candidates = cm::evictableFilesIn(tmp, [](const std::string& file) {
        return isRawClipName(file, true);
    });
    for (cm::Evictable& c : candidates)
        if (isRawClipName(cm::baseName(c.path), false)) c.age += 1LL << 62;  // after the set-aside
    const cm::Eviction e = cm::makeRoom(tmp, bytes, candidates, [](const cm::Evictable& c) {
        struct stat st {};
        if (::lstat(c.path.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return false;
        const bool waiting = isRawClipName(cm::baseName(c.path), false);
        if (waiting && !system_commands.isTagged(c.path)) return false;
        if (!system_commands.withdraw(c.path)) return false;
        ::unlink(formatFilePath(c.path).c_str());
        return true;
    });
    verbos(cm::describeEviction(e, "the raw clip " + raw).c_str());
    return e.room;
}
