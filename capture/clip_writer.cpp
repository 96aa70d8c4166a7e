#include "capture/clip_writer.h"

#include <fcntl.h>
#include <opencv2/imgproc.hpp>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "capture/picture_io.h"
#include "capture/picture_store.h"
#include "common/arrival_order.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/durable.h"
#include "common/queue_names.h"
#include "common/run_config.h"
#include "common/sys_error.h"
#include "common/time_group.h"
#include "common/time_string.h"
#include "common/unique_fd.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "v4l2/device_state.h"

namespace {

constexpr int kInputs = 4;
constexpr long long kDirectPathPostActionSeconds = 3;
constexpr int kMaxCameraFrameRate = 30;
constexpr int kMinClipSeconds = 3;
constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();

// One clip run at a time; also guards the working list.
std::mutex g_runLock;
// The file-store clip in progress: the names taken from the input's list,
// oldest first. Empty between clips: a clip that is not completed gives its
// names back to its own input's list (see giveBackNames).
std::deque<std::string> videoImages;

// A picture as the clip's frame: 8-bit, three colour channels, the clip's
// frame size. Both cameras feed the same inputs, so one clip may meet
// pictures of another size or kind than its first one; they are converted
// instead of being refused by the encoder. Empty when no conversion exists.
cv::Mat asClipFrame(const cv::Mat& picture, const cv::Size& size) {
    try {
        cv::Mat frame = picture;
        if (frame.depth() != CV_8U) {
            cv::Mat eight;
            frame.convertTo(eight, CV_8U, frame.depth() == CV_16U ? 1.0 / 256.0 : 1.0);
            frame = eight;
        }
        if (frame.channels() == 1) {
            cv::Mat colour;
            cv::cvtColor(frame, colour, cv::COLOR_GRAY2BGR);
            frame = colour;
        } else if (frame.channels() == 4) {
            cv::Mat colour;
            cv::cvtColor(frame, colour, cv::COLOR_BGRA2BGR);
            frame = colour;
        } else if (frame.channels() != 3) {
            return cv::Mat();
        }
        if (frame.size() != size) {
            cv::Mat resized;
            cv::resize(frame, resized, size);
            frame = resized;
        }
        return frame;
    } catch (const cv::Exception&) {
        return cv::Mat();
    }
}

cv::Mat loadColour(const std::string& name) {
    const cm::PictureIo* io = cm::pictureIo();
    return io != nullptr ? io->readColourPicture(name) : cv::Mat();
}

// One clip file: written under its in-progress name, renamed when complete.
class ClipFile {
public:
    ClipFile(int input, const cv::Size& size) : size_(size) {
        if (fps.load() < 1.0) fps.store(1.0);
        rate_ = fps.load();
        finalPath_ = cm::concat(LBASE_PATH, "/queue/user", input, "_", timeString(), ".avi");
        partPath_ = inProgressPathFor(finalPath_);
    }

    // Opens the clip file for `frames` pictures, once the queue has room
    // for them (the oldest queued clips make way for it when it has not).
    bool open(std::size_t frames) {
        if (!roomInQueue(frames)) return false;
        const cm::PictureIo* io = cm::pictureIo();
        if (io != nullptr) writer_ = io->createClip(partPath_, rate_, size_);
        return writer_ != nullptr;
    }

    // Writes `picture` as the next frame; false when it could not be.
    bool add(const cv::Mat& picture) {
        cv::Mat frame = asClipFrame(picture, size_);
        if (frame.empty() || writer_ == nullptr || !writer_->write(frame)) return false;
        ++written_;
        return true;
    }

    void close() {
        if (writer_ != nullptr) writer_->close();
    }

