// Where the default capture start hands over to the direct V4L2 path
// ("-usb" or DIP switch 6): initCaptureFromCamThread calls
// initCaptureThread(N) for the devices 0 to 3. The recording-cycle unit of
// this folder defines it.
//
// The declaration is weak only while that unit is not part of the build, so
// that the daemon links and reports the missing path instead of failing to
// link. A weak reference does not pull an object out of the static
// capture_core library: the unit that defines initCaptureThread must drop
// the attribute here when it lands (and nothing else needs to change).
#pragma once

// Starts the worker thread of device N; 0 on success, 1 on failure.
int initCaptureThread(int N) __attribute__((weak));
