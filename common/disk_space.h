// Free space on the file systems the daemon writes to, and the reserve it
// keeps there.
//
// Clips and pictures are large and come on their own; the control record,
// the notification records and the logs are small and must always be
// writable, or the device loses its companion's requests and its uploads'
// records. So every large write (a raw clip, a conversion's output, a clip
// entering the queue, a picture of the store) first asks for room that
// leaves kDiskReserveBytes free, and when there is none the oldest clips
// that nothing is working on are removed to make it (`makeRoom`): the
// newest recordings are the ones an alert is about.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace cm {

// What every large write leaves free on its file system. A full control
// record, a few hundred notification records and a day of logs fit many
// times over; on the board's smallest /tmp (a RAM disk) it is a small share.
inline constexpr std::uint64_t kDiskReserveBytes = 8u << 20;

// Bytes available to this process on the file system holding `path`, or
// nothing when that cannot be told (the path is missing, say).
std::optional<std::uint64_t> freeBytes(const std::string& path);

// Whether `bytes` more can be written under `path` and still leave the
// reserve free. Free space that cannot be told counts as room: the write
// itself then says whether it fits, and a clip is never given up on a guess.
bool roomFor(const std::string& path, std::uint64_t bytes);

// A file that may be removed to make room.
struct Evictable {
    std::string path;
    std::uint64_t bytes = 0;
    std::int64_t age = 0;  // the order of removal: smaller goes first (a time stamp)
    std::uint64_t inode = 0;  // the file listed (0: not known)
};

// The regular files directly in `dir` whose name `accept` takes and that
// are not busy as they are listed, with their sizes and modification times
// as ages.
std::vector<Evictable> evictableFilesIn(const std::string& dir, bool (*accept)(const std::string& name));

struct Eviction {
    std::vector<Evictable> removed;
    bool room = false;                 // whether `bytes` fit with the reserve afterwards
    std::optional<std::uint64_t> free;  // the free space afterwards
};

// Removes `candidates`, oldest first, until `bytes` fit under `path` with
// the reserve, and says which went. Each goes through removeUnlessBusy, so
// a candidate that became busy after it was listed stays. `release`, when
// given, is its release step there: it may refuse the removal or let go of
// what belongs to the file.
Eviction makeRoom(const std::string& path, std::uint64_t bytes, std::vector<Evictable> candidates,
                  const std::function<bool(const Evictable&)>& release = {});

// Files something is working on (a clip being converted or uploaded) are
// marked busy for as long as the guard lives and are never evicted. The
// mark and eviction's claim exclude each other: a file that eviction has
// claimed is not held (held() is false: it is going away, and nothing may
// start on it), and a held file is never claimed.
class BusyFile {
public:
    explicit BusyFile(std::string path);
    ~BusyFile();
    BusyFile(const BusyFile&) = delete;
    BusyFile& operator=(const BusyFile&) = delete;

    bool held() const { return held_; }

private:
    std::string path_;
    bool held_ = false;
};
bool isBusy(const std::string& path);

// Eviction's one step: claims `path` unless it is busy or claimed already,
// runs `release` (which may refuse), unlinks the file and lets the claim
// go. No lock is held across the release step or the unlink, so a thread
// that marks a file busy never waits on another thread's disk work.
// Whether the file was removed.
bool removeUnlessBusy(const std::string& path, const std::function<bool()>& release = {});

// Makes room for `bytes` in the upload queue directory `queueDir` by
// removing its oldest complete files: never one in progress or busy, and
// only the very file that was listed (its release step refuses one that a
// producer has since renamed over the name).
Eviction makeRoomInQueue(const std::string& queueDir, std::uint64_t bytes);

// One line for the log: what was removed, for what, and the free space left.
std::string describeEviction(const Eviction& e, const std::string& forWhat);

// For tests: the free-space probe in use (nullptr restores statvfs).
using FreeSpaceProbe = std::optional<std::uint64_t> (*)(const std::string& path);
void setFreeSpaceProbeForTests(FreeSpaceProbe probe);
// statvfs as the probe, and no file busy.
void resetDiskSpaceForTests();

}  // namespace cm
