// The command line's options, applied to the run configuration
// (common/run_config.h) by main before the first worker thread starts.
#pragma once

// Applies every option key found in `arg` (substring matching, in table
// order). Returns 827 when the argument asks the process to end at once
// ("-exit"), else 0.
int applyArgument(const char* arg);
