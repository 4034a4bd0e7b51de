#pragma once

// A channel's connection to its service, made once or, with --reconnect, made again whenever the
// service closes it, fails or is not there yet: at once, then after pauses that grow to about 2 s.
// Standard error says each loss once and each return once, with how long the service was gone;
// a failed connect is printed once per outage, not once per attempt.

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Where a channel stands with its service. Every change is made in one place (reconnect.cpp).
enum class Link {
    kFirst,  // not yet connected since start-up, and no connect has failed
    kUp,     // connected
    kLost,   // the connection ended, and no connect has failed since
    kAbsent, // a connect failed and was printed: the others of this outage are not
};

struct Service {
    const char *name;   // "hold" or "feed", as the messages call it
    std::uint16_t port; // on the loopback address
    Link link = Link::kFirst;
    std::uint64_t goneSince = 0; // the tick of the loss, or of the first failed connect
    std::uint64_t upSince = 0;   // the tick of the last connection
    int attempt = 0;             // of this outage, which decides the pause before it
};

// How a connection ended.
enum class Ending { kClosed, kFailed };

// The pause before attempt `attempt` of an outage, the first being 0: none, then growing to the
// longest pause, which it stays at.
int ReconnectPauseMs(int attempt);

// Writes how long a service was gone, `ms`, into `out` (`size` bytes), in its two largest units,
// each cut down to a whole one: "0.4 s", "59.9 s", "2 min 5 s", "3 h 12 min", "2 d 3 h".
void FormatDuration(std::int64_t ms, char *out, std::size_t size);

// Connects `*socket` to the service: one attempt, or with `again` as many as it takes, which never
// fails. 0, or 1 when the one attempt failed (and was printed). The first attempt after a loss is
// made at once, unless the connection was lost soon after it was made: then the pauses go on
// growing from where they were.
int ConnectService(Service *service, bool again, Socket *socket);

// Says on standard error that the connection ended, and what comes of it: with `again` it is
// connected again, without it nothing more is logged.
void SayLost(Service *service, Ending ending, bool again);
