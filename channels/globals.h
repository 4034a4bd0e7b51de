#pragma once

#include <cstdint>

#include "platform/platform.h"

// Set by main before any channel thread exists.
extern std::uint64_t g_startTick; // read-only afterwards
extern LogFile g_logFile;         // afterwards written and closed by channel 2 alone
