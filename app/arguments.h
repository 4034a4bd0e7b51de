#pragma once

// What chanlog's command line asks for: a run, with its options in any order and combination, or
// a request for help or for the version, which must never empty the log or connect.

enum class Request { kRun, kHelp, kVersion, kBad };

struct Arguments {
    Request request;
    const char *bad;        // with kBad: the first argument that is not understood
    bool reconnect = false; // --reconnect: the channels connect again whenever a service is gone
};

// Reads every argument: an unknown one makes kBad, and otherwise a request for help wins over
// one for the version, which wins over a run. An option given twice is given once. `helpSwitch`
// is the platform's own spelling of a request for help ("/?"), or nullptr.
Arguments ParseArguments(int argc, const char *const *argv, const char *helpSwitch);

// Answers a request that is not kRun on standard output (standard error for kBad) and returns the
// exit status: 0, 64 for a bad argument, 1 when standard output cannot be written. The usage lists
// `helpSwitch` (or nullptr) among the requests for help and points to `manual` for the rest.
int AnswerRequest(const Arguments &arguments, const char *helpSwitch, const char *manual);
