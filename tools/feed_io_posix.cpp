#include "tools/feed_io.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

constexpr int kListenBacklog = 16;
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
