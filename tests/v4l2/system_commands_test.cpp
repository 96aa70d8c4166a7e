#include "v4l2/system_commands.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "control/settings.h"
#include "support/test_support.h"

namespace {

using cmtest::countOf;
using cmtest::readFile;

class SystemCommandsTest : public testing::Test {
protected:
    void SetUp() override {
        settingTag::clearExitLatch();  // a test before may have raised it
        setting.reset();
        testing::internal::CaptureStdout();
    }
    std::string output() { return testing::internal::GetCapturedStdout(); }
    cmtest::BoardRoot root;
    std::string log = root.path("/tmp/order.txt");
};

TEST_F(SystemCommandsTest, CommandsRunOneAPassInTheOrderOfAppendingThoseAheadFirst) {
    using Turn = SystemCommandQueue::Turn;
    system_commands.append("echo first >> " + log, {}, {}, 0, Turn::ahead);
    system_commands.append("echo third >> " + log);
    system_commands.append("echo second >> " + log, {}, {}, 0, Turn::ahead);

    ASSERT_TRUE(runNextSystemCommand());
    EXPECT_EQ(readFile(log), "first\n");
    EXPECT_EQ(system_commands.size(), 2u);
    ASSERT_TRUE(runNextSystemCommand());
    ASSERT_TRUE(runNextSystemCommand());
    EXPECT_FALSE(runNextSystemCommand());
    EXPECT_EQ(readFile(log), "first\nsecond\nthird\n");

    std::string out = output();
    std::string expected = "cmds waiting: 3\nrunning cmd: echo first >> " + log + "\ncmd result: 0\n" +
                           "cmds waiting: 2\nrunning cmd: echo second >> " + log + "\ncmd result: 0\n" +
                           "cmds waiting: 1\nrunning cmd: echo third >> " + log + "\ncmd result: 0\n";
    EXPECT_EQ(out, expected);
}

TEST_F(SystemCommandsTest, FailingCommandsReportTheRawWaitStatusAndTheQueueGoesOn) {
    system_commands.append("no_such_program_anywhere_4711");
    system_commands.append("exit 3");
    system_commands.append("echo after >> " + log);
    while (runNextSystemCommand()) {
    }
    std::string out = output();
    EXPECT_NE(out.find("running cmd: no_such_program_anywhere_4711\ncmd result: 32512\n"), std::string::npos) << out;
    EXPECT_NE(out.find("running cmd: exit 3\ncmd result: 768\n"), std::string::npos) << out;
    EXPECT_EQ(readFile(log), "after\n");
}

TEST_F(SystemCommandsTest, AClaimHoldsWhileQueuedAndWhileRunningAndEndsWithTheCommand) {
    const std::string fifo = root.path("/tmp/gate");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    system_commands.append("cat " + fifo + " > /dev/null", "/tmp/a.raw");
    EXPECT_TRUE(system_commands.isTagged("/tmp/a.raw"));
    EXPECT_FALSE(system_commands.isTagged("/tmp/b.raw"));
    EXPECT_FALSE(system_commands.isTagged(""));

    std::thread runner([] { runNextSystemCommand(); });
    // The command has been taken out and blocks on the gate. The queue must
    // stay usable: its lock is not held while a command runs.
    while (system_commands.size() != 0) std::this_thread::yield();
    system_commands.append("true", "/tmp/b.raw");
    EXPECT_EQ(system_commands.size(), 1u);
    EXPECT_TRUE(system_commands.isTagged("/tmp/b.raw"));
    EXPECT_TRUE(system_commands.isTagged("/tmp/a.raw"));  // running
    {
        std::ofstream gate(fifo);
        gate << "go\n";
    }
    runner.join();
    EXPECT_FALSE(system_commands.isTagged("/tmp/a.raw"));
    EXPECT_TRUE(system_commands.isTagged("/tmp/b.raw"));
    output();
}

TEST_F(SystemCommandsTest, ADeferredCommandWaitsForItsTimeHoldsNothingBackAndCompletesWithItsStatus) {
    while (runNextSystemCommand()) {
    }
    output();
    testing::internal::CaptureStdout();
    cmtest::FakeClock clock;
    const double now = SystemCommandQueue::clockSeconds();
    std::vector<int> statuses;
    system_commands.append("exit 2", "/tmp/later.raw", [&](int s) { statuses.push_back(s); }, now + 60);
    system_commands.append("echo now >> " + log, "", [&](int s) { statuses.push_back(s); });
    ASSERT_TRUE(runNextSystemCommand());
    EXPECT_EQ(readFile(log), "now\n");
    EXPECT_FALSE(runNextSystemCommand());
    EXPECT_TRUE(system_commands.isTagged("/tmp/later.raw"));
    clock.advance(std::chrono::seconds(60));
    ASSERT_TRUE(runNextSystemCommand());
    EXPECT_EQ(statuses, (std::vector<int>{0, 512}));
    EXPECT_FALSE(system_commands.isTagged("/tmp/later.raw"));
    EXPECT_EQ(countOf(output(), "cmds waiting: 2\n"), 1);
}

TEST_F(SystemCommandsTest, ThreadWithAnEmptyQueueWritesNothingAndPassesOncePerSecond) {
    cmtest::FakeClock clock;
    int sleeps = 0;
    clock.onSleep([&](const timespec&) {
        if (++sleeps == 5) setting.raiseExitInMemory();
    });
    doSystemCommands(nullptr);
    EXPECT_EQ(sleeps, 5);
    EXPECT_DOUBLE_EQ(clock.sleptSeconds(), 5.0);
    EXPECT_EQ(output(), "Systems command thread started!\n");
}

TEST_F(SystemCommandsTest, ThreadRunsThreeCommandsAtOnePerPass) {
    cmtest::FakeClock clock;
    for (const char* word : {"one", "two", "three"}) system_commands.append(std::string("echo ") + word + " >> " + log);
    std::string seen;
    clock.onSleep([&](const timespec&) {
        seen += std::to_string(system_commands.size());
        if (seen.size() == 4) setting.raiseExitInMemory();
    });
    doSystemCommands(nullptr);
    EXPECT_EQ(seen, "2100");  // one command per pass, a pause after each
    EXPECT_EQ(readFile(log), "one\ntwo\nthree\n");
    std::string out = output();
    EXPECT_EQ(countOf(out, "cmds waiting: "), 3);
    EXPECT_LT(out.find("cmds waiting: 3"), out.find("cmds waiting: 2"));
}

TEST_F(SystemCommandsTest, ExitFlagLeavesQueuedCommandsUnrun) {
    cmtest::FakeClock clock;
    system_commands.append("echo never >> " + log);
    system_commands.append("echo never >> " + log);
    setting.raiseExitInMemory();
    doSystemCommands(nullptr);
    EXPECT_FALSE(cmtest::fileExists(log));
    EXPECT_EQ(system_commands.size(), 2u);
    EXPECT_EQ(countOf(output(), "running cmd"), 0);
}

TEST_F(SystemCommandsTest, StarterCreatesTheThreadOnlyOnce) {
    setting.raiseExitInMemory();  // the thread ends at once
    EXPECT_EQ(initSystemCommandsThread(), 0);
    pthread_t first = tid_system_commands.load();
    EXPECT_NE(first, pthread_t{});
    EXPECT_EQ(initSystemCommandsThread(), 0);
    EXPECT_EQ(tid_system_commands.load(), first);
    output();
}

}  // namespace
