#include "platform/platform.h"

#include <windows.h>

std::uint64_t PlatformTickMs() {
    // The 64-bit count: GetTickCount's 32 bits wrap after 49.7 days.
    return GetTickCount64();
}
