// sample-feed: the two local services that chanlog expects, for demonstrations and rehearsals.
// Holds every connection to the hold port in silence, and sends each client of the feed port a
// sequence of messages, one send() each, spaced out so that each arrives as a receive of its own.
// One thread: every socket is non-blocking and waited on with poll().

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/feed_options.h"
#include "tools/feed_sequence.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64; // as sysexits.h has it
constexpr int kListenBacklog = 16;
// Beyond this, new clients wait in the listen backlog; it keeps us well below the descriptor
// limit, where a listener that cannot accept would stay readable and spin the loop.
constexpr std::size_t kMaxClients = 256;
constexpr std::size_t kInputChunk = 4096;
constexpr std::size_t kPeerNameSize = INET_ADDRSTRLEN + sizeof ":65535";

enum class Kind { kHold, kFeed };

struct Client {
    int fd = -1; // -1 once it is gone; removed at the end of the loop's turn
    Kind kind = Kind::kHold;
    char peer[kPeerNameSize] = {};
    std::size_t next = 0;    // index of its next message in the sequence
    long long sent = 0;      // messages begun so far
    Clock::time_point due{}; // when its next message may go
    std::string pending;     // the part of the message in flight that the kernel did not take yet
    bool ended = false;      // its sequence is over; the connection is only held
};

struct Server {
    FeedOptions options{};
    Sequence sequence;
    int holdListener = -1;
    int feedListener = -1;
    bool readingInput = false; // standard input may still bring lines
    std::vector<Client> clients;
};

// An end that cannot wait: whatever is half done, the kernel closes every socket.
void EndAtOnce(int /*signal*/) {
    _exit(kExitOk);
}

void InstallSignals() {
    struct sigaction action {};
    action.sa_handler = EndAtOnce;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A client gone, or a reader of our standard error gone, is no reason to stop serving.
    std::signal(SIGPIPE, SIG_IGN);
}

const char *KindName(Kind kind) {
    return kind == Kind::kHold ? "hold" : "feed";
}

int ListenOn(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) {
        return -1;
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
        return -1;
    }
    return fd;
}

bool OpenListener(std::uint16_t port, int *listener) {
    *listener = ListenOn(port);
    if (*listener == -1) {
        std::fprintf(stderr, "sample-feed: cannot listen on 127.0.0.1:%u: %s\n",
                     static_cast<unsigned>(port), std::strerror(errno));
        return false;
    }
    return true;
}

bool LoadSequence(Server *server) {
    const char *from = server->options.from;
    if (from == nullptr) {
        server->sequence = DefaultSample();
        return true;
    }
    if (std::strcmp(from, "-") == 0) {
        server->sequence = PendingInput("standard input");
        server->readingInput = true;
        return true;
    }
    if (!LoadFile(from, &server->sequence)) {
        std::fprintf(stderr, "sample-feed: cannot read %s: %s\n", from, std::strerror(errno));
        return false;
    }
    return true;
}

void ReadInput(Server *server) {
    char chunk[kInputChunk];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got > 0) {
        AppendInput(&server->sequence, chunk, static_cast<std::size_t>(got));
        return;
    }
    if (got == -1 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (got == -1) {
        std::fprintf(stderr, "sample-feed: cannot read standard input: %s\n", std::strerror(errno));
    }
    FinishInput(&server->sequence);
    server->readingInput = false;
}

// A client has a message to send now or later (as opposed to waiting for more input).
bool HasNext(const Client &client, const Server &server) {
    const Sequence &sequence = server.sequence;
    if (client.next < sequence.messages.size()) {
        return true;
    }
    return server.options.repeat && sequence.complete && !sequence.messages.empty();
}

bool SequenceOver(const Client &client, const Server &server) {
    const FeedOptions &options = server.options;
    if (options.count >= 0 && client.sent >= options.count) {
        return true;
    }
    return server.sequence.complete && !HasNext(client, server);
}

// A feed client whose next message waits only for its time to come.
bool Waiting(const Client &client, const Server &server) {
    return client.kind == Kind::kFeed && client.fd != -1 && !client.ended &&
           client.pending.empty() && HasNext(client, server) && !SequenceOver(client, server);
}

void Drop(Client *client, const char *how) {
    if (client->kind == Kind::kFeed) {
        std::fprintf(stderr, "sample-feed: feed client %s %s after %lld messages\n", client->peer,
                     how, client->sent);
    } else {
        std::fprintf(stderr, "sample-feed: hold client %s %s\n", client->peer, how);
    }
    close(client->fd);
    client->fd = -1;
}

// Hands the kernel what it will take of the message in flight. It takes all of it unless the
// client has stopped reading; the rest then goes in later sends.
void FlushPending(Client *client) {
    const ssize_t sent = send(client->fd, client->pending.data(), client->pending.size(),
                              MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
        client->pending.erase(0, static_cast<std::size_t>(sent));
        return;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        Drop(client, "left");
    }
}

void SendNext(Client *client, const Server &server, Clock::time_point now) {
    const std::vector<std::string> &messages = server.sequence.messages;
    if (client->next == messages.size()) {
        client->next = 0; // HasNext allowed this only for --repeat
    }
    const std::string &message = messages[client->next];
    ++client->next;
    ++client->sent;
    client->due = now + std::chrono::milliseconds(server.options.intervalMs);
    if (server.options.echo) {
        std::fprintf(stderr, "sample-feed: -> %s\n", Printable(message).c_str());
    }
    client->pending = message;
    FlushPending(client);
}

