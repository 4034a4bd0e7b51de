// sample-feed: the two local services that chanlog expects, for demonstrations and rehearsals.
// Holds every connection to the hold port in silence, and sends each client of the feed port a
// sequence of messages, one send() each, each once the client has read the one before (where the
// system shows that) and the pause has passed, so that each arrives as a receive of its own.
// One thread: every socket is non-blocking, and all of them are waited on together.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/feed_io.h"
#include "tools/feed_options.h"
#include "tools/feed_sequence.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 64; // as sysexits.h has it
// Beyond this, new clients wait in the listen backlog; it keeps us well below the descriptor
// limit, where a listener that cannot accept would stay readable and spin the loop.
constexpr std::size_t kMaxClients = 256;
constexpr std::size_t kInputChunk = 4096;
constexpr std::size_t kPeerNameSize = sizeof "255.255.255.255:65535";
// How soon to look again whether a client has read its last message: soon at first, then less
// often, so that a client that has stopped reading costs little.
constexpr int kFirstRecheckMs = 1;
constexpr int kLastRecheckMs = 32;

enum class Kind { kHold, kFeed };

struct Client {
    FeedSocket socket = kNoSocket; // kNoSocket once it is gone; removed at the end of the turn
    Kind kind = Kind::kHold;
    char peer[kPeerNameSize] = {};
    std::size_t next = 0;    // index of its next message in the sequence
    long long at = 0;        // of a file: where the line of its next message begins
    long long sent = 0;      // messages begun so far
    Clock::time_point due{}; // when its next message may go
    std::string pending;     // the part of the message in flight that the kernel did not take yet
    bool unread = false;     // the client may not have read all of its last message yet
    int rechecks = 0;        // times it was found not to have read it
    bool ended = false;      // its sequence is over; the connection is only held
};

struct Server {
    FeedOptions options{};
    Sequence sequence;
    FeedSocket holdListener = kNoSocket;
    FeedSocket feedListener = kNoSocket;
    bool inputClosed = false;  // standard input was closed when we started
    bool readingInput = false; // standard input may still bring lines
    std::vector<Client> clients;
};

const char *KindName(Kind kind) {
    return kind == Kind::kHold ? "hold" : "feed";
}

bool OpenListener(std::uint16_t port, FeedSocket *listener) {
    *listener = FeedListen(port);
    if (*listener == kNoSocket) {
        std::fprintf(stderr, "sample-feed: cannot listen on 127.0.0.1:%u: %s\n",
                     static_cast<unsigned>(port), FeedLastError());
        return false;
    }
    return true;
}

// False when standard input failed or is not text; it then counts as ended, and what it brought
// before stays.
bool ReadInput(Server *server) {
    char chunk[kInputChunk];
    const long got = FeedReadInput(chunk, sizeof chunk);
    Sequence &sequence = server->sequence;
    if (got > 0) {
        AppendInput(&sequence, chunk, static_cast<std::size_t>(got));
    }
    if (got == kIoAgain || (got > 0 && sequence.fault.empty())) {
        return true;
    }
    if (got == kIoFailed) {
        std::fprintf(stderr, "sample-feed: cannot read standard input: %s\n", FeedLastError());
    }
    FinishInput(&sequence);
    if (!sequence.fault.empty()) {
        std::fprintf(stderr, "sample-feed: cannot read standard input: %s\n",
                     sequence.fault.c_str());
    }
    server->readingInput = false;
    return got != kIoFailed && sequence.fault.empty();
}

bool StartInput(Server *server) {
    // A closed standard input would otherwise look like an empty one, and serve nothing forever.
    if (server->inputClosed) {
        std::fputs("sample-feed: cannot read standard input: it is closed\n", stderr);
        return false;
    }
    server->sequence = PendingInput("standard input");
    server->readingInput = true;
    // Where it cannot be waited on together with the sockets, all of it comes before serving,
    // and a failure to read it is one to start, as for a file.
    while (server->readingInput && !FeedCanWaitForInput()) {
        if (!ReadInput(server)) {
            return false;
        }
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
        return StartInput(server);
    }
    std::string why;
    if (!LoadFile(from, &server->sequence, &why)) {
        std::fprintf(stderr, "sample-feed: cannot read %s: %s\n", from, why.c_str());
        return false;
    }
    return true;
}

// A client has a message to send now or later (as opposed to waiting for more input).
bool HasNext(const Client &client, const Server &server) {
    const std::size_t count = MessageCount(server.sequence);
    if (client.next < count) {
        return true;
    }
    return server.options.repeat && server.sequence.complete && count > 0;
}

bool SequenceOver(const Client &client, const Server &server) {
    const FeedOptions &options = server.options;
    if (options.count >= 0 && client.sent >= options.count) {
        return true;
    }
    return server.sequence.complete && !HasNext(client, server);
}

