// feed-pacing: how many messages a second sample-feed sends with --interval-ms 0 and 1, where it
// waits for the client to read each message before the next, with no other sockets on the host
// and with many (10,000 by default). It prints figures and asserts nothing.
//
// It moves into a network namespace of its own first, where the other sockets are the only ones
// besides its own: they are what the feed would otherwise have to look through. Its client reads
// each receive at once and counts those that held more than one message.
//
// Usage: feed-pacing [--sample-feed PATH] [--sockets N] [--messages N]

#include <getopt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness/child.h"
#include "harness/io.h"
#include "harness/loopback.h"

namespace {

constexpr std::uint16_t kHoldPort = 41285;
constexpr std::uint16_t kFeedPort = 41286;
constexpr int kWaitMs = 60000; // one run, whatever the count

struct Options {
    std::string sampleFeed = CHANLOG_BENCH_SAMPLE_FEED;
    long sockets = 10000;
    long messages = 5000;
};

bool ParseOptions(int argc, char **argv, Options *options) {
    const option longOptions[] = {{"sample-feed", required_argument, nullptr, 'f'},
                                  {"sockets", required_argument, nullptr, 's'},
                                  {"messages", required_argument, nullptr, 'm'},
                                  {nullptr, 0, nullptr, 0}};
    int id = 0;
    while ((id = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        if (id == 'f') {
            options->sampleFeed = optarg;
            continue;
        }
        char *end = nullptr;
        const long number = id == '?' ? -1 : std::strtol(optarg, &end, 10);
        if (number < (id == 's' ? 0 : 1) || end == optarg || *end != '\0') {
            return false;
        }
        (id == 's' ? options->sockets : options->messages) = number;
    }
    return optind == argc;
}

// At least `count` other TCP sockets: connections to a listener of their own, both ends of each,
// and the listener. False when the descriptors ran out first.
bool OpenOtherSockets(long count, std::vector<int> *sockets) {
    if (count == 0) {
        return true;
    }
    const int listener = Listen(0);
    if (listener == -1) {
        return false;
    }
    sockets->push_back(listener);
    const std::uint16_t port = PortOf(listener);
    while (static_cast<long>(sockets->size()) <= count) {
        const int client = Connect(port);
        const int server = client == -1 ? -1 : AcceptWithin(listener, 1000);
        if (server == -1) {
            return false;
        }
        sockets->push_back(client);
        sockets->push_back(server);
    }
    return true;
}

struct Run {
    double seconds = 0;
    long receives = 0;
    long glued = 0; // receives that held more than one message
};

// One sample-feed with --interval-ms `interval`, and one client reading it to its close.
bool Measure(const Options &options, const std::string &file, const char *interval, Run *run) {
    Child feed = Spawn({options.sampleFeed, "--hold-port", std::to_string(kHoldPort), "--feed-port",
                        std::to_string(kFeedPort), "--from", file, "--interval-ms", interval,
                        "--count", std::to_string(options.messages), "--close"});
    int hold = -1;
    int client = -1;
    for (int tries = 0; tries < 1000 && client == -1; ++tries) {
        usleep(1000); // until it listens
        hold = hold == -1 ? Connect(kHoldPort) : hold;
        client = hold == -1 ? -1 : Connect(kFeedPort);
    }
    const std::int64_t start = NowNs();
    const std::int64_t deadline = start + static_cast<std::int64_t>(kWaitMs) * 1000000;
    char buffer[4096];
    bool closed = false;
    while (client != -1 && !closed && Readable(client, deadline)) {
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        closed = got <= 0;
        run->receives += closed ? 0 : 1;
        const void *firstEnd = closed ? nullptr : std::memchr(buffer, '\n', got);
        run->glued +=
            firstEnd != nullptr && static_cast<const char *>(firstEnd) + 1 < buffer + got ? 1 : 0;
    }
    run->seconds = static_cast<double>(NowNs() - start) / 1e9;
    CloseFd(&client);
    CloseFd(&hold);
    Stop(feed, SIGKILL);
    return closed;
}

} // namespace

int main(int argc, char **argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputs("usage: feed-pacing [--sample-feed PATH] [--sockets N] [--messages N]\n",
                   stderr);
        return 2;
    }
    if (!IsolateNetwork()) {
        std::fprintf(stderr, "feed-pacing: no network namespace of its own: %s\n",
                     std::strerror(errno));
        return 1;
    }
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    const std::string dir = MakeTempDir();
    const std::string file = dir + "/messages.txt";
    std::string content;
    for (long n = 1; n <= options.messages; ++n) {
        content += "50;" + std::to_string(n) + "\n";
    }
    WriteWholeFile(file, content);
    std::printf("%s, %ld messages a run\n%14s %12s %14s %8s\n", options.sampleFeed.c_str(),
                options.messages, "other sockets", "interval-ms", "messages/s", "glued");
    std::vector<int> others;
    int status = 0;
    for (const long sockets : {0L, options.sockets}) {
        if (!OpenOtherSockets(sockets, &others)) {
            std::fprintf(stderr, "feed-pacing: cannot open %ld sockets: %s\n", sockets,
                         std::strerror(errno));
            status = 1;
            break;
        }
        for (const char *interval : {"0", "1"}) {
            Run run;
            if (!Measure(options, file, interval, &run)) {
                std::fprintf(stderr, "feed-pacing: the feed did not finish\n");
                status = 1;
                continue;
            }
            std::printf("%14zu %12s %14.0f %8ld\n", others.size(), interval,
                        static_cast<double>(options.messages) / run.seconds, run.glued);
        }
    }
    RemoveDir(dir);
    return status;
}
