#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "channels/log_rules.h"

namespace {

std::string Iso(std::int64_t ms) {
    char text[kUtcTextSize];
    FormatIsoUtc(ms, text, sizeof text);
    return text;
}

std::string Suffix(std::int64_t ms) {
    char text[kUtcTextSize];
    FormatAsideSuffix(ms, text, sizeof text);
    return text;
}

TEST(FormatIsoUtc, SaysAMomentInUtcToTheMillisecondOnEveryDayOfTheCalendar) {
    EXPECT_EQ(Iso(0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(Iso(1796793302123), "2026-12-09T05:15:02.123Z");
    EXPECT_EQ(Iso(951782400000), "2000-02-29T00:00:00.000Z");    // a leap day, of a 400th year
    EXPECT_EQ(Iso(4107542399999), "2100-02-28T23:59:59.999Z");   // a century without one
    EXPECT_EQ(Iso(4107542400000), "2100-03-01T00:00:00.000Z");   //
    EXPECT_EQ(Iso(13574563200000), "2400-02-29T00:00:00.000Z");  //
    EXPECT_EQ(Iso(946684799999), "1999-12-31T23:59:59.999Z");    // the last of a year
    EXPECT_EQ(Iso(-1), "1969-12-31T23:59:59.999Z");              // a clock set before 1970
    EXPECT_EQ(Iso(-86400001), "1969-12-30T23:59:59.999Z");       //
    EXPECT_EQ(Iso(253402300799999), "9999-12-31T23:59:59.999Z"); // the widest it gets
    // Every day from 1970 to 2038, at a time of day that moves on from day to day, as the C library
    // counts them where its time_t may have 32 bits and no sign (Windows').
    for (std::int64_t day = 0; day < 24855; ++day) {
        const std::int64_t ms = day * 86400000 + (day * 7654321 % 86400000 + 86400000) % 86400000;
        const auto seconds = static_cast<std::time_t>((ms - ms % 1000) / 1000);
        const std::tm *utc = std::gmtime(&seconds);
        ASSERT_NE(utc, nullptr);
        char expected[64];
        std::snprintf(expected, sizeof expected, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                      utc->tm_year + 1900, utc->tm_mon + 1, utc->tm_mday, utc->tm_hour, utc->tm_min,
                      utc->tm_sec, static_cast<int>(ms % 1000));
        ASSERT_EQ(Iso(ms), expected) << ms;
    }
}

TEST(FormatAsideSuffix, SaysTheSecondOfAMoveSoThatNamesSortByTime) {
    EXPECT_EQ(Suffix(1796793302123), "-20261209-051502");
    EXPECT_EQ(Suffix(1796793302999), "-20261209-051502"); // not rounded up to the next second
    EXPECT_EQ(Suffix(946684799999), "-19991231-235959");
    EXPECT_EQ(Suffix(946684800000), "-20000101-000000");
    EXPECT_LT(Suffix(946684799999), Suffix(946684800000));
}

TEST(LogFailureNotice, SaysTheFirstFailureAndThenAtMostOnceAMinuteWhileItLasts) {
    // The first line missed is said, whenever it comes.
    EXPECT_EQ(LogFailureNotice(0, 0, 5), FailureNotice::kFirst);
    EXPECT_EQ(LogFailureNotice(0, 1000, 1001), FailureNotice::kFirst);
    // Later ones once a minute has passed since it was last said, not sooner.
    EXPECT_EQ(LogFailureNotice(1, 1000, 1000), FailureNotice::kNone);
    EXPECT_EQ(LogFailureNotice(7, 1000, 60999), FailureNotice::kNone);
    EXPECT_EQ(LogFailureNotice(7, 1000, 61000), FailureNotice::kAgain);
    EXPECT_EQ(LogFailureNotice(1165, 1000, 3601000), FailureNotice::kAgain);
    // A tick that has counted days (it goes on while the machine sleeps).
    const std::uint64_t days = std::uint64_t{40} * 24 * 3600 * 1000;
    EXPECT_EQ(LogFailureNotice(3, days, days + 59999), FailureNotice::kNone);
    EXPECT_EQ(LogFailureNotice(3, days, days + 60000), FailureNotice::kAgain);
}

} // namespace
