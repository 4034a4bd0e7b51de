// Windows Sockets.

#include "platform/platform.h"

#include <cstdlib>

namespace {

// Windows Sockets counts its start-ups and, when the count returns to zero, resets every socket
// still open in the process: the start-up is released once, at exit, when no channel is left.
void ReleaseSockets() {
    WSACleanup();
}

} // namespace

int PlatformNetStartup(std::uint16_t version) {
    WSADATA data{}; // what Windows Sockets says of itself, which nothing here needs
    const int result = WSAStartup(version, &data);
    if (result == 0) {
        std::atexit(ReleaseSockets);
    }
    return result;
}

Socket PlatformSocketOpen() {
    return socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

int PlatformSocketConnect(Socket socket, const sockaddr_in *address) {
    return connect(socket, reinterpret_cast<const sockaddr *>(address), sizeof *address);
}

int PlatformSocketReceive(Socket socket, char *buffer, std::size_t length) {
    return recv(socket, buffer, static_cast<int>(length), 0);
}

int PlatformSocketClose(Socket socket) {
    return closesocket(socket);
}

int PlatformSocketError() {
    return WSAGetLastError();
}
