#include "emulation/emucam_model.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emulation/emucam_frames.h"

namespace emucam {
namespace {

constexpr int kVideoMajor = 81;  // the kernel's video4linux character major
constexpr int kMaxBuffers = 32;  // the buffer queue's limit (VB2_MAX_FRAME)

std::size_t pageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t pageAlign(std::size_t n) { return (n + pageSize() - 1) / pageSize() * pageSize(); }

int sysOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sysClose(int fd) { return ::close(fd); }
int sysStat(const char* path, struct stat* st) { return ::stat(path, st); }
int sysFstat(int fd, struct stat* st) { return ::fstat(fd, st); }
int sysIoctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
void* sysMmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int sysMunmap(void* addr, std::size_t length) { return ::munmap(addr, length); }

// Sleeps until `fd` is readable or `nanos` have passed, without going
// through the C library's wrappers (which a time-faking library replaces).
void waitReadable(int fd, std::int64_t nanos) {
    pollfd p{fd, POLLIN, 0};
    timespec ts{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
#ifdef SYS_ppoll
    syscall(SYS_ppoll, &p, 1, &ts, nullptr, 0);
#else
    ppoll(&p, 1, &ts, nullptr);
#endif
}

int fail(int err) {
    errno = err;
    return -1;
}

void copyText(__u8* dst, std::size_t size, const char* text) {
    std::memset(dst, 0, size);
    std::memcpy(dst, text, std::min(std::strlen(text), size - 1));
}

bool isCapture(__u32 type) { return type == V4L2_BUF_TYPE_VIDEO_CAPTURE; }

}  // namespace

std::int64_t monotonicNanos() {
    timespec ts{};
#ifdef SYS_clock_gettime
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &ts);
#else
    clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Passthrough libcPassthrough() { return {sysOpen, sysClose, sysStat, sysFstat, sysIoctl, sysMmap, sysMunmap}; }

int devicePathIndex(const char* path) {
    if (path == nullptr) return -1;
    static const char kPrefix[] = "/dev/video";
    if (std::strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return -1;
    const char* d = path + sizeof kPrefix - 1;
    if (d[0] >= '0' && d[0] < '0' + kCameras && d[1] == '\0') return d[0] - '0';
    return -1;
}

// ---------------------------------------------------------------------------

namespace {

struct Slot;

struct Buffer {
    enum class State { kUser, kQueued, kDone };
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    State state = State::kUser;
    std::uint32_t bytesused = 0;
    std::uint32_t sequence = 0;
    std::uint32_t flags = 0;  // V4L2_BUF_FLAG_ERROR when set
    timeval timestamp{};
    int mappings = 0;
};

struct Handle;

// One presence of a camera on the bus: from its first open until it is
// unplugged. After a disconnect its descriptors stay dead, and the next
// open after the camera is back finds a new one.
struct Instance {
    Instance(int index, const CameraConfig& cfg, Slot* slot, const Passthrough& sys);
    ~Instance();

    const int index;
    const CameraConfig cfg;
    Slot* const slot;
    const Passthrough sys;

    std::mutex m;
    std::condition_variable cv;  // a buffer is done, streaming stopped, or the device died
    bool dead = false;

    // Format.
    std::uint32_t fourcc;
    FrameSize size;
    int rate;  // frames per second
    int quality;
    std::unique_ptr<FrameSource> source;  // built at STREAMON and kept while it matches

    // Buffer queue.
    const Handle* owner = nullptr;  // the handle that allocated the buffers
    std::vector<Buffer> buffers;
    std::uint64_t bufferSet = 0;    // changes when the buffers are reallocated or freed
    int memfd = -1;
    std::uint8_t* mem = nullptr;
    std::size_t memSize = 0;
    std::deque<int> queued, done;
    bool streaming = false;
    std::uint64_t streamGeneration = 0;
    std::uint32_t sequence = 0;
    // The queue is in error (vb2_queue_error): no frames, QBUF and DQBUF
    // fail with EIO, poll reports an error; STREAMOFF, REQBUFS and close
    // clear it.
    bool queueError = false;
    int wakeFd = -1;  // wakes the frame thread

    std::vector<Handle*> handles;

    std::uint32_t sizeimage() const;
    bool readable() const;
    void updateReadiness();
    void freeBuffers();
    void stopStreaming();  // lock held
    void wakeProducer();
    void failQueue();      // lock held
};

struct Handle {
    int fd = -1;        // the client's descriptor: the pipe's read end
    int signalFd = -1;  // the pipe's write end
    dev_t dev = 0;
    ino_t ino = 0;
    bool signaled = false;  // guarded by the instance's lock
    std::shared_ptr<Instance> instance;
    int index = 0;
};

// What stays of a camera across its presences.
struct Slot {
    int index = 0;
    CameraConfig cfg;
    std::mutex m;
    std::shared_ptr<Instance> current;  // guarded by m
    std::atomic<std::int64_t> firstStreamOn{0};  // monotonic ns, 0 until the first STREAMON
    std::atomic<int> busyLeft{0};
    std::atomic<std::uint32_t> counter{0};  // the pattern's frame counter
    std::atomic<std::uint64_t> produced{0}, delivered{0}, dropped{0}, formatAttempts{0};
    std::atomic<std::size_t> queueErrorsDone{0};  // entries of cfg.queueErrors that have happened

    // Seconds since the first STREAMON at monotonic time `now`; -1 before it.
    double sinceFirstStreamOn(std::int64_t now) const {
        std::int64_t first = firstStreamOn.load();
        return first == 0 ? -1 : static_cast<double>(now - first) / 1e9;
    }
    bool noBandwidth(std::int64_t now) const {
        double t = sinceFirstStreamOn(now);
        return t >= 0 && std::any_of(cfg.noBandwidth.begin(), cfg.noBandwidth.end(),
                                     [t](const Window& w) { return w.contains(t); });
    }
    bool streamBroken(std::int64_t now) const {
        return cfg.streamErrorAfter >= 0 && sinceFirstStreamOn(now) >= cfg.streamErrorAfter;
    }
    // Whether the next of cfg.queueErrors is due at `now` (it then counts as done).
    bool queueErrorDue(std::int64_t now) {
        std::size_t k = queueErrorsDone.load();
        if (k >= cfg.queueErrors.size() || sinceFirstStreamOn(now) < cfg.queueErrors[k]) return false;
        return queueErrorsDone.compare_exchange_strong(k, k + 1);
    }

    // Whether the camera is unplugged at monotonic time `now`.
    bool gone(std::int64_t now) const {
        std::int64_t first = firstStreamOn.load();
        if (first == 0 || cfg.disconnects.empty()) return false;
        double t = static_cast<double>(now - first) / 1e9;
        return std::any_of(cfg.disconnects.begin(), cfg.disconnects.end(), [t](const Window& w) { return w.contains(t); });
    }
    bool stalled(std::int64_t now) const {
        std::int64_t first = firstStreamOn.load();
        if (first == 0) return false;
        double t = static_cast<double>(now - first) / 1e9;
        return std::any_of(cfg.stalls.begin(), cfg.stalls.end(), [t](const Window& w) { return w.contains(t); });
    }
};

Instance::Instance(int idx, const CameraConfig& c, Slot* s, const Passthrough& p)
    : index(idx), cfg(c), slot(s), sys(p), fourcc(c.formats.front()), size(c.size), rate(c.fps), quality(c.quality) {
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

Instance::~Instance() {
    freeBuffers();
    if (wakeFd >= 0) sys.close(wakeFd);
}

std::uint32_t sizeimageOf(const CameraConfig& cfg, std::uint32_t fourcc, FrameSize size) {
    std::uint32_t raw = static_cast<std::uint32_t>(size.width) * static_cast<std::uint32_t>(size.height) * 2;
    if (fourcc == V4L2_PIX_FMT_YUYV) return raw;
    // A UVC camera announces its largest frame; JPEG frames of this scene
    // stay far below the raw size, padded ones reach the configured size.
    std::uint32_t n = raw;
    if (cfg.oversizeEvery > 0) n = std::max(n, cfg.oversizeBytes + 4096);
    return n;
}

std::uint32_t Instance::sizeimage() const { return sizeimageOf(cfg, fourcc, size); }

bool Instance::readable() const {
    // As the kernel's buffer queue answers poll: an error (readable) when
    // nothing can ever arrive, else whether a filled buffer waits.
    if (dead || queueError) return true;
    if (!done.empty()) return true;
    return !streaming && queued.empty();
}

void Instance::updateReadiness() {
    bool want = readable();
    for (Handle* h : handles) {
        if (h->signaled == want) continue;
        if (want) {
            char b = 1;
            if (::write(h->signalFd, &b, 1) == 1) h->signaled = true;
        } else {
            // The client's descriptor may be blocking: read only what is there.
            char b;
            pollfd p{h->fd, POLLIN, 0};
            while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) && ::read(h->fd, &b, 1) == 1) {
            }
            h->signaled = false;
        }
    }
}

void Instance::freeBuffers() {
    if (mem != nullptr) sys.munmap(mem, memSize);
    if (memfd >= 0) sys.close(memfd);
    mem = nullptr;
    memfd = -1;
    memSize = 0;
    buffers.clear();
    queued.clear();
    done.clear();
    owner = nullptr;
    queueError = false;
    ++bufferSet;
}

void Instance::wakeProducer() {
    std::uint64_t one = 1;
    if (wakeFd >= 0) (void)!::write(wakeFd, &one, sizeof one);
}

void Instance::stopStreaming() {
    // Every buffer goes back to the client, filled or not.
    streaming = false;
    queueError = false;
    ++streamGeneration;
    for (Buffer& b : buffers) b.state = Buffer::State::kUser;
    queued.clear();
    done.clear();
    wakeProducer();
    cv.notify_all();
}

void Instance::failQueue() {
    queueError = true;
    cv.notify_all();
    updateReadiness();
}

}  // namespace

// ---------------------------------------------------------------------------

struct Model::Impl {
    Impl(const Config& c, const Passthrough& p) : config(c), sys(p) {
        for (int i = 0; i < kCameras; ++i) {
            slots[i].index = i;
            slots[i].cfg = c.cameras[i];
            slots[i].busyLeft = c.cameras[i].busyFormatAttempts;
        }
        dropLog = openLog(c.dropLog);
        frameLog = openLog(c.frameLog);
    }
    ~Impl() {
        if (dropLog >= 0) sys.close(dropLog);
        if (frameLog >= 0) sys.close(frameLog);
    }
    int openLog(const std::string& path) {
        if (path.empty()) return -1;
        const int out = sys.open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0) std::fprintf(stderr, "emucam: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return out;
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    Config config;
    Passthrough sys;
    Slot slots[kCameras];
    int dropLog = -1;   // appended to, one whole line per write
    int frameLog = -1;  // the same

    std::mutex tableLock;
    std::unordered_map<int, std::shared_ptr<Handle>> handles;
    std::atomic<int> handleCount{0};

    struct Mapping {
        std::size_t length;
        std::weak_ptr<Instance> instance;
        std::uint64_t bufferSet;
        int buffer;
    };
    std::mutex mapLock;
    std::map<std::uintptr_t, Mapping> mappings;
    std::atomic<int> mappingCount{0};

    std::mutex producerLock;
    std::condition_variable producerGone;
    int producers = 0;

    std::shared_ptr<Handle> lookup(int fd);
    std::shared_ptr<Instance> presentInstance(Slot& slot, std::int64_t now);
    void kill(Instance& inst);  // lock held
    void startProducer(const std::shared_ptr<Instance>& inst);
    void producerLoop(std::shared_ptr<Instance> inst, std::uint64_t generation);
    void produce(Instance& inst, std::int64_t now);
    int ioctlLocked(Handle& h, Instance& inst, std::unique_lock<std::mutex>& lock, unsigned long request, void* arg);

    // Requests.
    static void fillFormat(const CameraConfig& cfg, std::uint32_t fourcc, FrameSize size, v4l2_format& f);
    int negotiate(const Instance& inst, v4l2_format& f, FrameSize& size, std::uint32_t& fourcc) const;
    std::vector<int> rates(const Instance& inst) const;
    void fillBuffer(const Instance& inst, int index, v4l2_buffer& b) const;
    int reqbufs(Handle& h, Instance& inst, v4l2_requestbuffers& r);
};

namespace {

void fillStat(struct stat* st, int index) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(kVideoMajor, index);
    st->st_dev = makedev(0, 5);  // devtmpfs
    st->st_ino = 1000 + index;
    st->st_nlink = 1;
    st->st_gid = 44;  // the "video" group
    st->st_blksize = 4096;
}

}  // namespace

std::shared_ptr<Handle> Model::Impl::lookup(int fd) {
    if (handleCount.load(std::memory_order_acquire) == 0 || fd < 0) return nullptr;
    std::shared_ptr<Handle> h;
    {
        std::lock_guard<std::mutex> g(tableLock);
        auto it = handles.find(fd);
        if (it == handles.end()) return nullptr;
        h = it->second;
    }
    // A descriptor closed behind the model's back (close_range, a child
    // process) and reused for something else is not ours any more.
    struct stat st{};
    if (sys.fstat(fd, &st) != 0 || st.st_dev != h->dev || st.st_ino != h->ino) {
        std::lock_guard<std::mutex> g(tableLock);
        auto it = handles.find(fd);
        if (it != handles.end() && it->second == h) {
            handles.erase(it);
            handleCount.fetch_sub(1);
        }
        return nullptr;
    }
    return h;
}

void Model::Impl::kill(Instance& inst) {
    if (inst.dead) return;
    inst.dead = true;
    inst.streaming = false;
    ++inst.streamGeneration;
    inst.wakeProducer();
    inst.cv.notify_all();
    inst.updateReadiness();
}

std::shared_ptr<Instance> Model::Impl::presentInstance(Slot& slot, std::int64_t now) {
    std::lock_guard<std::mutex> g(slot.m);
    if (slot.gone(now)) {
        if (slot.current) {
            std::lock_guard<std::mutex> il(slot.current->m);
            kill(*slot.current);
        }
        slot.current.reset();
        return nullptr;
    }
    if (slot.current) {
        std::lock_guard<std::mutex> il(slot.current->m);
        if (!slot.current->dead) return slot.current;
    }
    slot.current = std::make_shared<Instance>(slot.index, slot.cfg, &slot, sys);
    return slot.current;
}

int Model::Impl::negotiate(const Instance& inst, v4l2_format& f, FrameSize& size, std::uint32_t& fourcc) const {
    if (!isCapture(f.type)) return EINVAL;
    v4l2_pix_format& p = f.fmt.pix;
    // A format the camera lacks gets the camera's first one, as uvcvideo does.
    fourcc = std::find(inst.cfg.formats.begin(), inst.cfg.formats.end(), p.pixelformat) != inst.cfg.formats.end()
                 ? p.pixelformat
                 : inst.cfg.formats.front();
    // The offered size closest to the request (uvcvideo's measure).
    long best = LONG_MAX;
    size = inst.cfg.sizes.front();
    for (const FrameSize& s : inst.cfg.sizes) {
        long w = std::min<long>(s.width, p.width), h = std::min<long>(s.height, p.height);
        long d = static_cast<long>(s.width) * s.height + static_cast<long>(p.width) * p.height - 2 * w * h;
        if (d < best) {
            best = d;
            size = s;
        }
    }
    return 0;
}

void Model::Impl::fillFormat(const CameraConfig& cfg, std::uint32_t fourcc, FrameSize size, v4l2_format& f) {
    std::memset(&f.fmt, 0, sizeof f.fmt);
    v4l2_pix_format& p = f.fmt.pix;
    p.width = static_cast<__u32>(size.width);
    p.height = static_cast<__u32>(size.height);
    p.pixelformat = fourcc;
    p.field = V4L2_FIELD_NONE;
    p.bytesperline = fourcc == V4L2_PIX_FMT_YUYV ? static_cast<__u32>(size.width) * 2 : 0;
    p.sizeimage = sizeimageOf(cfg, fourcc, size);
    p.colorspace = V4L2_COLORSPACE_SRGB;
    p.priv = V4L2_PIX_FMT_PRIV_MAGIC;
}

std::vector<int> Model::Impl::rates(const Instance& inst) const {
    if (inst.cfg.fixedRate) return {inst.cfg.fps};
    std::vector<int> r = standardRates();
    if (std::find(r.begin(), r.end(), inst.cfg.fps) == r.end()) r.push_back(inst.cfg.fps);
    std::sort(r.begin(), r.end(), std::greater<int>());  // shortest interval first
    return r;
}

void Model::Impl::fillBuffer(const Instance& inst, int index, v4l2_buffer& b) const {
    const Buffer& buf = inst.buffers[static_cast<std::size_t>(index)];
    std::memset(&b, 0, sizeof b);
    b.index = static_cast<__u32>(index);
    b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    b.memory = V4L2_MEMORY_MMAP;
    b.bytesused = buf.bytesused;
    b.field = V4L2_FIELD_NONE;
    b.timestamp = buf.timestamp;
    b.sequence = buf.sequence;
    b.m.offset = buf.offset;
    b.length = buf.length;
    b.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE | buf.flags;
    if (buf.mappings > 0) b.flags |= V4L2_BUF_FLAG_MAPPED;
    if (buf.state == Buffer::State::kQueued) b.flags |= V4L2_BUF_FLAG_QUEUED;
    if (buf.state == Buffer::State::kDone) b.flags |= V4L2_BUF_FLAG_DONE;
}

int Model::Impl::reqbufs(Handle& h, Instance& inst, v4l2_requestbuffers& r) {
    if (!isCapture(r.type) || r.memory != V4L2_MEMORY_MMAP) return EINVAL;
    if (inst.owner != nullptr && inst.owner != &h) return EBUSY;
    if (inst.streaming) return EBUSY;
    r.capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    std::memset(r.reserved, 0, sizeof r.reserved);
    // Buffers still mapped by the client stay valid (they are orphaned).
    inst.freeBuffers();
    if (r.count == 0) {
        inst.updateReadiness();
        return 0;
    }
    const int granted = std::min<int>({static_cast<int>(std::min<__u32>(r.count, kMaxBuffers)), inst.cfg.maxBuffers, kMaxBuffers});
    const std::size_t length = pageAlign(inst.sizeimage());
    const std::size_t total = length * static_cast<std::size_t>(granted);
    char name[32];
    std::snprintf(name, sizeof name, "emucam-video%d", inst.index);
    int fd = memfd_create(name, MFD_CLOEXEC);
    if (fd < 0) return ENOMEM;
    if (ftruncate(fd, static_cast<off_t>(total)) != 0) {
        inst.sys.close(fd);
        return ENOMEM;
    }
    void* mem = inst.sys.mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) {
        inst.sys.close(fd);
        return ENOMEM;
    }
    inst.memfd = fd;
    inst.mem = static_cast<std::uint8_t*>(mem);
    inst.memSize = total;
    inst.buffers.resize(static_cast<std::size_t>(granted));
    for (int i = 0; i < granted; ++i) {
        inst.buffers[static_cast<std::size_t>(i)].offset = static_cast<std::uint32_t>(length * static_cast<std::size_t>(i));
        inst.buffers[static_cast<std::size_t>(i)].length = static_cast<std::uint32_t>(length);
    }
    inst.owner = &h;
    r.count = static_cast<__u32>(granted);
    inst.updateReadiness();
    return 0;
}

void Model::Impl::startProducer(const std::shared_ptr<Instance>& inst) {
    {
        std::lock_guard<std::mutex> g(producerLock);
        ++producers;
    }
    std::uint64_t generation = inst->streamGeneration;
    std::thread([this, inst, generation]() mutable {
        // Named, so that measurements of a process with emulated cameras
        // can tell the cameras' work from the client's ("emucam<index>").
        char name[16];
        std::snprintf(name, sizeof name, "emucam%d", inst->index);
        pthread_setname_np(pthread_self(), name);
        producerLoop(std::move(inst), generation);
        std::lock_guard<std::mutex> g(producerLock);
        --producers;
        producerGone.notify_all();
    }).detach();
}

void Model::Impl::producerLoop(std::shared_ptr<Instance> inst, std::uint64_t generation) {
    std::unique_lock<std::mutex> lock(inst->m);
    std::int64_t period = 1000000000LL / inst->rate;
    std::int64_t next = monotonicNanos() + period;
    while (inst->streaming && inst->streamGeneration == generation && !inst->dead) {
        std::int64_t now = monotonicNanos();
        if (now < next) {
            int wake = inst->wakeFd;
            lock.unlock();
            waitReadable(wake, next - now);
            std::uint64_t drained;
            (void)!::read(wake, &drained, sizeof drained);
            lock.lock();
            continue;
        }
        if (inst->slot->gone(now)) {
            kill(*inst);
            break;
        }
        if (inst->slot->streamBroken(now) && !inst->queueError) inst->failQueue();
        if (!inst->slot->stalled(now) && !inst->queueError) produce(*inst, now);
        next += period;
        // A sensor does not catch up on frames it could not make while this
        // thread was not running: those are simply not made.
        if (next <= now) next = now + period;
    }
}

void Model::Impl::produce(Instance& inst, std::int64_t now) {
    Slot& slot = *inst.slot;
    std::uint32_t counter = slot.counter.fetch_add(1) & kCounterMask;
    std::uint32_t sequence = inst.sequence++;
    slot.produced.fetch_add(1);
    if (frameLog >= 0) {
        char line[96];
        int n = std::snprintf(line, sizeof line, "%ld %d %u %d %lld\n", static_cast<long>(::getpid()), slot.index, counter,
                              inst.queued.empty() ? 0 : 1, static_cast<long long>(now));
        (void)!::write(frameLog, line, static_cast<std::size_t>(n));
    }
    if (inst.queued.empty()) {
        slot.dropped.fetch_add(1);
        if (dropLog >= 0) {
            char line[64];
            int n = std::snprintf(line, sizeof line, "%ld %d %u\n", static_cast<long>(::getpid()), slot.index, counter);
            (void)!::write(dropLog, line, static_cast<std::size_t>(n));
        }
        return;
    }
    int index = inst.queued.front();
    inst.queued.pop_front();
    Buffer& b = inst.buffers[static_cast<std::size_t>(index)];
    std::uint8_t* dst = inst.mem + b.offset;
    std::size_t len = inst.source ? inst.source->compose(counter, dst, b.length) : 0;
    const CameraConfig& c = inst.cfg;
    auto every = [counter](int n) { return n > 0 && (counter + 1) % static_cast<std::uint32_t>(n) == 0; };
    if (len > 0 && inst.fourcc == V4L2_PIX_FMT_MJPEG && every(c.oversizeEvery))
        len = padJpeg(dst, len, b.length, c.oversizeBytes);
    if (len > 0 && every(c.corruptEvery)) len = corruptFrame(dst, len, counter);
    if (len > 0 && every(c.truncateEvery)) len = truncateFrame(len);
    b.bytesused = static_cast<std::uint32_t>(len);
    b.flags = len == 0 ? V4L2_BUF_FLAG_ERROR : 0;
    b.sequence = sequence;
    b.timestamp.tv_sec = static_cast<time_t>(now / 1000000000);
    b.timestamp.tv_usec = static_cast<suseconds_t>(now % 1000000000 / 1000);
    b.state = Buffer::State::kDone;
    inst.done.push_back(index);
    slot.delivered.fetch_add(1);
    inst.cv.notify_all();
    inst.updateReadiness();
}

int Model::Impl::ioctlLocked(Handle& h, Instance& inst, std::unique_lock<std::mutex>& lock, unsigned long request,
                             void* arg) {
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof *cap);
        char text[64];
        copyText(cap->driver, sizeof cap->driver, "uvcvideo");
        std::snprintf(text, sizeof text, "EmuCam USB Camera %d", inst.index);
        copyText(cap->card, sizeof cap->card, text);
        std::snprintf(text, sizeof text, "usb-emucam-1.%d", inst.index + 1);
        copyText(cap->bus_info, sizeof cap->bus_info, text);
        cap->version = (6u << 16) | (1u << 8);
        cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* f = static_cast<v4l2_fmtdesc*>(arg);
        if (!isCapture(f->type) || f->index >= inst.cfg.formats.size()) return EINVAL;
        __u32 index = f->index, type = f->type;
        std::memset(f, 0, sizeof *f);
        f->index = index;
        f->type = type;
        f->pixelformat = inst.cfg.formats[index];
        bool mjpeg = f->pixelformat == V4L2_PIX_FMT_MJPEG;
        f->flags = mjpeg ? V4L2_FMT_FLAG_COMPRESSED : 0;
        copyText(f->description, sizeof f->description, mjpeg ? "Motion-JPEG" : "YUYV 4:2:2");
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        if (!isCapture(f->type)) return EINVAL;
        fillFormat(inst.cfg, inst.fourcc, inst.size, *f);
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        auto* f = static_cast<v4l2_format*>(arg);
        FrameSize size;
        std::uint32_t fourcc;
        if (int e = negotiate(inst, *f, size, fourcc)) return e;
        if (request == VIDIOC_S_FMT) {
            inst.slot->formatAttempts.fetch_add(1);
            // A camera still held by something else answers busy for a while.
            int left = inst.slot->busyLeft.load();
            while (left > 0 && !inst.slot->busyLeft.compare_exchange_weak(left, left - 1)) {
            }
            if (left > 0) return EBUSY;
            if (!inst.buffers.empty()) return EBUSY;
            inst.fourcc = fourcc;
            inst.size = size;
        }
        fillFormat(inst.cfg, fourcc, size, *f);
        return 0;
    }
    case VIDIOC_CROPCAP: {
        auto* c = static_cast<v4l2_cropcap*>(arg);
        if (!isCapture(c->type)) return EINVAL;
        c->bounds = {0, 0, static_cast<__u32>(inst.size.width), static_cast<__u32>(inst.size.height)};
        c->defrect = c->bounds;
        c->pixelaspect = {1, 1};
        return 0;
    }
    case VIDIOC_G_CROP:
    case VIDIOC_S_CROP: {
        // No cropper: any rectangle is adjusted to the whole frame.
        auto* c = static_cast<v4l2_crop*>(arg);
        if (!isCapture(c->type)) return EINVAL;
        if (request == VIDIOC_G_CROP) c->c = {0, 0, static_cast<__u32>(inst.size.width), static_cast<__u32>(inst.size.height)};
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto* p = static_cast<v4l2_streamparm*>(arg);
        if (!isCapture(p->type)) return EINVAL;
        if (request == VIDIOC_S_PARM && !inst.cfg.fixedRate) {
            if (inst.streaming) return EBUSY;
            const v4l2_fract want = p->parm.capture.timeperframe;
            // The offered interval closest to the one asked for; 0/0 asks for the default.
            double wanted = want.numerator == 0 || want.denominator == 0
                                ? 1.0 / inst.cfg.fps
                                : static_cast<double>(want.numerator) / want.denominator;
            int best = inst.rate;
            double bestDistance = 1e9;
            for (int r : rates(inst)) {
                double d = std::abs(1.0 / r - wanted);
                if (d < bestDistance) {
                    bestDistance = d;
                    best = r;
                }
            }
            inst.rate = best;
        }
        std::memset(&p->parm, 0, sizeof p->parm);
        p->parm.capture.capability = inst.cfg.fixedRate ? 0 : V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe = {1, static_cast<__u32>(inst.rate)};
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* s = static_cast<v4l2_frmsizeenum*>(arg);
        const auto& f = inst.cfg.formats;
        if (std::find(f.begin(), f.end(), s->pixel_format) == f.end() || s->index >= inst.cfg.sizes.size()) return EINVAL;
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete = {static_cast<__u32>(inst.cfg.sizes[s->index].width), static_cast<__u32>(inst.cfg.sizes[s->index].height)};
        std::memset(s->reserved, 0, sizeof s->reserved);
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* iv = static_cast<v4l2_frmivalenum*>(arg);
        const auto& f = inst.cfg.formats;
        FrameSize want{static_cast<int>(iv->width), static_cast<int>(iv->height)};
        std::vector<int> r = rates(inst);
        if (std::find(f.begin(), f.end(), iv->pixel_format) == f.end() ||
            std::find(inst.cfg.sizes.begin(), inst.cfg.sizes.end(), want) == inst.cfg.sizes.end() || iv->index >= r.size())
            return EINVAL;
        iv->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        iv->discrete = {1, static_cast<__u32>(r[iv->index])};
        std::memset(iv->reserved, 0, sizeof iv->reserved);
        return 0;
    }
    case VIDIOC_REQBUFS:
        return reqbufs(h, inst, *static_cast<v4l2_requestbuffers*>(arg));
    case VIDIOC_QUERYBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (!isCapture(b->type) || b->index >= inst.buffers.size()) return EINVAL;
        fillBuffer(inst, static_cast<int>(b->index), *b);
        return 0;
    }
    case VIDIOC_QBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (!isCapture(b->type) || b->memory != V4L2_MEMORY_MMAP) return EINVAL;
        if (inst.owner != nullptr && inst.owner != &h) return EBUSY;
        if (b->index >= inst.buffers.size()) return EINVAL;
        if (inst.queueError) return EIO;
        Buffer& buf = inst.buffers[b->index];
        if (buf.state != Buffer::State::kUser) return EINVAL;  // already queued
        buf.state = Buffer::State::kQueued;
        buf.bytesused = 0;
        buf.flags = 0;
        inst.queued.push_back(static_cast<int>(b->index));
        fillBuffer(inst, static_cast<int>(b->index), *b);
        inst.updateReadiness();
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(arg);
        if (!isCapture(b->type)) return EINVAL;
        if (inst.owner != nullptr && inst.owner != &h) return EBUSY;
        const int flags = fcntl(h.fd, F_GETFL);
        const bool nonblocking = flags >= 0 && (flags & O_NONBLOCK) != 0;
        for (;;) {
            if (inst.dead) return ENODEV;
            if (!inst.streaming) return EINVAL;
            if (inst.queueError) return EIO;
            if (!inst.done.empty()) break;
            if (nonblocking) return EAGAIN;
            inst.cv.wait(lock);
        }
        int index = inst.done.front();
        inst.done.pop_front();
        inst.buffers[static_cast<std::size_t>(index)].state = Buffer::State::kUser;
        fillBuffer(inst, index, *b);
        // A USB reset while the client holds this buffer: its re-queue is
        // the first request to fail.
        if (inst.slot->queueErrorDue(monotonicNanos())) inst.failQueue();
        inst.updateReadiness();
        return 0;
    }
    case VIDIOC_STREAMON: {
        auto* type = static_cast<int*>(arg);
        if (!isCapture(static_cast<__u32>(*type))) return EINVAL;
        if (inst.owner != nullptr && inst.owner != &h) return EBUSY;
        if (inst.buffers.empty()) return EINVAL;
        if (inst.streaming) return 0;
        std::int64_t zero = 0;
        inst.slot->firstStreamOn.compare_exchange_strong(zero, monotonicNanos());
        // The host controller cannot reserve the bus time the format needs
        // (uvcvideo's answer for one camera too many on a USB 2.0 host);
        // the queued buffers stay queued, as the buffer queue leaves them.
        if (inst.slot->noBandwidth(monotonicNanos())) return ENOSPC;
        if (!inst.source || inst.source->fourcc() != inst.fourcc || inst.source->width() != inst.size.width ||
            inst.source->height() != inst.size.height || inst.source->quality() != inst.quality) {
            try {
                inst.source = std::make_unique<FrameSource>(inst.index, inst.fourcc, inst.size.width, inst.size.height,
                                                            inst.quality, inst.cfg.noHuffmanTables);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "emucam: video%d: cannot make frames: %s\n", inst.index, e.what());
                return EIO;
            }
        }
        inst.streaming = true;
        ++inst.streamGeneration;
        inst.sequence = 0;
        // A broken camera fails again as soon as it streams.
        if (inst.slot->streamBroken(monotonicNanos())) inst.failQueue();
        inst.updateReadiness();
        startProducer(h.instance);
        return 0;
    }
    case VIDIOC_STREAMOFF: {
        auto* type = static_cast<int*>(arg);
        if (!isCapture(static_cast<__u32>(*type))) return EINVAL;
        if (inst.owner != nullptr && inst.owner != &h) return EBUSY;
        inst.stopStreaming();
        inst.updateReadiness();
        return 0;
    }
    case VIDIOC_G_JPEGCOMP:
    case VIDIOC_S_JPEGCOMP: {
        auto* j = static_cast<v4l2_jpegcompression*>(arg);
        if (inst.fourcc != V4L2_PIX_FMT_MJPEG && std::find(inst.cfg.formats.begin(), inst.cfg.formats.end(),
                                                           static_cast<std::uint32_t>(V4L2_PIX_FMT_MJPEG)) == inst.cfg.formats.end())
            return ENOTTY;
        if (request == VIDIOC_S_JPEGCOMP) {
            int q = std::clamp(j->quality, 1, 100);
            if (q != inst.quality) {
                inst.quality = q;
                if (inst.streaming && inst.fourcc == V4L2_PIX_FMT_MJPEG) {
                    try {
                        inst.source = std::make_unique<FrameSource>(inst.index, inst.fourcc, inst.size.width,
                                                                    inst.size.height, q, inst.cfg.noHuffmanTables);
                    } catch (const std::exception& e) {
                        std::fprintf(stderr, "emucam: video%d: cannot make frames: %s\n", inst.index, e.what());
                        return EIO;
                    }
                }
            }
        }
        std::memset(j, 0, sizeof *j);
        j->quality = inst.quality;
        j->jpeg_markers = V4L2_JPEG_MARKER_DQT | (inst.cfg.noHuffmanTables ? 0 : V4L2_JPEG_MARKER_DHT);
        return 0;
    }
    case VIDIOC_ENUMINPUT: {
        auto* in = static_cast<v4l2_input*>(arg);
        if (in->index != 0) return EINVAL;
        std::memset(in, 0, sizeof *in);
        copyText(in->name, sizeof in->name, "Camera 1");
        in->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
    }
    case VIDIOC_G_INPUT:
        *static_cast<int*>(arg) = 0;
        return 0;
    case VIDIOC_S_INPUT:
        return *static_cast<int*>(arg) == 0 ? 0 : EINVAL;
    case VIDIOC_G_PRIORITY:
        *static_cast<__u32*>(arg) = V4L2_PRIORITY_DEFAULT;
        return 0;
    case VIDIOC_S_PRIORITY:
        return *static_cast<__u32*>(arg) <= V4L2_PRIORITY_RECORD ? 0 : EINVAL;
    // No controls: every query and access names an unknown control.
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_QUERYMENU:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
        return EINVAL;
    case VIDIOC_G_EXT_CTRLS:
    case VIDIOC_S_EXT_CTRLS:
    case VIDIOC_TRY_EXT_CTRLS: {
        auto* c = static_cast<v4l2_ext_controls*>(arg);
        if (c->count == 0) return 0;
        c->error_idx = c->count;
        return EINVAL;
    }
    case VIDIOC_SUBSCRIBE_EVENT:
    case VIDIOC_UNSUBSCRIBE_EVENT:
        return EINVAL;
    default:
        return ENOTTY;
    }
}

