#include "capture/picture_store.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string_view>
#include <utility>

#include "common/clock.h"
#include "common/run_config.h"
#include "common/time_string.h"
#include "log/debug.h"

MemoryPictureList pic_frames[kStoreInputs];
FilePictureList listImages[kStoreInputs];
StoreLifeTimer startImagesListLife;
std::atomic<int> nCreatingVideosForInput{-1};
std::atomic<double> fps{1.0};
std::atomic<int> frames{0};

namespace {

// The pictures of an earlier run that were taken back, and when, on both
// clocks. A picture's age at any later time is its age when it was taken
// back (by the wall clock, the only one its name tells) plus the monotonic
// time since, which no step of the wall clock changes; and it is known for
// an earlier run's by its name, not by a date a step could make look old.
struct Adoption {
    std::mutex lock;
    std::set<std::string> names;   // under lock
    timespec wallAt{};             // under lock
    timespec monotonicAt{};        // under lock
};
Adoption g_adoption;

// Whether a picture taken at `taken` belongs to the store's span at `now`:
// taken at most STORAGE_LENGTH seconds before it, and not after it.
bool withinStoreSpan(const timespec& taken, const timespec& now) {
    const double age = cm::secondsBetween(taken, now);
    return age >= 0.0 && age <= static_cast<double>(STORAGE_LENGTH);
}

// Whether `input` may be trimmed now. Called under the list's lock: the
// clip writer names its input before it takes pictures from the list, so
// a trim that sees another input (or none) here ran before the take.
bool trimmingAllowed(int input) { return nCreatingVideosForInput.load() != input; }

// The trim of either list, under its lock: the oldest entry, taken out when
// the list holds more than `limit` and `input` may be trimmed.
template <typename Trimmed, typename Entry>
std::optional<Trimmed> takeFrontOver(std::deque<Entry>& list, std::size_t limit, int input) {
    if (!trimmingAllowed(input) || list.size() <= limit) return std::nullopt;
    Trimmed t{list.size(), std::move(list.front())};
    list.pop_front();
    return t;
}

bool digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "video<id>:-<14 digits>_<6 digits>.png": a picture of a capture thread.
// Its time string, or "" for any other name.
std::string_view pictureTime(std::string_view name) {
    constexpr std::string_view kPrefix = "video", kExtension = ".png";
    if (name.size() != kPrefix.size() + 3 + kTimeStringLength + kExtension.size()) return {};
    if (name.substr(0, kPrefix.size()) != kPrefix || !digits(name.substr(kPrefix.size(), 1))) return {};
    if (name.substr(kPrefix.size() + 1, 2) != ":-") return {};
    const std::string_view time = name.substr(kPrefix.size() + 3, kTimeStringLength);
    if (!isTimeString(time)) return {};
    if (name.substr(name.size() - kExtension.size()) != kExtension) return {};
    return time;
}

}  // namespace

std::optional<timespec> pictureTakenAt(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view time = pictureTime(slash == std::string_view::npos ? path : path.substr(slash + 1));
    if (time.empty()) return std::nullopt;
    const auto number = [&](std::size_t at, std::size_t len) {
        int v = 0;
        for (std::size_t k = at; k < at + len; ++k) v = v * 10 + (time[k] - '0');
        return v;
    };
    struct tm t {};
    t.tm_year = number(0, 4) - 1900;
    t.tm_mon = number(4, 2) - 1;
    t.tm_mday = number(6, 2);
    t.tm_hour = number(8, 2);
    t.tm_min = number(10, 2);
    t.tm_sec = number(12, 2);
    t.tm_isdst = -1;  // as the clock said when the name was made
    const time_t secs = std::mktime(&t);
    if (secs == static_cast<time_t>(-1)) return std::nullopt;
    return timespec{secs, static_cast<long>(number(15, 6)) * 1000L};
}

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
    return takeFrontOver<Trimmed>(list_, limit, input);
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
    return takeFrontOver<Trimmed>(list_, limit, input);
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
    const timespec now = cm::wallNow();
    std::lock_guard<std::mutex> adoption(g_adoption.lock);
    g_adoption.wallAt = now;
    g_adoption.monotonicAt = cm::monotonicNow();
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
        std::vector<std::string> kept;
        for (auto it = found.rbegin(); it != found.rend(); ++it) {  // newest first
            const std::optional<timespec> taken = pictureTakenAt(it->second);
            if (kept.size() < STORAGE_LENGTH && taken && withinStoreSpan(*taken, now)) {
                kept.push_back(it->second);
            } else {
                std::remove(it->second.c_str());
            }
        }
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            g_adoption.names.insert(*it);
            listImages[input].append(*it);
        }
        if (!found.empty())
            verbos("pictures of an earlier run for input %d: %d taken back, %d older ones deleted", input,
                   static_cast<int>(kept.size()), static_cast<int>(found.size() - kept.size()));
        adopted += static_cast<int>(kept.size());
    }
    return adopted;
}

int dropOutdatedPicturesOfEarlierRun(int input, const timespec& now) {
    if (input < 0 || input >= kStoreInputs) return 0;
    std::vector<std::string> outdated;
    {
        std::lock_guard<std::mutex> adoption(g_adoption.lock);
        if (g_adoption.names.empty()) return 0;
        const double since = cm::secondsBetween(g_adoption.monotonicAt, now);
        outdated = listImages[input].takeOldestWhile([&](const std::string& name) {
            if (g_adoption.names.count(name) == 0) return false;
            const std::optional<timespec> taken = pictureTakenAt(name);
            return taken && cm::secondsBetween(*taken, g_adoption.wallAt) + since > static_cast<double>(STORAGE_LENGTH);
        });
    }
    for (const std::string& name : outdated) std::remove(name.c_str());
    if (!outdated.empty())
        verbos("pictures of an earlier run for input %d: %d outdated ones deleted", input,
               static_cast<int>(outdated.size()));
    return static_cast<int>(outdated.size());
}

void resetPictureStore() {
    for (int i = 0; i < kStoreInputs; ++i) {
        pic_frames[i].clear();
        listImages[i].clear();
    }
    startImagesListLife.restart(timespec{0, 0});
    {
        std::lock_guard<std::mutex> adoption(g_adoption.lock);
        g_adoption.names.clear();
    }
    nCreatingVideosForInput.store(-1);
    fps.store(1.0);
    frames.store(0);
}
