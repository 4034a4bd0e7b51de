#include "tests/test_sockets.h"

#include <winsock2.h>

const int kRefusedCode = WSAECONNREFUSED;
const int kNotSocketCode = WSAENOTSOCK;
const int kResetCode = 10054;                // WSAECONNRESET
const bool kCloseSeenPastUnreadData = false; // FD_CLOSE waits until all was read

// Wine's ntdll exports its version; Windows' does not.
const int kResetHangUp =
    GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr ? 0 : 1;

Socket Listen(std::uint16_t port) {
    const Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP); // bind fails for none
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == SOCKET_ERROR ||
        listen(s, SOMAXCONN) == SOCKET_ERROR) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::uint16_t PortOf(Socket socket) {
    sockaddr_in address{};
    int length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

Socket AcceptWithin(Socket listener, int timeoutMs) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval timeout{timeoutMs / 1000, timeoutMs % 1000 * 1000};
    if (select(0, &ready, nullptr, nullptr, &timeout) != 1) {
        return INVALID_SOCKET;
    }
    const Socket s = accept(listener, nullptr, nullptr);
    const BOOL on = TRUE; // fails harmlessly where none was accepted
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
    return s;
}

bool SendMessage(Socket socket, const std::string &data) {
    return send(socket, data.data(), static_cast<int>(data.size()), 0) ==
           static_cast<int>(data.size());
}

void ResetConnection(Socket socket) {
    const linger abortive{1, 0}; // a close that lingers for no time is a reset
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&abortive),
               sizeof abortive);
    closesocket(socket);
}

void CloseSocket(Socket socket) {
    closesocket(socket);
}

int QueuedBytes(Socket socket) {
    u_long queued = 0;
    return ioctlsocket(socket, FIONREAD, &queued) == 0 ? static_cast<int>(queued) : -1;
}

bool IsClosedSocket(Socket socket) {
    int type = 0;
    int length = sizeof type;
    return getsockopt(socket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &length) ==
               SOCKET_ERROR &&
           WSAGetLastError() == WSAENOTSOCK;
}
