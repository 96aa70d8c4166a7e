#include "support/test_support.h"

#include <sys/resource.h>

#include <csignal>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/footprint.h"

namespace cmtest {

FakeClock::FakeClock(time_t startSeconds) : wallSeconds_(startSeconds - 50) {
    cm::setClockForTests(this);
}

FakeClock::~FakeClock() { cm::setClockForTests(nullptr); }

timespec FakeClock::monotonicNow() {
    std::lock_guard<std::mutex> g(lock_);
    return timespec{static_cast<time_t>(nowUs_ / 1000000), static_cast<long>((nowUs_ % 1000000) * 1000)};
}

void FakeClock::sleepFor(std::chrono::microseconds d) {
    std::function<void(const timespec&)> hook;
    {
        std::lock_guard<std::mutex> g(lock_);
        nowUs_ += d.count();
        sleptUs_ += d.count();
        hook = hook_;
    }
    if (hook) hook(monotonicNow());
}

void FakeClock::advance(std::chrono::microseconds d) {
    std::lock_guard<std::mutex> g(lock_);
    nowUs_ += d.count();
}

void FakeClock::onSleep(std::function<void(const timespec&)> hook) {
    std::lock_guard<std::mutex> g(lock_);
    hook_ = std::move(hook);
}

double FakeClock::sleptSeconds() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<double>(sleptUs_) / 1e6;
}

BoardRoot::BoardRoot() {
    char tmpl[] = "/tmp/cm-board-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    for (const char* d : {"/home/Tarvisel/log", "/home/Tarvisel/pos", "/tmp", "/sys/class/gpio",
                          "/sys/bus/i2c/devices/1-0050", "/usr/bin"})
        makeDirs(dir_ + d);
    writeFile(dir_ + "/sys/class/gpio/export", "");
    setenv("CAPTURE_MODULE_ROOT", dir_.c_str(), 1);
    footprint::reloadRootFromEnvironment();
}

BoardRoot::~BoardRoot() {
    unsetenv("CAPTURE_MODULE_ROOT");
    footprint::reloadRootFromEnvironment();
    removeTree(dir_);
}

void BoardRoot::addGpioPin(int pin, const std::string& value) {
    std::string d = dir_ + "/sys/class/gpio/gpio" + std::to_string(pin);
    makeDirs(d);
    writeFile(d + "/direction", "in");
    writeFile(d + "/value", value);
}

void BoardRoot::setGpioValue(int pin, const std::string& value) {
    writeFile(dir_ + "/sys/class/gpio/gpio" + std::to_string(pin) + "/value", value);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

void makeDirs(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        ::mkdir(cur.c_str(), 0755);
    }
}

void removeTree(const std::string& path) {
    if (path.size() < 6) return;  // never anything like "/" or "/tmp"
    std::string cmd = "rm -rf '" + path + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

const char* threadedDeathTestStyle() {
    const char* style = std::getenv("GTEST_DEATH_TEST_STYLE");
    return style != nullptr && *style != '\0' ? style : "threadsafe";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) lines.push_back(line);
    return lines;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size())) ++n;
    return n;
}

bool eventually(const std::function<bool()>& done, double seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

FileSizeLimit::FileSizeLimit(unsigned long long bytes) {
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    savedCur_ = saved.rlim_cur;
    savedMax_ = saved.rlim_max;
    previous_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit{static_cast<rlim_t>(bytes), saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit saved{static_cast<rlim_t>(savedCur_), static_cast<rlim_t>(savedMax_)};
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous_);
}

}  // namespace cmtest
