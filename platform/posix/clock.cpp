#include "platform/platform.h"

#include <ctime>

std::uint64_t PlatformTickMs() {
    timespec now{};
    // CLOCK_BOOTTIME goes on while the machine is suspended, as Windows' tick count does, so that a
    // stamp after a night asleep says the time since start-up. It never goes backwards, and cannot
    // fail with a valid pointer.
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::int64_t PlatformWallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
