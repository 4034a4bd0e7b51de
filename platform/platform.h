#pragma once

// The operating system's services behind one interface: sockets, the millisecond tick, the log
// file, the console and the process's own set-up. Every call into the operating system lives
// behind this header. platform/posix/ and platform/win32/ implement it, one file per topic
// (sockets.cpp, clock.cpp, log_file.cpp, console.cpp, process.cpp, and what a platform needs
// besides), and the build picks one folder.

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
#else
using Socket = int;
inline constexpr Socket kInvalidSocket = -1;
#endif

// Starts the networking layer for the whole process, once: 0, or the start-up's error code. It is
// released at process exit, never by a channel, so that one channel's end never takes the layer
// from the other's socket. POSIX sockets need no start-up, and it does nothing there.
int PlatformNetStartup(std::uint16_t version);
Socket PlatformSocketOpen(); // IPv4 TCP socket, or kInvalidSocket
int PlatformSocketConnect(Socket socket, const sockaddr_in *address); // 0, or -1 on error
// One blocking receive: bytes received, 0 when the peer closed in order, -1 on error.
int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length);
// Waits until a receive would not wait (something came, the peer closed, or the connection
// failed, which the receive then tells) or `timeoutMs` has passed: 1 and 0 for those, -1 when the
// wait itself failed (PlatformSocketError says why). Nothing is read.
int PlatformSocketWaitReadable(Socket socket, int timeoutMs);
// Waits, reading nothing and without waking, until the peer closes the connection or it fails:
// 0 for an orderly close, 1 for a reset or another failure of the connection, -1 when the wait
// itself failed (PlatformSocketError says why). What the peer sends meanwhile stays unread.
int PlatformSocketWaitHangUp(Socket socket);
int PlatformSocketClose(Socket socket); // 0, or -1 on error
int PlatformSocketError();              // the calling thread's last socket error code

// Milliseconds from a 64-bit clock that never goes back and goes on while the machine sleeps, as
// Windows' tick count does; only differences of two readings mean anything.
std::uint64_t PlatformTickMs();
// Milliseconds since 1970-01-01T00:00:00Z by the wall clock, which may be set back or forward: for
// saying when something happened, never for measuring how long it took.
std::int64_t PlatformWallClockMs();

// The log file, written a whole report line at a time (its text may hold line feeds of its own),
// each at the end of the file as it is then.
#ifdef _WIN32
struct LogFile {
    void *handle; // the file's HANDLE, or nullptr when none is open
};
inline constexpr LogFile kNoLogFile = {nullptr};
#else
struct LogFile {
    int fd;                 // -1 when none is open
    unsigned long long dev; // which file it is, to tell when its name has gone elsewhere
    unsigned long long inode;
};
inline constexpr LogFile kNoLogFile = {-1, 0, 0};
#endif
enum class LogOpen { kOpened, kInUse, kNotMoved, kFailed };
// Opens `path` for appending, creating it if needed, and takes an exclusive lock on it that lasts
// until it is closed. Never empties it, and never waits: a FIFO without a reader fails. kInUse:
// another process holds it, and it is left as it was. kFailed: `*reason` says why.
LogOpen PlatformOpenLog(const char *path, LogFile *file, const char **reason);
// Opens `path` for a run of its own, as PlatformOpenLog does, once a regular file there that holds
// anything (an earlier run's lines) is moved aside, whole, in its own folder: where `path` is a
// link, the file it points to, under that file's own name. Its new name is the old one followed
// by `suffix`, or by `suffix` and ".1", ".2" and so on where a file of that name is there: no file
// is ever replaced. `movedTo` (of `size` bytes) gets the full path it went to, or "" when nothing
// was moved; a device or FIFO is used as it is. kInUse: another process holds it, and nothing was
// touched. kNotMoved: it could not be moved aside, `*reason` says why, and nothing was touched.
LogOpen PlatformOpenNewLog(const char *path, const char *suffix, LogFile *file, char *movedTo,
                           std::size_t size, const char **reason);
