// Console lines of the capture threads and the clip writer. Four cameras'
// worth of threads print at once, so each line reaches its stream in one
// piece; numbers are formatted as an output stream formats them (doubles
// with six significant digits).
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

// `text` and a line end on standard output.
void printLine(const std::string& text);
// `text` as it is (no line end added) on standard error.
void printError(const std::string& text);

}  // namespace cm
