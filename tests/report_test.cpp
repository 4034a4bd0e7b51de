#include <gtest/gtest.h>

#include "app/report.h"

namespace {

TEST(AbortWithMessageDeathTest, PrintsToStandardErrorAndExitsWithStartupFailure) {
    EXPECT_EXIT(AbortWithMessage("Could not open %s: %s\n", "log.txt", "Is a directory"),
                testing::ExitedWithCode(1), "^Could not open log.txt: Is a directory\n$");
}

} // namespace