// ---------------------------------------------------------------------------

Model::Model(const Config& config, const Passthrough& system) : impl_(std::make_unique<Impl>(config, system)) {}

Model::~Model() {
    std::vector<std::shared_ptr<Handle>> open;
    {
        std::lock_guard<std::mutex> g(impl_->tableLock);
        for (auto& [fd, h] : impl_->handles) open.push_back(h);
        impl_->handles.clear();
        impl_->handleCount = 0;
    }
    for (Slot& slot : impl_->slots) {
        std::lock_guard<std::mutex> g(slot.m);
        if (slot.current) {
            std::lock_guard<std::mutex> il(slot.current->m);
            slot.current->stopStreaming();
        }
    }
    for (auto& h : open) {
        std::lock_guard<std::mutex> il(h->instance->m);
        h->instance->stopStreaming();
        auto& hs = h->instance->handles;
        hs.erase(std::remove(hs.begin(), hs.end(), h.get()), hs.end());
    }
    {
        std::unique_lock<std::mutex> g(impl_->producerLock);
        impl_->producerGone.wait(g, [this] { return impl_->producers == 0; });
    }
    for (auto& h : open) {
        impl_->sys.close(h->fd);
        impl_->sys.close(h->signalFd);
    }
}

const Config& Model::config() const { return impl_->config; }

