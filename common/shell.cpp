#include "common/shell.h"

#include <cstdlib>

namespace cm {

int runShell(const std::string& command) { return std::system(command.c_str()); }

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

}  // namespace cm
