#pragma once

// The service ends of the unit tests' connections, on every platform. On POSIX systems the first
// five are the harness's (harness/loopback.cpp) and test_sockets_posix.cpp has the rest;
// test_sockets_win32.cpp has all of them for Windows, which has no harness.

#include <cstdint>
#include <string>

#include "platform/platform.h"

// The error codes the operations report, as the platform numbers them.
extern const int kRefusedCode;   // a connect to a port where nothing listens
extern const int kNotSocketCode; // a close of a socket that was closed already
extern const int kResetCode;     // a receive on a connection that the peer reset
// Whether a peer's orderly close is told while what it sent is still unread: not on Windows, which
// tells of it only once all was read.
extern const bool kCloseSeenPastUnreadData;
// What waiting for a hang-up gives for a reset: 1 (a failure), but 0 (an orderly close) under
// Wine, which tells of a reset as of a close.
extern const int kResetHangUp;

// A listener on 127.0.0.1 (port 0: one the system picks), or kInvalidSocket.
Socket Listen(std::uint16_t port);
std::uint16_t PortOf(Socket socket);
// Accepts one connection within `timeoutMs`, with TCP_NODELAY set; kInvalidSocket if none came.
Socket AcceptWithin(Socket listener, int timeoutMs);
// Sends all of `data` in one send(), which leaves at once on an accepted socket. False on failure.
bool SendMessage(Socket socket, const std::string &data);
// Closes the socket with a reset instead of an orderly close.
void ResetConnection(Socket socket);

void CloseSocket(Socket socket);
// Bytes received and not yet read; -1 on failure.
int QueuedBytes(Socket socket);
// The handle is no open socket.
bool IsClosedSocket(Socket socket);
