// Helpers for the upload tests: the test FTP server as a child process, the
// upload tool of the emulated board, and the notification file read back.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace uploadtest {

// emulation/ftp_server.py run by Debian's Python, on 127.0.0.1:21, serving
// `dir`. Commands go to its standard input, answers come back line by line.
class FtpServerProcess {
public:
    // Starts the process; with `up` the server listens before this returns.
    // A server that cannot listen throws with its reason.
    FtpServerProcess(const std::string& dir, bool up = true);
    ~FtpServerProcess();
    FtpServerProcess(const FtpServerProcess&) = delete;
    FtpServerProcess& operator=(const FtpServerProcess&) = delete;

    void stop();                               // down: connections refused
    void start();                              // up again on the same address
    void refuseLogins(bool refuse);
    void slow(int bytesPerSecond);             // 0: full speed
    void hold(bool held);                      // held: uploads are not read until released

    const std::string& dir() const { return dir_; }
    // The paths of the "stored ..." and "receiving ..." reports seen so far.
    std::vector<std::string> stored();
    std::vector<std::string> receiving();

private:
    std::string command(const std::string& line, const std::string& answerPrefix);
    std::string readLine(int timeoutMs);
    void readReportsSoFar();
    bool takeReport(const std::string& line);
    void bringUp();

    std::string dir_;
    pid_t pid_ = -1;
    int toServer_ = -1;
    int fromServer_ = -1;
    std::string pending_;
    std::vector<std::string> stored_;
    std::vector<std::string> receiving_;
};

// What stands at "/usr/bin/ncftpput" in the emulated board.
enum class Tool {
    Real,         // Debian's ncftpput
    QuickRedial,  // the same with its redial pauses cut short (server down)
    Recorder,     // records its arguments in <root>/tool-calls, exits with <root>/tool-status (default 1)
};
void installUploadTool(const cmtest::BoardRoot& root, Tool tool);

// The argument lists the recorder received, one list per call.
std::vector<std::vector<std::string>> recordedCalls(const cmtest::BoardRoot& root);

// The URLs of the notification file's records, in order. Fails the current
// test when the file is not a whole number of well-formed records.
std::vector<std::string> notificationUrls(const std::string& path);

// Makes `dir` the working directory for the life of the object (where a
// command line that a shell wrongly ran would leave its files).
class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(const std::string& dir);
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

private:
    std::string old_;
};

// The source tree (for emulation/ tools).
std::string sourceDir();

}  // namespace uploadtest
