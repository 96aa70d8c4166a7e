#include "common/file_replace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "support/test_support.h"

namespace {

TEST(FileReplaceTest, ReplacingAFileLeavesExactlyTheNewContent) {
    cmtest::BoardRoot root;
    const std::string path = root.path("/tmp/some.file");
    cmtest::writeFile(path, std::string(5000, 'o'));
    std::size_t written = 0;
    int e = 0;
    ASSERT_EQ(cm::writeFileReplacing(path, "new", 3, cm::Durability::durable, written, e), cm::FileWrite::Done);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(cmtest::readFile(path), "new");
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 1u);
    ASSERT_EQ(mkdir(root.path("/tmp/adir").c_str(), 0755), 0);
    EXPECT_EQ(cm::writeFileReplacing(root.path("/tmp/adir"), "x", 1, cm::Durability::cacheOnly, written, e), cm::FileWrite::RenameFailed);
    EXPECT_EQ(e, EISDIR);
    EXPECT_EQ(cmtest::listDir(root.path("/tmp")).size(), 2u);  // the fresh file was removed again
}

}  // namespace
