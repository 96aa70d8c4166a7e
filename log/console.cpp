#include "log/console.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

#include "log/log_writer.h"

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

// One fwrite per piece: the stream's own lock keeps it whole. A queued
// thread hands the piece to the log writer instead (log/log_writer.h).
void writeNow(LogSink sink, const std::string& text) {
    FILE* stream = sink == LogSink::standardError ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

void writePiece(const LogPiece& p) { writeNow(p.sink, p.text); }

void writeWhole(LogSink sink, std::string text) {
    if (threadLogRole() == LogRole::queued)
        handToLogWriter(LogPiece{sink, std::move(text), {}, 0, writePiece});
    else
        writeNow(sink, text);
}

}  // namespace

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

void printOut(const std::string& text) { writeWhole(LogSink::standardOutput, text); }

void printLine(const std::string& text) { writeWhole(LogSink::standardOutput, text + '\n'); }

void printError(const std::string& text) { writeWhole(LogSink::standardError, text); }

void printOutFormatted(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeWhole(LogSink::standardOutput, vformat(fmt, ap));
    va_end(ap);
}

void printErrorFormatted(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    writeWhole(LogSink::standardError, vformat(fmt, ap));
    va_end(ap);
}

}  // namespace cm
