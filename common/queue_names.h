// Names in the upload queue directory. A producer writes a file under an
// in-progress name (its final name behind kInProgressPrefix, in the same
// directory) and renames it to the final name once it is complete; the
// upload walk never takes an in-progress name, so it never uploads (and
// deletes) a file that is still being written. The rename is atomic because
// both names lie in the same directory.
#pragma once

#include <string>
#include <string_view>

inline constexpr char kInProgressPrefix[] = ".incomplete.";

// True when `fileName` (the last path component) is an in-progress name.
bool isInProgressName(std::string_view fileName);

// "<dir>/.incomplete.<name>" for the final path "<dir>/<name>".
std::string inProgressPathFor(std::string_view finalPath);
