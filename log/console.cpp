#include "log/console.h"

#include <cstdarg>
#include <cstdio>

namespace cm {

namespace {

std::string vformat(const char* fmt, va_list ap) {
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), fmt, again);
        out.resize(static_cast<std::size_t>(n));
    }
    va_end(again);
    return out;
}

// One fwrite per piece: the stream's own lock keeps it whole.
void writeWhole(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

void printOut(const std::string& text) { writeWhole(stdout, text); }

void printLine(const std::string& text) { writeWhole(stdout, text + '\n'); }

void printError(const std::string& text) { writeWhole(stderr, text); }

void printOutFormatted(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeWhole(stdout, vformat(fmt, ap));
    va_end(ap);
}

void printErrorFormatted(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeWhole(stderr, vformat(fmt, ap));
    va_end(ap);
}

}  // namespace cm
