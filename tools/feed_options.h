#pragma once

// The command line of the sample service.

#include <cstdint>
#include <cstdio>

struct FeedOptions {
    std::uint16_t holdPort;
    std::uint16_t feedPort;
    int intervalMs;   // pause before each message to a feed client
    const char *from; // nullptr: the built-in sample; "-": standard input; else a file
    long long count;  // messages per feed client before its sequence ends; negative: no limit
    bool repeat;      // start the sequence again at its end
    bool close;       // close a feed connection when its sequence ends, instead of holding it
    bool echo;        // print each message sent on standard error
};

enum class ParseOutcome { kRun, kHelp, kVersion, kBadUsage };

// Fills `options` from the command line. For kBadUsage it has already printed one line saying
// what is wrong, then the usage, on standard error.
ParseOutcome ParseFeedOptions(int argc, char **argv, FeedOptions *options);

void PrintUsage(std::FILE *stream);
void PrintVersion(std::FILE *stream);
