#include "control/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/durable.h"
#include "common/footprint.h"
#include "common/regular_file.h"
#include "common/shell.h"
#include "common/unique_fd.h"
#include "log/debug.h"

settingTag setting;
char device_serial[60] = "UNKNOWN";

namespace {

// Raised once by raiseExitInMemory; never lowered in a running daemon.
std::atomic<bool> g_exitLatched{false};

constexpr std::size_t kSerialOffset = 16;
constexpr std::size_t kSerialMaxLength = 12;

std::int64_t getLe64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

void putLe64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Letters, digits, '-' and '_' (ASCII only).
bool serialCharacter(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Reads until `n` bytes or end of file; returns the count, or -1.
ssize_t readFully(int fd, std::uint8_t* buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd, buf + got, n - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

int settingTag::reset() {
    loadImage(Image{}.data(), kControlRecordSize);
    return 0;
}

settingTag::Image settingTag::image() const {
    Image img{};
    img[0] = alert_.load(std::memory_order_relaxed);
    img[1] = exit_.load(std::memory_order_relaxed);
    for (int i = 0; i < 6; ++i) img[2 + i] = reserved0_[i].load(std::memory_order_relaxed);
    putLe64(&img[8], static_cast<std::uint64_t>(userVideo_.load(std::memory_order_relaxed)));
    putLe64(&img[16], static_cast<std::uint64_t>(camSet_.load(std::memory_order_relaxed)));
    putLe64(&img[24], static_cast<std::uint64_t>(streamVideo_.load(std::memory_order_relaxed)));
    putLe64(&img[32], reserved1_.load(std::memory_order_relaxed));
    return img;
}

void settingTag::loadImage(const std::uint8_t* bytes, std::size_t n) {
    if (n > kControlRecordSize) n = kControlRecordSize;
    // Merge: a short image replaces only the bytes it has.
    Image img = image();
    std::memcpy(img.data(), bytes, n);
    alert_.store(img[0], std::memory_order_relaxed);
    for (int i = 0; i < 6; ++i) reserved0_[i].store(img[2 + i], std::memory_order_relaxed);
    userVideo_.store(getLe64(&img[8]), std::memory_order_relaxed);
    camSet_.store(getLe64(&img[16]), std::memory_order_relaxed);
    streamVideo_.store(getLe64(&img[24]), std::memory_order_relaxed);
    reserved1_.store(static_cast<std::uint64_t>(getLe64(&img[32])), std::memory_order_relaxed);
    exit_.store(img[1], std::memory_order_release);
}

bool settingTag::exitFlag() const {
    return g_exitLatched.load(std::memory_order_acquire) || exit_.load(std::memory_order_acquire) != 0;
}

void settingTag::raiseExitInMemory() {
    g_exitLatched.store(true, std::memory_order_release);
    exit_.store(1, std::memory_order_release);  // the record shows it too, until the next re-load
}

bool settingTag::refreshExitFlagFromFile() {
    const std::string path = footprint::resolve(footprint::kControlFile);
    cm::UniqueFd fd = cm::openRegularFile(path, O_RDONLY);
    if (!fd) return false;
    std::uint8_t flag = 0;
    ssize_t n;
    do {
        n = ::pread(fd.get(), &flag, 1, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1 || flag == 0) return false;
    raiseExitInMemory();
    return true;
}

void settingTag::clearExitLatch() { g_exitLatched.store(false, std::memory_order_release); }

void settingTag::readSettings() {
    const std::string path = footprint::resolve(footprint::kControlFile);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    cm::UniqueFd fd = cm::openRegularFile(path, O_RDWR);
    if (!fd) {
        verbos("could not read file %s!", path.c_str());
        return;
    }
    std::uint8_t buf[kControlRecordSize];
    ssize_t n = readFully(fd.get(), buf, sizeof buf);
    if (n > 0) loadImage(buf, static_cast<std::size_t>(n));
}

bool settingTag::writeSettings() {
    cm::createDirIfMissing(footprint::resolve(footprint::kHome), verbos);
    const std::string path = footprint::resolve(footprint::kControlFile);
    // The new record is written whole beside the file, synced, renamed over
    // it and the rename synced (common/durable.h): a full file system or a
    // power cut leaves the old record or the new one, never an empty or
    // half one. The file keeps its owner and permission bits. Anything but
    // a regular file at the path (a FIFO, a directory) is refused and left
    // as it is.
    struct stat old {};
    const bool present = ::stat(path.c_str(), &old) == 0;
    if (present && !S_ISREG(old.st_mode)) {
        verbos("could not create file %s!", path.c_str());
        return false;
    }
    const Image img = image();
    if (!cm::replaceFileDurably(path, img.data(), img.size(), 0644, present ? &old : nullptr)) {
        verbos("could not write file %s!", path.c_str());
        return false;
    }
    return true;
}

int removeLeftoverControlRecordTemporaries() {
    const std::string path = footprint::resolve(footprint::kControlFile);
    const int removed = cm::removeLeftoverTemporaries(path);
    if (removed > 0) verbos("removed %d unfinished copies of %s (their writers ended before completing them)", removed,
                            path.c_str());
    return removed;
}

bool settingTag::record_user_video(long long value) {
    if (userVideo_.load() == value) return true;
    userVideo_.store(value);
    return writeSettings();
}

bool settingTag::set_cams(long long value) {
    if (camSet_.load() == value) return true;
    camSet_.store(value);
    return writeSettings();
}

bool settingTag::stream_video(long long value) {
    if (streamVideo_.load() == value) return true;
    streamVideo_.store(value);
    return writeSettings();
}

bool settingTag::panic(int value) {
    alert_.store(static_cast<std::uint8_t>(value & 0xff));
    return writeSettings();
}

bool settingTag::exit(int value) {
    exit_.store(static_cast<std::uint8_t>(value & 0xff), std::memory_order_release);
    return writeSettings();
}

int settingTag::init() {
    snprintf(device_serial, sizeof device_serial, "%s", "UNKNOWN");
    int r = readBBBSerial(device_serial);
    if (r <= 0) {
        snprintf(device_serial, sizeof device_serial, "%s", "NO_EEPROM");
        return -1;
    }
    return 0;
}

int readBBBSerial(char* dst) {
    const std::string path = footprint::resolve(footprint::kEeprom);
    cm::UniqueFd fd = cm::openRegularFile(path, O_RDWR);
    if (!fd) {
        error("Can not open", path.c_str());
        return -1;
    }
    ::lseek(fd.get(), 0, SEEK_SET);
    std::uint8_t data[256] = {};
    ssize_t n = readFully(fd.get(), data, sizeof data);
    verbos("read ret = %d\n", static_cast<int>(n));
    if (n > 0) {
        dst[0] = '\0';
        std::size_t len = 0;
        for (; len < kSerialMaxLength; ++len) {
            std::uint8_t c = data[kSerialOffset + len];  // bytes not delivered are zero
            if (c == 0) break;
            // The serial names the remote directory of every upload and is
            // the deviceid of every notification URL: only the bytes a board
            // serial is made of go there, so that nothing in it can act as a
            // path ("/", "..") or as URL syntax ("&", "#", "="). Any other
            // byte (an erased, damaged or forged EEPROM) ends it.
            if (!serialCharacter(c)) {
                verbos("Device Serial: byte %d of the serial field (0x%02x) is not a letter, digit, '-' or '_', "
                       "serial cut there",
                       static_cast<int>(len), c);
                break;
            }
            dst[len] = static_cast<char>(c);
        }
        dst[len] = '\0';
    }
    verbos("Device Serial: %s", dst);
    return dst[0] != '\0' ? 1 : 0;
}

void resetSettingsForTests() {
    settingTag::clearExitLatch();  // first: while latched, a reset keeps the exit flag up
    setting.reset();
    std::snprintf(device_serial, sizeof device_serial, "%s", "UNKNOWN");
}
