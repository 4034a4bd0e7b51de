#pragma once

// One blocking TCP client step each. Every operation prints its own one-line failure on standard
// output (a socket or connect failure adds one on standard error naming the address) and, but
// for the receive, returns 0 (success) or 1 (failure); callers only test for 1.

#include <cstdint>

#include "platform/platform.h"

// Starts the networking layer, once per process; it is released at process exit.
int NetStartup();

// Creates a TCP socket and fills the loopback address for `port` (host order). On failure the
// address is left untouched.
int NetCreateSocket(Socket *socket, sockaddr_in *address, std::uint16_t port);

// Connects. On failure the socket is closed.
int NetConnect(Socket *socket, const sockaddr_in *address);

// Clears the whole buffer, then makes one blocking receive of at most `length` bytes. Returns the
// bytes received, 0 when the peer closed in order, -1 on error, which it prints.
int NetReceive(Socket *socket, char *buffer, int length);

// Closes the socket.
int NetClose(Socket *socket);
