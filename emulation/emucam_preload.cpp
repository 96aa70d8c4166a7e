// The emulated cameras for any program: LD_PRELOAD=.../libemucam.so makes
// "/dev/video0" to "/dev/video3" exist as the cameras that EMUCAM_CONFIG
// describes (four healthy ones when unset). The library takes over the C
// library's entry points that reach a camera (the open, close, stat, ioctl
// and mmap families) and hands every other path and descriptor straight to
// the C library. A process that touches no camera path never creates the
// model (no thread, no descriptor, no allocation of it).
//
// EMUCAM_TRACE=1 writes every device request and its result to standard
// error. A malformed EMUCAM_CONFIG ends the process at its first camera
// access with status 86 and the parser's message, so that a test with a
// typo fails loudly instead of meeting no cameras.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "emulation/emucam_model.h"

#define EMUCAM_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

template <typename F>
F real(const char* name) {
    void* p = dlsym(RTLD_NEXT, name);
    if (p == nullptr) {
        std::fprintf(stderr, "emucam: the C library has no %s\n", name);
        std::abort();
    }
    return reinterpret_cast<F>(p);
}

// Each real function, looked up at first use.
#define REAL(ret, name, params)                                                   \
    ret(*real_##name()) params {                                                  \
        static std::atomic<ret(*) params> fn{nullptr};                            \
        auto f = fn.load(std::memory_order_acquire);                              \
        if (f == nullptr) {                                                       \
            f = real<ret(*) params>(#name);                                       \
            fn.store(f, std::memory_order_release);                               \
        }                                                                         \
        return f;                                                                 \
    }

REAL(int, open, (const char*, int, ...))
REAL(int, open64, (const char*, int, ...))
REAL(int, openat, (int, const char*, int, ...))
REAL(int, openat64, (int, const char*, int, ...))
REAL(int, __open_2, (const char*, int))
REAL(int, __open64_2, (const char*, int))
REAL(int, __openat_2, (int, const char*, int))
REAL(int, __openat64_2, (int, const char*, int))
REAL(int, close, (int))
REAL(FILE*, fopen, (const char*, const char*))
REAL(FILE*, fopen64, (const char*, const char*))
REAL(int, stat, (const char*, struct stat*))
REAL(int, stat64, (const char*, struct stat64*))
REAL(int, lstat, (const char*, struct stat*))
REAL(int, lstat64, (const char*, struct stat64*))
REAL(int, fstat, (int, struct stat*))
REAL(int, fstat64, (int, struct stat64*))
REAL(int, fstatat, (int, const char*, struct stat*, int))
REAL(int, fstatat64, (int, const char*, struct stat64*, int))
REAL(int, statx, (int, const char*, int, unsigned, struct statx*))
REAL(int, access, (const char*, int))
REAL(int, faccessat, (int, const char*, int, int))
REAL(int, ioctl, (int, unsigned long, ...))
REAL(void*, mmap, (void*, size_t, int, int, int, off_t))
REAL(void*, mmap64, (void*, size_t, int, int, int, off64_t))
REAL(int, munmap, (void*, size_t))

// The legacy stat entry points that programs built against older C
// libraries still call; looked up only if such a program calls them.
REAL(int, __xstat, (int, const char*, struct stat*))
REAL(int, __xstat64, (int, const char*, struct stat64*))
REAL(int, __lxstat, (int, const char*, struct stat*))
REAL(int, __lxstat64, (int, const char*, struct stat64*))
REAL(int, __fxstat, (int, int, struct stat*))
REAL(int, __fxstat64, (int, int, struct stat64*))
REAL(int, __fxstatat, (int, int, const char*, struct stat*, int))
REAL(int, __fxstatat64, (int, int, const char*, struct stat64*, int))

int passOpen(const char* path, int flags, mode_t mode) { return real_open()(path, flags, mode); }
int passClose(int fd) { return real_close()(fd); }
int passStat(const char* path, struct stat* st) { return real_stat()(path, st); }
int passFstat(int fd, struct stat* st) { return real_fstat()(fd, st); }
int passIoctl(int fd, unsigned long request, void* arg) { return real_ioctl()(fd, request, arg); }
void* passMmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    return real_mmap()(addr, length, prot, flags, fd, offset);
}
int passMunmap(void* addr, std::size_t length) { return real_munmap()(addr, length); }

