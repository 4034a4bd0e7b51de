#include "app/arguments.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/config.h"

namespace {

// The platform's help switch, when it has one, goes beside --help ("%s%s"), and its manual ends it.
constexpr const char *kUsage =
    "Usage: chanlog [--help%s%s | --version]\n"
    "\n"
    "Connects to %s:%u and holds that connection open, reads text from\n"
    "%s:%u, and writes every receive that begins with \"%s\" to standard output\n"
    "and to %s in the current folder, each line stamped with the milliseconds since\n"
    "start-up. A %s left by an earlier run is first moved aside, under its name\n"
    "with the time of the move after it. chanlog runs until it is ended (Ctrl-C).\n"
    "\n"
    "Exit status: 0 when both channels ended without a failure, 1 when start-up failed,\n"
    "2 when a channel failed, 64 for a bad argument.\n"
    "\n"
    "See %s for the whole story.\n";

bool Is(const char *argument, const char *name) {
    return name != nullptr && std::strcmp(argument, name) == 0;
}

// Prints to standard output and makes sure it got there: a failed write is said, not hidden.
__attribute__((format(printf, 1, 2))) int PrintOut(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int printed = std::vprintf(format, args);
    va_end(args);
    if (printed < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "chanlog: cannot write standard output: %s\n", std::strerror(errno));
        return kExitStartupFailed;
    }
    return 0;
}

} // namespace

Arguments ParseArguments(int argc, const char *const *argv, const char *helpSwitch) {
    if (argc < 2) {
        return {Request::kRun, nullptr};
    }
    const char *argument = argv[1];
    const bool help = Is(argument, "--help") || Is(argument, "-h") || Is(argument, helpSwitch);
    const bool version = Is(argument, "--version");
    // One argument is named: the first that is not understood, or the one too many.
    if (!help && !version) {
        return {Request::kBad, argument};
    }
    if (argc > 2) {
        return {Request::kBad, argv[2]};
    }
    return {help ? Request::kHelp : Request::kVersion, nullptr};
}

int AnswerRequest(const Arguments &arguments, const char *helpSwitch, const char *manual) {
    switch (arguments.request) {
    case Request::kHelp:
        return PrintOut(
            kUsage, helpSwitch != nullptr ? " | " : "", helpSwitch != nullptr ? helpSwitch : "",
            kLoopbackAddress, static_cast<unsigned>(kHoldPort), kLoopbackAddress,
            static_cast<unsigned>(kFeedPort), kReportPrefix, kLogFileName, kLogFileName, manual);
    case Request::kVersion:
        return PrintOut("chanlog %s\n", CHANLOG_VERSION);
    case Request::kBad:
        std::fprintf(stderr, "chanlog: unexpected argument '%s' (chanlog --help tells more)\n",
                     arguments.bad);
        return kExitUsage;
    case Request::kRun:
        break;
    }
    return 0;
}
