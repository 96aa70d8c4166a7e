#include "common/disk_space.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

// A file system of kCapacity bytes holding exactly the files of g_dir.
constexpr std::uint64_t kCapacity = cm::kDiskReserveBytes + 1000;
std::string g_dir;

std::optional<std::uint64_t> filesOfDirProbe(const std::string&) {
    std::uint64_t used = 0;
    for (const std::string& name : cmtest::listDir(g_dir)) {
        struct stat st {};
        if (::lstat((g_dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) used += st.st_size;
    }
    return used >= kCapacity ? 0 : kCapacity - used;
}

std::optional<std::uint64_t> unknownProbe(const std::string&) { return std::nullopt; }

bool clipName(const std::string& name) { return name.size() > 4 && name.substr(name.size() - 4) == ".raw"; }

class DiskSpaceTest : public testing::Test {
protected:
    void SetUp() override {
        g_dir = root.path("/tmp");
        cm::setFreeSpaceProbeForTests(filesOfDirProbe);
    }
    void TearDown() override { cm::setFreeSpaceProbeForTests(nullptr); }
    // A file of `bytes` bytes, modified `age` seconds after the epoch.
    cm::Evictable clip(const std::string& name, std::size_t bytes, time_t age) {
        std::string path = g_dir + "/" + name;
        cmtest::writeFile(path, std::string(bytes, 'c'));
        timespec times[2] = {{age, 0}, {age, 0}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
        return cm::Evictable{path, bytes, static_cast<std::int64_t>(age) * 1000000000};
    }

    cmtest::BoardRoot root;
};

TEST_F(DiskSpaceTest, RoomLeavesTheReserveFreeAndUnknownFreeSpaceCountsAsRoom) {
    EXPECT_TRUE(cm::roomFor(g_dir, 1000));
    EXPECT_FALSE(cm::roomFor(g_dir, 1001));
    clip("a.raw", 400, 1);
    EXPECT_TRUE(cm::roomFor(g_dir, 600));
    EXPECT_FALSE(cm::roomFor(g_dir, 601));
    cm::setFreeSpaceProbeForTests(unknownProbe);
    EXPECT_TRUE(cm::roomFor(g_dir, 1u << 30));
    cm::setFreeSpaceProbeForTests(nullptr);
    EXPECT_TRUE(cm::freeBytes(g_dir).has_value());
    EXPECT_FALSE(cm::freeBytes(g_dir + "/missing/dir").has_value());
}

TEST_F(DiskSpaceTest, MakeRoomRemovesTheOldestCandidatesOnlyAsFarAsNeeded) {
    std::vector<cm::Evictable> candidates = {clip("new.raw", 300, 30), clip("oldest.raw", 300, 10),
                                             clip("old.raw", 300, 20)};
    clip("busy.raw", 50, 1);  // being converted: not a candidate, however old
    cm::BusyFile busy(g_dir + "/busy.raw");
    EXPECT_EQ(cm::evictableFilesIn(g_dir, clipName).size(), 3u);
    cm::Eviction e = cm::makeRoom(g_dir, 600, candidates);
    ASSERT_EQ(e.removed.size(), 2u);
    EXPECT_EQ(e.removed[0].path, g_dir + "/oldest.raw");
    EXPECT_EQ(e.removed[1].path, g_dir + "/old.raw");
    EXPECT_TRUE(e.room);
    EXPECT_EQ(e.free, std::optional<std::uint64_t>(kCapacity - 350));
    EXPECT_TRUE(cmtest::fileExists(g_dir + "/new.raw"));
    EXPECT_TRUE(cmtest::fileExists(g_dir + "/busy.raw"));

    // More than all candidates can free: they all go, and it says so.
    e = cm::makeRoom(g_dir, 990, {candidates[0]});
    EXPECT_FALSE(e.room);
    EXPECT_EQ(e.removed.size(), 1u);
    EXPECT_TRUE(cmtest::fileExists(g_dir + "/busy.raw"));
    EXPECT_NE(cm::describeEviction(e, "a clip").find("still short"), std::string::npos);
}

TEST_F(DiskSpaceTest, TheQueueGivesUpItsOldestCompleteClipsButNothingInProgressOrBeingUploaded) {
    clip("user0_1.avi", 400, 1);
    clip("user1_2.avi", 400, 2);
    clip(".incomplete.user2_0.avi", 100, 0);
    clip("usb_0_3.mp4", 100, 3);
    cm::BusyFile uploading(g_dir + "/user0_1.avi");
    cm::Eviction e = cm::makeRoomInQueue(g_dir, 400);
    ASSERT_EQ(e.removed.size(), 1u);
    EXPECT_EQ(e.removed[0].path, g_dir + "/user1_2.avi");
    EXPECT_TRUE(e.room);
    EXPECT_EQ(cm::describeEviction(e, "a clip"), "disk space short for a clip: removed the oldest " + g_dir +
                                                     "/user1_2.avi (400 bytes), " +
                                                     std::to_string(cm::kDiskReserveBytes + 400) + " bytes free");
}

// The upload walk marks a file busy after eviction has listed it: the
// removal looks again in the same step as it unlinks, and one that eviction
// has already claimed is not held by the upload, which then leaves it.
TEST_F(DiskSpaceTest, AFileThatBecomesBusyAfterTheListingIsNeverRemoved) {
    clip("user0_1.avi", 400, 1);
    clip("user1_2.avi", 400, 2);
    clip("user2_3.avi", 400, 3);
    {
        std::vector<cm::Evictable> listed = cm::evictableFilesIn(g_dir, [](const std::string&) { return true; });
        ASSERT_EQ(listed.size(), 3u);
        cm::BusyFile uploading(g_dir + "/user0_1.avi");
        bool heldWhileClaimed = true;
        cm::Eviction e = cm::makeRoom(g_dir, 600, listed, [&](const cm::Evictable& c) {
            if (c.path == g_dir + "/user1_2.avi") heldWhileClaimed = cm::BusyFile(c.path).held();
            return true;
        });
        EXPECT_TRUE(uploading.held());
        EXPECT_FALSE(heldWhileClaimed);
        ASSERT_EQ(e.removed.size(), 2u);
        EXPECT_EQ(e.removed[0].path, g_dir + "/user1_2.avi");
        EXPECT_TRUE(cmtest::fileExists(g_dir + "/user0_1.avi"));
    }

    // The queue's release step: a clip renamed over a listed name after the
    // listing (at the first look at the free space that follows it) is not
    // the file listed, and stays.
    clip("usb_0_4.avi", 300, 4);
    static int probes;
    probes = 0;
    cm::setFreeSpaceProbeForTests([](const std::string& path) {
        if (++probes == 2) {
            cmtest::writeFile(g_dir + "/.new", "a new clip under the old name");
            std::rename((g_dir + "/.new").c_str(), (g_dir + "/user0_1.avi").c_str());
        }
        return filesOfDirProbe(path);
    });
    cm::Eviction e = cm::makeRoomInQueue(g_dir, 990);
    ASSERT_EQ(e.removed.size(), 1u);
    EXPECT_EQ(e.removed[0].path, g_dir + "/usb_0_4.avi");
    EXPECT_EQ(cmtest::readFile(g_dir + "/user0_1.avi"), "a new clip under the old name");
}

TEST_F(DiskSpaceTest, OnlyRegularFilesTheCallerNamesAreEvictable) {
    clip("a.raw", 10, 5);
    clip("b.mp4", 10, 5);
    ASSERT_EQ(symlink("/etc/passwd", (g_dir + "/link.raw").c_str()), 0);
    ASSERT_EQ(mkfifo((g_dir + "/fifo.raw").c_str(), 0600), 0);
    cmtest::makeDirs(g_dir + "/dir.raw");
    std::vector<cm::Evictable> found = cm::evictableFilesIn(g_dir, clipName);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, g_dir + "/a.raw");
    EXPECT_EQ(found[0].bytes, 10u);
    EXPECT_EQ(found[0].age, 5LL * 1000000000);
}

}  // namespace
