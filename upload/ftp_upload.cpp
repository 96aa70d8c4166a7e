#include "upload/ftp_upload.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <set>
#include <vector>

#include "board/watchdog.h"
#include "common/child_process.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/durable.h"
#include "common/footprint.h"
#include "common/paths.h"
#include "common/queue_names.h"
#include "common/run_config.h"
#include "common/shell.h"
#include "common/sys_error.h"
#include "common/threads.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "upload/positionurl.h"

std::atomic<pthread_t> tid_FTPThread{0};

namespace {
std::atomic<bool> g_ftpThreadRunning{false};
// From just before the tool starts until its file is recorded or left.
std::atomic<bool> g_uploadUnderWay{false};
// The tool's process while it runs, else 0.
std::atomic<pid_t> g_toolPid{0};
}  // namespace

namespace {

constexpr char kNotifyUploadFormat[] = "/notify_file_upload.php?deviceid=%s&fpath=%s";
// Consecutive failed walks between two "nftw error!" lines after the first.
constexpr int kWalkErrorLogEvery = 60;

// Files the walk passes over for good (a command line too long, a control
// character in the name) stay in the queue and come up on every walk; each
// is logged once. The set only grows with such odd files; it is emptied
// when it gets large, which at worst logs a file once more.
class ReportedOnce {
public:
    bool firstTime(const std::string& path) {
        std::lock_guard<std::mutex> lock(lock_);
        if (seen_.size() >= 256) seen_.clear();
        return seen_.insert(path).second;
    }

private:
    std::mutex lock_;
    std::set<std::string> seen_;
};

ReportedOnce g_skipReports;

const char* listingLabel(int tflag) {
    switch (tflag) {
        case FTW_F: return "f";
        case FTW_D: return "d";
        case FTW_DNR: return "dnr";
        case FTW_NS: return "ns";
        case FTW_SL: return "sl";
        case FTW_SLN: return "sln";
        default: return "???";
    }
}

// A control character in a name would reach the FTP control channel as it
// is: a line end there ends the tool's command and starts another one on
// the server (and a CR does on many servers).
bool hasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return true;
    return false;
}

int endWalkIfExiting() { return exitRequested() ? 1 : 0; }

void queueUploadNotification(const char* path) {
    char url[kNotificationUrlField];
    int n = snprintf(url, sizeof url, kNotifyUploadFormat, device_serial, path);
    if (n < 0 || static_cast<std::size_t>(n) > kNotificationUrlMax) {
        // Not reached with a command line of at most 654 characters; a cut
        // URL would name another file, so none is queued.
        verbos("notification for %s would exceed %d characters, not queued", path,
               static_cast<int>(kNotificationUrlMax));
        return;
    }
    PositionURL record;
    if (!record.setURL(url)) return;
    record.saveRecord();
    // The clip is gone from the queue: its record is durable before the
    // walk goes on, or a power cut leaves a stored clip nobody is told of.
    syncNotificationRecords();
    cm::printOutFormatted("saving a notification call: %s\n", url);
}

// Runs the upload tool (argument list, the tool first) and waits for it;
// the wait status, or -1 when it could not be started. The tool runs
// without a shell, so that its process is known: the kernel ends it with
// SIGKILL as soon as this thread (and so this process) is gone, and the
// ending can stop it (finishUploadUnderWay). A tool that cannot be executed
// ends with status 127, as a shell reports it. Like every child it holds no
// descriptor of the daemon and runs as the least urgent work.
int runUploadTool(const std::vector<std::string>& args) {
    cm::ChildOptions options;
    options.endWithDaemon = true;
    options.running = &g_toolPid;
    return cm::runChild(args, options);
}

// Marks an upload under way for the life of the object.
class UploadUnderWay {
public:
    UploadUnderWay() { g_uploadUnderWay.store(true); }
    ~UploadUnderWay() { g_uploadUnderWay.store(false); }
    UploadUnderWay(const UploadUnderWay&) = delete;
    UploadUnderWay& operator=(const UploadUnderWay&) = delete;
};

