// POSIX sockets, which need no start-up.

#include "platform/platform.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

int PlatformNetStartup(std::uint16_t /*version*/) {
    return 0;
}

Socket PlatformSocketOpen() {
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int PlatformSocketConnect(Socket socket, const sockaddr_in *address) {
    return connect(socket, reinterpret_cast<const sockaddr *>(address), sizeof *address);
}

int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length) {
    ssize_t received = 0;
    // An interrupted receive has lost nothing: take it again rather than report a failure.
    do {
        received = recv(socket, buffer, length, 0);
    } while (received == -1 && errno == EINTR);
    return static_cast<int>(received);
}

int PlatformSocketClose(Socket socket) {
    return close(socket);
}

int PlatformSocketError() {
    return errno;
}
