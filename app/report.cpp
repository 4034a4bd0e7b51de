#include "app/report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "config/config.h"

void AbortWithMessage(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(kExitStartupFailed);
}
