#include "common/queue_names.h"

#include <gtest/gtest.h>

namespace {

TEST(QueueNamesTest, InProgressNameSitsInTheSameDirectory) {
    EXPECT_EQ(inProgressPathFor("/home/Tarvisel/queue/user0_1.avi"), "/home/Tarvisel/queue/.incomplete.user0_1.avi");
    EXPECT_EQ(inProgressPathFor("x.mp4"), ".incomplete.x.mp4");
    EXPECT_TRUE(isInProgressName(".incomplete.user0_1.avi"));
    EXPECT_FALSE(isInProgressName("user0_1.avi"));
    EXPECT_FALSE(isInProgressName(".incomplet"));
    EXPECT_FALSE(isInProgressName("a.incomplete.b"));
}

}  // namespace
