// Picture files left by an earlier run of the file store go back into their
// inputs' lists at the next start: those of the store's span (taken at most
// STORAGE_LENGTH seconds before, newest STORAGE_LENGTH of them per input).
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "capture/picture_store.h"
#include "common/run_config.h"
#include "support/test_support.h"

namespace {

// 2024-01-05 10:00:<second> local time, as the clock and the names tell it.
time_t localTimeOfDay(int second) {
    struct tm t {};
    t.tm_year = 124, t.tm_mon = 0, t.tm_mday = 5, t.tm_hour = 10, t.tm_sec = second, t.tm_isdst = -1;
    return std::mktime(&t);
}

class AdoptedPicturesTest : public testing::Test {
protected:
    void SetUp() override {
        resetRunConfig();
        resetPictureStore();
        for (int d = 1; d <= 4; ++d) cmtest::makeDirs(LBASE_PATH + "/" + std::to_string(d));
    }
    std::string picture(int input, const std::string& name) {
        const std::string path = LBASE_PATH + "/" + std::to_string(input + 1) + "/" + name;
        cmtest::writeFile(path, "png");
        return path;
    }
    cmtest::BoardRoot root;
    cmtest::FakeClock clock{localTimeOfDay(10)};  // shortly after the pictures below
};

TEST_F(AdoptedPicturesTest, PicturesGoBackToTheirInputsInTheOrderTheyWereTaken) {
    // Both capture threads' pictures of input 1, written out of order.
    const std::string c = picture(1, "video1:-20240105100002_000000.png");
    const std::string a = picture(1, "video0:-20240105100001_500000.png");
    const std::string b = picture(1, "video1:-20240105100001_900000.png");
    const std::string d = picture(3, "video0:-20240105100000_000000.png");
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 4);
    EXPECT_EQ(listImages[1].names(), (std::vector<std::string>{a, b, c}));
    EXPECT_EQ(listImages[3].names(), (std::vector<std::string>{d}));
    EXPECT_EQ(listImages[0].size(), 0u);
    EXPECT_EQ(listImages[2].size(), 0u);
}

TEST_F(AdoptedPicturesTest, OnlyPicturesOfTheStoresSpanAreKeptTheOthersDeleted) {
    STORAGE_LENGTH = 3;
    std::vector<std::string> paths;
    for (int s = 0; s < 5; ++s) paths.push_back(picture(0, "video0:-20240105100009_" + std::to_string(s) + "00000.png"));
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 3);  // the newest STORAGE_LENGTH
    EXPECT_EQ(listImages[0].names(), (std::vector<std::string>{paths[2], paths[3], paths[4]}));
    EXPECT_FALSE(cmtest::fileExists(paths[0]));
    EXPECT_FALSE(cmtest::fileExists(paths[1]));
    EXPECT_TRUE(cmtest::fileExists(paths[2]));

    // Nine minutes later: only what was taken within STORAGE_LENGTH seconds
    // before now comes back; pictures dated after now are of a clock since
    // set back, of unknown age.
    resetPictureStore();
    STORAGE_LENGTH = 60;
    clock.advance(std::chrono::minutes(9));  // now 10:09:10
    const std::string old = picture(1, "video0:-20240105100709_999999.png");
    const std::string inSpan = picture(1, "video1:-20240105100810_000000.png");
    const std::string latest = picture(1, "video0:-20240105100909_000000.png");
    const std::string ahead = picture(1, "video0:-20240105100911_000000.png");
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 2);
    EXPECT_EQ(listImages[1].names(), (std::vector<std::string>{inSpan, latest}));
    for (const auto& gone : {old, ahead, paths[2], paths[3], paths[4]}) EXPECT_FALSE(cmtest::fileExists(gone)) << gone;
}

TEST_F(AdoptedPicturesTest, FilesNotNamedAsPicturesAreLeftAlone) {
    const std::vector<std::string> others = {
        picture(2, "notes.png"),
        picture(2, "video0:-20240105100000_000000.jpg"),
        picture(2, "video0-20240105100000_000000.png"),
        picture(2, "videoX:-20240105100000_000000.png"),
        picture(2, "video0:-2024010510000_0000000.png"),
        picture(2, "video0:-20240105100000_000000.png.part"),
    };
    cmtest::makeDirs(LBASE_PATH + "/3/video1:-20240105100000_000000.png");  // a directory of that name
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 0);
    EXPECT_EQ(listImages[2].size(), 0u);
    for (const auto& p : others) EXPECT_TRUE(cmtest::fileExists(p)) << p;
}

TEST_F(AdoptedPicturesTest, MissingInputDirectoriesAreNoError) {
    cmtest::removeTree(LBASE_PATH + "/2");
    picture(0, "video0:-20240105100000_000000.png");
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 1);
}

}  // namespace
