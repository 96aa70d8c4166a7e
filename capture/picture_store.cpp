#include "capture/picture_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

#include "app/run_config.h"
#include "log/debug.h"

MemoryPictureList pic_frames[kStoreInputs];
FilePictureList listImages[kStoreInputs];
StoreLifeTimer startImagesListLife;
std::atomic<int> nCreatingVideosForInput{-1};
std::atomic<double> fps{1.0};
std::atomic<int> frames{0};

namespace {

// Whether `input` may be trimmed now. Called under the list's lock: the
// clip writer names its input before it takes pictures from the list, so
// a trim that sees another input (or none) here ran before the take.
bool trimmingAllowed(int input) { return nCreatingVideosForInput.load() != input; }

bool digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "video<id>:-<14 digits>_<6 digits>.png": a picture of a capture thread.
// Its time string, or "" for any other name.
std::string_view pictureTime(std::string_view name) {
    constexpr std::string_view kPrefix = "video", kExtension = ".png";
    if (name.size() != kPrefix.size() + 3 + 21 + kExtension.size()) return {};
    if (name.substr(0, kPrefix.size()) != kPrefix || !digits(name.substr(kPrefix.size(), 1))) return {};
    if (name.substr(kPrefix.size() + 1, 2) != ":-") return {};
    const std::string_view time = name.substr(kPrefix.size() + 3, 21);
    if (!digits(time.substr(0, 14)) || time[14] != '_' || !digits(time.substr(15, 6))) return {};
    if (name.substr(name.size() - kExtension.size()) != kExtension) return {};
    return time;
}

}  // namespace

void MemoryPictureList::append(cv::Mat picture) {
    std::lock_guard<std::mutex> guard(lock_);
    list_.push_back(StoredPicture{nextSeq_++, std::move(picture)});
}

std::size_t MemoryPictureList::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return list_.size();
}

std::optional<MemoryPictureList::Trimmed> MemoryPictureList::trimOldest(std::size_t limit, int input) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!trimmingAllowed(input) || list_.size() <= limit) return std::nullopt;
    Trimmed t{list_.size(), std::move(list_.front())};
    list_.pop_front();
    return t;
}

std::vector<StoredPicture> MemoryPictureList::oldest(std::size_t n) const {
    std::lock_guard<std::mutex> guard(lock_);
    if (n > list_.size()) n = list_.size();
    return std::vector<StoredPicture>(list_.begin(), list_.begin() + static_cast<std::ptrdiff_t>(n));
}

std::size_t MemoryPictureList::removeThrough(std::uint64_t lastSeq) {
    std::deque<StoredPicture> removed;  // freed after the lock is released
    {
        std::lock_guard<std::mutex> guard(lock_);
        while (!list_.empty() && list_.front().seq <= lastSeq) {
            removed.push_back(std::move(list_.front()));
            list_.pop_front();
        }
    }
    return removed.size();
}

void MemoryPictureList::clear() {
    std::deque<StoredPicture> removed;
    std::lock_guard<std::mutex> guard(lock_);
    removed.swap(list_);
}

void FilePictureList::append(std::string name) {
    std::lock_guard<std::mutex> guard(lock_);
    list_.push_back(std::move(name));
}

std::size_t FilePictureList::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return list_.size();
}

std::optional<FilePictureList::Trimmed> FilePictureList::trimOldest(std::size_t limit, int input) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!trimmingAllowed(input) || list_.size() <= limit) return std::nullopt;
    Trimmed t{list_.size(), std::move(list_.front())};
    list_.pop_front();
    return t;
}

std::vector<std::string> FilePictureList::takeOldest(std::size_t n) {
    std::lock_guard<std::mutex> guard(lock_);
    if (n > list_.size()) n = list_.size();
    std::vector<std::string> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::move(list_.front()));
        list_.pop_front();
    }
    return out;
}

void FilePictureList::giveBack(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> guard(lock_);
    list_.insert(list_.begin(), names.begin(), names.end());
}

std::vector<std::string> FilePictureList::names() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::vector<std::string>(list_.begin(), list_.end());
}

void FilePictureList::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    list_.clear();
}

void StoreLifeTimer::restart(const timespec& at) {
    startNs_.store(static_cast<long long>(at.tv_sec) * 1000000000LL + at.tv_nsec);
}

double StoreLifeTimer::secondsUntil(const timespec& now) const {
    long long start = startNs_.load();
    timespec s{static_cast<time_t>(start / 1000000000LL), static_cast<long>(start % 1000000000LL)};
    return static_cast<double>(now.tv_sec - s.tv_sec) + static_cast<double>(now.tv_nsec - s.tv_nsec) / 1e9;
}

int adoptPictureFilesOfEarlierRun() {
    int adopted = 0;
    for (int input = 0; input < kStoreInputs; ++input) {
        const std::string dir = LBASE_PATH + "/" + std::to_string(input + 1);
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) continue;
        // (time string, name): the two capture threads' pictures in the
        // order they were taken.
        std::vector<std::pair<std::string, std::string>> found;
        while (const dirent* e = ::readdir(d)) {
            const std::string_view time = pictureTime(e->d_name);
            if (time.empty()) continue;
            const std::string path = dir + "/" + e->d_name;
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            found.emplace_back(std::string(time), path);
        }
        ::closedir(d);
        std::sort(found.begin(), found.end());
        const std::size_t keep = std::min<std::size_t>(found.size(), STORAGE_LENGTH);
        const std::size_t drop = found.size() - keep;
        for (std::size_t i = 0; i < drop; ++i) std::remove(found[i].second.c_str());
        for (std::size_t i = drop; i < found.size(); ++i) listImages[input].append(found[i].second);
        if (!found.empty())
            verbos("pictures of an earlier run for input %d: %d taken back, %d older ones deleted", input,
                   static_cast<int>(keep), static_cast<int>(drop));
        adopted += static_cast<int>(keep);
    }
    return adopted;
}

void resetPictureStore() {
    for (int i = 0; i < kStoreInputs; ++i) {
        pic_frames[i].clear();
        listImages[i].clear();
    }
    startImagesListLife.restart(timespec{0, 0});
    nCreatingVideosForInput.store(-1);
    fps.store(1.0);
    frames.store(0);
}
