#include "tools/feed_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

// As many connections waiting to be accepted as the system allows: it takes the largest value as a
// request for its own maximum (net.core.somaxconn on Linux), so that a burst of clients is not
// left to retry their connects.
constexpr int kListenBacklog = INT_MAX;
constexpr int kExitOnInterrupt = 0;

// An end that cannot wait: whatever is half done, the kernel closes every socket.
void EndAtOnce(int /*signal*/) {
    _exit(kExitOnInterrupt);
}

// False when `fd` was closed and has been given the null device.
bool EnsureOpen(int fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
        return true;
    }
    // The lower ones are open by now, so this takes `fd` itself.
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened != -1 && opened != fd) {
        dup2(opened, fd);
        close(opened);
    }
    return false;
}

int SocketOf(FeedSocket socket) {
    return static_cast<int>(socket);
}

pollfd PollEntry(const FeedWait &wait) {
    switch (wait.watch) {
    case Watch::kAccept:
        return {SocketOf(wait.socket), POLLIN, 0};
    case Watch::kInput:
        return {STDIN_FILENO, POLLIN, 0};
    case Watch::kClient:
        // Clients are never read from: POLLRDHUP tells that the peer has gone without our taking
        // what it may have sent.
        return {SocketOf(wait.socket),
                static_cast<short>(POLLRDHUP | (wait.wantRoom ? POLLOUT : 0)), 0};
    case Watch::kNothing:
        break;
    }
    return {-1, 0, 0}; // poll skips a negative descriptor
}

// One connection as seen from its client's end: the client's address and port, and ours, as
// /proc/net/tcp writes them (addresses in network byte order, ports in host byte order).
struct ClientEnd {
    std::uint32_t clientAddress = 0;
    unsigned clientPort = 0;
    std::uint32_t ourAddress = 0;
    unsigned ourPort = 0;
};

bool ClientEndOf(int fd, ClientEnd *end) {
    sockaddr_in ours{};
    sockaddr_in peer{};
    socklen_t oursLength = sizeof ours;
    socklen_t peerLength = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&ours), &oursLength) == -1 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) == -1) {
        return false;
    }
    *end = {peer.sin_addr.s_addr, ntohs(peer.sin_port), ours.sin_addr.s_addr, ntohs(ours.sin_port)};
    return true;
}

// Bytes unread at the client's end of each connection, -1 where it is not in the table; false
// when the table cannot be read. The clients are on 127.0.0.1, so their ends are in this network
// namespace's table too.
bool ClientUnread(const std::vector<ClientEnd> &ends, std::vector<long> *unread) {
    unread->assign(ends.size(), -1);
    std::FILE *table = std::fopen("/proc/net/tcp", "re");
    if (table == nullptr) {
        return false;
    }
    char line[256];
    while (std::fgets(line, sizeof line, table) != nullptr) {
        unsigned localAddress = 0, localPort = 0, remoteAddress = 0, remotePort = 0, state = 0;
        unsigned long sendQueue = 0, receiveQueue = 0;
        if (std::sscanf(line, " %*u: %x:%x %x:%x %x %lx:%lx", &localAddress, &localPort,
                        &remoteAddress, &remotePort, &state, &sendQueue, &receiveQueue) != 7) {
            continue; // the header
        }
        for (std::size_t i = 0; i < ends.size(); ++i) {
            const ClientEnd &end = ends[i];
            if (localAddress == end.clientAddress && localPort == end.clientPort &&
                remoteAddress == end.ourAddress && remotePort == end.ourPort) {
                (*unread)[i] = static_cast<long>(receiveQueue);
            }
        }
    }
    std::fclose(table);
    return true;
}

void TakeResult(FeedWait *wait, short revents) {
    constexpr short kEnded = POLLHUP | POLLERR;
    const short readable = wait->watch == Watch::kInput ? POLLIN | kEnded : POLLIN;
    wait->ready = wait->watch != Watch::kClient && (revents & readable) != 0;
    wait->gone = wait->watch == Watch::kClient && (revents & (POLLRDHUP | kEnded)) != 0;
    wait->room = (revents & POLLOUT) != 0;
}

} // namespace

bool FeedGuardStandardStreams() {
    const bool inputOpen = EnsureOpen(STDIN_FILENO);
    EnsureOpen(STDOUT_FILENO);
    EnsureOpen(STDERR_FILENO);
    return inputOpen;
}

void FeedEndOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = EndAtOnce;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

const char *FeedInterruptNote() {
    return "Ctrl-C or SIGTERM ends it. ";
}

const char *FeedHelpSwitch() {
    return nullptr;
}

const char *FeedLastError() {
    return std::strerror(errno);
}

FeedSocket FeedListen(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) {
        return kNoSocket;
    }
    // So that a restart does not wait for the last run's connections to leave TIME_WAIT; a port
    // with a live listener still cannot be taken.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1 ||
        listen(fd, kListenBacklog) == -1) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return kNoSocket;
    }
    return fd;
}

AcceptOutcome FeedAccept(FeedSocket listener, FeedSocket *client, std::uint32_t *host,
                         std::uint16_t *port) {
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int fd = accept4(SocketOf(listener), reinterpret_cast<sockaddr *>(&address), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd != -1) {
            *client = fd;
            *host = ntohl(address.sin_addr.s_addr);
            *port = ntohs(address.sin_port);
            return AcceptOutcome::kAccepted;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return AcceptOutcome::kNoneWaiting;
        }
        if (errno != ECONNABORTED && errno != EINTR) {
            return AcceptOutcome::kFailed;
        }
    }
}

void FeedNoDelay(FeedSocket socket) {
    const int on = 1;
    setsockopt(SocketOf(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

long FeedSend(FeedSocket socket, const char *data, std::size_t length) {
    const ssize_t sent = send(SocketOf(socket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
        return static_cast<long>(sent);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : kIoFailed;
}

void FeedTaken(const std::vector<FeedSocket> &sockets, std::vector<bool> *taken) {
    taken->assign(sockets.size(), true);
    // First whether all of it reached the client's end: what we sent and it did not acknowledge.
    std::vector<ClientEnd> ends;
    std::vector<std::size_t> places;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        int unacknowledged = 0;
        ClientEnd end;
        if (ioctl(SocketOf(sockets[i]), TIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0) {
            (*taken)[i] = false;
        } else if (ClientEndOf(SocketOf(sockets[i]), &end)) {
            ends.push_back(end);
            places.push_back(i);
        }
    }
    // Then whether the client has read it there: what is acknowledged may still wait unread.
    std::vector<long> unread;
    if (ends.empty() || !ClientUnread(ends, &unread)) {
        return;
    }
    for (std::size_t i = 0; i < ends.size(); ++i) {
        (*taken)[places[i]] = unread[i] <= 0;
    }
}

void FeedClose(FeedSocket socket) {
    close(SocketOf(socket));
}

bool FeedCanWaitForInput() {
    return true;
}

long FeedReadInput(char *buffer, std::size_t size) {
    const ssize_t got = read(STDIN_FILENO, buffer, size);
    if (got >= 0) {
        return static_cast<long>(got);
    }
    return errno == EINTR || errno == EAGAIN ? kIoAgain : kIoFailed;
}

bool FeedWaitFor(std::vector<FeedWait> *waits, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(waits->size());
    for (FeedWait &wait : *waits) {
        wait.ready = wait.gone = wait.room = false;
        fds.push_back(PollEntry(wait));
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready == -1) {
        return errno == EINTR;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        TakeResult(&(*waits)[i], fds[i].revents);
    }
    return true;
}
