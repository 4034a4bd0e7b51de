#pragma once

// Loopback listeners in a network namespace of one's own: what the tests and the benchmark need to
// play chanlog's services on its fixed ports without meeting a real service or each other.

#include <cstdint>

// Moves this process into a network namespace of its own with loopback up, so that work on the
// fixed ports neither meets a real service nor other such work. Returns false where that is not
// allowed; the ports are then the machine's.
bool IsolateNetwork();

// A listening TCP socket on 127.0.0.1 (port 0: an ephemeral one), or -1 with errno set.
int Listen(std::uint16_t port);
