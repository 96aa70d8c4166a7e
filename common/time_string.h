#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t kTimeStringBufferSize = 64;
// Length of a time string: "YYYYmmddHHMMSS_uuuuuu".
inline constexpr std::size_t kTimeStringLength = 21;

// Writes the current local time as "YYYYmmddHHMMSS_uuuuuu" (21 characters)
// into `buf` (64 characters) and returns the length written, or writes
// nothing and returns 0 when the local time cannot be broken down.
int getTimeString(char* buf);

// getTimeString as a string ("" when the local time cannot be broken down).
std::string timeString();

// True when `s` has the shape getTimeString writes, and nothing more: 14
// digits, '_', 6 digits. The digits are not checked as a calendar date.
bool isTimeString(std::string_view s);