// A feed client whose next message waits only for its time to come, and for the client to read
// the one before.
bool Waiting(const Client &client, const Server &server) {
    return client.kind == Kind::kFeed && client.socket != kNoSocket && !client.ended &&
           client.pending.empty() && HasNext(client, server) && !SequenceOver(client, server);
}

// The ending of "message" for `count` of them.
const char *Plural(long long count) {
    return count == 1 ? "" : "s";
}

void Drop(Client *client, const char *how) {
    if (client->kind == Kind::kFeed) {
        std::fprintf(stderr, "sample-feed: feed client %s %s after %lld message%s\n", client->peer,
                     how, client->sent, Plural(client->sent));
    } else {
        std::fprintf(stderr, "sample-feed: hold client %s %s\n", client->peer, how);
    }
    FeedClose(client->socket);
    client->socket = kNoSocket;
}

// Hands the kernel what it will take of the message in flight. It takes all of it unless the
// client has stopped reading; the rest then goes in later sends.
void FlushPending(Client *client) {
    const long sent = FeedSend(client->socket, client->pending.data(), client->pending.size());
    if (sent == kIoFailed) {
        Drop(client, "left");
        return;
    }
    client->pending.erase(0, static_cast<std::size_t>(sent));
}

void SendNext(Client *client, const Server &server, Clock::time_point now) {
    if (client->next == MessageCount(server.sequence)) {
        client->next = 0; // HasNext allowed this only for --repeat
    }
    std::string why;
    if (!MessageAt(server.sequence, client->next, &client->at, &client->pending, &why)) {
        std::fprintf(stderr, "sample-feed: cannot read %s: %s\n", server.options.from, why.c_str());
        Drop(client, "closed by us");
        return;
    }
    ++client->next;
    ++client->sent;
    client->due = now + std::chrono::milliseconds(server.options.intervalMs);
    if (server.options.echo) {
        std::fprintf(stderr, "sample-feed: -> %s\n", Printable(client->pending).c_str());
    }
    client->unread = true;
    client->rechecks = 0;
    FlushPending(client);
}

void EndSequence(Client *client, const Server &server) {
    if (server.options.close) {
        Drop(client, "closed by us");
        return;
    }
    client->ended = true;
    std::fprintf(stderr, "sample-feed: feed client %s has had all %lld message%s; holding it\n",
                 client->peer, client->sent, Plural(client->sent));
}

// Finds out which of the clients whose next message is due have read their last one by now.
void CheckRead(Server *server, Clock::time_point now) {
    std::vector<Client *> asked;
    std::vector<FeedSocket> sockets;
    for (Client &client : server->clients) {
        if (Waiting(client, *server) && client.unread && client.due <= now) {
            asked.push_back(&client);
            sockets.push_back(client.socket);
        }
    }
    if (asked.empty()) {
        return;
    }
    std::vector<bool> taken;
    FeedTaken(sockets, &taken);
    for (std::size_t i = 0; i < asked.size(); ++i) {
        asked[i]->unread = !taken[i];
        asked[i]->rechecks += asked[i]->unread ? 1 : 0;
    }
}

// Sends every message that is due, and ends the sequences that are over.
void Advance(Server *server) {
    const Clock::time_point now = Clock::now();
    CheckRead(server, now);
    for (Client &client : server->clients) {
        if (client.kind != Kind::kFeed || client.socket == kNoSocket || client.ended ||
            !client.pending.empty()) {
            continue;
        }
        if (!SequenceOver(client, *server) && HasNext(client, *server) && client.due <= now &&
            !client.unread) {
            SendNext(&client, *server, now);
        }
        // At once after the last message, which nothing else would wake us for.
        if (client.socket != kNoSocket && client.pending.empty() && SequenceOver(client, *server)) {
            EndSequence(&client, *server);
        }
    }
}

void NamePeer(std::uint32_t host, std::uint16_t port, char *name, std::size_t size) {
    std::snprintf(name, size, "%u.%u.%u.%u:%u", (host >> 24) & 0xffU, (host >> 16) & 0xffU,
                  (host >> 8) & 0xffU, host & 0xffU, static_cast<unsigned>(port));
}

