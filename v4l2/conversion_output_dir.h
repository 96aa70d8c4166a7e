// The converter's private output directory: made with mkdtemp (mode 0700)
// in /tmp, so that nobody can predict, pre-empt or plant a link at the
// name of a converter's output. One per run; made anew when it has gone
// (or is no longer this user's 0700 directory). Any thread may ask for it.
#pragma once

#include <string>

inline constexpr char kOutputDirPrefix[] = "capture_module.convert.";

// The directory, made when missing; "" (with a line in the daily log)
// when it cannot be made.
std::string conversionOutputDir();

// Removes the private directories earlier runs left in /tmp: this user's
// real directories of the name pattern, never through a link, never
// `keep`. Called at start-up, before the threads.
void removeStaleConversionOutputDirs(const std::string& keep);

// Forgets this run's directory (a test's board root has gone with it).
void resetConversionOutputDirForTests();
