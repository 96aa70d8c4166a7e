// GPIO lines through the Linux sysfs interface ("/sys/class/gpio"): a line
// is exported and given its direction the first time this process uses it,
// then only its value file is opened. Every access opens and closes the
// sysfs files again; nothing stays open. A file of the tree that is not a
// regular file (a FIFO, say) counts as one that cannot be opened, and no
// open waits on it.
#pragma once

#include <atomic>

inline constexpr int kGpioPinCount = 200;  // valid pins 0..199

// Per pin: -1 = not set up by this process; otherwise the last value
// written by setGPIO, or 0 once getGPIO has exported the line as an input.
// At process start every entry is 0 (counts as set up) until initGPIOs.
extern std::atomic<int> gpio_states[kGpioPinCount];

// Every pin state to -1.
void initGPIOs();

// Sets the pin up with `direction` if needed and writes `value`.
// 0 = written or unchanged, 1 = failed.
int setGPIO(int pin, const char* direction, int value);

// Sets the pin up as an input if needed and reads its value; -1 on failure.
int getGPIO(int pin);
int getGPIO(int bank, int line);

// Every pin's state back to 0.
void resetGpioForTests();
