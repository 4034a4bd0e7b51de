#pragma once

// One blocking TCP client step each. Every operation prints its own one-line failure on standard
// output (a socket or connect failure adds one on standard error naming the address) and, but
// for the receive, returns 0 (success) or 1 (failure); callers only test for 1.

#include <cstdint>

#include "platform/platform.h"

// Starts the networking layer, once per process; it is released at process exit.
int NetStartup();

// Whether a failure to create or connect a socket is printed: a channel that connects again and
// again prints only the first failure of an outage.
enum class Failure { kSaid, kQuiet };

// Creates a TCP socket and fills the loopback address for `port` (host order). On failure the
// address is left untouched.
int NetCreateSocket(Socket *socket, sockaddr_in *address, std::uint16_t port, Failure failure);

// Connects. On failure the socket is closed.
int NetConnect(Socket *socket, const sockaddr_in *address, Failure failure);

// Clears the whole buffer, then makes one blocking receive of at most `length` bytes. Returns the
// bytes received, 0 when the peer closed in order, -1 on error, which it prints.
int NetReceive(Socket *socket, char *buffer, int length);

// Waits until the peer closes the connection or it fails, reading nothing from it: 0 for an
// orderly close, 1 for a failed connection, or a wait that failed, which it prints.
int NetWaitForHangUp(const Socket *socket);

// Closes the socket.
int NetClose(Socket *socket);
