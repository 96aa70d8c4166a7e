// The main of every unit test binary: Google Test's, plus the reset of the
// daemon's process-wide state before each test case (daemon_state.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/daemon_state.h"

namespace {

class DaemonStateReset final : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override { cmtest::resetDaemonState(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new DaemonStateReset);
    return RUN_ALL_TESTS();
}
