// The bundled sample service, alone and with the real chanlog against it on the fixed ports, each
// test in a network namespace of its own.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

constexpr const char *kPrefix = "50;";
constexpr int kExitUsage = 64;
constexpr int kIntervalMs = 40; // between messages: well above the time chanlog takes for one
constexpr int kQuietMs = 300;   // how long to look for output that must not come
const std::string kInterval = std::to_string(kIntervalMs);

using Clock = std::chrono::steady_clock;

std::uint16_t FreePort() {
    const int listener = Listen(0);
    const std::uint16_t port = PortOf(listener);
    close(listener);
    return port;
}

int ConnectTo(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

// Each receive on `fd` until the peer closes, or an empty list when it does not within the wait.
std::vector<std::string> ReceiveUntilClosed(int fd) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    std::vector<std::string> receives;
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "the feed was not closed in " << kWaitMs << " ms";
            return {};
        }
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return receives;
        }
        receives.emplace_back(buffer, static_cast<std::size_t>(got));
    }
}

// Every line that is not empty carries a time stamp. (Messages with a line feed of their own
// leave an empty line after their report.)
bool EveryLineStamped(const std::string &text) {
    const std::vector<std::string> lines = Lines(text);
    return std::all_of(lines.begin(), lines.end(),
                       [](const std::string &line) { return line.empty() || IsStamped(line); });
}

bool Has(const std::vector<int> &states, int state) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

std::size_t Count(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// sample-feed and chanlog on the fixed ports, which chanlog's fixture names.
class EndToEndSampleFeed : public ChanlogTest {
  protected:
    void TearDown() override {
        Stop(service_, SIGKILL);
        Stop(second_, SIGKILL);
        ChanlogTest::TearDown();
    }

    // Starts sample-feed with `args`, its standard input from `input` where one is given, and
    // waits until it listens.
    void StartFeed(std::vector<std::string> args, const std::string &input = {}) {
        const std::vector<std::string> command = SampleFeedCommand();
        args.insert(args.begin(), command.begin(), command.end());
        if (!input.empty()) {
            // exec keeps the pid, so that Stop ends sample-feed itself.
            args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" < \"$0\"", input});
        }
        feedErr_.clear();
        service_ = Spawn(args);
        ASSERT_GT(service_.pid, 0);
        ASSERT_TRUE(FeedSaid("listening on")) << feedErr_;
    }

    // Its standard error has said `text` `times` times, within the wait.
    bool FeedSaid(const std::string &text, std::size_t times = 1) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (Count(feedErr_, text) < times) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            feedErr_ += ReadUntil(service_.err, text, static_cast<int>(left.count()));
        }
        return true;
    }

    // What plain clients of sample-feed run with `args` get: every receive on the feed until
    // sample-feed closes it at the end of its sequence, and whether the hold port sent nothing
    // and stayed open by then. Runs on ports of its own; fills feedErr_.
    std::vector<std::string> ProbeFeed(std::vector<std::string> args, bool *holdQuiet) {
        const std::uint16_t holdPort = FreePort();
        const std::uint16_t feedPort = FreePort();
        args.insert(args.end(), {"--hold-port", std::to_string(holdPort), "--feed-port",
                                 std::to_string(feedPort), "--close"});
        StartFeed(args);
        hold_ = ConnectTo(holdPort);
        const int feed = ConnectTo(feedPort);
        EXPECT_NE(hold_, -1) << std::strerror(errno);
        EXPECT_NE(feed, -1) << std::strerror(errno);
        std::vector<std::string> receives = ReceiveUntilClosed(feed);
        close(feed);
        *holdQuiet = HoldConnectionHeld();
        return receives;
    }

    std::vector<std::string> CommandWith(const std::vector<std::string> &args) const {
        std::vector<std::string> argv = SampleFeedCommand();
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    Child service_; // sample-feed
    Child second_;  // a second chanlog
    std::string feedErr_;
};

