#include "net/net.h"

#include <cstdio>
#include <cstring>

#include "config/config.h"
#include "console/console.h"

namespace {

constexpr std::uint16_t kSocketsVersion = 0x0202; // 2.2

// The longest failure line.
constexpr std::size_t kLineSize = 128;

// The failure line says only the error; the line on standard error says which service it was.
// The two are said together, so that another channel's failure never comes between them.
void SayFailed(const char *operation, long code, const char *what, const char *address,
               unsigned port) {
    char out[kLineSize];
    char err[kLineSize];
    std::snprintf(out, sizeof out, "%s failed with error: %ld\n", operation, code);
    std::snprintf(err, sizeof err, "Could not %s %s:%u\n", what, address, port);
    ConsoleSayBoth(out, err);
}

// `error` is taken before anything else can change it.
void SayConnectFailed(int error, const sockaddr_in *address) {
    const auto *ip = reinterpret_cast<const unsigned char *>(&address->sin_addr);
    char where[sizeof "255.255.255.255"];
    std::snprintf(where, sizeof where, "%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3]);
    SayFailed("connect", error, "connect to", where, ntohs(address->sin_port));
}

} // namespace

int NetStartup() {
    const int result = PlatformNetStartup(kSocketsVersion);
    if (result != 0) {
        ConsoleSay(Stream::kOut, "WSAStartup failed with error: %d\n", result);
        return 1;
    }
    return 0;
}

int NetCreateSocket(Socket *socket, sockaddr_in *address, std::uint16_t port, Failure failure) {
    *socket = PlatformSocketOpen();
    if (*socket == kInvalidSocket) {
        if (failure == Failure::kSaid) {
            SayFailed("socket", PlatformSocketError(), "create a socket for", kLoopbackAddress,
                      port);
        }
        return 1;
    }
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = inet_addr(kLoopbackAddress);
    address->sin_port = htons(port);
    return 0;
}

int NetConnect(Socket *socket, const sockaddr_in *address, Failure failure) {
    if (PlatformSocketConnect(*socket, address) == -1) {
        if (failure == Failure::kSaid) {
            SayConnectFailed(PlatformSocketError(), address);
        }
        PlatformSocketClose(*socket); // already failing; a second message would say nothing new
        return 1;
    }
    return 0;
}

int NetWaitForHangUp(const Socket *socket) {
    const int ended = PlatformSocketWaitHangUp(*socket);
    if (ended == -1) {
        ConsoleSay(Stream::kOut, "wait failed with error: %d\n", PlatformSocketError());
        return 1;
    }
    return ended;
}

int NetReceive(Socket *socket, char *buffer, int length) {
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    const int result = PlatformSocketReceive(*socket, buffer, static_cast<std::size_t>(length));
    if (result == -1) {
        ConsoleSay(Stream::kOut, "recv failed with error: %d\n", PlatformSocketError());
    }
    return result;
}

int NetClose(Socket *socket) {
    int status = 0;
    if (PlatformSocketClose(*socket) == -1) {
        ConsoleSay(Stream::kOut, "close failed with error: %d\n", PlatformSocketError());
        status = 1;
    }
    return status;
}