std::atomic<emucam::Model*> g_model{nullptr};
std::once_flag g_once;
bool g_trace = false;

emucam::Model& model() {
    std::call_once(g_once, [] {
        emucam::Config cfg;
        std::string error;
        if (!emucam::configFromEnvironment(cfg, error)) {
            std::fprintf(stderr, "emucam: EMUCAM_CONFIG: %s\n", error.c_str());
            std::fflush(stderr);
            _exit(86);
        }
        const char* trace = std::getenv("EMUCAM_TRACE");
        g_trace = trace != nullptr && *trace != '\0' && *trace != '0';
        emucam::Passthrough sys{passOpen, passClose, passStat, passFstat, passIoctl, passMmap, passMunmap};
        // Lives as long as the process: its frame threads may run until exit.
        g_model.store(new emucam::Model(cfg, sys), std::memory_order_release);
    });
    return *g_model.load(std::memory_order_acquire);
}

// The model once a camera path was touched, else null.
emucam::Model* active() { return g_model.load(std::memory_order_acquire); }

// A null path is possible with AT_EMPTY_PATH although the headers say otherwise.
bool emptyPath(const char* path) { return path == nullptr || *path == '\0'; }

bool isDevice(const char* path) { return emucam::devicePathIndex(path) >= 0; }
bool isDeviceAt(int dirfd, const char* path) {
    (void)dirfd;  // only absolute camera paths are emulated
    return isDevice(path);
}

