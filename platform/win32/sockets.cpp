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

int PlatformSocketWaitHangUp(Socket socket) {
    // FD_CLOSE alone: data the peer sends does not end the wait. Its error code tells an orderly
    // close (0) from a reset or an abort (Wine tells of a reset as of an orderly close). Windows
    // tells of a close only once all that the peer sent was read, which never happens here: a
    // peer that sent anything is noticed when it resets, not when it closes in order.
    WSAEVENT event = WSACreateEvent();
    if (event == WSA_INVALID_EVENT) {
        return -1;
    }
    int result = -1;
    if (WSAEventSelect(socket, event, FD_CLOSE) == 0) {
        WSANETWORKEVENTS events{};
        while (WaitForSingleObject(event, INFINITE) == WAIT_OBJECT_0 &&
               WSAEnumNetworkEvents(socket, event, &events) == 0) {
            if ((events.lNetworkEvents & FD_CLOSE) != 0) {
                result = events.iErrorCode[FD_CLOSE_BIT] == 0 ? 0 : 1;
                break;
            }
        }
    }
    const int error = WSAGetLastError(); // the wait's, before the event's release can change it
    WSACloseEvent(event);
    WSASetLastError(error);
    return result;
}

int PlatformSocketClose(Socket socket) {
    return closesocket(socket);
}

int PlatformSocketError() {
    return WSAGetLastError();
}