TEST_F(EndToEndSampleFeed, DefaultSampleMixesMessagesOnePerReceiveAndChanlogReportsItsOwn) {
    bool holdQuiet = false;
    const std::vector<std::string> messages = ProbeFeed({"--interval-ms", kInterval}, &holdQuiet);
    ASSERT_FALSE(messages.empty());
    // As many receives as messages sent: no two of them went together.
    EXPECT_TRUE(FeedSaid("closed by us after " + std::to_string(messages.size()) + " messages"))
        << feedErr_;
    auto any = [&](auto predicate) {
        return std::any_of(messages.begin(), messages.end(), predicate);
    };
    EXPECT_TRUE(any([](const std::string &m) { return m.starts_with(kPrefix); }));
    EXPECT_TRUE(any([](const std::string &m) { return m.find(kPrefix) == std::string::npos; }));
    EXPECT_TRUE(any([](const std::string &m) { return m.find(kPrefix) == 1; }));
    EXPECT_TRUE(any([](const std::string &m) { return m.size() == 2; }));
    // The hold port sends nothing, and notices its client going.
    EXPECT_TRUE(holdQuiet);
    close(hold_);
    hold_ = -1;
    EXPECT_TRUE(FeedSaid("hold client 127.0.0.1:")) << feedErr_;
    EXPECT_TRUE(FeedSaid(" left")) << feedErr_;
    Stop(service_, SIGKILL);

    // chanlog against it on the fixed ports reports exactly those that begin with the prefix.
    std::vector<std::string> expected;
    std::copy_if(messages.begin(), messages.end(), std::back_inserter(expected),
                 [](const std::string &m) { return m.starts_with(kPrefix); });
    StartFeed({"--interval-ms", kInterval, "--close"});
    StartChanlog();
    ASSERT_TRUE(FeedSaid("closed by us")) << feedErr_;
    ASSERT_TRUE(WaitFor(FeedClosedByClient));
    const std::string console = ReadAll(chanlog_.out, kQuietMs);
    EXPECT_EQ(ReportTexts(console), expected) << console;
    EXPECT_EQ(ReportTexts(Log()), expected);
}

