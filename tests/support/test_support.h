// Helpers for the unit tests.
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/clock.h"

namespace cmtest {

// A clock whose time moves only when somebody sleeps on it (or a test
// advances it): minutes of the device's life pass in microseconds.
class FakeClock final : public cm::Clock {
public:
    explicit FakeClock(time_t startSeconds = 1700000000);
    ~FakeClock() override;  // restores the system clock

    timespec monotonicNow() override;
    timespec wallNow() override { return stepped(monotonicNow()); }
    void stepWall(std::chrono::seconds d) { std::lock_guard<std::mutex> g(lock_); wallSeconds_ += d.count(); }  // as NTP
    void sleepFor(std::chrono::microseconds d) override;
    void advance(std::chrono::microseconds d);

    // Called (outside the clock's lock) after every sleep, with monotonicNow().
    void onSleep(std::function<void(const timespec&)> hook);
    // Seconds slept through so far, in total.
    double sleptSeconds() const;

private:
    timespec stepped(timespec t) { std::lock_guard<std::mutex> g(lock_); t.tv_sec += wallSeconds_; return t; }
    mutable std::mutex lock_;
    long long nowUs_ = 50000000;  // monotonic: from 50 s, as on a board shortly after boot
    time_t wallSeconds_;          // wall minus monotonic
    long long sleptUs_ = 0;
    std::function<void(const timespec&)> hook_;
};

// An emulated board root in a fresh temporary directory, made the process's
// root (CAPTURE_MODULE_ROOT) for the life of the object: "/home/Tarvisel"
// with "log" and "pos", "/tmp", the EEPROM's directory and a sysfs GPIO tree.
class BoardRoot {
public:
    BoardRoot();
    ~BoardRoot();
    BoardRoot(const BoardRoot&) = delete;
    BoardRoot& operator=(const BoardRoot&) = delete;

    const std::string& dir() const { return dir_; }
    // `path` (a board path such as "/home/Tarvisel/x") inside this root.
    std::string path(const std::string& boardPath) const { return dir_ + boardPath; }

    // Makes gpio<pin>/{direction,value} exist with `value`.
    void addGpioPin(int pin, const std::string& value);
    void setGpioValue(int pin, const std::string& value);

private:
    std::string dir_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
std::vector<std::string> listDir(const std::string& dir);
void makeDirs(const std::string& path);
void removeTree(const std::string& path);

// The death test style for tests whose process has threads: "threadsafe"
// (re-executes the test binary), unless GTEST_DEATH_TEST_STYLE says
// otherwise, as it must under user-mode emulation, which cannot execute a
// foreign binary directly.
const char* threadedDeathTestStyle();

// A full file system, for as long as the object lives: no file of the
// process may grow past `bytes` (writes beyond it are short, as on a full
// disk; SIGXFSZ is ignored meanwhile). Captured console streams are files
// too, so they are held to the same limit.
class FileSizeLimit {
public:
    explicit FileSizeLimit(unsigned long long bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    unsigned long long savedCur_ = 0, savedMax_ = 0;
    void (*previous_)(int) = nullptr;
};

// Lines of `text`.
std::vector<std::string> splitLines(const std::string& text);
// Occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);

// Waits, in real time and at most `seconds`, until `done` holds; whether it
// came to hold.
bool eventually(const std::function<bool()>& done, double seconds = 20);

}  // namespace cmtest
