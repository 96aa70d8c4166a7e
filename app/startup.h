// Start-up: from the command line to the running threads, and the main
// wait for the exit flag.
#pragma once

// After the last argument: DIP switch 5 (NTSC) and 6 (direct V4L2 path),
// read before initVars while the pin table still holds its process-start
// zeros (so the value files are read without export; a failed read counts
// as on), then "-noresize".
void applySwitchOverrides();

// The initialisation sequence (control record, time group, GPIO table,
// input selection, device serial, control file, base directory tree,
// switches, one-by-one state). Returns the shell status of the directory
// command. With "-normtest" the tree is never built through a link planted
// at "/tmp/normtest" (see normTestBase in startup.cpp).
int initVars();

// The main wait: returns once the exit flag is up, testing it every
// 500 ms. Besides the in-memory flag it looks at the flag in the control
// file itself, so that the companion's exit request ends the process within
// about 4 s even while the threads that re-load the record are paused.
void waitForExitRequest();

// The whole life of the process; returns only by ending it.
[[noreturn]] void runCaptureModule(int argc, char** argv);
