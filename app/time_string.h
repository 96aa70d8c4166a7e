#pragma once

#include <cstddef>

inline constexpr std::size_t kTimeStringBufferSize = 64;

// Writes the current local time as "YYYYmmddHHMMSS_uuuuuu" (21 characters)
// into `buf` (64 characters) and returns the length written, or writes
// nothing and returns 0 when the local time cannot be broken down.
int getTimeString(char* buf);
