#include "v4l2/mp4_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "common/sys_error.h"
#include "common/unique_fd.h"

namespace {

std::uint64_t bigEndian(const unsigned char* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

// Walks the top-level boxes of a file of `length` bytes; `read(at, buf, n)`
// reads n bytes at offset `at` and says whether it could.
bool walkBoxes(std::uint64_t length, const std::function<bool(std::uint64_t, unsigned char*, std::size_t)>& read,
               std::string& why) {
    if (length == 0) {
        why = "empty file";
        return false;
    }
    bool ftyp = false, moov = false;
    std::uint64_t at = 0;
    while (at < length) {
        unsigned char h[16];
        if (length - at < 8 || !read(at, h, 8)) {
            why = "a box header cut off at byte " + std::to_string(at);
            return false;
        }
        std::uint64_t size = bigEndian(h, 4);
        std::uint64_t header = 8;
        if (size == 1) {
            if (length - at < 16 || !read(at + 8, h + 8, 8)) {
                why = "a box header cut off at byte " + std::to_string(at);
                return false;
            }
            size = bigEndian(h + 8, 8);
            header = 16;
        } else if (size == 0) {
            size = length - at;  // the last box, to the end of the file
        }
        if (size < header || size > length - at) {
            why = "a box of " + std::to_string(size) + " bytes at byte " + std::to_string(at) + " in a file of " +
                  std::to_string(length);
            return false;
        }
        if (std::memcmp(h + 4, "ftyp", 4) == 0) ftyp = true;
        if (std::memcmp(h + 4, "moov", 4) == 0) moov = true;
        at += size;
    }
    if (!ftyp || !moov) {
        why = !ftyp ? "no 'ftyp' box" : "no 'moov' box";
        return false;
    }
    return true;
}

}  // namespace

bool isWholeMp4Data(std::string_view data, std::string& why) {
    return walkBoxes(
        data.size(),
        [&](std::uint64_t at, unsigned char* buf, std::size_t n) {
            if (at + n > data.size()) return false;
            std::memcpy(buf, data.data() + at, n);
            return true;
        },
        why);
}

bool isWholeMp4File(const std::string& path, std::string& why) {
    cm::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        why = cm::errnoText(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "not a regular file";
        return false;
    }
    return walkBoxes(
        static_cast<std::uint64_t>(st.st_size),
        [&](std::uint64_t at, unsigned char* buf, std::size_t n) {
            ssize_t got;
            do {
                got = ::pread(fd.get(), buf, n, static_cast<off_t>(at));
            } while (got < 0 && errno == EINTR);
            return got == static_cast<ssize_t>(n);
        },
        why);
}
