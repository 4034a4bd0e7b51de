#include "app/globals.h"

std::uint64_t g_startTick = 0;
std::FILE *g_logFile = nullptr;
NetData g_netData{};
