// Default path: the picture capture loop (OpenCV). The direct path's is v4l2/capture_loop.cpp.
#include "capture/capture_loop.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/sysinfo.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "board/camera_selection.h"
#include "board/watchdog.h"
#include "capture/picture_io.h"
#include "capture/picture_store.h"
#include "common/clock.h"
#include "common/disk_space.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "common/syscalls.h"
#include "common/threads.h"
#include "common/time_string.h"
#include "common/xioctl.h"
#include "control/settings.h"
#include "log/console.h"
#include "log/debug.h"
#include "log/log_writer.h"
#include "v4l2/recording.h"

std::atomic<pthread_t> tid_captureFromCamThread[2] = {};
int videoIDs[2] = {0, 1};

namespace {

constexpr long long kCapturePauseMicros = 1300000;  // after every capture attempt
constexpr long long kSkipPauseSeconds = 1;          // per iteration on an unselected input
constexpr int kIterationsPerInput = 3;
constexpr double kRateWindowSeconds = 45.0;
constexpr int kMinPicturesPerInputForRate = 10;
constexpr int kDirectPathDevices = 4;
constexpr long long kDirectPathStartPauseSeconds = 4;

// A source whose every read fails: the camera of a run without the picture
// I/O module.
class NoCamera final : public PictureSource {
public:
    void read(cv::Mat& out) override { out.release(); }
};

// OpenCV's V4L2 capture of device index `id`. Whether it opened is not
// tested: a camera that cannot deliver shows up as failed pictures, one
// attempt per pause, and the thread goes on.
std::unique_ptr<PictureSource> openCvCamera(int id) {
    const cm::PictureIo* io = cm::pictureIo();
    if (io == nullptr) return std::make_unique<NoCamera>();
    return io->openCamera(id);
}

std::atomic<PictureSourceFactory> g_sourceFactory{&openCvCamera};

// The control channel of a device, opened and closed through the device
// system calls.
class ControlChannel {
public:
    explicit ControlChannel(int fd) : fd_(fd) {}
    ~ControlChannel() { close(); }
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;
    int get() const { return fd_; }
    void close() {
        if (fd_ >= 0) cm::sys().close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// One capture thread's run over its own device.
class CaptureRun {
public:
    explicit CaptureRun(int id)
        : id_(id), devicePath_(formatted(footprint::kVideoDevicePattern, id)), label_(formatted("video%d:", id)) {}

    int run();

private:
    enum class Next { kContinue, kLeave };

    static std::string formatted(const char* pattern, int id) {
        char buf[100];
        snprintf(buf, sizeof buf, pattern, id);
        return buf;
    }

    void line(const std::string& text) const { cm::printLine(label_ + text); }
    void setControlFormat(int fd) const;
    Next iteration();
    // Stores the picture under input k; false when it could not be stored.
    bool store(int k);
    bool storeInMemory(int k);
    bool storeAsFile(int k);
    bool roomForPicture(int k, const std::string& name);
    // Trims input k by at most one picture once the store's life has run
    // out; kLeave ends a "-normtest" run.
    Next trim(int k, const timespec& now);
    void updateRate(int selected, const timespec& now);
    void finish(ControlChannel& channel);

    const int id_;
    const std::string devicePath_;
    const std::string label_;
    std::unique_ptr<PictureSource> source_;
    cv::Mat picture_;
    int iteration_ = 0;  // J, counts every iteration
    int rateCount_ = 0;
    bool storeShortOfRoom_ = false;
    timespec rateWindowStart_{};
    timespec runStart_{};
};

int CaptureRun::run() {
    cm::printLine(cm::concat("Starting captureFromCam thread....#", id_));
    notifyAction();
    notifyAction();
    cm::printLine("Done.. opening...");
    notifyAction();
    line("opening control channel...");

    ControlChannel channel(cm::sys().open(devicePath_.c_str(), O_RDWR | O_CLOEXEC, 0));
    if (channel.get() < 0) {
        cm::printOutFormatted("Unable to open %s\n", devicePath_.c_str());
        return -1;
    }
    notifyAction();
    source_ = g_sourceFactory.load()(id_);
    notifyAction();
    cm::printLine("Initializing opencv...");
    setControlFormat(channel.get());
    notifyAction();
    line("Done.. opening control channel...");
    runStart_ = cm::monotonicNow();
    rateWindowStart_ = runStart_;
    startImagesListLife.restart(runStart_);
    line("Capturing...");

    while (!exitRequested()) {
        if (iteration() == Next::kLeave) break;
        ++iteration_;
    }
    finish(channel);
    return 0;
}

void CaptureRun::setControlFormat(int fd) const {
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    cm::printError(cm::concat(label_, " Force Format ", force_format, "\n"));
    if (force_format == 0) {
        if (xioctl(fd, VIDIOC_G_FMT, &fmt) == -1) {
            int err = errno;
            cm::printError(cm::concat("Error in ", label_, " Force Format VIDIOC_G_FMT ", force_format, "\n"));
            errno = err;
            errno_exit("VIDIOC_G_FMT");
        }
        return;
    }
    if (force_format != 1 && force_format != 2) return;
    fmt.fmt.pix.width = 640;
    fmt.fmt.pix.height = 480;
    fmt.fmt.pix.pixelformat = force_format == 1 ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_H264;
    fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
    if (xioctl(fd, VIDIOC_S_FMT, &fmt) == -1) {
        int err = errno;
        cm::printError(cm::concat("Error in ", label_, " Force Format VIDIOC_S_FMT ", force_format, "\n"));
        errno = err;
        errno_exit("VIDIOC_S_FMT2");
    }
}

CaptureRun::Next CaptureRun::iteration() {
    notifyAction();
    readInputsDIPState();
    const int selected = selectedInputCount();
    if (selected == 0) {
        verbos("No inputs are selected!!");
        cm::sleepSeconds(kSkipPauseSeconds);
        return Next::kContinue;
    }
    const int k = (iteration_ / kIterationsPerInput) % kStoreInputs;
    if (bInputs[k].load() == 0 || (bOneByOne && b1By1Inputs[k].load() == 0)) {
        cm::sleepSeconds(kSkipPauseSeconds);
        return Next::kContinue;
    }

    frames.fetch_add(1);
    timespec t1 = cm::monotonicNow();
    line("Capturing....");
    source_->read(picture_);
    timespec t2 = cm::monotonicNow();
    cm::sleepMicros(kCapturePauseMicros);

    if (picture_.empty()) {
        line("Failed to capture an image");
        if (init_only) return Next::kLeave;
        return Next::kContinue;
    }
    g_successful_frames.fetch_add(1);
    if (init_only) return Next::kLeave;

    line(cm::concat("Captured in ", cm::millisBetween(t1, t2), "ms!! ", " Memory is ", getMemorySize() >> 20,
                    " MB, cvf=", nCreatingVideosForInput.load(), ", input: ", k));
    if (!store(k)) return Next::kContinue;
    timespec now = cm::monotonicNow();
    if (trim(k, now) == Next::kLeave) return Next::kLeave;
    updateRate(selected, now);
    return Next::kContinue;
}

bool CaptureRun::store(int k) { return bMemoryStore ? storeInMemory(k) : storeAsFile(k); }

bool CaptureRun::storeInMemory(int k) {
    line(" new image created!");
    cv::Mat copy;
    try {
        copy = picture_.clone();
    } catch (const cv::Exception&) {
        copy.release();
    } catch (const std::bad_alloc&) {
        copy.release();
    }
    if (copy.empty()) return false;
    line(" image dublicated!");
    pic_frames[k].append(std::move(copy));
    line(" image added to queue!");
    line(" image deleted from queue!");
    return true;
}

// A picture that could not be written in full is not stored: its name never
// enters the list (the list would count and hand on a picture that does not
// exist) and whatever part of it reached the disk is deleted at once, since
// no list owns it.
bool CaptureRun::storeAsFile(int k) {
    const std::string name = cm::concat(LBASE_PATH, "/", k + 1, "/", label_, "-", timeString(), ".png");
    if (!roomForPicture(k, name)) return false;
    const cm::PictureIo* io = cm::pictureIo();
    if (io == nullptr || !io->writePicture(name, picture_)) {
        line("Failed to write image " + name);
        std::remove(name.c_str());
        return false;
    }
    listImages[k].append(name);
    return true;
}

// A picture is stored only where it leaves the disk's reserve free; the
// oldest queued clips make way for it (the store holds the newest
// recordings). A store that stays short of room says so once, and again
// after it has had room.
bool CaptureRun::roomForPicture(int k, const std::string& name) {
    const std::uint64_t bytes = static_cast<std::uint64_t>(picture_.total() * picture_.elemSize()) + 65536;
    const std::string dir = cm::concat(LBASE_PATH, "/", k + 1);
    if (cm::roomFor(dir, bytes)) {
        storeShortOfRoom_ = false;
        return true;
    }
    const cm::Eviction e = cm::makeRoomInQueue(LBASE_PATH + "/queue", bytes);
    if (!e.removed.empty()) verbos(cm::describeEviction(e, "the picture " + name).c_str());
    if (e.room) return true;
    if (!storeShortOfRoom_) verbos(cm::describeEviction(e, "the pictures of the store; not stored").c_str());
    storeShortOfRoom_ = true;
    return false;
}

CaptureRun::Next CaptureRun::trim(int k, const timespec& now) {
    const double life = startImagesListLife.secondsUntil(now);
    if (!(life > static_cast<double>(STORAGE_LENGTH)) || k == nCreatingVideosForInput.load()) return Next::kContinue;
    if (bMemoryStore) {
        if (auto trimmed = pic_frames[k].trimOldest(STORAGE_LENGTH, k)) {
            line(cm::concat("Removing from pics list tail of memory list.. time: ", life,
                            ", number of images left: ", trimmed->countBefore));
            line("reading image at #0");
            if (!trimmed->removed.picture.empty()) {
                line("releasing image at #0");
                trimmed->removed.picture.release();
            }
            line("removing memory image at #0");
            line("image at #0 removed");
        }
    } else if (auto trimmed = listImages[k].trimOldest(STORAGE_LENGTH, k)) {
        std::remove(trimmed->removed.c_str());
    }
    return bNormTest ? Next::kLeave : Next::kContinue;
}

void CaptureRun::updateRate(int selected, const timespec& now) {
    ++rateCount_;
    const double window = cm::secondsBetween(rateWindowStart_, now);
    if (!(window > kRateWindowSeconds) || rateCount_ / selected <= kMinPicturesPerInputForRate) return;
    line("Updating FPS!");
    line(cm::concat("It took ", window, " seconds to process ", rateCount_, " frames"));
    const double rate = rateCount_ / window;
    if (rate >= 1.0) fps.store(rate);
    line(cm::concat("New fps: ", fps.load()));
    rateWindowStart_ = cm::monotonicNow();
    rateCount_ = 0;
}

void CaptureRun::finish(ControlChannel& channel) {
    const double seconds = cm::secondsBetween(runStart_, cm::monotonicNow());
    const int attempts = frames.load();
    line(cm::concat("It took ", seconds, " seconds to process ", attempts, " frames"));
    // A run that ends within its first instant has no meaningful rate.
    const double rate = seconds > 0.0 ? attempts / seconds : 0.0;
    line(cm::concat("Capturing and processing ", rate, " frames per second "));
    channel.close();
    setting.raiseExitInMemory();
    source_.reset();
    picture_.release();
}

}  // namespace

void setPictureSourceFactoryForTests(PictureSourceFactory factory) {
    g_sourceFactory.store(factory != nullptr ? factory : &openCvCamera);
}

unsigned getMemorySize() {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0;
    // The board's 512 MB fit in 32 bits; a larger machine reads as 4 GB.
    const unsigned long long bytes = static_cast<unsigned long long>(info.freeram) * info.mem_unit;
    return bytes > 0xffffffffULL ? 0xffffffffU : static_cast<unsigned>(bytes);
}

int captureFromCam(int id) { return CaptureRun(id).run(); }

void* doCaptureFromCamThread(void* arg) {
    cm::setThreadLogRole(cm::LogRole::queued);  // capture never waits on a log write
    verbos("Capture work start!");
    const int id = arg != nullptr ? *static_cast<const int*>(arg) : 0;
    cm::sleepSeconds(id);
    notifyAction();
    verbos("Video ID# %d", id);
    return reinterpret_cast<void*>(static_cast<intptr_t>(captureFromCam(id)));
}

int initCaptureFromCamThread() {
    if (g_bUSB) {
        for (int n = 0; n < kDirectPathDevices; ++n) {
            initCaptureThread(n);
            cm::sleepSeconds(kDirectPathStartPauseSeconds);
        }
        return 0;
    }
    const bool first = tid_captureFromCamThread[0].load() == pthread_t{} && tid_captureFromCamThread[1].load() == pthread_t{};
    if (first && !bMemoryStore) adoptPictureFilesOfEarlierRun();
    // The picture I/O is loaded (and OpenCV's table of picture codecs built,
    // see picture_io_opencv.cpp) before the capture threads start.
    if (first) cm::pictureIo();
    for (int i = 0; i < 2; ++i) {
        if (tid_captureFromCamThread[i].load() != pthread_t{}) continue;  // started already
        videoIDs[i] = i;
        notifyAction();
        if (cm::startDetachedThread(tid_captureFromCamThread[i], cm::concat("cm-capture", i), cm::Urgency::capture,
                                    doCaptureFromCamThread, &videoIDs[i]) != 0) {
            cm::printLine(cm::concat("can't create capture from cam thread: ", i));
            return 1;
        }
        cm::printOutFormatted("capture from cam thread created successfully, videoid#%d!\n", i);
    }
    return 0;
}

void resetCaptureLoopForTests() {
    for (auto& t : tid_captureFromCamThread) t.store(0);
    videoIDs[0] = 0;
    videoIDs[1] = 1;
    setPictureSourceFactoryForTests(nullptr);
}
