#include "platform/platform.h"

#include <windows.h>

std::uint64_t PlatformTickMs() {
    // The 64-bit count: GetTickCount's 32 bits wrap after 49.7 days.
    return GetTickCount64();
}

std::int64_t PlatformWallClockMs() {
    // 100-ns steps since 1601-01-01, which lies 11644473600 s before 1970-01-01. The precise form
    // needs Windows 8; the tick it goes with moves in steps of 10 to 16 ms all the same.
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::int64_t steps = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32U) | now.dwLowDateTime);
    return steps / 10000 - std::int64_t{11644473600} * 1000;
}
