#include "common/shell.h"

#include <sys/stat.h>

#include "common/child_process.h"

namespace cm {

int runShell(const std::string& command) { return runChild({"/bin/sh", "-c", command}); }

namespace {
bool plainShellChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '_': case '-': case '.': case '/': case ':': case '=': case '+': case ',': case '@': case '%':
            return true;
        default:
            return false;
    }
}
}  // namespace

std::string shellQuote(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word) plain = plain && plainShellChar(c);
    if (plain) return std::string(word);
    std::string out = "'";
    for (char c : word) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

bool createDirIfMissing(const std::string& dir, void (*announce)(const char* line)) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return false;
    announce(("Save dir not found.. creating " + dir).c_str());
    runShell("mkdir -p " + shellQuote(dir));
    return true;
}

}  // namespace cm
