#include "common/time_group.h"

#include <utility>

#include "common/time_string.h"

TimeGroupStamp szTimeGroupTimestamp;

std::string TimeGroupStamp::renew() {
    std::string fresh = timeString();
    std::lock_guard<std::mutex> guard(lock_);
    value_ = std::move(fresh);
    return value_;
}

std::string TimeGroupStamp::get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
}
