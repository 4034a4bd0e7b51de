#pragma once

// The programs that the tests and the benchmark run: started with their output captured, pinned
// to a CPU where asked, stopped, and asked whether they still run.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct Child {
    pid_t pid = -1;
    int out = -1; // read end of its standard output, or -1 where it was not captured
    int err = -1; // its standard error: a file, since Wine's helpers keep a pipe open past its end
    std::int64_t startNs = 0; // just before fork
};

enum class Output { kPipe, kNull, kClosed, kFd };

struct SpawnOptions {
    std::string workDir;           // empty: this process's own
    Output output = Output::kPipe; // standard output: captured, /dev/null, closed, or `stdoutFd`
    int cpu = -1;                  // the CPU it is pinned to, or -1 for anywhere
    bool dieWithParent = false;    // killed when this process ends
    int stdoutFd = -1;             // with Output::kFd: the descriptor it gets as standard output
};

// Starts `argv` (argv[0] is a path, or a command found in PATH), standard input from /dev/null.
// The pid is -1 (errno set) when it could not be started.
Child Spawn(const std::vector<std::string> &argv, const SpawnOptions &options = {});
// Ends the child with `signal` if it still runs, reaps it and closes its pipe and file.
void Stop(Child &child, int signal);
// True while the child has not ended; one that has is left to Stop to reap.
bool Running(const Child &child);
// Pins the calling process (and so the children it starts later) to one CPU; false where that is
// not allowed.
bool PinToCpu(int cpu);
