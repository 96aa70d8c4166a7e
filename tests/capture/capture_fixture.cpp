#include "capture_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "board/camera_selection.h"
#include "board/gpio.h"
#include "board/watchdog.h"
#include "capture/picture_store.h"
#include "capture/video_creation.h"
#include "common/footprint.h"
#include "common/run_config.h"
#include "control/settings.h"
#include "v4l2/device_state.h"

namespace captest {
namespace {

FakeDevices* g_devices = nullptr;

int deviceOf(const char* path) {
    int n = -1;
    if (sscanf(path, "/dev/video%d", &n) != 1 || n < 0 || n > 3) return -1;
    return n;
}

// Control channels are real descriptors (of /dev/null) so that closing one
// through the system's close is harmless; the map tells which device each is.
std::mutex g_fdLock;
int g_fdDevice[1024];

int fakeOpen(const char* path, int flags, mode_t mode) {
    int n = deviceOf(path);
    if (n < 0) return cm::systemSysCalls().open(path, flags, mode);
    if (!g_devices->present[n]) {
        errno = ENOENT;
        return -1;
    }
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0 && fd < 1024) {
        std::lock_guard<std::mutex> g(g_fdLock);
        g_fdDevice[fd] = n;
    }
    return fd;
}

int fakeClose(int fd) {
    if (fd >= 0 && fd < 1024) {
        std::lock_guard<std::mutex> g(g_fdLock);
        if (g_fdDevice[fd] >= 0) {
            std::lock_guard<std::mutex> d(g_devices->lock);
            g_devices->closed.push_back(g_fdDevice[fd]);
            g_fdDevice[fd] = -1;
        }
    }
    return ::close(fd);
}

int fakeIoctl(int fd, unsigned long request, void* arg) {
    if (request == VIDIOC_G_FMT || request == VIDIOC_S_FMT) {
        std::lock_guard<std::mutex> d(g_devices->lock);
        FakeDevices::Request r{request, *static_cast<v4l2_format*>(arg)};
        g_devices->requests.push_back(r);
        if (!g_devices->formatRequestsWork) {
            errno = EBUSY;
            return -1;
        }
        return 0;
    }
    return cm::systemSysCalls().ioctl(fd, request, arg);
}

cm::SysCalls g_fakeCalls;

class QueueSource final : public PictureSource {
public:
    explicit QueueSource(int id) : id_(id) {}
    void read(cv::Mat& out) override {
        std::lock_guard<std::mutex> d(g_devices->lock);
        g_devices->reads[id_].fetch_add(1);
        auto& q = g_devices->pictures[id_];
        if (q.empty()) {
            out.release();
            return;
        }
        // As a camera does, the source reuses its picture buffer: the store
        // must keep a copy, not the source's buffer.
        if (!q.front().empty()) {
            q.front().copyTo(out);
        } else {
            out.release();
        }
        q.pop_front();
    }

private:
    int id_;
};

std::unique_ptr<PictureSource> queueSource(int id) { return std::make_unique<QueueSource>(id); }

}  // namespace

cv::Mat numberedPicture(int camera, int frame, int width, int height) {
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(20 + 10 * frame + 5 * camera));
}

int frameNumberOf(const cv::Mat& picture, int camera) {
    if (picture.empty()) return -1;
    double level = cv::mean(picture)[0];
    return static_cast<int>(std::lround((level - 20 - 5 * camera) / 10.0));
}

void FakeDevices::install() {
    g_devices = this;
    for (int& d : g_fdDevice) d = -1;
    g_fakeCalls = cm::systemSysCalls();
    g_fakeCalls.open = fakeOpen;
    g_fakeCalls.close = fakeClose;
    g_fakeCalls.ioctl = fakeIoctl;
    cm::setSysCallsForTests(&g_fakeCalls);
    setPictureSourceFactoryForTests(queueSource);
}

void FakeDevices::uninstall() {
    cm::setSysCallsForTests(nullptr);
    setPictureSourceFactoryForTests(nullptr);
}

FakeDevices& devices() { return *g_devices; }

namespace {
FakeDevices* g_fixtureDevices = nullptr;
}

void CaptureTest::SetUp() {
    resetRunConfig();
    initGPIOs();
    clearInputSelection();
    n1By1RecordingsLeft.store(0);
    g_nCAMs.store(0);
    resetPictureStore();
    g_nSaveType.store(0);
    lPreviousUserVideoCommandTimestamp.store(0);
    g_successful_frames.store(0);
    for (int i = 0; i < kV4l2Devices; ++i) {
        frames_left[i].store(0);
        g_bSaveFile[i].store(0);
        clip_request_pending[i].store(0);
        memory_otuput[i].count.store(0);
    }
    for (const char* d : {"/queue", "/1", "/2", "/3", "/4"}) cmtest::makeDirs(base() + d);
    for (int pin : footprint::kPinCameraSwitch) root.addGpioPin(pin, "0");
    g_fixtureDevices = new FakeDevices();
    g_fixtureDevices->install();
}

void CaptureTest::TearDown() {
    FakeDevices::uninstall();
    delete g_fixtureDevices;
    g_fixtureDevices = nullptr;
    g_devices = nullptr;
}

std::string CaptureTest::base() const { return root.path("/home/Tarvisel"); }

std::vector<std::string> CaptureTest::queueFiles() const { return cmtest::listDir(base() + "/queue"); }

void CaptureTest::select(const char* inputs) {
    for (int i = 0; i < 4; ++i) {
        bool on = inputs[i] == '1';
        root.setGpioValue(footprint::kPinCameraSwitch[i], on ? "1" : "0");
        bInputs[i].store(on ? 1 : 0);
    }
}

void CaptureTest::exitAfterSleeps(int n) {
    auto count = std::make_shared<int>(0);
    clock.onSleep([count, n](const timespec&) {
        if (++*count == n) setting.raiseExitInMemory();
    });
}

}  // namespace captest
