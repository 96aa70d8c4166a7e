// Console lines, each reaching its stream in one piece whichever thread
// prints it (several threads print at once); numbers are formatted as an
// output stream formats them (doubles with six significant digits).
// Nothing here is particular to capture: the helpers suit any thread. Today
// the picture capture loop (capture threads) and the clip writer (video
// creation thread) use them; board/ and app/ still have one-line printers
// of their own.
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
