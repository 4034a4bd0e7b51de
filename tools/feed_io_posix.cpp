#include "tools/feed_io.h"

#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
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

// One connection as seen from its client's end: the client's address and port, and ours, as the
// kernel's socket tables hold them (addresses in network byte order, ports in host byte order).
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

// The kernel's socket diagnostics (NETLINK_SOCK_DIAG, as ss(8) uses them), asked about one socket
// at a time by its addresses and ports: what an answer costs does not grow with the number of
// sockets the host has, as reading all of /proc/net/tcp did. kNotTried until first needed;
// kUnavailable for good where the kernel offers no such diagnostics for TCP.
constexpr int kNotTried = -2;
constexpr int kUnavailable = -1;
int g_diag = kNotTried;
unsigned g_diagSequence = 0;

int DiagSocket() {
    if (g_diag == kNotTried) {
        g_diag = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    }
    return g_diag;
}

void GiveUpDiag() {
    close(g_diag);
    g_diag = kUnavailable;
}

enum class Lookup { kFound, kNone, kFailed };

// Reads the answer to question `sequence`: the socket's unread bytes, or that there is none such.
// Answers to earlier questions that an interrupted call left behind are passed over.
Lookup TakeAnswer(int diag, unsigned sequence, long *unread) {
    alignas(nlmsghdr) char answer[8192];
    for (;;) {
        const ssize_t got = recv(diag, answer, sizeof answer, MSG_DONTWAIT);
        if (got <= 0) {
            return Lookup::kFailed; // the kernel answers before the question's send returns
        }
        const auto *header = reinterpret_cast<const nlmsghdr *>(answer);
        if (!NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_seq != sequence) {
            continue;
        }
        if (header->nlmsg_type == NLMSG_ERROR) {
            const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
            return error->error == -ENOENT ? Lookup::kNone : Lookup::kFailed;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
            return Lookup::kFailed;
        }
        *unread =
            static_cast<long>(static_cast<const inet_diag_msg *>(NLMSG_DATA(header))->idiag_rqueue);
        return Lookup::kFound;
    }
}

// A TCP socket of this network namespace by its own address and port and its peer's: its bytes
// received and not yet read (what /proc/net/tcp calls rx_queue) into `unread`.
Lookup LookUp(int diag, std::uint32_t address, unsigned port, std::uint32_t peerAddress,
              unsigned peerPort, long *unread) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST; // without NLM_F_DUMP: the one socket with this id
    ask.header.nlmsg_seq = ++g_diagSequence;
    ask.request.sdiag_family = AF_INET;
    ask.request.sdiag_protocol = IPPROTO_TCP;
    ask.request.idiag_states = ~0U;
    ask.request.id.idiag_sport = htons(static_cast<std::uint16_t>(port));
    ask.request.id.idiag_dport = htons(static_cast<std::uint16_t>(peerPort));
    ask.request.id.idiag_src[0] = address;
    ask.request.id.idiag_dst[0] = peerAddress;
    ask.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (send(diag, &ask, sizeof ask, 0) != static_cast<ssize_t>(sizeof ask)) {
        return Lookup::kFailed;
    }
    return TakeAnswer(diag, ask.header.nlmsg_seq, unread);
}

// The unread bytes of each client's end from the kernel's socket diagnostics; false where they
// cannot tell. A client's end that is not found counts as gone (-1) once our own end of the same
// connection is found: without a handler for TCP, the kernel does not find that either.
bool ClientUnreadByDiag(const std::vector<ClientEnd> &ends, std::vector<long> *unread) {
    const int diag = DiagSocket();
    if (diag == kUnavailable) {
        return false;
    }
    unread->assign(ends.size(), -1);
    for (std::size_t i = 0; i < ends.size(); ++i) {
        const ClientEnd &end = ends[i];
        const Lookup client = LookUp(diag, end.clientAddress, end.clientPort, end.ourAddress,
                                     end.ourPort, &(*unread)[i]);
        if (client == Lookup::kFailed) {
            return false;
        }
        long ours = 0;
        if (client == Lookup::kNone && LookUp(diag, end.ourAddress, end.ourPort, end.clientAddress,
                                              end.clientPort, &ours) != Lookup::kFound) {
            GiveUpDiag();
            return false;
        }
    }
    return true;
}

// How many bytes the client's end of each connection has not read, -1 where it is not in the
// table; false when the table cannot be read. The clients are on 127.0.0.1, so their ends are in
// this network namespace's table too. Where the kernel's socket diagnostics are missing only.
bool ClientUnreadInTable(const std::vector<ClientEnd> &ends, std::vector<long> *unread) {
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

bool FeedSeek(std::FILE *file, long long offset) {
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
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
    if (ends.empty() ||
        (!ClientUnreadByDiag(ends, &unread) && !ClientUnreadInTable(ends, &unread))) {
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
