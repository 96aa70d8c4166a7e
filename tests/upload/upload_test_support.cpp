#include "upload_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "upload/positionurl.h"

extern char** environ;

namespace uploadtest {

std::string sourceDir() { return CM_TEST_SOURCE_DIR; }

ScopedWorkingDirectory::ScopedWorkingDirectory(const std::string& dir) {
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr) old_ = buf;
    if (chdir(dir.c_str()) != 0) throw std::runtime_error("chdir " + dir + " failed");
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    if (old_.empty() || chdir(old_.c_str()) != 0) {
        if (chdir("/") != 0) ADD_FAILURE() << "no working directory to go back to";
    }
}

FtpServerProcess::FtpServerProcess(const std::string& dir, bool up) : dir_(dir) {
    cmtest::makeDirs(dir_);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::string log = dir_ + ".log";
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::string script = sourceDir() + "/emulation/ftp_server.py";
    std::vector<std::string> args = {"/usr/bin/python3", script, dir_, "--down"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toServer_ = in[1];
    fromServer_ = out[0];
    if (rc != 0) throw std::runtime_error("could not start the test FTP server");
    if (readLine(10000) != "down") throw std::runtime_error("the test FTP server did not come up");
    if (up) bringUp();
}

FtpServerProcess::~FtpServerProcess() {
    if (toServer_ >= 0) {
        ssize_t w = ::write(toServer_, "quit\n", 5);
        (void)w;
        ::close(toServer_);
    }
    if (pid_ > 0) {
        int status = 0;
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    if (fromServer_ >= 0) ::close(fromServer_);
}

std::string FtpServerProcess::readLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (!takeReport(line)) return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{fromServer_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[512];
        ssize_t n = ::read(fromServer_, buf, sizeof buf);
        if (n <= 0) return {};
        pending_.append(buf, static_cast<size_t>(n));
    }
}

std::string FtpServerProcess::command(const std::string& line, const std::string& answerPrefix) {
    std::string text = line + "\n";
    if (::write(toServer_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        throw std::runtime_error("the test FTP server is gone");
    std::string answer = readLine(10000);
    if (answer.rfind(answerPrefix, 0) != 0)
        throw std::runtime_error("test FTP server: '" + line + "' answered '" + answer + "'");
    return answer;
}

void FtpServerProcess::bringUp() {
    // The tests of port 21 have a network of their own or take turns on it:
    // a port in use is something else on this machine, so say what.
    std::string answer = command("start", "");
    if (answer.rfind("ready ", 0) != 0) throw std::runtime_error("test FTP server could not listen: " + answer);
}

void FtpServerProcess::stop() { command("stop", "stopped"); }
void FtpServerProcess::start() { bringUp(); }
void FtpServerProcess::refuseLogins(bool refuse) { command(refuse ? "refuse" : "accept", "ok"); }
void FtpServerProcess::slow(int bytesPerSecond) { command("slow " + std::to_string(bytesPerSecond), "ok"); }
void FtpServerProcess::hold(bool held) { command(held ? "hold" : "release", "ok"); }

bool FtpServerProcess::takeReport(const std::string& line) {
    for (auto [prefix, seen] : {std::pair{std::string("stored "), &stored_}, {std::string("receiving "), &receiving_}}) {
        if (line.rfind(prefix, 0) == 0) {
            seen->push_back(line.substr(prefix.size()));
            return true;
        }
    }
    return false;
}

// Picks up the reports that arrived since the last command.
void FtpServerProcess::readReportsSoFar() {
    for (;;) {
        pollfd p{fromServer_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        char buf[512];
        ssize_t n = ::read(fromServer_, buf, sizeof buf);
        if (n <= 0) break;
        pending_.append(buf, static_cast<size_t>(n));
    }
    size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        takeReport(pending_.substr(0, nl));
        pending_.erase(0, nl + 1);
    }
}

std::vector<std::string> FtpServerProcess::stored() {
    readReportsSoFar();
    return stored_;
}

std::vector<std::string> FtpServerProcess::receiving() {
    readReportsSoFar();
    return receiving_;
}

void installUploadTool(const cmtest::BoardRoot& root, Tool tool) {
    std::string path = root.path("/usr/bin/ncftpput");
    ::unlink(path.c_str());
    switch (tool) {
        case Tool::Real:
            if (symlink("/usr/bin/ncftpput", path.c_str()) != 0) throw std::runtime_error("symlink failed");
            break;
        case Tool::QuickRedial: {
            std::string target = sourceDir() + "/emulation/ncftpput_quick_redial";
            if (symlink(target.c_str(), path.c_str()) != 0) throw std::runtime_error("symlink failed");
            break;
        }
        case Tool::Recorder:
            cmtest::writeFile(path,
                              "#!/bin/sh\n"
                              "root=" + root.dir() + "\n"
                              "for a in \"$@\"; do printf '%s\\0' \"$a\"; done >> \"$root/tool-calls\"\n"
                              "printf '\\001' >> \"$root/tool-calls\"\n"
                              "status=1\n"
                              "[ -f \"$root/tool-status\" ] && status=$(cat \"$root/tool-status\")\n"
                              "exit \"$status\"\n");
            ::chmod(path.c_str(), 0755);
            break;
    }
}

std::vector<std::vector<std::string>> recordedCalls(const cmtest::BoardRoot& root) {
    std::string data = cmtest::readFile(root.dir() + "/tool-calls");
    std::vector<std::vector<std::string>> calls;
    std::vector<std::string> args;
    std::string cur;
    for (char c : data) {
        if (c == '\1') {
            calls.push_back(args);
            args.clear();
        } else if (c == '\0') {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    return calls;
}

std::vector<std::string> notificationUrls(const std::string& path) {
    std::string data = cmtest::readFile(path);
    std::vector<std::string> urls;
    EXPECT_EQ(data.size() % kNotificationRecordSize, 0u) << "the file is not a whole number of records";
    for (size_t at = 0; at + kNotificationRecordSize <= data.size(); at += kNotificationRecordSize) {
        const char* rec = data.data() + at;
        EXPECT_EQ(std::memcmp(rec, "\0\0\0\0", 4), 0) << "record at " << at << ": reserved word not 0";
        const char* url = rec + 4;
        size_t len = strnlen(url, kNotificationUrlField);
        EXPECT_LT(len, kNotificationUrlField) << "record at " << at << ": URL not terminated";
        for (size_t i = len; i < kNotificationUrlField; ++i) {
            if (url[i] != '\0') {
                ADD_FAILURE() << "record at " << at << ": byte " << (4 + i) << " behind the URL is not 0";
                break;
            }
        }
        urls.emplace_back(url, len);
    }
    return urls;
}

}  // namespace uploadtest
