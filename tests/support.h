#pragma once

// What the tests need to run real programs against real listeners: loopback listeners, child
// processes with captured output, reads with deadlines, temporary folders.

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/loopback.h"

// One line of /proc/net/tcp: an IPv4 TCP socket of this network namespace.
struct TcpSocket {
    std::uint16_t localPort;
    std::uint16_t remotePort;
    int state;    // as the kernel numbers them: kTcpEstablished, kTcpCloseWait...
    long txQueue; // sent, not yet acknowledged
    long rxQueue; // received, not yet read
};
inline constexpr int kTcpEstablished = 1;
inline constexpr int kTcpCloseWait = 8; // the peer has closed; this end has not yet
std::vector<TcpSocket> TcpSockets();

std::uint16_t PortOf(int socket);
// Accepts one connection within `timeoutMs`; -1 if none came.
int AcceptWithin(int listener, int timeoutMs);
// Sends all of `data` in one send() with TCP_NODELAY set, so that it arrives as one receive when
// the reader is waiting. Returns false on failure.
bool SendMessage(int socket, const std::string &data);
// Closes the socket with a reset instead of an orderly close.
void ResetConnection(int socket);
// Waits until the client of the established connection to `servicePort` has taken every byte the
// service sent, so that what is sent next arrives as a receive of its own. Reads /proc/net/tcp;
// false on timeout.
bool WaitDrained(std::uint16_t servicePort, int timeoutMs);

// The programs under test, as commands: the native build's, or those of the Windows build that
// CHANLOG_WINDOWS_BUILD in the environment names, under Wine.
std::vector<std::string> ChanlogCommand();
std::vector<std::string> SampleFeedCommand();
// What differs when they are the Windows build: the code of a refused connect, the words for a
// folder opened as a file, and the text line end, CR LF, which ReadUntil, ReadAll and ReadFile
// turn into a line feed (failing the test where one lacks its carriage return).
bool WindowsPrograms();
int RefusedCode();
std::string DirectoryReason(); // why a folder cannot be opened as a file for writing
// Ends what the Windows programs leave running (their wineserver, which lives in the network
// namespace of the test that started it), so that the next test's start in its own.
void EndProgramsSession();

struct Child {
    pid_t pid = -1;
    int out = -1; // read end of its standard output, or -1 where it was not captured
    int err = -1; // its standard error: a file, since Wine's helpers keep a pipe open past its end
};

struct SpawnOptions {
    std::string workDir;       // empty: this process's own
    bool closeStdout = false;  // start it with standard output closed
    bool captureStdout = true; // otherwise it goes to /dev/null
};

// Starts `argv` (argv[0] is a path, or a command found in PATH). Aborts the test on failure.
Child Spawn(const std::vector<std::string> &argv, const SpawnOptions &options = {});
// What the programs under test wrote. Reads from `fd` until `text` has been seen or `timeoutMs` has
// passed; returns all that was read (also what was already in `sofar`). A file is read as it grows.
std::string ReadUntil(int fd, const std::string &text, int timeoutMs,
                      const std::string &sofar = {});
// The bound on every wait of the tests: long enough for a loaded sanitizer run.
inline constexpr int kWaitMs = 10000;

// Polls `done` every 2 ms until it holds or `timeoutMs` has passed; returns its last answer.
template <typename Condition> bool WaitFor(Condition done, int timeoutMs = kWaitMs) {
    for (int waited = 0; !done(); waited += 2) {
        if (waited >= timeoutMs) {
            return false;
        }
        usleep(2000);
    }
    return true;
}
// Reads from `fd` until end of file or `timeoutMs`; a file, to its present end.
std::string ReadAll(int fd, int timeoutMs);
// Waits for the child to end within `timeoutMs` and returns its wait status; on timeout it is
// killed and -1 is returned.
int WaitExit(Child &child, int timeoutMs);
// Ends the child with `signal` if it still runs, reaps it and closes its pipes.
void Stop(Child &child, int signal);
// True while the child has not ended.
bool Running(const Child &child);

// A fresh folder below the system's temporary folder, removed with its files by RemoveDir.
std::string MakeTempDir();
void RemoveDir(const std::string &dir);
std::string ReadFile(const std::string &path); // what the programs wrote, as ReadAll
void WriteFile(const std::string &path, const std::string &content);

// Splits on line feeds; a trailing piece without one is kept.
std::vector<std::string> Lines(const std::string &text);
// The line begins with a time stamp "<digits>: ".
bool IsStamped(const std::string &line);
// The text of each report "<ms>: <text>\n" in `text`. A line without a time stamp continues the
// text before it (a text may hold line feeds of its own); before any report it comes back whole,
// prefixed with "BAD: ".
std::vector<std::string> ReportTexts(const std::string &text);
// The text with the time stamp "<digits>: " taken off every line that begins with one; for
// reports whose text holds line feeds of its own.
std::string Unstamped(const std::string &text);

// ---- Fault tests: what waits unread at a client, what a process holds open, stopped processes.

// Bytes waiting unread at the client end of the established connection to `servicePort`; -1 when
// there is no such connection. Reads /proc/net/tcp.
long ClientUnread(std::uint16_t servicePort);
// The targets of the open descriptors of process `pid` as /proc shows them: a path, or
// "socket:[inode]", "pipe:[inode]" and the like.
std::vector<std::string> OpenFiles(pid_t pid);
// True when every thread of process `pid` is stopped (by SIGSTOP), so that nothing it would read
// after this is taken before it continues.
bool AllThreadsStopped(pid_t pid);

// ---- Sample service tests: the states of the client ends of connections.

// The state of every TCP socket whose remote port is `servicePort`, that is of the client ends of
// the connections to that service, in this network namespace. Reads /proc/net/tcp.
std::vector<int> ClientStates(std::uint16_t servicePort);