// Appends `length` bytes at the end of the file as it is at that moment, with each line feed as
// the platform's text line end: all of them or none. A write that the file took only in part is
// undone, unless another program changed the file meanwhile. 0, or -1 with `*reason`.
int PlatformLogAppend(LogFile *file, const char *line, std::size_t length, const char **reason);
// True when `path` no longer names the file that `file` writes: it was moved away or removed.
// Always false where the open log cannot be moved or removed.
bool PlatformLogMoved(const LogFile *file, const char *path);
// True when `file` still has a name somewhere (it was moved, not removed), or where the open log
// cannot be moved or removed.
bool PlatformLogStillNamed(const LogFile *file);
// True when `path` names a file now, whichever.
bool PlatformNameTaken(const char *path);
// Watches the file that `path` names now, in place of any watched before, for being moved,
// removed or replaced, which PlatformLogMayHaveMoved then tells. 0, or -1 where it cannot be
// watched: then PlatformLogMoved is the only way to know.
int PlatformWatchLog(const char *path);
// True when the watched file may have been moved, removed or replaced since the last call: asked
// before each line, it costs far less than a look at the name, and never waits.
bool PlatformLogMayHaveMoved();
// Writes into `out` (of `size` bytes) the full path that `path` names, for messages; `path` itself
// where it cannot be found.
void PlatformFullPath(const char *path, char *out, std::size_t size);
// Writes into `out` (of `size` bytes) the full path of `name` in the working folder, taken as it is
// now: the folder's path, not what `name` may link to. 0, or -1 with `*reason`.
int PlatformAbsolutePath(const char *name, char *out, std::size_t size, const char **reason);
// A second handle on the open log, for putting it on the disk from another thread: closing the
// first does not close it. 0, or -1 with `*reason` (no descriptor may be free).
int PlatformDuplicateLog(const LogFile *file, LogFile *copy, const char **reason);
// Waits until what was written to the log is on the disk. A log that cannot be put on a disk (a
// FIFO, a device) succeeds. 0, or -1 with `*reason`.
int PlatformSyncLog(const LogFile *file, const char **reason);
// Lets go of the log's lock; the log stays open.
void PlatformUnlockLog(const LogFile *file);
// Closes the log and releases its lock; nothing happens to one that is not open. 0, or -1 with
// `*reason`.
int PlatformCloseLog(LogFile *file, const char **reason);

// The console: standard output and standard error.
enum class Stream { kOut, kErr };
// Makes ready the writes to standard output that must never wait (PlatformStdoutTryWrite), and
// finds whether standard error is a file of its own (PlatformStderrApart). Call it once, after
// PlatformRecordStdoutAndGuardStandardStreams.
void PlatformConsolePrepare();
// Writes as much of `data` to standard output as it takes without holding up the caller, and
// returns how many bytes that was: 0 when it would wait, when the write failed
// (PlatformConsoleWrite then finds out why), and where the platform cannot write without the risk
// of waiting. `*stalled` says whether it took less than all because its reader is behind; false
// where the write failed or the platform cannot tell.
std::size_t PlatformStdoutTryWrite(const char *data, std::size_t length, bool *stalled);
// True when standard error is a file of its own, not the one standard output writes to (2>&1, one
// terminal), so that its messages need not keep their order behind standard output's lines. Where
// the platform cannot tell, false: the order is kept.
bool PlatformStderrApart();
enum class ConsoleWrite {
    kDone,   // all of it was written
    kGone,   // the reader went away: nothing written there will ever be read
    kFailed, // `*reason` says why
};
// Writes all of `data` as text to `stream`, waiting as long as it takes, also where the stream was
// left in non-blocking mode by whoever shares it. `*written` says how much got out.
ConsoleWrite PlatformConsoleWrite(Stream stream, const char *data, std::size_t length,
                                  std::size_t *written, const char **reason);
// Writes `data` to `stream` as PlatformConsoleWrite does, but waits for it no longer than
// `timeoutMs`, whatever the stream does (a file whose write does not return too): the last words of
// a process that must end whatever its console does.
void PlatformConsoleWriteWithin(Stream stream, const char *data, std::size_t length, int timeoutMs);

// Process.
// Records whether standard output exists (PlatformStdoutAvailable), and guards the standard
// streams: where closed descriptors can be reused, each of 0-2 that is closed gets /dev/null, so
// that no file or socket opened later takes its place. Call it first in main, before anything
// opens a file or socket.
void PlatformRecordStdoutAndGuardStandardStreams();
bool PlatformStdoutAvailable(); // what PlatformRecordStdoutAndGuardStandardStreams found
// Neither a reader of standard output that goes away nor a file-size limit on the log may end the
// process: a write then fails instead, and the log or the console goes on. Nor may writing to a
// terminal from the background stop it.
void PlatformIgnoreSignals();
// From now on a request to end the process (SIGTERM, SIGINT, SIGHUP; on Windows Ctrl-C,
// Ctrl-Break, the console window closed) waits for PlatformWaitForEndRequest instead of ending it
// at once, in this thread and every thread started after it. Call it before any thread starts.
void PlatformHoldEndRequests();
// Waits, without waking, until the process is asked to end, and returns the request.
int PlatformWaitForEndRequest();
// Ends the process as `request` would have ended it by itself: with its status.
[[noreturn]] void PlatformEndAsRequested(int request);
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
