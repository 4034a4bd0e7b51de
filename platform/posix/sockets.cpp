// POSIX sockets, which need no start-up.

#include "platform/platform.h"

#include <poll.h>
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

int PlatformSocketWaitHangUp(Socket socket) {
    // Only the peer's hang-up is asked for: data it sends does not wake the wait. An error or a
    // reset comes as POLLERR whatever is asked.
    pollfd watched{socket, POLLRDHUP, 0};
    int ready = 0;
    do {
        ready = poll(&watched, 1, -1);
    } while (ready == -1 && errno == EINTR);
    if (ready == -1) {
        return -1;
    }
    if ((watched.revents & POLLNVAL) != 0) {
        errno = EBADF;
        return -1;
    }
    return (watched.revents & POLLERR) != 0 ? 1 : 0;
}

int PlatformSocketClose(Socket socket) {
    return close(socket);
}

int PlatformSocketError() {
    return errno;
}
