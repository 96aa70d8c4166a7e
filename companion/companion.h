#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Parses a decimal 64-bit integer (optional sign, nothing else); nullopt
// for anything else, including values out of range.
std::optional<long long> parseInt64(const std::string& text);

// A stream-video stamp whose last decimal digit is `mode` (0..9) and which
// differs from `previous`, derived from `nowSeconds`.
long long nextStreamStamp(long long previous, int mode, long long nowSeconds);

// A user-video command value that differs from `previous` and is not 0.
long long nextUserVideoCommand(long long previous, long long nowMicros);

// URLs of the records of a notification queue file's content, skipping
// empty slots (torn records that the daemon zeroed); `trailing` gets the
// number of bytes after the last whole record (an append in progress).
std::vector<std::string> notificationUrls(const std::string& content, std::size_t& trailing);

// The tool; returns the process status (0 done, 2 bad usage, 1 failure).
int companionMain(int argc, char** argv);
