#include "upload/positionurl.h"

#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fifo_guard.h"
#include "support/test_support.h"
#include "upload_test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string recordBytes(const PositionURL& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

std::string url(char fill, size_t n) { return "/" + std::string(n - 1, fill); }

class PositionURLFileTest : public testing::Test {
protected:
    void TearDown() override {
        resetPositionUrlForTests();
    }
    cmtest::BoardRoot root;
    std::string file = root.path("/home/Tarvisel/pos/1.pos");
};

TEST(PositionURLTest, ShortUrlLeavesEveryByteBehindItsTerminatorZero) {
    PositionURL r;
    std::memset(static_cast<void*>(&r), 0x5a, sizeof r);  // whatever the record held before
    ASSERT_TRUE(r.setURL("/notify_file_upload.php?deviceid=BBBK1234&fpath=/home/Tarvisel/queue/a.avi"));
    std::string bytes = recordBytes(r);
    EXPECT_EQ(bytes.substr(0, 4), std::string(4, '\0'));
    std::string expected = "/notify_file_upload.php?deviceid=BBBK1234&fpath=/home/Tarvisel/queue/a.avi";
    EXPECT_EQ(bytes.substr(4, expected.size()), expected);
    EXPECT_EQ(bytes.substr(4 + expected.size()), std::string(1000 - 4 - expected.size(), '\0'));

    r.reset();
    EXPECT_EQ(recordBytes(r), std::string(1000, '\0'));
}

TEST(PositionURLTest, UrlOf995CharactersEndsWithItsTerminatorInTheLastByte) {
    PositionURL r;
    std::string u = url('x', 995);
    ASSERT_TRUE(r.setURL(u.c_str()));
    std::string bytes = recordBytes(r);
    EXPECT_EQ(bytes.substr(4, 995), u);
    EXPECT_EQ(bytes[999], '\0');
}

TEST(PositionURLTest, UrlOver995CharactersIsRefusedAndLeavesTheRecordEmpty) {
    PositionURL r;
    ASSERT_TRUE(r.setURL("/before"));
    std::string u = url('y', 996);
    CaptureStdout();
    EXPECT_FALSE(r.setURL(u.c_str()));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(recordBytes(r), std::string(1000, '\0'));
    EXPECT_NE(out.find("notification URL longer than 995 characters, not queued"), std::string::npos) << out;
    EXPECT_FALSE(r.setURL(nullptr));
}

TEST_F(PositionURLFileTest, FirstAppendCreatesTheDirectoryAndTheFile) {
    cmtest::removeTree(root.path("/home/Tarvisel/pos"));
    PositionURL r;
    r.setURL("/first");
    CaptureStdout();
    r.saveRecord();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("Save dir not found.. creating " + root.path("/home/Tarvisel/pos") + "\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("1000 bytes appended!\n"), std::string::npos) << out;
    EXPECT_EQ(cmtest::readFile(file), recordBytes(r));
    EXPECT_EQ(notificationFilePath(), file);
}

TEST_F(PositionURLFileTest, AppendsFollowEachOtherAtMultiplesOf1000) {
    PositionURL a, b;
    a.setURL("/one");
    b.setURL(url('b', 995).c_str());
    CaptureStdout();
    a.saveRecord();
    saveRecord(b);  // the free function appends the same way
    GetCapturedStdout();
    std::string data = cmtest::readFile(file);
    ASSERT_EQ(data.size(), 2000u);
    EXPECT_EQ(data.substr(0, 1000), recordBytes(a));
    EXPECT_EQ(data.substr(1000), recordBytes(b));
    EXPECT_EQ(uploadtest::notificationUrls(file), (std::vector<std::string>{"/one", url('b', 995)}));
}

TEST_F(PositionURLFileTest, EmptyOrUnterminatedRecordIsNotQueued) {
    PositionURL empty;
    PositionURL unterminated;
    std::memset(unterminated.szURL, 'z', sizeof unterminated.szURL);
    CaptureStdout();
    empty.saveRecord();
    unterminated.saveRecord();
    std::string out = GetCapturedStdout();
    EXPECT_FALSE(cmtest::fileExists(file));
    EXPECT_EQ(cmtest::countOf(out, "notification record without a URL, not queued\n"), 2) << out;
}

// Fails every open for appending, as a file system that refuses it would.
int refuseAppend(const char* path, int flags, mode_t mode) {
    if (flags & O_APPEND) {
        errno = EACCES;
        return -1;
    }
    return ::open(path, flags, mode);
}

int refuseAll(const char*, int, mode_t) {
    errno = EACCES;
    return -1;
}

TEST_F(PositionURLFileTest, FallbackOpenKeepsTheRecordsAlreadyQueued) {
    PositionURL first, second;
    first.setURL("/queued-before");
    second.setURL("/after-fallback");
    CaptureStdout();
    first.saveRecord();
    setNotificationOpenForTests(refuseAppend);
    second.saveRecord();
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("I couldn't open file for appending. Trying to create!\n"), std::string::npos) << out;
    EXPECT_EQ(uploadtest::notificationUrls(file), (std::vector<std::string>{"/queued-before", "/after-fallback"}));
}