void AcceptClients(Server *server, FeedSocket listener, Kind kind) {
    while (server->clients.size() < kMaxClients) {
        Client client;
        std::uint32_t host = 0;
        std::uint16_t port = 0;
        const AcceptOutcome outcome = FeedAccept(listener, &client.socket, &host, &port);
        if (outcome == AcceptOutcome::kFailed) {
            std::fprintf(stderr, "sample-feed: cannot accept a %s client: %s\n", KindName(kind),
                         FeedLastError());
        }
        if (outcome != AcceptOutcome::kAccepted) {
            return;
        }
        client.kind = kind;
        NamePeer(host, port, client.peer, sizeof client.peer);
        if (kind == Kind::kFeed) {
            // Each message leaves at once in a segment of its own, instead of waiting for the
            // acknowledgement of the one before and then going out together with it.
            FeedNoDelay(client.socket);
            client.due = Clock::now() + std::chrono::milliseconds(server->options.intervalMs);
        }
        std::fprintf(stderr, "sample-feed: %s client %s connected\n", KindName(kind), client.peer);
        server->clients.push_back(client);
    }
}

// The wait set: both listeners, standard input while it is read, then one entry per client in
// the order of server->clients.
std::size_t BuildWaitSet(const Server &server, std::vector<FeedWait> *waits) {
    waits->clear();
    // The listeners rest while we are full.
    const Watch accept = server.clients.size() >= kMaxClients ? Watch::kNothing : Watch::kAccept;
    waits->push_back({.watch = accept, .socket = server.holdListener});
    waits->push_back({.watch = accept, .socket = server.feedListener});
    waits->push_back({.watch = server.readingInput ? Watch::kInput : Watch::kNothing});
    const std::size_t first = waits->size();
    for (const Client &client : server.clients) {
        waits->push_back({.watch = Watch::kClient,
                          .socket = client.socket,
                          .wantRoom = !client.pending.empty()});
    }
    return first;
}

int WaitTimeoutMs(const Server &server) {
    const Clock::time_point now = Clock::now();
    int timeout = -1;
    for (const Client &client : server.clients) {
        if (!Waiting(client, server)) {
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(client.due - now).count();
        int ms = static_cast<int>(std::max<decltype(left)>(left, 0));
        if (ms == 0 && client.unread) {
            ms = std::min(kFirstRecheckMs << std::min(client.rechecks, 5), kLastRecheckMs);
        }
        timeout = timeout == -1 ? ms : std::min(timeout, ms);
    }
    return timeout;
}

void HandleClient(Client *client, const FeedWait &wait) {
    if (wait.gone) {
        Drop(client, "left");
    } else if (wait.room) {
        FlushPending(client);
    }
}

void HandleEvents(Server *server, const std::vector<FeedWait> &waits, std::size_t first) {
    // Clients first: accepting below appends to server->clients, past the ones waited on.
    for (std::size_t i = first; i < waits.size(); ++i) {
        HandleClient(&server->clients[i - first], waits[i]);
    }
    if (waits[0].ready) {
        AcceptClients(server, server->holdListener, Kind::kHold);
    }
    if (waits[1].ready) {
        AcceptClients(server, server->feedListener, Kind::kFeed);
    }
    if (waits[2].ready) {
        ReadInput(server);
    }
}

int Serve(Server *server) {
    std::vector<FeedWait> waits;
    for (;;) {
        const std::size_t first = BuildWaitSet(*server, &waits);
        if (!FeedWaitFor(&waits, WaitTimeoutMs(*server))) {
            std::fprintf(stderr, "sample-feed: poll failed: %s\n", FeedLastError());
            return kExitFailure;
        }
        HandleEvents(server, waits, first);
        Advance(server);
        std::erase_if(server->clients,
                      [](const Client &client) { return client.socket == kNoSocket; });
    }
}

// After --help or --version: what could not be written to standard output (a full disk, say) is a
// failure, said on standard error, as a truncated usage must not pass for a whole one.
int FinishOutput() {
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return kExitOk;
    }
    std::fprintf(stderr, "sample-feed: write error: %s\n", std::strerror(errno));
    return kExitFailure;
}

} // namespace

int main(int argc, char **argv) {
    Server server;
    server.inputClosed = !FeedGuardStandardStreams();
    switch (ParseFeedOptions(argc, argv, &server.options)) {
    case ParseOutcome::kHelp:
        PrintUsage(stdout);
        return FinishOutput();
    case ParseOutcome::kVersion:
        PrintVersion(stdout);
        return FinishOutput();
    case ParseOutcome::kBadUsage:
        return kExitUsage;
    case ParseOutcome::kRun:
        break;
    }
    FeedEndOnInterrupt();
    if (!LoadSequence(&server) || !OpenListener(server.options.holdPort, &server.holdListener) ||
        !OpenListener(server.options.feedPort, &server.feedListener)) {
        return kExitFailure;
    }
    std::fprintf(stderr, "sample-feed: listening on 127.0.0.1:%u (hold) and 127.0.0.1:%u (feed)\n",
                 static_cast<unsigned>(server.options.holdPort),
                 static_cast<unsigned>(server.options.feedPort));
    return Serve(&server);
}
