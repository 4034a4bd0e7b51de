#include "channels/reconnect.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "config/config.h"
#include "console/console.h"
#include "net/net.h"

namespace {

// The longest duration said.
constexpr std::size_t kDurationSize = 48;

enum class Event { kConnected, kNotConnected, kEnded };

// The one place where a link changes, with the ticks and the attempt that go with it. The time
// a service is gone is taken from its loss, or from the first failed connect of one not there
// since start-up.
void Move(Service *service, Event event) {
    const std::uint64_t now = PlatformTickMs();
    switch (event) {
    case Event::kConnected:
        service->upSince = now;
        service->link = Link::kUp;
        return;
    case Event::kNotConnected:
        if (service->link == Link::kFirst) {
            service->goneSince = now;
        }
        ++service->attempt;
        service->link = Link::kAbsent;
        return;
    case Event::kEnded:
        service->goneSince = now;
        service->attempt = now - service->upSince >= kReconnectSteadyMs ? 0 : service->attempt + 1;
        service->link = Link::kLost;
        return;
    }
}

// Creates the socket and connects it; a failed connect has closed the socket.
int ConnectOnce(const Service *service, Socket *socket, Failure failure) {
    sockaddr_in address{};
    if (NetCreateSocket(socket, &address, service->port, failure) == 1) {
        return 1;
    }
    return NetConnect(socket, &address, failure);
}

void SayBack(const Service *service) {
    char gone[kDurationSize];
    FormatDuration(static_cast<std::int64_t>(PlatformTickMs() - service->goneSince), gone,
                   sizeof gone);
    ConsoleSay(Stream::kErr, "The %s service at %s:%u is back after %s\n", service->name,
               kLoopbackAddress, static_cast<unsigned>(service->port), gone);
}

} // namespace

int ReconnectPauseMs(int attempt) {
    if (attempt <= 0) {
        return 0;
    }
    int pause = kReconnectFirstPauseMs;
    for (int i = 1; i < attempt && pause < kReconnectLongestPauseMs; ++i) {
        pause *= 2;
    }
    return std::min(pause, kReconnectLongestPauseMs);
}

void FormatDuration(std::int64_t ms, char *out, std::size_t size) {
    const long long whole = std::max<std::int64_t>(ms, 0);
    const long long seconds = whole / 1000;
    const long long minutes = seconds / 60;
    const long long hours = minutes / 60;
    if (seconds < 60) {
        std::snprintf(out, size, "%lld.%lld s", seconds, whole / 100 % 10);
    } else if (minutes < 60) {
        std::snprintf(out, size, "%lld min %lld s", minutes, seconds % 60);
    } else if (hours < 24) {
        std::snprintf(out, size, "%lld h %lld min", hours, minutes % 60);
    } else {
        std::snprintf(out, size, "%lld d %lld h", hours / 24, hours % 24);
    }
}

int ConnectService(Service *service, bool again, Socket *socket) {
    for (;;) {
        // A timed sleep: the end of the process does not wait for it, the end-request thread
        // ends the process whatever the channels do.
        std::this_thread::sleep_for(std::chrono::milliseconds(ReconnectPauseMs(service->attempt)));
        const Failure failure = service->link == Link::kAbsent ? Failure::kQuiet : Failure::kSaid;
        if (ConnectOnce(service, socket, failure) == 0) {
            if (service->link != Link::kFirst) {
                SayBack(service);
            }
            Move(service, Event::kConnected);
            return 0;
        }
        Move(service, Event::kNotConnected);
        if (!again) {
            return 1;
        }
    }
}

void SayLost(Service *service, Ending ending, bool again) {
    Move(service, Event::kEnded);
    const char *next = again ? "connecting again" : "nothing more will be logged";
    if (ending == Ending::kClosed) {
        ConsoleSay(Stream::kErr, "The %s service closed the connection: %s\n", service->name, next);
    } else {
        ConsoleSay(Stream::kErr, "The %s connection failed: %s\n", service->name, next);
    }
}
