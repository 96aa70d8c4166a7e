#include "board/gpio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/footprint.h"
#include "common/regular_file.h"
#include "log/console.h"
#include "log/debug.h"

std::atomic<int> gpio_states[kGpioPinCount] = {};

namespace {

std::string gpioPath(const char* leaf) { return footprint::resolve(footprint::kGpioDir) + leaf; }

std::string pinPath(int pin, const char* leaf) {
    char rel[48];
    snprintf(rel, sizeof rel, "/gpio%d/%s", pin, leaf);
    return gpioPath(rel);
}

// The sysfs files are opened as fopen() would with `mode`, but only when
// they are regular files (sysfs attributes are) and never waiting: a FIFO
// in their place would hold the thread for good.
FILE* openSysfs(const std::string& path, const char* mode) {
    int flags = 0;
    if (std::strcmp(mode, "r") == 0) flags = O_RDONLY;
    else if (std::strcmp(mode, "ab") == 0) flags = O_WRONLY | O_CREAT | O_APPEND;
    else if (std::strcmp(mode, "a+") == 0) flags = O_RDWR | O_CREAT | O_APPEND;
    else flags = O_RDWR;  // "rb+"
    return cm::fopenRegularFile(path, flags, mode);
}

// Writes `text` into `path` opened with `mode`; false when it cannot be opened.
bool writeText(const std::string& path, const char* mode, const char* text) {
    FILE* f = openSysfs(path, mode);
    if (f == nullptr) return false;
    fputs(text, f);
    fclose(f);
    return true;
}

bool exportPin(int pin) {
    char num[8];
    snprintf(num, sizeof num, "%d", pin);  // at most 3 digits for a valid pin
    return writeText(gpioPath("/export"), "ab", num);
}

bool setDirection(int pin, const char* direction) { return writeText(pinPath(pin, "direction"), "rb+", direction); }

// One decimal integer at the start of `text` (after blanks); false if none.
bool parseDecimal(const char* text, int& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < -2147483647L - 1 || v > 2147483647L) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

void initGPIOs() {
    for (auto& state : gpio_states) state.store(-1, std::memory_order_relaxed);
}

int setGPIO(int pin, const char* direction, int value) {
    if (pin < 0 || pin >= kGpioPinCount) {
        dbg("invalid GPIO PIN %d", pin);
        return 1;
    }
    int state = gpio_states[pin].load(std::memory_order_relaxed);
    if (value == state) return 0;
    if (state == -1) {
        if (!exportPin(pin)) cm::printLine("Cannot export the GPIO pin.");
        if (!setDirection(pin, direction)) cm::printLine("Cannot open direction handle.");
    }
    FILE* f = openSysfs(pinPath(pin, "value"), "a+");
    if (f == nullptr) {
        cm::printLine("Cannot open value handle.");
        gpio_states[pin].store(-1, std::memory_order_relaxed);
        return 1;
    }
    fprintf(f, "%d", value);
    fclose(f);
    gpio_states[pin].store(value, std::memory_order_relaxed);
    return 0;
}

int getGPIO(int pin) {
    if (pin < 0 || pin >= kGpioPinCount) {
        dbg("invalid GPIO PIN %d", pin);
        return -1;
    }
    if (gpio_states[pin].load(std::memory_order_relaxed) == -1) {
        if (!exportPin(pin)) {
            cm::printLine("Cannot export the GPIO pin.");
            return -1;
        }
        if (!setDirection(pin, "in")) {
            cm::printLine("Cannot open direction handle.");
            return -1;
        }
        gpio_states[pin].store(0, std::memory_order_relaxed);
    }
    FILE* f = openSysfs(pinPath(pin, "value"), "r");
    if (f == nullptr) {
        cm::printLine("Cannot open value handle.");
        gpio_states[pin].store(-1, std::memory_order_relaxed);
        return -1;
    }
    char text[32] = {};
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    int value = -1;
    if (!parseDecimal(text, value)) return -1;
    return value;
}

int getGPIO(int bank, int line) { return getGPIO(32 * bank + line); }

void resetGpioForTests() {
    for (auto& s : gpio_states) s.store(0);
}
