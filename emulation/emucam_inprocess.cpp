#include "emulation/emucam_inprocess.h"

#include <sys/select.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/syscalls.h"

namespace emucam {
namespace {

std::atomic<Model*> g_model{nullptr};

Model& model() { return *g_model.load(std::memory_order_acquire); }

int camOpen(const char* path, int flags, mode_t mode) { return model().open(path, flags, mode); }
int camClose(int fd) { return model().close(fd); }
int camStat(const char* path, struct stat* st) { return model().stat(path, st); }
int camIoctl(int fd, unsigned long request, void* arg) { return model().ioctl(fd, request, arg); }
void* camMmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    return model().mmap(addr, length, prot, flags, fd, offset);
}
int camMunmap(void* addr, std::size_t length) { return model().munmap(addr, length); }
// Device descriptors are real ones: the system's select serves them.
int camSelect(int nfds, fd_set* r, fd_set* w, fd_set* e, timeval* t) { return ::select(nfds, r, w, e, t); }

const cm::SysCalls kCameraCalls{camOpen, camClose, camStat, camIoctl, camMmap, camMunmap, camSelect};

}  // namespace

InProcessCameras::InProcessCameras(const Config& config) : model_(config, libcPassthrough()) {
    Model* expected = nullptr;
    if (!g_model.compare_exchange_strong(expected, &model_)) {
        std::fprintf(stderr, "emucam: only one InProcessCameras may live at a time\n");
        std::abort();
    }
    cm::setSysCallsForTests(&kCameraCalls);
}

InProcessCameras::~InProcessCameras() {
    cm::setSysCallsForTests(nullptr);
    g_model.store(nullptr, std::memory_order_release);
}

Config configFromText(const char* text) {
    Config c;
    std::string error;
    if (!parseConfig(text, c, error)) {
        std::fprintf(stderr, "emucam: bad camera configuration: %s\n", error.c_str());
        std::abort();
    }
    return c;
}

}  // namespace emucam
