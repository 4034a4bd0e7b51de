#pragma once

// The benchmark driver's command line.

#include <cstdio>
#include <string>

struct Options {
    long messages = 20000; // one at a time, per client and round (the soak's: 1000000)
    int rounds = 3;
    int starts = 10;
    int idleMs = 3000;
    long floodMessages = 100000; // sent as fast as the feed can, per flood run; 0: no flood runs
    bool soak = false;
    bool lines = false;        // chanlog is run with --lines
    std::string cpus = "same"; // same: driver and client on CPU 0; split: client on CPU 1; any
    std::string json;
    std::string label;
    std::string chanlog = CHANLOG_BENCH_CLIENT;
    std::string limit = CHANLOG_BENCH_LIMIT;
};

enum class OptionsOutcome { kRun, kHelp, kBad };

// Fills `options` from the command line. For kBad it has already named the argument at fault on
// standard error.
OptionsOutcome ParseOptions(int argc, char **argv, Options *options);
void PrintUsage(std::FILE *stream);
