#include "capture/picture_store.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "capture_fixture.h"

namespace {

using captest::frameNumberOf;
using captest::numberedPicture;

class PictureStoreTest : public testing::Test {
protected:
    void SetUp() override { resetPictureStore(); }
};

std::vector<int> frameNumbers(const std::vector<StoredPicture>& pictures) {
    std::vector<int> out;
    for (const auto& p : pictures) out.push_back(frameNumberOf(p.picture));
    return out;
}

TEST_F(PictureStoreTest, MemoryListDropsOnlyItsOldestPictureOnceOverTheLength) {
    for (int f = 0; f < 4; ++f) pic_frames[1].append(numberedPicture(0, f));
    auto trimmed = pic_frames[1].trimOldest(3, 1);
    ASSERT_TRUE(trimmed.has_value());
    EXPECT_EQ(trimmed->countBefore, 4u);
    EXPECT_EQ(frameNumberOf(trimmed->removed.picture), 0);
    EXPECT_EQ(frameNumbers(pic_frames[1].oldest(10)), (std::vector<int>{1, 2, 3}));
    // At the length nothing more goes.
    EXPECT_FALSE(pic_frames[1].trimOldest(3, 1).has_value());
    EXPECT_EQ(pic_frames[1].size(), 3u);
}

TEST_F(PictureStoreTest, InputBeingMadeIntoAClipIsNeverTrimmedOthersAre) {
    for (int f = 0; f < 5; ++f) {
        pic_frames[2].append(numberedPicture(0, f));
        pic_frames[3].append(numberedPicture(0, f));
        listImages[2].append("p" + std::to_string(f));
    }
    nCreatingVideosForInput.store(2);
    EXPECT_FALSE(pic_frames[2].trimOldest(1, 2).has_value());
    EXPECT_FALSE(listImages[2].trimOldest(1, 2).has_value());
    EXPECT_EQ(pic_frames[2].size(), 5u);
    EXPECT_EQ(listImages[2].size(), 5u);
    EXPECT_TRUE(pic_frames[3].trimOldest(1, 3).has_value());
    nCreatingVideosForInput.store(-1);
    auto name = listImages[2].trimOldest(1, 2);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->removed, "p0");
    EXPECT_EQ(name->countBefore, 5u);
}

TEST_F(PictureStoreTest, ClipSnapshotSharesPixelsAndRemovalKeepsLaterPictures) {
    for (int f = 0; f < 3; ++f) pic_frames[0].append(numberedPicture(0, f));
    std::vector<StoredPicture> taken = pic_frames[0].oldest(SIZE_MAX);
    ASSERT_EQ(taken.size(), 3u);
    // Appended while the clip is written: not part of it.
    pic_frames[0].append(numberedPicture(0, 7));
    std::vector<StoredPicture> now = pic_frames[0].oldest(SIZE_MAX);
    EXPECT_EQ(now[0].picture.data, taken[0].picture.data);  // no copy made
    EXPECT_EQ(pic_frames[0].removeThrough(taken.back().seq), 3u);
    EXPECT_EQ(frameNumbers(pic_frames[0].oldest(SIZE_MAX)), (std::vector<int>{7}));
    // The clip's pictures stay valid until it lets go of them.
    EXPECT_EQ(frameNumbers(taken), (std::vector<int>{0, 1, 2}));
}

TEST_F(PictureStoreTest, RemovalAfterAClipIgnoresPicturesATrimAlreadyTook) {
    for (int f = 0; f < 4; ++f) pic_frames[0].append(numberedPicture(0, f));
    std::vector<StoredPicture> taken = pic_frames[0].oldest(SIZE_MAX);
    pic_frames[0].trimOldest(0, 0);  // a trim that raced the clip's start
    pic_frames[0].append(numberedPicture(0, 9));
    EXPECT_EQ(pic_frames[0].removeThrough(taken.back().seq), 3u);
    EXPECT_EQ(frameNumbers(pic_frames[0].oldest(SIZE_MAX)), (std::vector<int>{9}));
}

TEST_F(PictureStoreTest, NamesGivenBackComeBeforeNamesAppendedMeanwhile) {
    for (const char* n : {"a", "b", "c"}) listImages[0].append(n);
    std::vector<std::string> taken = listImages[0].takeOldest(SIZE_MAX);
    EXPECT_EQ(taken, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(listImages[0].size(), 0u);
    listImages[0].append("d");
    listImages[0].giveBack(taken);
    EXPECT_EQ(listImages[0].names(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(listImages[0].takeOldest(2), (std::vector<std::string>{"a", "b"}));
}

TEST_F(PictureStoreTest, LifeTimerCountsFromItsLastRestart) {
    startImagesListLife.restart(timespec{1000, 500000000});
    EXPECT_DOUBLE_EQ(startImagesListLife.secondsUntil(timespec{1060, 500000000}), 60.0);
    EXPECT_DOUBLE_EQ(startImagesListLife.secondsUntil(timespec{1061, 0}), 60.5);
    startImagesListLife.restart(timespec{1050, 0});
    EXPECT_DOUBLE_EQ(startImagesListLife.secondsUntil(timespec{1061, 0}), 11.0);
}

// Two capture threads append and trim one input while the clip writer
// takes its pictures and removes them: every picture ends up exactly once
// either in a clip, trimmed, or still in the list.
TEST_F(PictureStoreTest, TwoAppendersAndAClipWriterNeverLoseOrDuplicateAPicture) {
    constexpr int kPerThread = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> trimmed{0};
    auto capture = [&](int camera) {
        for (int f = 0; f < kPerThread; ++f) {
            cv::Mat m(1, 1, CV_32SC1, cv::Scalar(camera * kPerThread + f));
            pic_frames[0].append(m);
            if (pic_frames[0].trimOldest(50, 0)) trimmed.fetch_add(1);
        }
    };
    std::set<int> inClips;
    std::thread writer([&] {
        while (!done.load()) {
            nCreatingVideosForInput.store(0);
            std::vector<StoredPicture> taken = pic_frames[0].oldest(SIZE_MAX);
            for (const auto& p : taken) inClips.insert(p.picture.at<int>(0, 0));
            if (!taken.empty()) pic_frames[0].removeThrough(taken.back().seq);
            nCreatingVideosForInput.store(-1);
            std::this_thread::yield();
        }
    });
    std::thread a(capture, 0), b(capture, 1);
    a.join();
    b.join();
    done.store(true);
    writer.join();
    std::size_t remaining = pic_frames[0].size();
    for (const auto& p : pic_frames[0].oldest(SIZE_MAX)) EXPECT_EQ(inClips.count(p.picture.at<int>(0, 0)), 0u);
    EXPECT_EQ(inClips.size() + static_cast<std::size_t>(trimmed.load()) + remaining, 2u * kPerThread);
}

}  // namespace