// The sysfs file by which tools (v4l2-ctl among them) tell what kind of
// device a character node is: "/sys/dev/char/81:N/uevent". For a camera
// that is there, a descriptor of a memory file with its content; -2 for any
// other path.
int openSysfs(const char* path) {
    static const char kPrefix[] = "/sys/dev/char/81:";
    if (path == nullptr || std::strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return -2;
    const char* d = path + sizeof kPrefix - 1;
    if (d[0] < '0' || d[0] > '9' || std::strcmp(d + 1, "/uevent") != 0) return -2;
    char node[32];
    std::snprintf(node, sizeof node, "/dev/video%c", d[0]);
    struct stat st{};
    if (!isDevice(node) || model().stat(node, &st) != 0 || !S_ISCHR(st.st_mode)) {
        errno = ENOENT;
        return -1;
    }
    char text[96];
    int n = std::snprintf(text, sizeof text, "MAJOR=81\nMINOR=%c\nDEVNAME=video%c\n", d[0], d[0]);
    int fd = memfd_create("uevent", MFD_CLOEXEC);
    if (fd < 0) return -1;
    if (write(fd, text, static_cast<std::size_t>(n)) != n || lseek(fd, 0, SEEK_SET) != 0) {
        real_close()(fd);
        errno = EIO;
        return -1;
    }
    return fd;
}

FILE* fopenSysfs(const char* path, const char* mode, bool& handled) {
    int fd = openSysfs(path);
    handled = fd != -2;
    if (fd < 0) return nullptr;
    FILE* f = fdopen(fd, mode);
    if (f == nullptr) real_close()(fd);
    return f;
}

mode_t modeArg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

const char* requestName(unsigned long r) {
    switch (r) {
#define N(x) \
    case x:  \
        return #x;
        N(VIDIOC_QUERYCAP) N(VIDIOC_ENUM_FMT) N(VIDIOC_G_FMT) N(VIDIOC_S_FMT) N(VIDIOC_TRY_FMT) N(VIDIOC_REQBUFS)
        N(VIDIOC_QUERYBUF) N(VIDIOC_QBUF) N(VIDIOC_DQBUF) N(VIDIOC_STREAMON) N(VIDIOC_STREAMOFF) N(VIDIOC_G_PARM)
        N(VIDIOC_S_PARM) N(VIDIOC_CROPCAP) N(VIDIOC_G_CROP) N(VIDIOC_S_CROP) N(VIDIOC_ENUM_FRAMESIZES)
        N(VIDIOC_ENUM_FRAMEINTERVALS) N(VIDIOC_G_JPEGCOMP) N(VIDIOC_S_JPEGCOMP) N(VIDIOC_QUERYCTRL)
        N(VIDIOC_QUERY_EXT_CTRL) N(VIDIOC_G_CTRL) N(VIDIOC_S_CTRL) N(VIDIOC_G_EXT_CTRLS) N(VIDIOC_S_EXT_CTRLS)
        N(VIDIOC_ENUMINPUT) N(VIDIOC_G_INPUT) N(VIDIOC_S_INPUT) N(VIDIOC_G_PRIORITY) N(VIDIOC_S_PRIORITY)
        N(VIDIOC_SUBSCRIBE_EVENT) N(VIDIOC_G_SELECTION) N(VIDIOC_S_SELECTION) N(VIDIOC_ENUMSTD) N(VIDIOC_G_STD)
        N(VIDIOC_CREATE_BUFS) N(VIDIOC_EXPBUF) N(VIDIOC_QUERYMENU) N(VIDIOC_ENUMAUDIO) N(VIDIOC_G_AUDIO)
        N(VIDIOC_LOG_STATUS) N(VIDIOC_QUERYSTD) N(VIDIOC_G_DV_TIMINGS)
#undef N
    default:
        return nullptr;
    }
}

int traced(int fd, unsigned long request, int result) {
    if (g_trace) {
        int e = errno;
        const char* name = requestName(request);
        if (name != nullptr) std::fprintf(stderr, "emucam: ioctl(%d, %s) = %d", fd, name, result);
        else std::fprintf(stderr, "emucam: ioctl(%d, 0x%lx) = %d", fd, request, result);
        if (result != 0) std::fprintf(stderr, " (%s)", std::strerror(e));
        std::fputc('\n', stderr);
        errno = e;
    }
    return result;
}

template <typename Stat64>
void widen(const struct stat& s, Stat64* out) {
    std::memset(out, 0, sizeof *out);
    out->st_dev = s.st_dev;
    out->st_ino = s.st_ino;
    out->st_mode = s.st_mode;
    out->st_nlink = s.st_nlink;
    out->st_uid = s.st_uid;
    out->st_gid = s.st_gid;
    out->st_rdev = s.st_rdev;
    out->st_size = s.st_size;
    out->st_blksize = s.st_blksize;
    out->st_blocks = s.st_blocks;
    out->st_atim = s.st_atim;
    out->st_mtim = s.st_mtim;
    out->st_ctim = s.st_ctim;
}

int deviceStat(const char* path, struct stat* st) { return model().stat(path, st); }
int deviceStat64(const char* path, struct stat64* st) {
    struct stat s{};
    int r = model().stat(path, &s);
    if (r == 0) widen(s, st);
    return r;
}

// fstat of a descriptor the model owns; false when it is not one.
bool ownFstat(int fd, struct stat* st, int& result) {
    emucam::Model* m = active();
    if (m == nullptr || !m->ownsDescriptor(fd)) return false;
    result = m->fstat(fd, st);
    return true;
}

void fillStatx(const struct stat& s, struct statx* x) {
    std::memset(x, 0, sizeof *x);
    x->stx_mask = STATX_BASIC_STATS;
    x->stx_blksize = static_cast<__u32>(s.st_blksize);
    x->stx_nlink = static_cast<__u32>(s.st_nlink);
    x->stx_uid = s.st_uid;
    x->stx_gid = s.st_gid;
    x->stx_mode = static_cast<__u16>(s.st_mode);
    x->stx_ino = s.st_ino;
    x->stx_size = static_cast<__u64>(s.st_size);
    x->stx_rdev_major = major(s.st_rdev);
    x->stx_rdev_minor = minor(s.st_rdev);
    x->stx_dev_major = major(s.st_dev);
    x->stx_dev_minor = minor(s.st_dev);
}

}  // namespace

// ---- open ----
EMUCAM_EXPORT int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    if (isDevice(path)) return model().open(path, flags, mode);
    if (int fd = openSysfs(path); fd != -2) return fd;
    return real_open()(path, flags, mode);
}

