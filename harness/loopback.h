#pragma once

// Both ends of TCP connections on 127.0.0.1, the only address the tests and the benchmark talk to:
// the services' listeners and what they accept, and the clients that connect to a program's own.

#include <cstdint>
#include <string>

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

// A connection to 127.0.0.1:port, or -1 with errno set; with `wait` false, a non-blocking one that
// may still be being made.
int Connect(std::uint16_t port, bool wait = true);

// Sends all of `data` in one send(), so that on a connection AcceptWithin took it arrives as one
// receive when the reader is waiting. Returns false on failure.
bool SendMessage(int socket, const std::string &data);
// Closes the socket with a reset instead of an orderly close.
void ResetConnection(int socket);
