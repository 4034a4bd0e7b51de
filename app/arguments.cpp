#include "app/arguments.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "config/config.h"

namespace {

// The platform's help switch, when it has one, goes beside --help and -h ("%s%s"), and its manual
// ends it.
constexpr const char *kUsage =
    "Usage: chanlog [--reconnect]\n"
    "       chanlog --help | -h%s%s | --version\n"
    "\n"
    "Connects to %s:%u and holds that connection open, reads text\n"
    "from %s:%u, and writes every receive that begins with \"%s\" to\n"
    "standard output and to %s in the current folder, each line stamped with\n"
    "the milliseconds since start-up. A %s left by an earlier run is first\n"
    "moved aside, under its name with the time of the move after it.\n"
    "\n"
    "  --reconnect  connect again, at once and then every 2 s at most, whenever a\n"
    "               service closes the connection, fails or is not there yet: for\n"
    "               a chanlog that runs for days while its services restart.\n"
    "               Without it, chanlog connects once to each service.\n"
    "\n"
    "Exit status: 0 when both channels ended without a failure, 1 when start-up\n"
    "failed, 2 when both channels ended and one of them failed, 64 for a bad\n"
    "argument. While channel 1 holds its connection chanlog runs until it is\n"
    "ended (Ctrl-C); with --reconnect it always does.\n"
    "\n"
    "See %s for the whole story.\n";

// The options, each under every name it has; the platform's help switch is one more name of
// kHelp.
enum class Option { kHelp, kVersion, kReconnect };
struct Name {
    const char *name;
    Option option;
};
constexpr Name kNames[] = {
    {"--help", Option::kHelp},
    {"-h", Option::kHelp},
    {"--version", Option::kVersion},
    {"--reconnect", Option::kReconnect},
};

bool Is(const char *argument, const char *name) {
    return name != nullptr && std::strcmp(argument, name) == 0;
}

// The option that `argument` names, if any.
std::optional<Option> Find(const char *argument, const char *helpSwitch) {
    // Where "/?" asks for help, so does "-?", as Windows' own programs take it.
    if (Is(argument, helpSwitch) || (helpSwitch != nullptr && Is(argument, "-?"))) {
        return Option::kHelp;
    }
    for (const Name &known : kNames) {
        if (Is(argument, known.name)) {
            return known.option;
        }
    }
    return std::nullopt;
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
    Arguments parsed{Request::kRun, nullptr};
    for (int i = 1; i < argc; ++i) {
        const std::optional<Option> option = Find(argv[i], helpSwitch);
        if (!option) {
            return {Request::kBad, argv[i]};
        }
        switch (*option) {
        case Option::kHelp:
            parsed.request = Request::kHelp;
            break;
        case Option::kVersion:
            parsed.request = parsed.request == Request::kRun ? Request::kVersion : parsed.request;
            break;
        case Option::kReconnect:
            parsed.reconnect = true;
            break;
        }
    }
    return parsed;
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
        // The hint names the platform's own request for help.
        std::fprintf(stderr, "chanlog: unexpected argument '%s' (chanlog %s tells more)\n",
                     arguments.bad, helpSwitch != nullptr ? helpSwitch : "--help");
        return kExitUsage;
    case Request::kRun:
        break;
    }
    return 0;
}
