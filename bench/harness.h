#pragma once

// What the benchmark and the tests share to run real programs against services of their own: a
// network namespace with loopback listeners, child processes with their output captured, reads
// with deadlines, temporary folders. It reports failures by its results, never by GoogleTest.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Monotonic nanoseconds.
std::int64_t NowNs();
// Whole milliseconds left until `deadlineNs`; 0 once it has passed.
int MsUntil(std::int64_t deadlineNs);

// Moves this process into a network namespace of its own with loopback up, so that work on the
// fixed ports neither meets a real service nor other such work. Returns false where that is not
// allowed; the ports are then the machine's.
bool IsolateNetwork();
// A listening TCP socket on 127.0.0.1 (port 0: an ephemeral one), or -1 with errno set.
int Listen(std::uint16_t port);
std::uint16_t PortOf(int socket);
// Accepts one connection within `timeoutMs`; -1 if none came. TCP_NODELAY is set on it, so that
// what is sent on it leaves at once, each send as a segment of its own.
int AcceptWithin(int listener, int timeoutMs);
// Sends all of `data` in one send(), so that on a connection AcceptWithin took it arrives as one
// receive when the reader is waiting. Returns false on failure.
bool SendMessage(int socket, const std::string &data);
// Closes the socket with a reset instead of an orderly close.
void ResetConnection(int socket);
// Closes `*fd` unless it is -1 already, and makes it -1.
void CloseFd(int *fd);

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

// Waits for `fd` to become readable before `deadlineNs`. A signal caught meanwhile ends the wait
// too, so that a request to stop is not held up.
bool Readable(int fd, std::int64_t deadlineNs);
// Reads from `fd` until `text` has been seen or `timeoutMs` has passed; returns `sofar` followed by
// all that was read. A regular file is read as it grows.
std::string ReadUntilSeen(int fd, const std::string &text, int timeoutMs, std::string sofar = {});
// Reads from `fd` until end of file or `timeoutMs`; a regular file, to its present end.
std::string ReadToEnd(int fd, int timeoutMs);

// A fresh folder below the system's temporary folder (empty on failure), removed with its files by
// RemoveDir.
std::string MakeTempDir();
void RemoveDir(const std::string &dir);
// The whole of a file, or nothing when it cannot be read.
std::string ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::string &content);
