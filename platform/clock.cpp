#include "platform/platform.h"

#include <ctime>

std::uint64_t PlatformTickMs() {
    timespec now{};
    // CLOCK_MONOTONIC cannot fail with a valid pointer, and never goes backwards.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}
