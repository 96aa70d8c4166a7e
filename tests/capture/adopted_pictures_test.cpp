// Picture files left by an earlier run of the file store go back into their
// inputs' lists at the next start, newest STORAGE_LENGTH of them per input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run_config.h"
#include "capture/picture_store.h"
#include "support/test_support.h"

namespace {

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

TEST_F(AdoptedPicturesTest, OnlyTheNewestStorageLengthAreKeptOlderOnesDeleted) {
    STORAGE_LENGTH = 3;
    std::vector<std::string> paths;
    for (int s = 0; s < 5; ++s) paths.push_back(picture(0, "video0:-2024010510000" + std::to_string(s) + "_000000.png"));
    EXPECT_EQ(adoptPictureFilesOfEarlierRun(), 3);
    EXPECT_EQ(listImages[0].names(), (std::vector<std::string>{paths[2], paths[3], paths[4]}));
    EXPECT_FALSE(cmtest::fileExists(paths[0]));
    EXPECT_FALSE(cmtest::fileExists(paths[1]));
    EXPECT_TRUE(cmtest::fileExists(paths[2]));
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