// A record that cannot be written whole, because neither open works or the
// file system fills up in the middle of it: nothing of it stays in the
// file, and it goes in later, before the newer records and in order.
TEST_F(PositionURLFileTest, ARecordThatCannotBeWrittenWholeGoesInLaterInItsPlace) {
    PositionURL first, unopened, second, cut, third;
    first.setURL("/first");
    unopened.setURL("/unopened");
    second.setURL("/second");
    cut.setURL("/does-not-fit");
    third.setURL("/third");
    CaptureStdout();
    first.saveRecord();
    setNotificationOpenForTests(refuseAll);
    unopened.saveRecord();
    setNotificationOpenForTests(nullptr);
    EXPECT_EQ(pendingNotificationRecords(), 1u);
    second.saveRecord();
    EXPECT_EQ(uploadtest::notificationUrls(file), (std::vector<std::string>{"/first", "/unopened", "/second"}));

    {
        cmtest::FileSizeLimit roomForHalfARecord(3500);  // the file system fills up mid-record
        cut.saveRecord();
        third.saveRecord();
        EXPECT_EQ(cmtest::readFile(file).size(), 3000u);
        EXPECT_FALSE(retryPendingNotificationRecords());
    }
    EXPECT_TRUE(retryPendingNotificationRecords());
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("I couldn't open file for appending. Trying to create!\ncould not create file!\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("short write (500 of 1000 bytes): the partial record was removed\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("notification records kept for a later try: 2"), std::string::npos) << out;
    EXPECT_EQ(uploadtest::notificationUrls(file),
              (std::vector<std::string>{"/first", "/unopened", "/second", "/does-not-fit", "/third"}));
    EXPECT_EQ(pendingNotificationRecords(), 0u);
}

// Records still waiting for room when the run ends get a last try, and are
// kept for the next run when that fails too; the next run queues them first
// and once, also after a power cut between their append and the kept file's
// removal.
TEST_F(PositionURLFileTest, RecordsWaitingAtTheEndAreKeptAndQueuedFirstByTheNextRunOnce) {
    const std::string kept = root.path("/home/Tarvisel/pos/1.kept");
    PositionURL first, a, b, late, newer;
    first.setURL("/first");
    a.setURL("/a");
    b.setURL("/b");
    late.setURL("/saved-after-the-ending");
    newer.setURL("/of-the-next-run");
    CaptureStdout();
    setNotificationOpenForTests(refuseAll);
    first.saveRecord();
    setNotificationOpenForTests(nullptr);
    EXPECT_EQ(keepPendingNotificationRecordsForNextRun(), 0u);  // the last try works
    EXPECT_FALSE(cmtest::fileExists(kept));
    resetPositionUrlForTests();

    setNotificationOpenForTests(refuseAll);
    a.saveRecord();
    b.saveRecord();
    EXPECT_EQ(keepPendingNotificationRecordsForNextRun(), 2u);
    setNotificationOpenForTests(nullptr);
    late.saveRecord();  // never takes the kept ones along
    EXPECT_EQ(uploadtest::notificationUrls(file), (std::vector<std::string>{"/first", "/saved-after-the-ending"}));
    EXPECT_EQ(cmtest::readFile(kept), recordBytes(a) + recordBytes(b));

    // The next run: still no room at start, room again at the upload
    // thread's retry; its own record comes after the kept ones.
    resetPositionUrlForTests();
    setNotificationOpenForTests(refuseAll);
    restoreKeptNotificationRecords();
    newer.saveRecord();
    EXPECT_TRUE(cmtest::fileExists(kept));
    setNotificationOpenForTests(nullptr);
    EXPECT_TRUE(retryPendingNotificationRecords());
    const std::vector<std::string> all{"/first", "/saved-after-the-ending", "/a", "/b", "/of-the-next-run"};
    EXPECT_EQ(uploadtest::notificationUrls(file), all);
    EXPECT_FALSE(cmtest::fileExists(kept));

    // A cut after the append, before the removal: the queue file already
    // ends in the kept records, which are not appended again.
    cmtest::writeFile(kept, recordBytes(b) + recordBytes(newer));
    resetPositionUrlForTests();
    restoreKeptNotificationRecords();
    std::string out = GetCapturedStdout();
    EXPECT_EQ(uploadtest::notificationUrls(file), all);
    EXPECT_FALSE(cmtest::fileExists(kept));
    EXPECT_NE(out.find("2 notification records kept in " + kept + " for the next run"), std::string::npos) << out;
    EXPECT_NE(out.find("the 2 notification records kept by the last run are in " + file + " already"),
              std::string::npos)
        << out;
}

