#include "capture/video_creation.h"

std::atomic<long long> lPreviousUserVideoCommandTimestamp{0};
