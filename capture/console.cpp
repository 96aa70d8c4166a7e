#include "capture/console.h"

#include <cstdio>

namespace cm {

// One fwrite per line: the stream's own lock keeps it in one piece.
void printLine(const std::string& text) {
    std::string line = text;
    line += '\n';
    fwrite(line.data(), 1, line.size(), stdout);
    fflush(stdout);
}

void printError(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stderr);
    fflush(stderr);
}

}  // namespace cm
