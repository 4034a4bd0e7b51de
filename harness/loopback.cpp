#include "harness/loopback.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "harness/io.h"

namespace {

bool BringLoopbackUp() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &request) == 0;
    close(s);
    return ok;
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Closes `s` after a failed call, keeping that call's errno; returns -1.
int CloseKeepingErrno(int s) {
    const int saved = errno;
    close(s);
    errno = saved;
    return -1;
}

} // namespace

bool IsolateNetwork() {
    return unshare(CLONE_NEWNET) == 0 && BringLoopbackUp();
}

int Listen(std::uint16_t port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s == -1) {
        return -1;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = LoopbackAddress(port);
    if (bind(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1 ||
        listen(s, 16) == -1) {
        return CloseKeepingErrno(s);
    }
    return s;
}

std::uint16_t PortOf(int socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

int AcceptWithin(int listener, int timeoutMs) {
    const int s = Readable(listener, NowNs() + std::int64_t{timeoutMs} * 1000000)
                      ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                      : -1;
    const int on = 1;
    if (s != -1) {
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return s;
}

int Connect(std::uint16_t port, bool wait) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (wait ? 0 : SOCK_NONBLOCK), 0);
    if (s == -1) {
        return -1;
    }
    const sockaddr_in address = LoopbackAddress(port);
    if (connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1 &&
        (wait || errno != EINPROGRESS)) {
        return CloseKeepingErrno(s);
    }
    return s;
}

bool SendMessage(int socket, const std::string &data) {
    return send(socket, data.data(), data.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(data.size());
}

void ResetConnection(int socket) {
    const linger reset{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(socket);
}
