// FTP upload of the queue directory. Every file the capture paths finish
// lands under "<base>/queue"; the FTP thread walks that tree about once a
// second, hands each regular file to the external tool `ncftpput` (which
// stores it on the upload server under "/<device serial>/" and deletes the
// local file when done), and queues a notification record for every file
// uploaded. A failed upload leaves the file where it is, for the next walk,
// without limit. The program never speaks FTP itself: it composes the
// tool's command line and reads its exit status.
//
// No clip reaches the server without its notification record. The exit
// flag may rise while the tool runs; the process used to end 3.5 s later
// while the tool went on, stored the clip and deleted it, and nothing ever
// recorded it. Now:
//  - The tool runs without a shell, as a child that the kernel kills as
//    soon as the daemon is gone (however it ends): no upload outlives the
//    daemon, so nothing reaches the server unseen after it ended.
//  - The ending (runCaptureModule, after its grace period) waits for an
//    upload under way and its record, at most kUploadEndWaitSeconds. An
//    upload under way is finished; only one that takes longer than that is
//    stopped, and its file, still in the queue, is uploaded again at the
//    next start and recorded then (a clip the server had already stored
//    is stored once more under the same name). Waiting without a bound
//    would keep a restart away for as long as a dying link lasts; stopping
//    at once would throw away every upload under way.
//  - A file counts as stored only when the tool's status says so; a file
//    that is gone after a failed status gets no record (see
//    uploadRegularFile: queue eviction removes queued files too).
//  - A file is marked busy (common/disk_space.h) for its upload, so that
//    eviction never removes it meanwhile; one that eviction is already
//    removing is not uploaded.
#pragma once

#include <ftw.h>
#include <pthread.h>
#include <sys/stat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The upload command line is at most 654 characters; the walk keeps at most
// 20 directories open.
inline constexpr std::size_t kUploadCommandMax = 654;
inline constexpr int kQueueWalkOpenDirs = 20;
// Each log of the upload tool is kept to this size and one older generation.
inline constexpr std::uint64_t kFtpLogMaxBytes = 1u << 20;
// The ending's wait for an upload under way: six times the tool's own
// time-out for a stalled transfer ("-t 10"), and a clip of a few MB at
// 100 kB/s.
inline constexpr int kUploadEndWaitSeconds = 60;
inline constexpr long long kUploadEndPollMillis = 100;
inline constexpr int kUploadEndAfterStopSeconds = 5;

extern std::atomic<pthread_t> tid_FTPThread;

// Starts the FTP thread once: 0 when it runs (now or before), 1 when it
// could not be created.
int initFTPThread();

// The thread body (argument unused): walks the queue until the exit flag
// rises. The queue directory is taken from LBASE_PATH when the thread
// starts.
void* doFTPThread(void*);

// True from the start of the thread body until it returns.
bool ftpThreadRunning();

// The walk's callback for every entry (nftw's four arguments): prints the
// listing line and uploads regular files. Returns 1 (ending the walk) once
// the exit flag is up, else 0.
int ftp_upload_file(const char* fpath, const struct stat* sb, int tflag, struct FTW* ftwbuf);

// One walk of `queueDir`, as the thread makes it (depth first, links not
// followed); nftw's result.
int walkUploadQueue(const std::string& queueDir);

// "<LBASE_PATH>/queue".
std::string queueDirectory();

// The argument list of the upload tool (the tool first) for the file
// `localPath` into "/<serial>".
std::vector<std::string> uploadArgumentsFor(const std::string& localPath, const std::string& serial);

// True while an upload runs, from just before the tool starts until its
// file is recorded or left in the queue.
bool uploadUnderWay();

// For the ending of the process, once the exit flag is up: waits for the
// upload under way (if any) and its record, at most `boundSeconds` (on the
// clock of common/clock.h). Past that, stops the tool, lets the FTP thread
// record the file should the tool have stored it after all, and returns
// false; the file stays queued for the next start. True when no upload is
// under way any more.
bool finishUploadUnderWay(int boundSeconds = kUploadEndWaitSeconds);

// The upload command for the file `localPath` into "/<serial>", with
// everything that comes from outside the program (the path, the serial)
// quoted for the shell: ordinary names give exactly the board's command
// line. Returns "" when the command would be longer than 654 characters.
std::string uploadCommandFor(const std::string& localPath, const std::string& serial);

// Removes the in-progress files (see common/queue_names.h) that producers
// left anywhere in the queue tree when the process ended while they were
// writing: such a file never becomes complete. Call only while no producer
// runs (at start-up, before the threads). Returns how many were removed, or
// -1 when the tree cannot be walked.
int removeStaleInProgressFiles(const std::string& queueDir);

// No thread.
void resetFtpUploadForTests();
