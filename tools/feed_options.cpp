#include "tools/feed_options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/feed_io.h"

namespace {

// The sample service's own idea of the ports, kept apart from the client's constants so that a
// wrong port in one of them shows up as a failed connection instead of agreeing with itself.
constexpr std::uint16_t kDefaultHoldPort = 31285;
constexpr std::uint16_t kDefaultFeedPort = 31286;
constexpr int kDefaultIntervalMs = 250;
constexpr long long kMinPort = 1; // port 0 would listen somewhere no client could know
constexpr long long kMaxPort = 65535;
constexpr long long kMaxIntervalMs = 3600000; // an hour
constexpr long long kMaxCount = 1000000000000LL;

enum OptionId {
    kOptHelp = 'h',
    kOptHoldPort = 256, // above every character, so no short option can take these values
    kOptVersion,
    kOptFeedPort,
    kOptInterval,
    kOptFrom,
    kOptCount,
    kOptRepeat,
    kOptClose,
    kOptEcho,
};

const option kLongOptions[] = {
    {"hold-port", required_argument, nullptr, kOptHoldPort},
    {"feed-port", required_argument, nullptr, kOptFeedPort},
    {"interval-ms", required_argument, nullptr, kOptInterval},
    {"from", required_argument, nullptr, kOptFrom},
    {"count", required_argument, nullptr, kOptCount},
    {"repeat", no_argument, nullptr, kOptRepeat},
    {"close", no_argument, nullptr, kOptClose},
    {"echo", no_argument, nullptr, kOptEcho},
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {nullptr, 0, nullptr, 0},
};

// A leading ':' makes getopt_long tell a missing value (':') from an unknown option ('?').
constexpr const char *kShortOptions = ":h";

FeedOptions Defaults() {
    return {
        kDefaultHoldPort, kDefaultFeedPort, kDefaultIntervalMs, nullptr, -1, false, false, false};
}

// The platform's help switch, and where it has one "-?" too, as Windows' own programs take it.
bool IsHelpSwitch(const char *argument) {
    const char *helpSwitch = FeedHelpSwitch();
    return helpSwitch != nullptr &&
           (std::strcmp(argument, helpSwitch) == 0 || std::strcmp(argument, "-?") == 0);
}

// Where standard input cannot be waited on with the sockets, it is all read before listening.
const char *InputNote() {
    return FeedCanWaitForInput() ? "" : ",\n                    all of it before listening";
}

// The help switch beside --help in the usage, where the platform has one.
std::string HelpSwitchNote() {
    const char *helpSwitch = FeedHelpSwitch();
    return helpSwitch != nullptr ? std::string(", ") + helpSwitch : std::string();
}

ParseOutcome BadUsage(const char *format, const char *what) {
    std::fputs("sample-feed: ", stderr);
    std::fprintf(stderr, format, what);
    std::fputc('\n', stderr);
    PrintUsage(stderr);
    return ParseOutcome::kBadUsage;
}

// A plain decimal number within [min, max]; strtoll alone would also take signs and blanks.
bool ParseNumber(const char *text, long long min, long long max, long long *value) {
    if (std::isdigit(static_cast<unsigned char>(text[0])) == 0) {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) {
        return false;
    }
    *value = parsed;
    return true;
}

ParseOutcome BadNumber(const char *name, long long min, long long max, const char *text) {
    std::fprintf(stderr, "sample-feed: --%s wants a whole number from %lld to %lld, not '%s'\n",
                 name, min, max, text);
    PrintUsage(stderr);
    return ParseOutcome::kBadUsage;
}

// Takes the value of one numeric option into `value`, or explains why not.
ParseOutcome TakeNumber(const char *name, long long min, long long max, long long *value) {
    if (!ParseNumber(optarg, min, max, value)) {
        return BadNumber(name, min, max, optarg);
    }
    return ParseOutcome::kRun;
}

ParseOutcome TakeOption(int id, FeedOptions *options) {
    long long value = 0;
    ParseOutcome outcome = ParseOutcome::kRun;
    switch (id) {
    case kOptHoldPort:
        outcome = TakeNumber("hold-port", kMinPort, kMaxPort, &value);
        options->holdPort = static_cast<std::uint16_t>(value);
        return outcome;
    case kOptFeedPort:
        outcome = TakeNumber("feed-port", kMinPort, kMaxPort, &value);
        options->feedPort = static_cast<std::uint16_t>(value);
        return outcome;
    case kOptInterval:
        outcome = TakeNumber("interval-ms", 0, kMaxIntervalMs, &value);
        options->intervalMs = static_cast<int>(value);
        return outcome;
    case kOptCount:
        return TakeNumber("count", 0, kMaxCount, &options->count);
    case kOptFrom:
        options->from = optarg;
        if (optarg[0] == '\0') {
            return BadUsage("--from wants a file name, or '-' for standard input, not '%s'",
                            optarg);
        }
        return ParseOutcome::kRun;
    case kOptRepeat:
        options->repeat = true;
        return ParseOutcome::kRun;
    case kOptClose:
        options->close = true;
        return ParseOutcome::kRun;
    case kOptEcho:
        options->echo = true;
        return ParseOutcome::kRun;
    case kOptHelp:
        return ParseOutcome::kHelp;
    case kOptVersion:
        return ParseOutcome::kVersion;
    }
    return ParseOutcome::kRun; // getopt_long returns no other id
}

// The option getopt_long just stumbled on, as the user wrote it. A long one is the whole
// argument; a short one may sit in a cluster ("-xy"), so only its letter is known.
std::string LastOption(char **argv) {
    const char *argument = argv[optind - 1];
    if (std::strncmp(argument, "--", 2) == 0) {
        return argument;
    }
    return std::string("-") + static_cast<char>(optopt);
}

} // namespace

