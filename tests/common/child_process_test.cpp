#include "common/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/shell.h"
#include "support/test_support.h"

namespace {

// What a converter command sees of itself, from inside: none of the daemon's
// descriptors, even those opened without close-on-exec (a library's), and
// the least urgent priority in processor and disk time.
TEST(ChildProcessTest, AChildSeesNoDescriptorOfTheDaemonAndRunsAsTheLeastUrgentWork) {
    cmtest::BoardRoot root;
    const std::string marker = root.path("/tmp/daemon-file");
    cmtest::writeFile(marker, "x");
    const int leaked = ::open(marker.c_str(), O_RDONLY);  // no O_CLOEXEC
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    struct stat pipeStat {};
    ASSERT_EQ(::fstat(pipeFds[0], &pipeStat), 0);
    const std::string view = root.path("/tmp/view");
    const std::string command = "ls -l /proc/$$/fd > " + view + "; cut -d' ' -f19 /proc/$$/stat >> " + view +
                                "; ionice -p $$ >> " + view;
    EXPECT_EQ(cm::runShell(command), 0);
    ::close(leaked);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    const std::string seen = cmtest::readFile(view);
    EXPECT_EQ(seen.find(marker), std::string::npos) << seen;
    EXPECT_EQ(seen.find("pipe:[" + std::to_string(pipeStat.st_ino) + "]"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\n" + std::to_string(cm::kChildNiceValue) + "\nbest-effort: prio " +
                        std::to_string(cm::kChildIoPriorityLevel) + "\n"),
              std::string::npos)
        << seen;
    // Without a shell too, and a program that cannot be executed says 127.
    EXPECT_EQ(cm::runChild({"/bin/true"}), 0);
    EXPECT_EQ(cm::runChild({root.path("/tmp/none")}), 127 * 256);
}

}  // namespace
