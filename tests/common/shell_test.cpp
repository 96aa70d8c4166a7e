#include "common/shell.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

TEST(ShellTest, OrdinaryWordsStayAsTheyAre) {
    EXPECT_EQ(cm::shellQuote("/home/Tarvisel/queue/user0_20240105100000_000001.avi"),
              "/home/Tarvisel/queue/user0_20240105100000_000001.avi");
    EXPECT_EQ(cm::shellQuote("video0:-x.png"), "video0:-x.png");
}

TEST(ShellTest, HostileWordsReachTheCommandAsThemselvesAndRunNothing) {
    cmtest::BoardRoot root;
    std::string marker = root.path("/tmp/ran");
    const std::string hostile[] = {
        "a b", "it's", "$(touch " + marker + ")", "`touch " + marker + "`", "x;touch " + marker, "line\nbreak",
        "\"quoted\"", "", "*", "~root", "a|b&c>d<e", "back\\slash",
    };
    for (const std::string& w : hostile) {
        std::string out = root.path("/tmp/out");
        int status = cm::runShell("printf '%s' " + cm::shellQuote(w) + " > " + cm::shellQuote(out));
        ASSERT_EQ(status, 0) << w;
        EXPECT_EQ(cmtest::readFile(out), w);
    }
    EXPECT_FALSE(cmtest::fileExists(marker));
}

TEST(ShellTest, StatusIsTheRawWaitStatus) {
    EXPECT_EQ(cm::runShell("exit 3"), 3 * 256);
    EXPECT_EQ(cm::runShell("/nonexistent/program 2>/dev/null"), 127 * 256);
}

}  // namespace
