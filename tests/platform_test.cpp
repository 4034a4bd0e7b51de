#include <chrono>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

TEST(PlatformTickMs, CountsMillisecondsAndNeverGoesBack) {
    using std::chrono::milliseconds;
    using std::chrono::steady_clock;
    const auto before = steady_clock::now();
    const std::uint64_t first = PlatformTickMs();
    std::uint64_t last = first;
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t now = PlatformTickMs();
        ASSERT_GE(now, last);
        last = now;
    }
    std::this_thread::sleep_for(milliseconds(200));
    const std::uint64_t second = PlatformTickMs();
    const auto outside = std::chrono::duration_cast<milliseconds>(steady_clock::now() - before);
    // Windows' tick moves in steps of up to 16 ms; the readings lie within the outer clock's.
    constexpr std::uint64_t kStep = 16;
    EXPECT_GE(second - first, 200 - kStep);
    EXPECT_LE(second - first, static_cast<std::uint64_t>(outside.count()) + kStep);
}

} // namespace
