#include "net/net.h"

#include <cstring>

#include "app/config.h"
#include "app/report.h"

namespace {

constexpr std::uint16_t kSocketsVersion = 0x0202; // 2.2

} // namespace

int NetStartup(NetData *data) {
    const int result = PlatformNetStartup(kSocketsVersion, data);
    if (result != 0) {
        ConsolePrintf("WSAStartup failed with error: %d\n", result);
        return 1;
    }
    return 0;
}

int NetCreateSocket(Socket *socket, sockaddr_in *address, std::uint16_t port) {
    *socket = PlatformSocketOpen();
    if (*socket == kInvalidSocket) {
        ConsolePrintf("socket failed with error: %ld\n", static_cast<long>(PlatformSocketError()));
        PlatformNetCleanup();
        return 1;
    }
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = inet_addr(kLoopbackAddress);
    address->sin_port = htons(port);
    return 0;
}

int NetConnect(Socket *socket, const sockaddr_in *address) {
    if (PlatformSocketConnect(*socket, address) == -1) {
        ConsolePrintf("connect failed with error: %d\n", PlatformSocketError());
        PlatformSocketClose(*socket); // already failing; a second message would say nothing new
        return 1;
    }
    return 0;
}

int NetReceive(Socket *socket, char *buffer, int length) {
    std::memset(buffer, 0, static_cast<std::size_t>(length));
    return PlatformSocketReceive(*socket, buffer, static_cast<std::size_t>(length));
}

int NetClose(Socket *socket) {
    int status = 0;
    if (PlatformSocketClose(*socket) == -1) {
        ConsolePrintf("close failed with error: %d\n", PlatformSocketError());
        status = 1;
    }
    PlatformNetCleanup();
    return status;
}
