#include "common/time_string.h"

#include <cstdio>
#include <ctime>

#include "common/clock.h"

int getTimeString(char* buf) {
    timespec ts = cm::wallNow();
    time_t secs = ts.tv_sec;
    struct tm tmv {};
    if (localtime_r(&secs, &tmv) == nullptr) return 0;
    char pattern[kTimeStringBufferSize];
    if (strftime(pattern, sizeof pattern, "%Y%m%d%H%M%S_%%06u", &tmv) == 0) return 0;
    int n = snprintf(buf, kTimeStringBufferSize, pattern, static_cast<unsigned>(ts.tv_nsec / 1000));
    return n < 0 ? 0 : n;
}

std::string timeString() {
    char buf[kTimeStringBufferSize] = {};
    getTimeString(buf);
    return buf;
}

bool isTimeString(std::string_view s) {
    if (s.size() != kTimeStringLength) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (i == 14 ? s[i] != '_' : !digit) return false;
    }
    return true;
}