TEST_F(PositionURLFileTest, TornLastRecordBecomesAnEmptySlotNeverACutUrl) {
    PositionURL first, next;
    first.setURL("/whole");
    next.setURL("/after-the-tear");
    CaptureStdout();
    first.saveRecord();
    // A power cut left 300 bytes of a record behind: its URL cut in the
    // middle of the file path.
    std::string whole = cmtest::readFile(file);
    cmtest::writeFile(file, whole + std::string(4, '\0') + "/notify_file_upload.php?deviceid=B&fpath=/home/Tar" +
                                std::string(246, 'T'));
    next.saveRecord();
    std::string out = GetCapturedStdout();
    std::string after = cmtest::readFile(file);
    ASSERT_EQ(after.size(), 3000u);
    EXPECT_EQ(after.substr(0, 1000), whole);
    EXPECT_EQ(after.substr(1000, 1000), std::string(1000, '\0'));
    EXPECT_EQ(after.substr(2000), recordBytes(next));
    EXPECT_NE(out.find("torn record"), std::string::npos) << out;
}

TEST_F(PositionURLFileTest, FifoAsTheQueueFileNeverHoldsTheAppend) {
    cmtest::makeFifo(file);
    PositionURL r;
    r.setURL("/lost");
    CaptureStdout();
    EXPECT_TRUE(cmtest::returnsWithoutWaitingOn(file, [&] { r.saveRecord(); }));
    EXPECT_NE(GetCapturedStdout().find("could not create file!\n"), std::string::npos);
}

// Many threads append at once; every record must come back whole, once, and
// in the order its own thread wrote it.
void appendConcurrently(const std::string& file, bool fallbackPath) {
    if (fallbackPath) setNotificationOpenForTests(refuseAppend);
    constexpr int kThreads = 6;
    constexpr int kEach = 120;
    CaptureStdout();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kEach; ++i) {
                PositionURL r;
                // Lengths vary from a few bytes to the whole field.
                std::string u = "/t" + std::to_string(t) + "/" + std::to_string(i) + "/";
                u += std::string((t * 131 + i * 17) % (995 - u.size() + 1), static_cast<char>('a' + t));
                r.setURL(u.c_str());
                r.saveRecord();
            }
        });
    }
    for (std::thread& th : threads) th.join();
    GetCapturedStdout();

    std::vector<std::string> urls = uploadtest::notificationUrls(file);
    ASSERT_EQ(urls.size(), static_cast<size_t>(kThreads * kEach));
    std::vector<int> next(kThreads, 0);
    std::set<std::string> seen;
    for (const std::string& u : urls) {
        int t = -1, i = -1;
        ASSERT_EQ(sscanf(u.c_str(), "/t%d/%d/", &t, &i), 2) << u;
        ASSERT_TRUE(t >= 0 && t < kThreads) << u;
        EXPECT_EQ(i, next[t]) << "thread " << t << " out of order";
        next[t] = i + 1;
        std::string prefix = "/t" + std::to_string(t) + "/" + std::to_string(i) + "/";
        std::string tail = u.substr(prefix.size());
        EXPECT_EQ(tail, std::string(tail.size(), static_cast<char>('a' + t))) << "mixed record: " << u;
        EXPECT_TRUE(seen.insert(u).second) << "twice: " << u;
    }
}

TEST_F(PositionURLFileTest, ConcurrentAppendsNeverInterleave) { appendConcurrently(file, false); }

TEST_F(PositionURLFileTest, ConcurrentAppendsThroughTheFallbackOpenNeverInterleave) {
    appendConcurrently(file, true);
}

}  // namespace
