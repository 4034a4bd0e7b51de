#include "bench/options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kMaxMessages = 100000000;
constexpr long kMaxCount = 600000; // rounds, starts, and the idle window in ms
constexpr long kSoakMessages = 1000000;

enum OptionId {
    kOptMessages = 'n',
    kOptRounds = 'r',
    kOptHelp = 'h',
    kOptStarts = 256, // above every character, so no short option can take these values
    kOptIdle,
    kOptFlood,
    kOptSoak,
    kOptLines,
    kOptJson,
    kOptCpus,
    kOptLabel,
    kOptChanlog,
    kOptLimit,
};

const option kLongOptions[] = {
    {"starts", required_argument, nullptr, kOptStarts},
    {"idle-ms", required_argument, nullptr, kOptIdle},
    {"flood", required_argument, nullptr, kOptFlood},
    {"soak", no_argument, nullptr, kOptSoak},
    {"lines", no_argument, nullptr, kOptLines},
    {"json", required_argument, nullptr, kOptJson},
    {"cpus", required_argument, nullptr, kOptCpus},
    {"label", required_argument, nullptr, kOptLabel},
    {"chanlog", required_argument, nullptr, kOptChanlog},
    {"limit", required_argument, nullptr, kOptLimit},
    {"help", no_argument, nullptr, kOptHelp},
    {nullptr, 0, nullptr, 0},
};

// A leading ':' makes getopt_long tell a missing value (':') from an unknown option ('?').
constexpr const char *kShortOptions = ":n:r:h";

// A decimal number within [low, high], the whole of `text`.
bool ParseLong(const char *text, long low, long high, long *value) {
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

bool TakeInt(long low, int *value) {
    long parsed = 0;
    if (!ParseLong(optarg, low, kMaxCount, &parsed)) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool IsCpus(const std::string &cpus) {
    return cpus == "same" || cpus == "split" || cpus == "any";
}

// False when the option's value is not one it takes.
bool TakeOption(int id, Options *options, bool *messagesGiven) {
    switch (id) {
    case kOptMessages:
        *messagesGiven = true;
        return ParseLong(optarg, 1, kMaxMessages, &options->messages);
    case kOptRounds:
        return TakeInt(1, &options->rounds);
    case kOptStarts:
        return TakeInt(1, &options->starts);
    case kOptIdle:
        return TakeInt(0, &options->idleMs);
    case kOptFlood:
        return ParseLong(optarg, 0, kMaxMessages, &options->floodMessages);
    case kOptSoak:
        options->soak = true;
        return true;
    case kOptLines:
        options->lines = true;
        return true;
    case kOptJson:
        options->json = optarg;
        return true;
    case kOptCpus:
        options->cpus = optarg;
        return IsCpus(options->cpus);
    case kOptLabel:
        options->label = optarg;
        return true;
    case kOptChanlog:
        options->chanlog = optarg;
        return true;
    case kOptLimit:
        options->limit = optarg;
        return true;
    }
    return false; // getopt_long returns no other id
}

// The argument getopt_long just stumbled on, as the user wrote it: a long option is the whole
// argument; a short one may sit in a cluster ("-xy"), so only its letter is known.
std::string LastOption(char **argv) {
    const char *argument = argv[optind - 1];
    if (std::strncmp(argument, "--", 2) == 0) {
        return argument;
    }
    return std::string("-") + static_cast<char>(optopt);
}

// How the user names the option `id`.
std::string OptionName(int id) {
    for (const option &known : kLongOptions) {
        if (known.name != nullptr && known.val == id) {
            return std::string("--") + known.name;
        }
    }
    return std::string("-") + static_cast<char>(id);
}

OptionsOutcome Bad(const std::string &what) {
    std::fprintf(stderr, "chanlog-bench: %s\n", what.c_str());
    return OptionsOutcome::kBad;
}

} // namespace

OptionsOutcome ParseOptions(int argc, char **argv, Options *options) {
    opterr = 0; // its messages would not be our one line
    bool messagesGiven = false;
    int id = 0;
    while ((id = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        if (id == ':') {
            return Bad("option '" + LastOption(argv) + "' needs a value");
        }
        if (id == '?') {
            return Bad("unknown option '" + LastOption(argv) + "'");
        }
        if (id == kOptHelp) {
            return OptionsOutcome::kHelp;
        }
        if (!TakeOption(id, options, &messagesGiven)) {
            return Bad(OptionName(id) + " does not take '" + optarg + "'");
        }
    }
    if (optind < argc) {
        return Bad(std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (options->soak && !messagesGiven) {
        options->messages = kSoakMessages;
    }
    return OptionsOutcome::kRun;
}

void PrintUsage(std::FILE *stream) {
    std::fprintf(stream,
                 "usage: chanlog-bench [-n MESSAGES] [-r ROUNDS] [--starts K] [--idle-ms MS]\n"
                 "                     [--flood MESSAGES] [--cpus split|same|any] [--json FILE]\n"
                 "                     [--label TEXT] [--soak] [--lines] [--chanlog PATH]\n"
                 "                     [--limit PATH]\n"
                 "  default: 3 rounds, chanlog and the reference interleaved, the driver and the\n"
                 "           client both on CPU 0 (--cpus same); in each round 20000 messages one\n"
                 "           at a time, then two floods of 100000 messages sent as fast as the\n"
                 "           feed can, with the client's console read and with it stalled\n"
                 "  --flood 0: no flood runs\n"
                 "  --soak: 1000000 messages (or -n) to chanlog alone, memory every tenth\n"
                 "  --lines: chanlog is run with --lines (a message a line); its CPU per\n"
                 "           message is read against 1.3x, and its floods should lose none\n");
}
