// The rolling picture store of the default capture path: per camera input
// the most recent pictures, in memory (`pic_frames`) or as PNG files named
// in `listImages`, oldest first.
//
// Three threads use a list at once: the two capture threads append to it
// and trim it, and the clip writer takes its pictures. Each list owns its
// lock and every operation holds it only for the list surgery itself; no
// picture is encoded, decoded, written or deleted on disk under a lock.
//
// Memory pictures are handed out as cv::Mat headers that share the pixels
// (cv::Mat counts its references atomically), so the clip writer encodes a
// snapshot outside the lock while the capture threads go on appending.
// Each stored picture carries a sequence number given under the lock, so
// that the clip writer later removes exactly the pictures its clip used.
#pragma once

#include <opencv2/core.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kStoreInputs = 4;

// One picture of the memory store.
struct StoredPicture {
    std::uint64_t seq = 0;  // order of arrival in its list
    cv::Mat picture;        // owned: a clone of the captured picture
};

// The memory store of one input.
class MemoryPictureList {
public:
    // Appends `picture` (which must own its pixels) as the newest entry.
    void append(cv::Mat picture);
    std::size_t size() const;

    // Removes the oldest picture when the list holds more than `limit` and
    // `input` is not the one being made into a clip (checked under the lock,
    // so a clip that has started taking pictures never loses one to a trim).
    // The removed picture is handed back so that its pixels are freed
    // outside the lock.
    struct Trimmed {
        std::size_t countBefore;
        StoredPicture removed;
    };
    std::optional<Trimmed> trimOldest(std::size_t limit, int input);

    // The first `n` (oldest) pictures, sharing their pixels with the store.
    std::vector<StoredPicture> oldest(std::size_t n) const;

    // Removes every picture up to and including sequence number `lastSeq`
    // (the newest picture a clip used); returns how many were removed.
    std::size_t removeThrough(std::uint64_t lastSeq);

    void clear();

private:
    mutable std::mutex lock_;
    std::deque<StoredPicture> list_;
    std::uint64_t nextSeq_ = 1;
};

// The file store of one input: names of PNG files, oldest first. The list
// owns the files: a name leaves the list only to be deleted (trimming) or
// to be handed to the clip writer, which deletes the file after its clip,
// or gives the name back.
class FilePictureList {
public:
    void append(std::string name);
    std::size_t size() const;

    // As MemoryPictureList::trimOldest; the removed name is handed back so
    // that the caller deletes its file outside the lock.
    struct Trimmed {
        std::size_t countBefore;
        std::string removed;
    };
    std::optional<Trimmed> trimOldest(std::size_t limit, int input);

    // Takes the `n` oldest names out of the list (fewer if it holds fewer).
    std::vector<std::string> takeOldest(std::size_t n);

    // Puts names taken by takeOldest back in front of the list, in their
    // order, ahead of anything appended meanwhile.
    void giveBack(const std::vector<std::string>& names);

    std::vector<std::string> names() const;
    void clear();

    // Takes the oldest names out of the list for as long as `outdated` holds
    // for them (its files are the caller's to delete).
    template <typename Pred>
    std::vector<std::string> takeOldestWhile(Pred outdated) {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> out;
        while (!list_.empty() && outdated(list_.front())) {
            out.push_back(std::move(list_.front()));
            list_.pop_front();
        }
        return out;
    }

private:
    mutable std::mutex lock_;
    std::deque<std::string> list_;
};

// The life timer of the store: trimming starts only once more than
// STORAGE_LENGTH seconds have passed since it was last restarted (by each
// capture thread when it starts capturing, by the clip writer at every
// file-store clip). Its times are readings of the monotonic clock
// (common/clock.h): on the wall clock a backward step stopped the trimming
// for as long as the step, and the store and its clips grew past their
// length.
class StoreLifeTimer {
public:
    void restart(const timespec& at);
    // Seconds from the last restart to `now`.
    double secondsUntil(const timespec& now) const;

private:
    std::atomic<long long> startNs_{0};
};

extern MemoryPictureList pic_frames[kStoreInputs];
extern FilePictureList listImages[kStoreInputs];
extern StoreLifeTimer startImagesListLife;

// The input whose clip the clip writer is making, -1 when none; that input
// is never trimmed.
extern std::atomic<int> nCreatingVideosForInput;

// Measured capture rate (pictures per second of one capture thread), the
// frame rate of default-path clips; never stored below 1.0.
extern std::atomic<double> fps;

// Capture attempts of all capture threads together.
extern std::atomic<int> frames;

// Empties every list (files stay on disk), resets the life timer, the
// clip marker, the rate and the attempt count: the state at process start.
void resetPictureStore();

// Puts the picture files an earlier run of the file store left behind back
// into their inputs' lists. A run that ended (killed, or stopped for a
// restart) leaves its pictures on disk, the ones of a clip it was writing
// among them; without this they would never go into a clip and never be
// deleted, and the directories would fill up restart after restart. Per
// input directory "<base>/<input + 1>" the files named as the capture
// threads name them ("video<id>:-<time string>.png") are taken in time
// order. Only pictures of the store's current span are taken back: taken
// (by the time string of their name, local time) at most STORAGE_LENGTH
// seconds before now (the wall clock, common/clock.h: the only clock an
// earlier run's names tell), and of those the newest STORAGE_LENGTH (the
// store holds no more than that once trimming runs). The others are
// deleted: older ones would open the next clip as if they were recent,
// with no mark of the gap, and a picture dated after now was taken under a
// clock that has since been set back, so its age is unknown.
// Other files are left alone. Call once, before the capture threads start.
// Returns the number of pictures taken back.
int adoptPictureFilesOfEarlierRun();

// Deletes the pictures of an earlier run (those taken back at start) at the
// front of `input`'s file list that are older than STORAGE_LENGTH seconds
// at `now` (monotonic clock), so that a clip never opens with pictures
// older than the store's span before its request. Their age is their age
// when taken back plus the monotonic time since: a step of the wall clock
// after the start changes nothing. The clip writer calls it before it
// takes an input's pictures. Returns how many were deleted.
int dropOutdatedPicturesOfEarlierRun(int input, const timespec& now);

// The time a picture was taken, from the time string in its file name
// ("video<id>:-<time string>.png", local time); nothing for other names.
std::optional<timespec> pictureTakenAt(std::string_view path);
