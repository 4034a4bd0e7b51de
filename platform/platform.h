#pragma once

// The operating system's services behind one interface: sockets, the millisecond tick, the
// standard output check, the log file's lock and the process's own set-up. Every call into the
// operating system lives behind this header; posix.cpp and win32.cpp implement it, one per
// platform, and the build picks one.

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

// Sockets.
#ifdef _WIN32
using Socket = SOCKET;
inline constexpr Socket kInvalidSocket = INVALID_SOCKET;
using NetData = WSADATA; // what the networking start-up fills in
#else
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
// POSIX sockets need no start-up, so it only keeps the version that was asked for.
struct NetData {
    std::uint16_t version;
};
#endif

int PlatformNetStartup(std::uint16_t version, NetData *data); // 0, or the start-up's error code
// A channel's release of the networking layer. It does nothing: the one start-up is released at
// process exit, so that one channel's release never takes the layer from the other's socket.
void PlatformNetCleanup();
Socket PlatformSocketOpen(); // IPv4 TCP socket, or kInvalidSocket
int PlatformSocketConnect(Socket socket, const sockaddr_in *address); // 0, or -1 on error
// One blocking receive: bytes received, 0 when the peer closed in order, -1 on error.
int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length);
int PlatformSocketClose(Socket socket); // 0, or -1 on error
int PlatformSocketError();              // the calling thread's last socket error code

// Milliseconds from a monotonic 64-bit clock; only differences of two readings mean anything.
std::uint64_t PlatformTickMs();

// The log file.
enum class LogOpen { kOpened, kInUse, kFailed };
// Opens `path` for writing in text mode, takes an exclusive lock on it that lasts until it is
// closed, and only then empties it, so that a second process never destroys a log in use. kInUse:
// another process holds it, and it is left as it was. kFailed: `*reason` says why.
LogOpen PlatformOpenLog(const char *path, std::FILE **file, const char **reason);

// Process.
// Records whether standard output exists, and where closed descriptors can be reused puts
// /dev/null on any of 0-2, so that no file or socket opened later takes their place. Call it first
// in main, before anything opens a file or socket.
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
