// The daemon's process-wide state put back as a new process has it. The
// unit tests' main (test_main.cpp) calls resetDaemonState() before every
// test case, so that each test binary passes run whole and in any order
// (--gtest_shuffle), not only one case per process as CTest runs it.
//
// Each unit that owns process-wide state resets it in one function beside
// that state (resetXxxForTests, or a seam's setter given nullptr);
// daemon_state.cpp only calls them. A new global is reset where it is
// declared.
#pragma once

namespace cmtest {

// Before a case: no thread of the daemon may still run.
void resetDaemonState();

}  // namespace cmtest
