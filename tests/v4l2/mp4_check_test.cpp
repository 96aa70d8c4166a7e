#include "v4l2/mp4_check.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"

namespace mp4_check_test {

using cmtest::writeFile;

std::string box(const std::string& type, const std::string& body) {
    const std::size_t n = 8 + body.size();
    std::string h = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)};
    return h + type + body;
}

TEST(Mp4CheckTest, AWholeFilePassesTruncatedOrGarbageOrIncompleteFilesDoNot) {
    const std::string whole = box("ftyp", "isom\0\0\2\0") + box("mdat", std::string(100, 'v')) + box("moov", "x");
    std::string why;
    EXPECT_TRUE(isWholeMp4Data(whole, why)) << why;
    for (std::size_t cut : {std::size_t{0}, std::size_t{4}, std::size_t{20}, whole.size() - 1})
        EXPECT_FALSE(isWholeMp4Data(whole.substr(0, cut), why)) << cut;
    EXPECT_FALSE(isWholeMp4Data(whole + "xx", why));
    EXPECT_FALSE(isWholeMp4Data(std::string(4096, '\xff'), why));
    EXPECT_FALSE(isWholeMp4Data(box("ftyp", "isom") + box("mdat", "vv"), why));  // no index: cut off
    EXPECT_EQ(why, "no 'moov' box");
    // A 64-bit size, and a last box running to the end of the file.
    std::string large = std::string("\0\0\0\1mdat", 8) + std::string("\0\0\0\0\0\0\0\x14", 8) + "vvvv";
    EXPECT_TRUE(isWholeMp4Data(box("ftyp", "isom") + box("moov", "") + large, why)) << why;
    EXPECT_TRUE(isWholeMp4Data(box("ftyp", "isom") + box("moov", "") + std::string("\0\0\0\0mdatvvv", 11), why));
    cmtest::BoardRoot root;
    writeFile(root.path("/tmp/a.mp4"), whole);
    EXPECT_TRUE(isWholeMp4File(root.path("/tmp/a.mp4"), why)) << why;
    writeFile(root.path("/tmp/b.mp4"), whole.substr(0, whole.size() - 3));
    EXPECT_FALSE(isWholeMp4File(root.path("/tmp/b.mp4"), why));
    ASSERT_EQ(symlink(root.path("/tmp/a.mp4").c_str(), root.path("/tmp/c.mp4").c_str()), 0);
    EXPECT_FALSE(isWholeMp4File(root.path("/tmp/c.mp4"), why));
}
}  // namespace mp4_check_test
