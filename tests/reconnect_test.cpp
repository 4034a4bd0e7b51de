#include <cstdint>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "channels/reconnect.h"

namespace {

TEST(ReconnectPauseMs, NoneAtFirstThenDoublingFromATenthOfASecondToTwoSeconds) {
    const int pauses[] = {0, 100, 200, 400, 800, 1600, 2000, 2000, 2000, 2000};
    for (int attempt = 0; attempt < 10; ++attempt) {
        EXPECT_EQ(ReconnectPauseMs(attempt), pauses[attempt]) << attempt;
    }
    EXPECT_EQ(ReconnectPauseMs(1000000), 2000); // days of attempts
}

TEST(FormatDuration, SaysTheTwoLargestUnitsEachCutToAWholeOne) {
    constexpr std::int64_t kMinute = std::int64_t{60} * 1000;
    constexpr std::int64_t kHour = 60 * kMinute;
    constexpr std::int64_t kDay = 24 * kHour;
    const std::pair<std::int64_t, std::string> cases[] = {
        {-1500, "0.0 s"}, // a tick that seems to go back says no time, not a negative one
        {0, "0.0 s"},
        {99, "0.0 s"},
        {400, "0.4 s"},
        {3250, "3.2 s"},
        {59999, "59.9 s"},
        {kMinute, "1 min 0 s"},
        {2 * kMinute + 5999, "2 min 5 s"},
        {kHour - 1, "59 min 59 s"},
        {kHour, "1 h 0 min"},
        {3 * kHour + 12 * kMinute + 59999, "3 h 12 min"},
        {kDay - 1, "23 h 59 min"},
        {2 * kDay + 3 * kHour + 59 * kMinute, "2 d 3 h"},
        {400 * kDay, "400 d 0 h"},
    };
    for (const auto &[ms, said] : cases) {
        char out[48];
        FormatDuration(ms, out, sizeof out);
        EXPECT_EQ(std::string(out), said) << ms;
    }
    char small[4];
    FormatDuration(59999, small, sizeof small);
    EXPECT_EQ(std::string(small), "59."); // cut to its buffer
}

} // namespace
