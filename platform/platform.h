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

// The log file, written a whole line at a time.
#ifdef _WIN32
struct LogFile {
    void *handle; // the file's HANDLE, or nullptr when none is open
};
inline constexpr LogFile kNoLogFile = {nullptr};
#else
struct LogFile {
    int fd; // -1 when none is open
};
inline constexpr LogFile kNoLogFile = {-1};
#endif
enum class LogOpen { kOpened, kInUse, kFailed };
// Opens `path` for writing, takes an exclusive lock on it that lasts until it is closed, and only
// then empties it, so that a second process never destroys a log in use. Never waits: a FIFO
// without a reader fails. kInUse: another process holds it, and it is left as it was. kFailed:
// `*reason` says why.
LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason);
// Appends `length` bytes, whose only line feed is the last, as the platform's text line: all of
// them or none. A write that the file took only in part is undone. 0, or -1 with `*reason`.
int PlatformLogAppend(LogFile *file, const char *line, std::size_t length, const char **reason);
// Closes the log and releases its lock; nothing happens to one that is not open. 0, or -1 with
// `*reason`.
int PlatformCloseLog(LogFile *file, const char **reason);

// The console: standard output and standard error.
enum class Stream { kOut, kErr };
// Makes ready the writes that must never wait (PlatformConsoleTryWrite). Call it once, after
// PlatformRecordStdout.
void PlatformConsolePrepare();
// Writes as much of `data` to standard output as it takes without waiting, and returns how many
// bytes that was (0 where the platform cannot write without the risk of waiting). Bytes that
// nobody will read (the reader went away) count as written.
std::size_t PlatformConsoleTryWrite(const char *data, std::size_t length);
// Writes all of `data` as text to `stream`, waiting as long as it takes; a stream that fails for
// good (its reader went away) loses the rest, which is no failure of ours.
void PlatformConsoleWrite(Stream stream, const char *data, std::size_t length);

// Process.
// Records whether standard output exists, and where closed descriptors can be reused puts
// /dev/null on any of 0-2, so that no file or socket opened later takes their place. Call it first
// in main, before anything opens a file or socket.
void PlatformRecordStdout();
bool PlatformStdoutAvailable(); // what PlatformRecordStdout found
// Neither a reader of standard output that goes away nor a file-size limit on the log may end the
// process: a write then fails instead, and the log or the console goes on.
void PlatformIgnoreSignals();
// chanlog opens no window: its start-up must not reach for a display server, which may never
// answer.
void PlatformForgetDisplay();
// A Windows-style help switch ("/?") where the platform has one, or nullptr.
const char *PlatformHelpSwitch();
// Where the platform's users find chanlog's whole manual, as the usage names it.
const char *PlatformManual();
// Until PlatformReleaseAbort, a thread that the system refuses writes `message` to standard error
// and ends the process with `status`: on POSIX systems the abort() that the thread library calls
// then, on Windows the failed thread start itself, which the library does not check. What the
// library writes to standard error meanwhile is not shown, so `message` stays the only line.
void PlatformTrapAbort(const char *message, int status);
void PlatformReleaseAbort();
// Blocks the calling thread until the process ends, without waking and without using CPU.
[[noreturn]] void PlatformWaitForever();