ParseOutcome ParseFeedOptions(int argc, char **argv, FeedOptions *options) {
    *options = Defaults();
    // The platform's help switch is read as --help, wherever it stands.
    static char help[] = "--help";
    std::vector<char *> args(argv, argv + argc);
    for (char *&arg : args) {
        if (IsHelpSwitch(arg)) {
            arg = help;
        }
    }
    args.push_back(nullptr);
    opterr = 0; // its messages would not be our one line
    int id = 0;
    while ((id = getopt_long(argc, args.data(), kShortOptions, kLongOptions, nullptr)) != -1) {
        if (id == ':') {
            return BadUsage("option '%s' needs a value", LastOption(args.data()).c_str());
        }
        if (id == '?') {
            return BadUsage("unknown option '%s'", LastOption(args.data()).c_str());
        }
        const ParseOutcome outcome = TakeOption(id, options);
        if (outcome != ParseOutcome::kRun) {
            return outcome;
        }
    }
    if (optind < argc) {
        return BadUsage("unexpected argument '%s'", args[optind]);
    }
    return ParseOutcome::kRun;
}

void PrintUsage(std::FILE *stream) {
    std::fprintf(
        stream,
        "Usage: sample-feed [OPTION]...\n"
        "A pair of sample services for chanlog on 127.0.0.1. Every connection to the hold port is\n"
        "kept open in silence; every client of the feed port is sent a sequence of messages, each\n"
        "in a send of its own.\n"
        "\n"
        "  --hold-port N     port of the held connections (default %u)\n"
        "  --feed-port N     port of the messages (default %u)\n"
        "  --interval-ms N   pause before each message, in milliseconds (default %d)\n"
        "  --from FILE       send the lines of FILE, each with its line feed, instead of the\n"
        "                    built-in sample; '-' reads them from standard input%s\n"
        "  --count N         end each client's sequence after N messages\n"
        "  --repeat          start the sequence again at its end\n"
        "  --close           close the feed connection when its sequence ends (default: hold it)\n"
        "  --echo            print each message sent on standard error\n"
        "  --help%-11s print this and exit\n"
        "  --version         print the version and exit\n"
        "\n"
        "%sExit status: 0 when ended so, 1 when a port cannot be\n"
        "listened on or FILE cannot be read, 64 for a bad option.\n",
        static_cast<unsigned>(kDefaultHoldPort), static_cast<unsigned>(kDefaultFeedPort),
        kDefaultIntervalMs, InputNote(), HelpSwitchNote().c_str(), FeedInterruptNote());
}

void PrintVersion(std::FILE *stream) {
    std::fprintf(stream, "sample-feed %s\n", CHANLOG_VERSION);
}