TEST_F(EndToEndSampleFeed, AFileOrStandardInputUpToTheCountThenCloseEndsChannelTwoOnly) {
    const std::string file = dir_ + "/messages.txt";
    struct Case {
        std::string content;
        std::vector<std::string> args;
        bool asInput; // the file is sample-feed's standard input
        std::string reported;
    };
    const std::vector<Case> cases = {
        // Each line is sent with its line feed, which chanlog reports as part of the text.
        {"50;one\n49;two\n50;three %s\nx50;four\n50;five\n",
         {"--from", file, "--count", "3"},
         false,
         "50;one\n\n50;three %s\n\n"},
        // The last line has no line feed, and is sent without one.
        {"50;a\nb\n50;c",
         {"--from", "-", "--repeat", "--count", "7"},
         true,
         "50;a\n\n50;c\n50;a\n\n50;c\n50;a\n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[1]);
        WriteFile(file, c.content);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--close", "--interval-ms", kInterval});
        StartFeed(args, c.asInput ? file : "");
        StartChanlog();
        ASSERT_TRUE(FeedSaid("closed by us after " + c.args.back() + " messages")) << feedErr_;
        ASSERT_TRUE(WaitFor(FeedClosedByClient));

        const std::string console = ReadAll(chanlog_.out, kQuietMs);
        EXPECT_EQ(Unstamped(console), c.reported);
        EXPECT_TRUE(EveryLineStamped(console)) << console;
        const std::string log = Log();
        EXPECT_EQ(Unstamped(log), c.reported);
        EXPECT_TRUE(EveryLineStamped(log)) << log;
        // Channel 1 still holds its connection.
        EXPECT_TRUE(Running(chanlog_));
        EXPECT_TRUE(Has(ClientStates(kHoldService), kTcpEstablished));
        EXPECT_EQ(Count(feedErr_, " left"), 0u) << feedErr_;
        Stop(chanlog_, SIGKILL);
        Stop(service_, SIGKILL);
    }
}

TEST_F(EndToEndSampleFeed, CountWithoutCloseHoldsTheFeedAfterItsLastMessage) {
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;one\n49;two\n50;three\n");
    StartFeed({"--from", file, "--count", "2", "--interval-ms", kInterval});
    StartChanlog();
    ASSERT_TRUE(FeedSaid("has had all 2 messages; holding it")) << feedErr_;
    ASSERT_TRUE(WaitDrained(kFeedService, kWaitMs));

    std::string console = ReadUntil(chanlog_.out, "50;one\n", kWaitMs);
    console += ReadAll(chanlog_.out, kQuietMs); // a third message would be due by now
    EXPECT_EQ(Unstamped(console), "50;one\n\n");
    EXPECT_TRUE(Has(ClientStates(kFeedService), kTcpEstablished));
    EXPECT_TRUE(Running(chanlog_));
}

TEST_F(EndToEndSampleFeed, AcceptsASecondChanlogAfterTheFirstIsKilled) {
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;first\n50;second\n");
    StartFeed({"--from", file, "--interval-ms", kInterval});

    StartChanlog();
    EXPECT_EQ(Unstamped(Console("50;second\n\n")), "50;first\n\n50;second\n\n");
    Stop(chanlog_, SIGKILL);
    // Both of its connections noticed gone: the held one and the fed one.
    ASSERT_TRUE(FeedSaid(" left", 2)) << feedErr_;
    EXPECT_EQ(Count(feedErr_, "hold client"), 2u) << feedErr_;
    EXPECT_EQ(Count(feedErr_, "feed client"), 3u) << feedErr_; // connected, had all, left

    const std::string secondDir = dir_ + "/second";
    ASSERT_EQ(mkdir(secondDir.c_str(), 0700), 0);
    SpawnOptions options;
    options.workDir = secondDir;
    second_ = Spawn(ChanlogCommand(), options);
    ASSERT_TRUE(FeedSaid("has had all 2 messages", 2)) << feedErr_;
    const std::string console = ReadUntil(second_.out, "50;second\n\n", kWaitMs);
    EXPECT_EQ(Unstamped(console), "50;first\n\n50;second\n\n");
    const std::string logPath = secondDir + "/log.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(logPath).ends_with("50;second\n\n"); }));
    EXPECT_EQ(Unstamped(ReadFile(logPath)), "50;first\n\n50;second\n\n");
}

TEST_F(EndToEndSampleFeed, PortAlreadyTakenIsNamedAndExitsOne) {
    const std::uint16_t other = FreePort();
    const std::vector<std::pair<std::uint16_t, std::vector<std::string>>> cases = {
        {kHoldService, {}},
        {kFeedService, {}},
        {other, {"--feed-port", std::to_string(other)}},
    };
    for (const auto &[port, args] : cases) {
        SCOPED_TRACE(port);
        holdListener_ = Listen(port);
        ASSERT_NE(holdListener_, -1) << std::strerror(errno);
        service_ = Spawn(CommandWith(args));
        const int status = WaitExit(service_, kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(ReadAll(service_.err, kWaitMs),
                  "sample-feed: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                      std::strerror(EADDRINUSE) + "\n");
        Stop(service_, SIGKILL);
        close(holdListener_);
        holdListener_ = -1;
    }
}

TEST_F(EndToEndSampleFeed, BadUsageExits64WithOneLineAndTheUsageAndHelpPrintsIt) {
    struct Case {
        std::vector<std::string> args;
        std::string named; // what the error line must name
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "'--bogus'"},
        {{"-x"}, "'-x'"},
        {{"--interval-ms", "abc"}, "'abc'"},
        {{"--interval-ms", "-5"}, "'-5'"},
        {{"--hold-port", "0"}, "'0'"},
        {{"--feed-port", "65536"}, "'65536'"},
        {{"--count", " 3"}, "' 3'"},
        {{"--count"}, "'--count'"},
        {{"--repeat=yes"}, "'--repeat=yes'"},
        {{"--from", ""}, "--from"},
        {{"stray"}, "'stray'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        service_ = Spawn(CommandWith(c.args));
        const int status = WaitExit(service_, kWaitMs);
        const std::string out = ReadAll(service_.out, kWaitMs);
        const std::string err = ReadAll(service_.err, kWaitMs);
        Stop(service_, SIGKILL);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitUsage) << status;
        EXPECT_EQ(out, "");
        const std::size_t lineEnd = err.find('\n');
        ASSERT_NE(lineEnd, std::string::npos) << err;
        const std::string line = err.substr(0, lineEnd);
        EXPECT_TRUE(line.starts_with("sample-feed: ")) << line;
        EXPECT_NE(line.find(c.named), std::string::npos) << line;
        EXPECT_TRUE(err.substr(lineEnd + 1).starts_with("Usage: sample-feed")) << err;
    }

    service_ = Spawn(CommandWith({"--help"}));
    const int status = WaitExit(service_, kWaitMs);
    const std::string out = ReadAll(service_.out, kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(out.starts_with("Usage: sample-feed")) << out;
    for (const char *flag : {"--hold-port", "--feed-port", "--interval-ms", "--from", "--count",
                             "--repeat", "--close", "--echo"}) {
        EXPECT_NE(out.find(flag), std::string::npos) << flag;
    }
    EXPECT_EQ(ReadAll(service_.err, kWaitMs), "");
}

TEST_F(EndToEndSampleFeed, InterruptAndTerminateEndItWithStatusZero) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        // A long sequence, so that the signal comes in the middle of it.
        StartFeed({"--repeat", "--interval-ms", kInterval});
        StartChanlog();
        ASSERT_TRUE(FeedSaid("feed client 127.0.0.1:")) << feedErr_;
        ASSERT_TRUE(ReadUntil(chanlog_.out, kPrefix, kWaitMs).find(kPrefix) != std::string::npos);
        kill(service_.pid, signal);
        const int status = WaitExit(service_, kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        Stop(service_, SIGKILL);
        Stop(chanlog_, SIGKILL);
    }
}

TEST_F(EndToEndSampleFeed, ClosedStandardStreamsRefuseInputAndAreNeverTakenBySockets) {
    const std::uint16_t holdPort = FreePort();
    const std::uint16_t feedPort = FreePort();
    // Starts sample-feed on those ports with the standard streams that `redirections` closes.
    auto start = [&](const std::string &redirections, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" " + redirections, "sh"};
        const std::vector<std::string> feed = CommandWith(
            {"--hold-port", std::to_string(holdPort), "--feed-port", std::to_string(feedPort)});
        argv.insert(argv.end(), feed.begin(), feed.end());
        argv.insert(argv.end(), args.begin(), args.end());
        return Spawn(argv);
    };

    service_ = start("<&-", {"--from", "-"});
    const int status = WaitExit(service_, kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadAll(service_.err, kWaitMs),
              "sample-feed: cannot read standard input: it is closed\n");
    Stop(service_, SIGKILL);

    // Unguarded, the listeners would take descriptors 0 and 1, and the first client 2: everything
    // said on standard error would go to that client.
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;a\nb\n");
    service_ =
        start("<&- >&- 2>&-", {"--from", file, "--close", "--echo", "--interval-ms", kInterval});
    ASSERT_TRUE(WaitFor([&] { return (hold_ = ConnectTo(holdPort)) != -1; }));
    int feed = -1;
    ASSERT_TRUE(WaitFor([&] { return (feed = ConnectTo(feedPort)) != -1; }));
    EXPECT_EQ(ReceiveUntilClosed(feed), (std::vector<std::string>{"50;a\n", "b\n"}));
    close(feed);
    EXPECT_TRUE(HoldConnectionHeld()); // held, and sent nothing
}

} // namespace
