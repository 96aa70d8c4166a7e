#include "v4l2/clip_names.h"

#include <gtest/gtest.h>

namespace {

TEST(ClipNamesTest, ClipNamesBySaveRequest) {
    EXPECT_EQ(clipNameForSaveRequest(0), nullptr);
    EXPECT_STREQ(clipNameForSaveRequest(1), "usb");
    EXPECT_STREQ(clipNameForSaveRequest(2), "user");
    EXPECT_STREQ(clipNameForSaveRequest(3), "mem");
    EXPECT_EQ(clipNameForSaveRequest(4), nullptr);
    EXPECT_STREQ(clipNameForSaveRequest(7), "ukn");
    EXPECT_STREQ(clipNameForSaveRequest(-1), "ukn");
}

}  // namespace
