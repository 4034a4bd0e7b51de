#pragma once

// Our stand-ins for the Windows services the client was first written against (Windows Sockets,
// the tick counter, the standard handles). Every call into the operating system lives behind this
// header.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

// Sockets.
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;

// What the networking start-up fills in. POSIX sockets need no start-up, so it only keeps the
// version that was asked for.
struct NetData {
    std::uint16_t version;
};

int PlatformNetStartup(std::uint16_t version, NetData *data); // 0, or the start-up's error code
void PlatformNetCleanup();                                    // releases nothing here
Socket PlatformSocketOpen();                                  // IPv4 TCP socket, or kInvalidSocket
int PlatformSocketConnect(Socket socket, const sockaddr_in *address); // 0, or -1 on error
// One blocking receive: bytes received, 0 when the peer closed in order, -1 on error.
int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length);
int PlatformSocketClose(Socket socket); // 0, or -1 on error
int PlatformSocketError();              // the calling thread's last error code

// Milliseconds from a monotonic clock; only differences of two readings mean anything.
std::uint64_t PlatformTickMs();

// Process.
// Records whether standard output was open at start-up, then puts /dev/null on any of descriptors
// 0-2 that were closed, so that no file or socket opened later can take their place. Call it
// first in main, before anything opens a descriptor.
void PlatformRecordStdout();
bool PlatformStdoutAvailable(); // what PlatformRecordStdout found
// A reader of standard output that goes away must not end the process: the log goes on.
void PlatformIgnoreSigpipe();
// Until PlatformReleaseAbort, an abort() (which the thread library calls when the system refuses
// a thread) writes `message` to standard error and ends the process with `status` instead.
void PlatformTrapAbort(const char *message, int status);
void PlatformReleaseAbort();
// Blocks the calling thread until the process ends, without waking and without using CPU.
[[noreturn]] void PlatformWaitForever();
