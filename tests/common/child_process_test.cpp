#include "common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/shell.h"
#include "support/test_support.h"

namespace {

// What a converter command sees of itself: no descriptor of the daemon's, even one opened
// without close-on-exec (a library's), and the least urgent priority in processor and disk time.
TEST(ChildProcessTest, AChildSeesNoDescriptorOfTheDaemonAndRunsAsTheLeastUrgentWork) {
    cmtest::BoardRoot root;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);  // no O_CLOEXEC
    struct stat pipeStat {};
    ASSERT_EQ(::fstat(pipeFds[0], &pipeStat), 0);
    const std::string view = root.path("/tmp/view");
    EXPECT_EQ(cm::runShell("ls -l /proc/$$/fd > " + view + "; cut -d' ' -f19 /proc/$$/stat >> " + view +
                           "; ionice -p $$ >> " + view),
              0);
    for (int d : pipeFds) ::close(d);
    const std::string seen = cmtest::readFile(view);
    EXPECT_EQ(seen.find("pipe:[" + std::to_string(pipeStat.st_ino) + "]"), std::string::npos) << seen;
    const std::string priority =
        std::to_string(cm::kChildNiceValue) + "\nbest-effort: prio " + std::to_string(cm::kChildIoPriorityLevel);
    EXPECT_NE(seen.find("\n" + priority), std::string::npos) << seen;
    EXPECT_EQ(cm::runChild({root.path("/tmp/none")}), 127 * 256);  // no program there
}

}  // namespace
