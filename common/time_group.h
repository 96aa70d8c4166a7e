// The time-group stamp: a time string taken at start-up and at the start of
// every clip run. The video creation thread renews it while the V4L2
// workers put it into the names of the files they save, so it is kept
// behind a lock and handed out by value.
#pragma once

#include <mutex>
#include <string>

class TimeGroupStamp {
public:
    // Takes a new time string; returns it.
    std::string renew();
    std::string get() const;

private:
    mutable std::mutex lock_;
    std::string value_;
};

extern TimeGroupStamp szTimeGroupTimestamp;
