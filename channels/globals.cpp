#include "channels/globals.h"

std::uint64_t g_startTick = 0;
LogFile g_logFile = kNoLogFile;