    // Puts the closed clip into the queue under its final name once it reads
    // back with every frame written (a full disk shows as a short or
    // unreadable file: the encoder does not report failed writes). On any
    // failure the partial file is removed and false returned.
    bool publish() {
        if (written_ == 0) return discard("Clip without frames: ");
        const cm::PictureIo* io = cm::pictureIo();
        const double readBack = io != nullptr ? io->framesInClip(partPath_) : -1;
        if (readBack != static_cast<double>(written_)) return discard("Clip incomplete: ");
        // Its data on the card first, then its name, then the queue
        // directory: only then may its pictures go.
        cm::UniqueFd data(::open(partPath_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!data || !cm::syncFile(data.get()))
            verbos("Clip %s could not be synced (%s): a power cut may lose it", finalPath_.c_str(),
                   cm::errnoText(errno).c_str());
        data.reset();
        cm::noteArrival(finalPath_);
        if (std::rename(partPath_.c_str(), finalPath_.c_str()) != 0) {
            return discard(cm::concat("Cannot move clip into the queue (", cm::errnoText(errno), "): "));
        }
        cm::syncParentDirectory(finalPath_);
        return true;
    }

    const std::string& finalPath() const { return finalPath_; }

private:
    // A Motion-JPEG frame of the writer's quality takes about a quarter of a
    // byte per pixel; the estimate errs on the large side.
    bool roomInQueue(std::size_t frames) const {
        const std::uint64_t bytes = static_cast<std::uint64_t>(frames) * (size_.area() / 2 + 4096) + 65536;
        const std::string dir = LBASE_PATH + "/queue";
        if (cm::roomFor(dir, bytes)) return true;
        const cm::Eviction e = cm::makeRoomInQueue(dir, bytes);
        verbos(cm::describeEviction(e, "the clip " + finalPath_).c_str());
        return e.room;
    }

    bool discard(const std::string& why) {
        cm::printLine(why + partPath_ + ", pictures kept for the next clip");
        std::remove(partPath_.c_str());
        return false;
    }

    cv::Size size_;
    double rate_ = 1.0;
    std::string finalPath_;
    std::string partPath_;
    std::unique_ptr<cm::ClipEncoder> writer_;
    int written_ = 0;
};

// The working list goes back to the front of the input's own list, in
// order, so the pictures stay with their input, are trimmed like any other
// of its pictures, and open its next clip; no file is deleted.
void giveBackNames(int input) {
    listImages[input].giveBack(std::vector<std::string>(videoImages.begin(), videoImages.end()));
    videoImages.clear();
}

void makeMemoryClip(int input) {
    const std::vector<StoredPicture> pictures = pic_frames[input].oldest(kAll);
    const std::size_t n = pictures.size();
    if (n == 0) return;
    notifyAction();
    const cv::Size size = pictures.front().picture.size();
    ClipFile clip(input, size);
    cm::printLine(cm::concat("video size: ", size.width, "x", size.height));
    const bool opened = clip.open(n);
    cm::printLine(cm::concat("images to add: ", n, " for input: ", input));
    cm::printLine(cm::concat("list length: ", pic_frames[input].size()));
    if (!opened) {
        cm::printLine("No videowrite here!");
        return;
    }
    for (std::size_t j = 0; j < n; ++j) {
        cm::printLine(cm::concat("Adding image#: ", j, " for input ", input));
        const cv::Mat& picture = pictures[j].picture;
        cm::printLine(cm::concat("image read#: ", j));
        if (!picture.empty()) {
            cm::printLine(cm::concat("about to add image#: ", j));
            clip.add(picture);
        } else {
            cm::printLine(cm::concat("null image found... image#: ", j));
        }
    }
    notifyAction();
    clip.close();
    notifyAction();
    if (!clip.publish()) return;
    for (std::size_t j = n; j-- > 0;) cm::printLine(cm::concat("removing memory image#: ", j));
    pic_frames[input].removeThrough(pictures.back().seq);
    notifyAction();
    cm::printLine(cm::concat("video created with ", n, " images! pics deleted!"));
}

void makeFileClip(int input) {
    dropOutdatedPicturesOfEarlierRun(input, cm::monotonicNow());
    std::vector<std::string> taken = listImages[input].takeOldest(kAll);
    const std::size_t n = taken.size();
    if (n == 0) return;
    notifyAction();
    videoImages.insert(videoImages.end(), taken.begin(), taken.end());
    const timespec now = cm::monotonicNow();
    cm::printLine(cm::concat("Creating video of input: ", input, ", number of images: ", n,
                             ", time difference: ", startImagesListLife.secondsUntil(now)));
    startImagesListLife.restart(now);

    cv::Size size;
    {
        const cv::Mat first = loadColour(videoImages.front());
        if (first.empty()) {
            // The oldest picture can never open a clip: it is deleted, the
            // others wait in their list for the input's next clip.
            cm::printLine("Error setting video size");
            std::remove(videoImages.front().c_str());
            videoImages.pop_front();
            giveBackNames(input);
            return;
        }
        size = first.size();
    }
    ClipFile clip(input, size);
    cm::printLine(cm::concat("video size: ", size.width, "x", size.height));
    const bool opened = clip.open(n);
    cm::printLine(cm::concat("images to add: ", n, " for input: ", input));
    cm::printLine("list length: 0");
    if (!opened) {
        cm::printLine("No videowrite here!");
        giveBackNames(input);
        return;
    }
    for (std::size_t j = 0; j < n; ++j) {
        cm::printLine(cm::concat("Adding image#: ", j, " name: ", videoImages[j]));
        const cv::Mat picture = loadColour(videoImages[j]);
        if (!picture.empty()) clip.add(picture);
    }
    notifyAction();
    clip.close();
    notifyAction();
    if (!clip.publish()) {
        giveBackNames(input);
        return;
    }
    cm::printLine("Update Succedded! deleting pics..");
    for (std::size_t k = 0; k < n; ++k) {
        cm::printLine(cm::concat("Deleting image#: ", k, " name: ", videoImages.front()));
        std::remove(videoImages.front().c_str());
        videoImages.pop_front();
    }
    notifyAction();
    cm::printLine(cm::concat("video created with ", n, " images! pics deleted!"));
}

// Direct path: how many more frames device `input` records for the clip,
// from the frames it holds: what the clip still lacks, at least three
// seconds of frames.
void setFramesLeft(int input) {
    const bool rateSet = g_FrameRate >= 1 && g_FrameRate <= kMaxCameraFrameRate;
    const int rate = rateSet ? g_FrameRate : kMaxCameraFrameRate;
    const int minimum = kMinClipSeconds * rate;
    const unsigned held = memory_otuput[input].count.load();
    long long left = static_cast<long long>(USER_VIDEO_FRAMES) - static_cast<long long>(held);
    if (left < 1) left = 1;
    if (left >= USER_VIDEO_FRAMES) left = USER_VIDEO_FRAMES;
    if (left < minimum) left = minimum;
    frames_left[input].store(static_cast<unsigned>(left));
    cm::printLine(cm::concat("user video usb creation started! cam#", input, ", frames done: ", held, " of ",
                             frame_count, " done, frames left: ", left,
                             ", post action seconds: ", kDirectPathPostActionSeconds, ", frames rate: ", rate));
}

// Direct path: the devices whose countdown this run set and whose save
// request it has not raised yet. A run that ends early (exit flag, an input
// deselected between the two passes) clears what it left, so that no
// device's countdown stays held without a request to end its loop.
class PendingClipRequests {
public:
    ~PendingClipRequests() {
        for (int i = 0; i < kInputs; ++i)
            if (set_[i]) clip_request_pending[i].store(kSaveNone);
    }
    // Before the countdown is stored: the capture loop never sees the new
    // countdown without the mark.
    void mark(int input, int saveType) {
        clip_request_pending[input].store(saveType);
        set_[input] = true;
    }
    // After the request is raised (or found pending already).
    void raised(int input) {
        clip_request_pending[input].store(kSaveNone);
        set_[input] = false;
    }

private:
    bool set_[kInputs] = {};
};

}  // namespace

void createUserVideos(int saveType) {
    std::lock_guard<std::mutex> guard(g_runLock);
    cm::printLine("Creating usre video thread!");
    szTimeGroupTimestamp.renew();
    n1By1RecordingsLeft.store(selectedInputCount());

    PendingClipRequests pending;
    if (g_bUSB) {
        for (int i = 0; i < kInputs; ++i) {
            if (bInputs[i].load() == 0) continue;
            if (exitRequested()) return;
            nCreatingVideosForInput.store(i);
            notifyAction();
            pending.mark(i, saveType);
            setFramesLeft(i);
        }
        cm::sleepSeconds(kDirectPathPostActionSeconds);
    }
    for (int i = 0; i < kInputs; ++i) {
        if (bInputs[i].load() == 0) continue;
        if (exitRequested()) return;
        nCreatingVideosForInput.store(i);
        if (g_bUSB) {
            notifyAction();
            int none = kSaveNone;
            // A save still pending keeps its kind.
            g_bSaveFile[i].compare_exchange_strong(none, saveType);
            pending.raised(i);
            cm::printLine(cm::concat("user video usb creation flaged! cam#", i));
            continue;
        }
        if (bMemoryStore) {
            makeMemoryClip(i);
        } else {
            makeFileClip(i);
        }
    }
    nCreatingVideosForInput.store(-1);
}

std::vector<std::string> workingListNames() {
    std::lock_guard<std::mutex> guard(g_runLock);
    return std::vector<std::string>(videoImages.begin(), videoImages.end());
}