Model::Stats Model::stats(int camera) const {
    Stats s;
    if (camera < 0 || camera >= kCameras) return s;
    const Slot& slot = impl_->slots[camera];
    s.produced = slot.produced.load();
    s.delivered = slot.delivered.load();
    s.dropped = slot.dropped.load();
    s.formatAttempts = slot.formatAttempts.load();
    return s;
}

bool Model::ownsDescriptor(int fd) { return impl_->lookup(fd) != nullptr; }

int Model::open(const char* path, int flags, mode_t mode) {
    int index = devicePathIndex(path);
    if (index < 0) return impl_->sys.open(path, flags, mode);
    Slot& slot = impl_->slots[index];
    switch (slot.cfg.node) {
    case Node::kMissing:
        return fail(ENOENT);
    case Node::kRegular: {
        // A stray regular file where the node should be: any request on it
        // is the system's answer for a plain file.
        int fd = memfd_create(path + 5, (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
        return fd;
    }
    case Node::kCamera:
        break;
    }
    std::shared_ptr<Instance> inst = impl_->presentInstance(slot, monotonicNanos());
    if (!inst) return fail(ENOENT);
    int p[2];
    if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    auto h = std::make_shared<Handle>();
    h->fd = p[0];
    h->signalFd = p[1];
    h->instance = inst;
    h->index = index;
    // The client's descriptor takes the open flags that matter for a device.
    if (!(flags & O_NONBLOCK)) fcntl(p[0], F_SETFL, fcntl(p[0], F_GETFL) & ~O_NONBLOCK);
    if (!(flags & O_CLOEXEC)) fcntl(p[0], F_SETFD, 0);
    struct stat st{};
    impl_->sys.fstat(p[0], &st);
    h->dev = st.st_dev;
    h->ino = st.st_ino;
    {
        std::lock_guard<std::mutex> il(inst->m);
        inst->handles.push_back(h.get());
        inst->updateReadiness();
    }
    {
        std::lock_guard<std::mutex> g(impl_->tableLock);
        impl_->handles[h->fd] = h;
        impl_->handleCount.fetch_add(1, std::memory_order_release);
    }
    return h->fd;
}

int Model::close(int fd) {
    std::shared_ptr<Handle> h = impl_->lookup(fd);
    if (!h) return impl_->sys.close(fd);
    {
        std::lock_guard<std::mutex> g(impl_->tableLock);
        auto it = impl_->handles.find(fd);
        if (it != impl_->handles.end() && it->second == h) {
            impl_->handles.erase(it);
            impl_->handleCount.fetch_sub(1);
        }
    }
    {
        Instance& inst = *h->instance;
        std::lock_guard<std::mutex> il(inst.m);
        // Closing the queue's owner stops streaming and frees its buffers.
        if (inst.owner == h.get()) {
            inst.stopStreaming();
            inst.freeBuffers();
        }
        auto& hs = inst.handles;
        hs.erase(std::remove(hs.begin(), hs.end(), h.get()), hs.end());
        inst.updateReadiness();
    }
    impl_->sys.close(h->signalFd);
    return impl_->sys.close(h->fd);
}

int Model::stat(const char* path, struct stat* st) {
    int index = devicePathIndex(path);
    if (index < 0) return impl_->sys.stat(path, st);
    Slot& slot = impl_->slots[index];
    if (slot.cfg.node == Node::kMissing || slot.gone(monotonicNanos())) return fail(ENOENT);
    if (slot.cfg.node == Node::kRegular) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFREG | 0644;
        st->st_nlink = 1;
        st->st_ino = 2000 + index;
        st->st_blksize = 4096;
        return 0;
    }
    fillStat(st, index);
    return 0;
}

int Model::fstat(int fd, struct stat* st) {
    std::shared_ptr<Handle> h = impl_->lookup(fd);
    if (!h) return impl_->sys.fstat(fd, st);
    fillStat(st, h->index);
    return 0;
}

int Model::ioctl(int fd, unsigned long request, void* arg) {
    std::shared_ptr<Handle> h = impl_->lookup(fd);
    if (!h) return impl_->sys.ioctl(fd, request, arg);
    Instance& inst = *h->instance;
    // A camera unplugged since the last request.
    if (inst.slot->gone(monotonicNanos())) impl_->presentInstance(*inst.slot, monotonicNanos());
    std::unique_lock<std::mutex> lock(inst.m);
    if (inst.dead) return fail(ENODEV);
    if (arg == nullptr && _IOC_SIZE(request) > 0) return fail(EFAULT);
    int e = impl_->ioctlLocked(*h, inst, lock, request, arg);
    return e == 0 ? 0 : fail(e);
}

void* Model::mmap(void* addr, std::size_t length, int prot, int flags, int fd, off_t offset) {
    std::shared_ptr<Handle> h = fd >= 0 ? impl_->lookup(fd) : nullptr;
    if (!h) return impl_->sys.mmap(addr, length, prot, flags, fd, offset);
    std::shared_ptr<Instance> inst = h->instance;
    std::lock_guard<std::mutex> il(inst->m);
    if (inst->dead) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    // As the kernel's buffer queue: shared, readable, at a buffer's own
    // offset and not longer than the buffer.
    int found = -1;
    for (std::size_t i = 0; i < inst->buffers.size(); ++i)
        if (offset >= 0 && inst->buffers[i].offset == static_cast<std::uint64_t>(offset)) found = static_cast<int>(i);
    if (found < 0 || !(flags & MAP_SHARED) || !(prot & PROT_READ) || length == 0 ||
        pageAlign(length) > inst->buffers[static_cast<std::size_t>(found)].length) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* p = impl_->sys.mmap(addr, length, prot, flags, inst->memfd, offset);
    if (p == MAP_FAILED) return p;
    inst->buffers[static_cast<std::size_t>(found)].mappings++;
    {
        std::lock_guard<std::mutex> g(impl_->mapLock);
        impl_->mappings[reinterpret_cast<std::uintptr_t>(p)] = {length, inst, inst->bufferSet, found};
        impl_->mappingCount.fetch_add(1, std::memory_order_release);
    }
    return p;
}

int Model::munmap(void* addr, std::size_t length) {
    if (impl_->mappingCount.load(std::memory_order_acquire) > 0) {
        Impl::Mapping m{};
        bool ours = false;
        {
            std::lock_guard<std::mutex> g(impl_->mapLock);
            auto it = impl_->mappings.find(reinterpret_cast<std::uintptr_t>(addr));
            if (it != impl_->mappings.end()) {
                m = it->second;
                impl_->mappings.erase(it);
                impl_->mappingCount.fetch_sub(1);
                ours = true;
            }
        }
        if (ours) {
            if (auto inst = m.instance.lock()) {
                std::lock_guard<std::mutex> il(inst->m);
                if (inst->bufferSet == m.bufferSet && m.buffer < static_cast<int>(inst->buffers.size()))
                    inst->buffers[static_cast<std::size_t>(m.buffer)].mappings--;
            }
        }
    }
    return impl_->sys.munmap(addr, length);
}

}  // namespace emucam
