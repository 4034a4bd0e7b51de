#include "net/net.h"

#include <cstring>

#include "app/config.h"
#include "app/console.h"

namespace {

constexpr std::uint16_t kSocketsVersion = 0x0202; // 2.2

// The connect line says only the error; this one says which service did not answer.
void SayWhereConnectFailed(const sockaddr_in *address) {
    const auto *ip = reinterpret_cast<const unsigned char *>(&address->sin_addr);
    ConsoleSay(Stream::kErr, "Could not connect to %u.%u.%u.%u:%u\n", ip[0], ip[1], ip[2], ip[3],
               static_cast<unsigned>(ntohs(address->sin_port)));
}

} // namespace

int NetStartup(NetData *data) {
    const int result = PlatformNetStartup(kSocketsVersion, data);
    if (result != 0) {
        ConsoleSay(Stream::kOut, "WSAStartup failed with error: %d\n", result);
        return 1;
    }
    return 0;
}

int NetCreateSocket(Socket *socket, sockaddr_in *address, std::uint16_t port) {
    *socket = PlatformSocketOpen();
    if (*socket == kInvalidSocket) {
        ConsoleSay(Stream::kOut, "socket failed with error: %ld\n",
                   static_cast<long>(PlatformSocketError()));
        ConsoleSay(Stream::kErr, "Could not create a socket for %s:%u\n", kLoopbackAddress,
                   static_cast<unsigned>(port));
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
        ConsoleSay(Stream::kOut, "connect failed with error: %d\n", PlatformSocketError());
        SayWhereConnectFailed(address);
        PlatformSocketClose(*socket); // already failing; a second message would say nothing new
        return 1;
    }
    return 0;
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
    PlatformNetCleanup();
    return status;
}