void EndSequence(Client *client, const Server &server) {
    if (server.options.close) {
        Drop(client, "closed by us");
        return;
    }
    client->ended = true;
    std::fprintf(stderr, "sample-feed: feed client %s has had all %lld messages; holding it\n",
                 client->peer, client->sent);
}

// Sends every message that is due, and ends the sequences that are over.
void Advance(Server *server) {
    const Clock::time_point now = Clock::now();
    for (Client &client : server->clients) {
        if (client.kind != Kind::kFeed || client.fd == -1 || client.ended ||
            !client.pending.empty()) {
            continue;
        }
        if (!SequenceOver(client, *server) && HasNext(client, *server) && client.due <= now) {
            SendNext(&client, *server, now);
        }
        // At once after the last message, which nothing else would wake us for.
        if (client.fd != -1 && client.pending.empty() && SequenceOver(client, *server)) {
            EndSequence(&client, *server);
        }
    }
}

void NamePeer(const sockaddr_in &address, char *name, std::size_t size) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    std::snprintf(name, size, "%s:%u", host, static_cast<unsigned>(ntohs(address.sin_port)));
}

void AcceptClients(Server *server, int listener, Kind kind) {
    while (server->clients.size() < kMaxClients) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const int fd = accept4(listener, reinterpret_cast<sockaddr *>(&address), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd == -1 && (errno == ECONNABORTED || errno == EINTR)) {
            continue;
        }
        if (fd == -1) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                std::fprintf(stderr, "sample-feed: cannot accept a %s client: %s\n", KindName(kind),
                             std::strerror(errno));
            }
            return;
        }
        Client client;
        client.fd = fd;
        client.kind = kind;
        NamePeer(address, client.peer, sizeof client.peer);
        if (kind == Kind::kFeed) {
            // Each message leaves at once in a segment of its own, instead of waiting for the
            // acknowledgement of the one before and then going out together with it.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            client.due = Clock::now() + std::chrono::milliseconds(server->options.intervalMs);
        }
        std::fprintf(stderr, "sample-feed: %s client %s connected\n", KindName(kind), client.peer);
        server->clients.push_back(client);
    }
}

// The poll set: both listeners, standard input while it is read, then one entry per client in
// the order of server->clients.
std::size_t BuildPollSet(const Server &server, std::vector<pollfd> *fds) {
    fds->clear();
    // A negative descriptor is skipped by poll: the listeners rest while we are full.
    const bool full = server.clients.size() >= kMaxClients;
    fds->push_back({full ? -1 : server.holdListener, POLLIN, 0});
    fds->push_back({full ? -1 : server.feedListener, POLLIN, 0});
    fds->push_back({server.readingInput ? STDIN_FILENO : -1, POLLIN, 0});
    const std::size_t first = fds->size();
    for (const Client &client : server.clients) {
        // Clients are never read from: POLLRDHUP tells that the peer has gone without our
        // taking what it may have sent.
        const short events = static_cast<short>(POLLRDHUP | (client.pending.empty() ? 0 : POLLOUT));
        fds->push_back({client.fd, events, 0});
    }
    return first;
}

int PollTimeoutMs(const Server &server) {
    const Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const Client &client : server.clients) {
        if (!Waiting(client, server)) {
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(client.due - now).count();
        const int ms = static_cast<int>(std::max<decltype(left)>(left, 0));
        timeout = timeout == -1 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

void HandleClient(Client *client, short revents) {
    if ((revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        Drop(client, "left");
    } else if ((revents & POLLOUT) != 0) {
        FlushPending(client);
    }
}

void HandleEvents(Server *server, const std::vector<pollfd> &fds, std::size_t first) {
    // Clients first: accepting below appends to server->clients, past the ones polled.
    for (std::size_t i = first; i < fds.size(); ++i) {
        HandleClient(&server->clients[i - first], fds[i].revents);
    }
    if ((fds[0].revents & POLLIN) != 0) {
        AcceptClients(server, server->holdListener, Kind::kHold);
    }
    if ((fds[1].revents & POLLIN) != 0) {
        AcceptClients(server, server->feedListener, Kind::kFeed);
    }
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        ReadInput(server);
    }
}

int Serve(Server *server) {
    std::vector<pollfd> fds;
    for (;;) {
        const std::size_t first = BuildPollSet(*server, &fds);
        const int ready = poll(fds.data(), fds.size(), PollTimeoutMs(*server));
        if (ready == -1 && errno != EINTR) {
            std::fprintf(stderr, "sample-feed: poll failed: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        if (ready > 0) {
            HandleEvents(server, fds, first);
        }
        Advance(server);
        std::erase_if(server->clients, [](const Client &client) { return client.fd == -1; });
    }
}

} // namespace

int main(int argc, char **argv) {
    Server server;
    switch (ParseFeedOptions(argc, argv, &server.options)) {
    case ParseOutcome::kHelp:
        PrintUsage(stdout);
        return kExitOk;
    case ParseOutcome::kBadUsage:
        return kExitUsage;
    case ParseOutcome::kRun:
        break;
    }
    InstallSignals();
    if (!LoadSequence(&server) || !OpenListener(server.options.holdPort, &server.holdListener) ||
        !OpenListener(server.options.feedPort, &server.feedListener)) {
        return kExitFailure;
    }
    std::fprintf(stderr, "sample-feed: listening on 127.0.0.1:%u (hold) and 127.0.0.1:%u (feed)\n",
                 static_cast<unsigned>(server.options.holdPort),
                 static_cast<unsigned>(server.options.feedPort));
    return Serve(&server);
}
