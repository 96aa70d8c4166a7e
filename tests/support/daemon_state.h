// The daemon's process-wide state put back as a new process has it. The
// unit tests' main (test_main.cpp) calls resetDaemonState() before every
// test case, so that each test binary passes run whole and in any order
// (--gtest_shuffle), not only one case per process as CTest runs it.
//
// daemon_state.cpp is the one list of the daemon's globals: every global
// that a test may touch, directly or through the code under test, belongs
// there, and a new one goes into the list when it is made. A module whose
// state is its own is reset through that module's reset function, named in
// the list.
#pragma once

namespace cmtest {

// Before a case: no thread of the daemon may still run.
void resetDaemonState();

}  // namespace cmtest