void uploadRegularFile(const char* path) {
    const std::string serial(device_serial);
    if (hasControlCharacter(path) || hasControlCharacter(serial)) {
        if (g_skipReports.firstTime(path))
            verbos("not uploaded, a control character in the file name or the device serial: %s", path);
        return;
    }
    const std::vector<std::string> args = uploadArgumentsFor(path, serial);
    const std::string command = uploadCommandFor(path, serial);
    if (command.empty()) {
        if (g_skipReports.firstTime(path))
            verbos("not uploaded, the upload command would exceed %d characters: %s",
                   static_cast<int>(kUploadCommandMax), path);
        return;
    }

    {
        UploadUnderWay underWay;
        cm::BusyFile uploading(path);  // never removed to make room while the tool reads it
        if (!uploading.held()) {
            verbos("not uploaded, being removed to make room: %s", path);
            return;
        }
        cm::printOutFormatted("Calling: %s\n", command.c_str());
        // The activity time is renewed on both sides of a long upload.
        notifyAction();
        int result = runUploadTool(args);
        notifyAction();
        cm::printOutFormatted("Result: %d\n", result);

        // Only the tool's status says the server stored the file. That the
        // file is gone says nothing: the tool removes it once stored
        // ("-DD"), but queue eviction removes queued files too (never while
        // this upload holds it busy), and so may anybody on the board. A
        // tool stopped by the ending between its delete and its exit (a
        // window of a few instructions) leaves a stored clip without a
        // record; a record of a clip the server never got would be worse.
        if (result == 0) {
            verbos("file ftped successfully.. deleting: %s", path);
            // The tool deletes the file itself once it is stored ("-DD"),
            // so this normally finds it gone (-1).
            int deleted = ::unlink(path);
            verbos("deleting result: %d", deleted);
            queueUploadNotification(path);
            // The tool's removal of the file, durable after its record: a
            // cut before this point uploads the clip once more (stored
            // again under its name), after it never; a removal durable
            // before the record could leave a stored clip without one.
            cm::syncParentDirectory(path);
            return;
        }
        if (!cm::pathPresent(path))
            verbos("upload tool result %d and %s is gone: whether the server stored it is unknown, no record", result,
                   path);
    }
    cm::sleepSeconds(1);
}

// Failed walks in a row; only the FTP thread walks the queue.
std::atomic<int> g_failedWalks{0};

void reportWalkResult(int result, const std::string& queueDir) {
    if (result != -1) {
        if (g_failedWalks.exchange(0) > 0) verbos("queue walk works again: %s", queueDir.c_str());
        return;
    }
    int err = errno;
    int failed = g_failedWalks.fetch_add(1) + 1;
    if (failed == 1)
        verbos("nftw error! %s: %s", queueDir.c_str(), cm::errnoText(err).c_str());
    else if (failed % kWalkErrorLogEvery == 0)
        verbos("nftw error! %s: %s (%d walks failed in a row)", queueDir.c_str(), cm::errnoText(err).c_str(), failed);
}

thread_local int t_staleRemoved = 0;

int removeIfStale(const char* fpath, const struct stat*, int tflag, struct FTW* ftwbuf) {
    if (tflag == FTW_D || tflag == FTW_DP || tflag == FTW_DNR) return 0;
    if (!isInProgressName(fpath + ftwbuf->base)) return 0;
    if (::unlink(fpath) == 0) {
        ++t_staleRemoved;
        verbos("removed an unfinished queue file (its writer ended before completing it): %s", fpath);
    } else {
        verbos("could not remove the unfinished queue file %s: %s", fpath, cm::errnoText(errno).c_str());
    }
    return 0;
}

}  // namespace

std::string queueDirectory() { return LBASE_PATH + "/queue"; }

std::vector<std::string> uploadArgumentsFor(const std::string& localPath, const std::string& serial) {
    return {footprint::resolve(footprint::kUploadTool),
            "-S", ".uploading", "-z", "-d", footprint::resolve(footprint::kFtpDebugLog),
            "-e", footprint::resolve(footprint::kFtpErrorLog),
            "-DD", "-V", "-m", "-t", "10", "-u", footprint::kFtpUser, "-p", footprint::kFtpPassword,
            footprint::kFtpHost, "/" + serial, localPath};
}

std::string uploadCommandFor(const std::string& localPath, const std::string& serial) {
    std::string command;
    for (const std::string& arg : uploadArgumentsFor(localPath, serial)) {
        if (!command.empty()) command += ' ';
        command += cm::shellQuote(arg);
    }
    if (command.size() > kUploadCommandMax) return {};
    return command;
}

bool uploadUnderWay() { return g_uploadUnderWay.load(); }

