#include <cstdio>

#include "app/startup.h"

int main(int argc, char** argv) {
    // The daemon's output goes to a pipe or the journal: keep it line by line.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    runCaptureModule(argc, argv);
}
