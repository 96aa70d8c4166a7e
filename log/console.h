// The console family: lines and formatted text for standard output and
// standard error, each reaching its stream in one piece whichever thread
// prints it (several threads print at once), flushed at once so that a
// line is out before the process may end. The bytes are exactly those
// given: no line end is added except by printLine. A thread whose log role
// is `queued` (log/log_writer.h) hands each piece to the log writer
// instead, and never waits on the stream.
//
// Numbers that go through concat are formatted as an output stream formats
// them (doubles with six significant digits); format and the *Formatted
// printers format as printf does.
//
// The daily log and its device and error families are log/debug.h; this is
// the plain console, for any thread.
#pragma once

#include <sstream>
#include <string>

namespace cm {

// The arguments written one after the other into a string.
template <typename... Parts>
std::string concat(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

// `fmt` formatted with the arguments as printf formats them, of any length.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// `text` as it is on standard output.
void printOut(const std::string& text);
// `text` and a line end on standard output.
void printLine(const std::string& text);
// `text` as it is on standard error.
void printError(const std::string& text);

// format(fmt, ...) on standard output / standard error, as it is.
void printOutFormatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void printErrorFormatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cm