EMUCAM_EXPORT int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    if (isDevice(path)) return model().open(path, flags, mode);
    if (int fd = openSysfs(path); fd != -2) return fd;
    return real_open64()(path, flags, mode);
}

EMUCAM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    if (isDeviceAt(dirfd, path)) return model().open(path, flags, mode);
    if (int fd = openSysfs(path); fd != -2) return fd;
    return real_openat()(dirfd, path, flags, mode);
}

EMUCAM_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = modeArg(flags, ap);
    va_end(ap);
    if (isDeviceAt(dirfd, path)) return model().open(path, flags, mode);
    if (int fd = openSysfs(path); fd != -2) return fd;
    return real_openat64()(dirfd, path, flags, mode);
}

EMUCAM_EXPORT int __open_2(const char* path, int flags) {
    if (isDevice(path)) return model().open(path, flags, 0);
    return real___open_2()(path, flags);
}

EMUCAM_EXPORT int __open64_2(const char* path, int flags) {
    if (isDevice(path)) return model().open(path, flags, 0);
    return real___open64_2()(path, flags);
}

EMUCAM_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
    if (isDeviceAt(dirfd, path)) return model().open(path, flags, 0);
    return real___openat_2()(dirfd, path, flags);
}

EMUCAM_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
    if (isDeviceAt(dirfd, path)) return model().open(path, flags, 0);
    return real___openat64_2()(dirfd, path, flags);
}

EMUCAM_EXPORT FILE* fopen(const char* path, const char* mode) {
    bool handled = false;
    FILE* f = fopenSysfs(path, mode, handled);
    return handled ? f : real_fopen()(path, mode);
}

EMUCAM_EXPORT FILE* fopen64(const char* path, const char* mode) {
    bool handled = false;
    FILE* f = fopenSysfs(path, mode, handled);
    return handled ? f : real_fopen64()(path, mode);
}

// ---- close ----
EMUCAM_EXPORT int close(int fd) {
    if (emucam::Model* m = active()) return m->close(fd);
    return real_close()(fd);
}

