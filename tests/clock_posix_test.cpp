#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <ctime>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

constexpr int kCannotTry = 77;
constexpr long long kTenDays = 10LL * 24 * 3600;

std::uint64_t Ms(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// A time namespace whose boot-time clock is ten days ahead of its monotonic clock, as on a
// machine that slept for ten days since it started; its first process exits 0 when the tick is
// the boot-time clock's reading.
[[noreturn]] void MakeNamespace() {
    if (unshare(CLONE_NEWTIME) != 0) {
        _exit(kCannotTry);
    }
    std::FILE *offsets = std::fopen("/proc/self/timens_offsets", "w");
    if (offsets == nullptr || std::fprintf(offsets, "boottime %lld 0\n", kTenDays) < 0 ||
        std::fclose(offsets) != 0) {
        _exit(kCannotTry);
    }
    const pid_t inside = fork();
    if (inside == 0) {
        const std::uint64_t boot = Ms(CLOCK_BOOTTIME);
        const std::uint64_t tick = PlatformTickMs();
        _exit(tick >= boot && tick - boot < 1000 ? 0 : 1);
    }
    int status = 0;
    _exit(inside > 0 && waitpid(inside, &status, 0) == inside && WIFEXITED(status)
              ? WEXITSTATUS(status)
              : kCannotTry);
}

TEST(PlatformTickMs, CountsTheTimeTheMachineSlept) {
    const pid_t child = fork();
    if (child == 0) {
        MakeNamespace();
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == kCannotTry) {
        GTEST_SKIP() << "no time namespace here";
    }
    // A stamp after a night asleep says the time since start-up, as Windows' tick count does.
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the tick follows a clock that stops while asleep";
}

} // namespace
