#include "capture/video_creation.h"

std::atomic<long long> lPreviousUserVideoCommandTimestamp{0};
std::atomic<int> g_nSaveType{0};
