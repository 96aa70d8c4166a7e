#include "capture/console.h"

#include <cstdio>

namespace cm {

void printLine(const std::string& text) {
    flockfile(stdout);
    fputs_unlocked(text.c_str(), stdout);
    fputc_unlocked('\n', stdout);
    fflush_unlocked(stdout);
    funlockfile(stdout);
}

void printError(const std::string& text) {
    flockfile(stderr);
    fputs_unlocked(text.c_str(), stderr);
    fflush_unlocked(stderr);
    funlockfile(stderr);
}

}  // namespace cm