bool finishUploadUnderWay(int boundSeconds) {
    if (!g_uploadUnderWay.load()) return true;
    verbos("waiting for the upload under way to finish (at most %d seconds)", boundSeconds);
    const timespec start = cm::monotonicNow();
    while (g_uploadUnderWay.load()) {
        if (cm::secondsBetween(start, cm::monotonicNow()) >= boundSeconds) break;
        cm::sleepMillis(kUploadEndPollMillis);
    }
    if (!g_uploadUnderWay.load()) return true;

    verbos("the upload under way has not finished within %d seconds: it is stopped, and its file stays queued "
           "for the next start",
           boundSeconds);
    const pid_t pid = g_toolPid.load();
    if (pid > 0) ::kill(pid, SIGKILL);
    // The FTP thread now learns how the tool ended and records the file if
    // the tool had stored it after all: a few steps without any waiting.
    const timespec stopped = cm::monotonicNow();
    while (g_uploadUnderWay.load() && cm::secondsBetween(stopped, cm::monotonicNow()) < kUploadEndAfterStopSeconds)
        cm::sleepMillis(10);
    return false;
}

int ftp_upload_file(const char* fpath, const struct stat* sb, int tflag, struct FTW* ftwbuf) {
    if (exitRequested()) return 1;
    if (tflag == FTW_DP) return 0;

    // An entry whose status could not be read has no size to show.
    intmax_t size = (tflag == FTW_NS || sb == nullptr) ? 0 : static_cast<intmax_t>(sb->st_size);
    cm::printOutFormatted("%-3s %2d %7jd   %-40s %d %s\n", listingLabel(tflag), ftwbuf->level, size, fpath,
                          ftwbuf->base, fpath + ftwbuf->base);

    if (tflag != FTW_F) return endWalkIfExiting();
    // nftw reports every non-directory that is not a link as a file; a FIFO
    // would block the tool (and with it the whole queue) for good, and a
    // device node or socket is nothing to upload.
    if (sb == nullptr || !S_ISREG(sb->st_mode)) return endWalkIfExiting();
    if (isInProgressName(fpath + ftwbuf->base)) {
        if (g_skipReports.firstTime(fpath)) {
            cm::printOutFormatted("still being written, left for a later walk: %s\n", fpath);
        }
        return endWalkIfExiting();
    }
    uploadRegularFile(fpath);
    return endWalkIfExiting();
}

int walkUploadQueue(const std::string& queueDir) {
    return nftw(queueDir.c_str(), ftp_upload_file, kQueueWalkOpenDirs, FTW_DEPTH | FTW_PHYS);
}

bool ftpThreadRunning() { return g_ftpThreadRunning.load(std::memory_order_acquire); }

void* doFTPThread(void*) {
    g_failedWalks.store(0);  // the failures counted are this thread's walks
    g_ftpThreadRunning.store(true, std::memory_order_release);
    verbos("FTP thread started!");
    const std::string queueDir = queueDirectory();
    while (!exitRequested()) {
        // The upload tool appends to its logs for every upload; they are
        // kept to one older generation each.
        rotateLogIfLarger(footprint::resolve(footprint::kFtpDebugLog), kFtpLogMaxBytes);
        rotateLogIfLarger(footprint::resolve(footprint::kFtpErrorLog), kFtpLogMaxBytes);
        retryPendingNotificationRecords();
        int result = walkUploadQueue(queueDir);
        reportWalkResult(result, queueDir);
        // A failed walk (the queue directory missing, say) pauses too: going
        // straight on would spin the board's one core and log every turn.
        cm::sleepSeconds(1);
    }
    g_ftpThreadRunning.store(false, std::memory_order_release);
    return nullptr;
}

int initFTPThread() {
    return cm::startWorkerThread(tid_FTPThread, "cm-ftp", cm::Urgency::ordinary, doFTPThread, nullptr,
                                 {"FTP thread created successfully!", "can't create FTP thread: ", true});
}

int removeStaleInProgressFiles(const std::string& queueDir) {
    t_staleRemoved = 0;
    if (nftw(queueDir.c_str(), removeIfStale, kQueueWalkOpenDirs, FTW_DEPTH | FTW_PHYS) == -1) return -1;
    return t_staleRemoved;
}

void resetFtpUploadForTests() { tid_FTPThread.store(0); }
