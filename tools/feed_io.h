#pragma once

// What sample-feed asks of the operating system: loopback sockets that never block, one wait
// over all of them, standard input, and its process set-up. feed_io_posix.cpp and
// feed_io_win32.cpp implement it, one per platform; the build picks one.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

// Wide enough for a POSIX descriptor and for a Windows socket handle alike.
using FeedSocket = std::intptr_t;
inline constexpr FeedSocket kNoSocket = -1;

// What a call that moves data returns besides a count.
inline constexpr long kIoFailed = -1; // FeedLastError says why
inline constexpr long kIoAgain = -2;  // nothing can be had now; try after the next wait

// First thing in main, before anything opens a file or socket: puts the null device on any of
// standard input, output and error that is closed, where a closed one would otherwise be taken by
// the next socket. False when standard input was closed.
bool FeedGuardStandardStreams();

// Ctrl-C and termination requests end the process at once with status 0. A peer or a reader of
// standard error that went away ends nothing.
void FeedEndOnInterrupt();
// What ends it so on this platform, as the usage's last paragraph begins: a sentence, and a blank
// or a line feed before the next one.
const char *FeedInterruptNote();

// The platform's own spelling of a request for help ("/?" on Windows), or nullptr.
const char *FeedHelpSwitch();

// Moves `file` to `offset` bytes from its start, also past 2 GiB; false with errno set.
bool FeedSeek(std::FILE *file, long long offset);

// The reason for the last failed call of this interface, in the words strerror uses.
const char *FeedLastError();

// A non-blocking listener on 127.0.0.1:port, or kNoSocket. A port that another socket listens on
// is refused as "Address already in use".
FeedSocket FeedListen(std::uint16_t port);

enum class AcceptOutcome { kAccepted, kNoneWaiting, kFailed };
// Takes one waiting connection, made non-blocking, with the peer's IPv4 address and port in host
// byte order. Connections the peer gave up before we took them are skipped.
AcceptOutcome FeedAccept(FeedSocket listener, FeedSocket *client, std::uint32_t *host,
                         std::uint16_t *port);

// Sends each segment as soon as it is handed over, instead of holding it back for the
// acknowledgement of the one before.
void FeedNoDelay(FeedSocket socket);

// Bytes the kernel took (0 when it has no room now), or kIoFailed when the connection failed.
long FeedSend(FeedSocket socket, const char *data, std::size_t length);

void FeedClose(FeedSocket socket);

// Whether the client of each connection has read everything sent on it so far, so that what is
// sent next arrives as a receive of its own: `taken` gets one answer per socket, in order. Where
// the system does not show it, the answer is yes as soon as it can tell no more: on Linux, once
// all that was sent is acknowledged and the client's own end has nothing unread (the kernel is
// asked about that one socket; where it cannot be, /proc/net/tcp is read, and without that table
// the acknowledgement alone decides); on Windows always, as it shows neither.
void FeedTaken(const std::vector<FeedSocket> &sockets, std::vector<bool> *taken);

// Whether standard input can be waited on together with the sockets. Where it cannot, it has to
// be read to its end before serving.
bool FeedCanWaitForInput();

// Bytes read from standard input, 0 at its end, kIoAgain or kIoFailed.
long FeedReadInput(char *buffer, std::size_t size);

enum class Watch {
    kNothing, // a place kept in the list, not waited on
    kAccept,  // a listener: ready when a connection waits
    kInput,   // standard input: ready when it can be read or has ended
    kClient,  // a connection: gone when the peer left, room when it takes more data
};

struct FeedWait {
    Watch watch = Watch::kNothing;
    FeedSocket socket = kNoSocket; // for kAccept and kClient
    bool wantRoom = false;         // kClient: wake also when it can take more data
    // Filled in by FeedWaitFor.
    bool ready = false;
    bool gone = false;
    bool room = false;
};

// Waits until an entry is ready, gone or has room, or `timeoutMs` has passed (-1: no limit). An
// interrupted wait returns with nothing set. False when the wait failed.
bool FeedWaitFor(std::vector<FeedWait> *waits, int timeoutMs);
