#include "capture/time_group.h"

#include "app/time_string.h"

TimeGroupStamp szTimeGroupTimestamp;

std::string TimeGroupStamp::renew() {
    char buf[kTimeStringBufferSize] = {};
    getTimeString(buf);
    std::lock_guard<std::mutex> guard(lock_);
    value_ = buf;
    return value_;
}

std::string TimeGroupStamp::get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
}