// ---- the stat family ----
EMUCAM_EXPORT int stat(const char* path, struct stat* st) {
    return isDevice(path) ? deviceStat(path, st) : real_stat()(path, st);
}
EMUCAM_EXPORT int stat64(const char* path, struct stat64* st) {
    return isDevice(path) ? deviceStat64(path, st) : real_stat64()(path, st);
}
// The camera nodes are no symbolic links: lstat sees what stat sees.
EMUCAM_EXPORT int lstat(const char* path, struct stat* st) {
    return isDevice(path) ? deviceStat(path, st) : real_lstat()(path, st);
}
EMUCAM_EXPORT int lstat64(const char* path, struct stat64* st) {
    return isDevice(path) ? deviceStat64(path, st) : real_lstat64()(path, st);
}
EMUCAM_EXPORT int fstat(int fd, struct stat* st) {
    int r;
    if (ownFstat(fd, st, r)) return r;
    return real_fstat()(fd, st);
}
EMUCAM_EXPORT int fstat64(int fd, struct stat64* st) {
    struct stat s{};
    int r;
    if (ownFstat(fd, &s, r)) {
        if (r == 0) widen(s, st);
        return r;
    }
    return real_fstat64()(fd, st);
}
EMUCAM_EXPORT int fstatat(int dirfd, const char* path, struct stat* st, int flags) {
    if (isDeviceAt(dirfd, path)) return deviceStat(path, st);
    int r;
    if ((flags & AT_EMPTY_PATH) && emptyPath(path) && ownFstat(dirfd, st, r)) return r;
    return real_fstatat()(dirfd, path, st, flags);
}
EMUCAM_EXPORT int fstatat64(int dirfd, const char* path, struct stat64* st, int flags) {
    if (isDeviceAt(dirfd, path)) return deviceStat64(path, st);
    struct stat s{};
    int r;
    if ((flags & AT_EMPTY_PATH) && emptyPath(path) && ownFstat(dirfd, &s, r)) {
        if (r == 0) widen(s, st);
        return r;
    }
    return real_fstatat64()(dirfd, path, st, flags);
}
EMUCAM_EXPORT int statx(int dirfd, const char* path, int flags, unsigned mask, struct statx* x) {
    struct stat s{};
    int r;
    if (isDeviceAt(dirfd, path)) {
        r = deviceStat(path, &s);
        if (r == 0) fillStatx(s, x);
        return r;
    }
    if ((flags & AT_EMPTY_PATH) && emptyPath(path) && ownFstat(dirfd, &s, r)) {
        if (r == 0) fillStatx(s, x);
        return r;
    }
    return real_statx()(dirfd, path, flags, mask, x);
}
EMUCAM_EXPORT int __xstat(int ver, const char* path, struct stat* st) {
    return isDevice(path) ? deviceStat(path, st) : real___xstat()(ver, path, st);
}
EMUCAM_EXPORT int __xstat64(int ver, const char* path, struct stat64* st) {
    return isDevice(path) ? deviceStat64(path, st) : real___xstat64()(ver, path, st);
}
EMUCAM_EXPORT int __lxstat(int ver, const char* path, struct stat* st) {
    return isDevice(path) ? deviceStat(path, st) : real___lxstat()(ver, path, st);
}
EMUCAM_EXPORT int __lxstat64(int ver, const char* path, struct stat64* st) {
    return isDevice(path) ? deviceStat64(path, st) : real___lxstat64()(ver, path, st);
}
EMUCAM_EXPORT int __fxstat(int ver, int fd, struct stat* st) {
    int r;
    if (ownFstat(fd, st, r)) return r;
    return real___fxstat()(ver, fd, st);
}
EMUCAM_EXPORT int __fxstat64(int ver, int fd, struct stat64* st) {
    struct stat s{};
    int r;
    if (ownFstat(fd, &s, r)) {
        if (r == 0) widen(s, st);
        return r;
    }
    return real___fxstat64()(ver, fd, st);
}
EMUCAM_EXPORT int __fxstatat(int ver, int dirfd, const char* path, struct stat* st, int flags) {
    if (isDeviceAt(dirfd, path)) return deviceStat(path, st);
    return real___fxstatat()(ver, dirfd, path, st, flags);
}
EMUCAM_EXPORT int __fxstatat64(int ver, int dirfd, const char* path, struct stat64* st, int flags) {
    if (isDeviceAt(dirfd, path)) return deviceStat64(path, st);
    return real___fxstatat64()(ver, dirfd, path, st, flags);
}

// access: a camera node is there (and readable and writable) exactly when
// stat finds it.
EMUCAM_EXPORT int access(const char* path, int mode) {
    if (!isDevice(path)) return real_access()(path, mode);
    struct stat s{};
    return deviceStat(path, &s);
}
EMUCAM_EXPORT int faccessat(int dirfd, const char* path, int mode, int flags) {
    if (!isDeviceAt(dirfd, path)) return real_faccessat()(dirfd, path, mode, flags);
    struct stat s{};
    return deviceStat(path, &s);
}

// ---- ioctl ----
EMUCAM_EXPORT int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    emucam::Model* m = active();
    if (m == nullptr) return real_ioctl()(fd, request, arg);
    if (g_trace && m->ownsDescriptor(fd)) return traced(fd, request, m->ioctl(fd, request, arg));
    return m->ioctl(fd, request, arg);
}

// ---- mmap ----
EMUCAM_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    emucam::Model* m = active();
    if (m == nullptr || fd < 0) return real_mmap()(addr, length, prot, flags, fd, offset);
    return m->mmap(addr, length, prot, flags, fd, offset);
}
EMUCAM_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) {
    emucam::Model* m = active();
    if (m == nullptr || fd < 0 || !m->ownsDescriptor(fd)) return real_mmap64()(addr, length, prot, flags, fd, offset);
    return m->mmap(addr, length, prot, flags, fd, static_cast<off_t>(offset));
}
EMUCAM_EXPORT int munmap(void* addr, size_t length) {
    emucam::Model* m = active();
    if (m == nullptr) return real_munmap()(addr, length);
    return m->munmap(addr, length);
}
