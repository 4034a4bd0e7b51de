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

#include "tests/support.h"

namespace {

// The ports chanlog connects to, written out here instead of taken from its constants, so that a
// wrong port in either program fails these tests.
constexpr std::uint16_t kHoldPort = 31285;
constexpr std::uint16_t kFeedPort = 31286;
constexpr const char *kPrefix = "50;";
constexpr int kExitUsage = 64;
constexpr int kIntervalMs = 40; // between messages: well above the time chanlog takes for one
constexpr int kQuietMs = 300;   // how long to look for output that must not come

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

std::vector<std::string> Reported(const std::vector<std::string> &messages) {
    std::vector<std::string> reported;
    for (const std::string &message : messages) {
        if (message.starts_with(kPrefix)) {
            reported.push_back(message);
        }
    }
    return reported;
}

// Every line that is not empty carries a time stamp. (Messages with a line feed of their own
// leave an empty line after their report.)
bool EveryLineStamped(const std::string &text) {
    for (const std::string &line : Lines(text)) {
        if (!line.empty() && !IsStamped(line)) {
            return false;
        }
    }
    return true;
}

bool Has(const std::vector<int> &states, int state) {
    return std::find(states.begin(), states.end(), state) != states.end();
}

// chanlog has closed its end of the feed connection: channel 2 is over, its output written.
bool FeedClosedByClient() {
    const std::vector<int> states = ClientStates(kFeedPort);
    return !Has(states, kTcpEstablished) && !Has(states, kTcpCloseWait);
}

std::size_t Count(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class EndToEndSampleFeed : public testing::Test {
  protected:
    void SetUp() override {
        IsolateNetwork();
        EndProgramsSession(); // one started outside this namespace would serve it
        dir_ = MakeTempDir();
    }

    void TearDown() override {
        for (Child *child : {&feed_, &chanlog_, &second_}) {
            Stop(*child, SIGKILL);
        }
        EndProgramsSession();
        for (int fd : {hold_, listener_}) {
            if (fd != -1) {
                close(fd);
            }
        }
        RemoveDir(dir_);
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
        feed_ = Spawn(args);
        ASSERT_GT(feed_.pid, 0);
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
            feedErr_ += ReadUntil(feed_.err, text, static_cast<int>(left.count()));
        }
        return true;
    }

    static Child StartChanlog(const std::string &dir) {
        SpawnOptions options;
        options.workDir = dir;
        Child child = Spawn(ChanlogCommand(), options);
        EXPECT_GT(child.pid, 0);
        return child;
    }

    // What plain clients of sample-feed run with `args` get: every receive on the feed until
    // sample-feed closes it at the end of its sequence, and anything sent on the hold port by
    // then ("(closed)" if it was closed). Runs on ports of its own; fills feedErr_.
    struct Probe {
        std::vector<std::string> receives;
        std::string onHold;
    };
    Probe ProbeFeed(std::vector<std::string> args) {
        const std::uint16_t holdPort = FreePort();
        const std::uint16_t feedPort = FreePort();
        args.insert(args.end(), {"--hold-port", std::to_string(holdPort), "--feed-port",
                                 std::to_string(feedPort), "--close"});
        Probe probe;
        StartFeed(args);
        hold_ = ConnectTo(holdPort);
        const int feed = ConnectTo(feedPort);
        EXPECT_NE(hold_, -1) << std::strerror(errno);
        EXPECT_NE(feed, -1) << std::strerror(errno);
        probe.receives = ReceiveUntilClosed(feed);
        close(feed);
        char buffer[64];
        const ssize_t got = recv(hold_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            probe.onHold.assign(buffer, static_cast<std::size_t>(got));
        } else if (got == 0) {
            probe.onHold = "(closed)";
        }
        return probe;
    }

    std::string dir_;
    Child feed_;
    Child chanlog_;
    Child second_;
    int hold_ = -1;
    int listener_ = -1;
    std::string feedErr_;
};

TEST_F(EndToEndSampleFeed, DefaultSampleMixesReportedAndOtherMessagesOnePerReceive) {
    const Probe probe = ProbeFeed({"--interval-ms", std::to_string(kIntervalMs)});
    const std::vector<std::string> &messages = probe.receives;
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
    EXPECT_EQ(probe.onHold, "");
    close(hold_);
    hold_ = -1;
    EXPECT_TRUE(FeedSaid("hold client 127.0.0.1:")) << feedErr_;
    EXPECT_TRUE(FeedSaid(" left")) << feedErr_;
}

TEST_F(EndToEndSampleFeed, ChanlogReportsExactlyTheDefaultSamplesReportedMessagesInOrder) {
    const std::vector<std::string> expected =
        Reported(ProbeFeed({"--interval-ms", std::to_string(kIntervalMs)}).receives);
    ASSERT_FALSE(expected.empty());
    Stop(feed_, SIGKILL);
    close(hold_);
    hold_ = -1;

    StartFeed({"--interval-ms", std::to_string(kIntervalMs), "--close"});
    chanlog_ = StartChanlog(dir_);
    ASSERT_TRUE(FeedSaid("closed by us")) << feedErr_;
    ASSERT_TRUE(WaitFor(FeedClosedByClient));
    const std::string console = ReadAll(chanlog_.out, kQuietMs);
    EXPECT_EQ(ReportTexts(console), expected) << console;
    EXPECT_EQ(ReportTexts(ReadFile(dir_ + "/log.txt")), expected);
}

TEST_F(EndToEndSampleFeed, FromFileCountAndCloseEndChannel2WhileChannel1StaysHeld) {
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;one\n49;two\n50;three %s\nx50;four\n50;five\n");
    StartFeed(
        {"--from", file, "--count", "3", "--close", "--interval-ms", std::to_string(kIntervalMs)});
    chanlog_ = StartChanlog(dir_);
    ASSERT_TRUE(FeedSaid("feed client 127.0.0.1:")) << feedErr_;
    ASSERT_TRUE(FeedSaid("closed by us after 3 messages")) << feedErr_;
    ASSERT_TRUE(WaitFor(FeedClosedByClient));

    // Each line was sent with its line feed, which chanlog reports as part of the text.
    const std::string console = ReadAll(chanlog_.out, kQuietMs);
    EXPECT_EQ(Unstamped(console), "50;one\n\n50;three %s\n\n");
    EXPECT_TRUE(EveryLineStamped(console)) << console;
    const std::string log = ReadFile(dir_ + "/log.txt");
    EXPECT_EQ(Unstamped(log), "50;one\n\n50;three %s\n\n");
    EXPECT_TRUE(EveryLineStamped(log)) << log;

    EXPECT_TRUE(Running(chanlog_));
    EXPECT_TRUE(Has(ClientStates(kHoldPort), kTcpEstablished));
    feedErr_ += ReadAll(feed_.err, kQuietMs);
    EXPECT_EQ(Count(feedErr_, " left"), 0u) << feedErr_;
}

TEST_F(EndToEndSampleFeed, CountWithoutCloseHoldsTheFeedAfterItsLastMessage) {
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;one\n49;two\n50;three\n");
    StartFeed({"--from", file, "--count", "2", "--interval-ms", std::to_string(kIntervalMs)});
    chanlog_ = StartChanlog(dir_);
    ASSERT_TRUE(FeedSaid("has had all 2 messages; holding it")) << feedErr_;
    ASSERT_TRUE(WaitDrained(kFeedPort, kWaitMs));

    std::string console = ReadUntil(chanlog_.out, "50;one\n", kWaitMs);
    console += ReadAll(chanlog_.out, kQuietMs); // a third message would be due by now
    EXPECT_EQ(Unstamped(console), "50;one\n\n");
    EXPECT_TRUE(Has(ClientStates(kFeedPort), kTcpEstablished));
    EXPECT_TRUE(Running(chanlog_));
}

TEST_F(EndToEndSampleFeed, StandardInputRepeatedUpToTheCount) {
    // The last line has no line feed, and is sent without one.
    const std::string input = dir_ + "/input.txt";
    WriteFile(input, "50;a\nb\n50;c");
    StartFeed({"--from", "-", "--repeat", "--count", "7", "--close", "--interval-ms",
               std::to_string(kIntervalMs)},
              input);
    chanlog_ = StartChanlog(dir_);
    ASSERT_TRUE(FeedSaid("closed by us after 7 messages")) << feedErr_;
    ASSERT_TRUE(WaitFor(FeedClosedByClient));

    const std::string console = ReadAll(chanlog_.out, kQuietMs);
    EXPECT_EQ(Unstamped(console), "50;a\n\n50;c\n50;a\n\n50;c\n50;a\n\n");
    EXPECT_TRUE(EveryLineStamped(console)) << console;
    EXPECT_EQ(Unstamped(ReadFile(dir_ + "/log.txt")), Unstamped(console));
}

TEST_F(EndToEndSampleFeed, AcceptsASecondChanlogAfterTheFirstIsKilled) {
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;first\n50;second\n");
    StartFeed({"--from", file, "--interval-ms", std::to_string(kIntervalMs)});

    chanlog_ = StartChanlog(dir_);
    const std::string first = ReadUntil(chanlog_.out, "50;second\n\n", kWaitMs);
    EXPECT_EQ(Unstamped(first), "50;first\n\n50;second\n\n");
    Stop(chanlog_, SIGKILL);
    // Both of its connections noticed gone: the held one and the fed one.
    ASSERT_TRUE(FeedSaid(" left", 2)) << feedErr_;
    EXPECT_EQ(Count(feedErr_, "hold client"), 2u) << feedErr_;
    EXPECT_EQ(Count(feedErr_, "feed client"), 3u) << feedErr_; // connected, had all, left

    const std::string secondDir = dir_ + "/second";
    ASSERT_EQ(mkdir(secondDir.c_str(), 0700), 0);
    second_ = StartChanlog(secondDir);
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
        {kHoldPort, {}},
        {kFeedPort, {}},
        {other, {"--feed-port", std::to_string(other)}},
    };
    for (const auto &[port, args] : cases) {
        SCOPED_TRACE(port);
        listener_ = Listen(port);
        ASSERT_NE(listener_, -1) << std::strerror(errno);
        std::vector<std::string> argv = SampleFeedCommand();
        argv.insert(argv.end(), args.begin(), args.end());
        feed_ = Spawn(argv);
        const int status = WaitExit(feed_, kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_EQ(ReadAll(feed_.err, kWaitMs),
                  "sample-feed: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                      std::strerror(EADDRINUSE) + "\n");
        Stop(feed_, SIGKILL);
        close(listener_);
        listener_ = -1;
    }
}

TEST_F(EndToEndSampleFeed, BadUsageExits64WithOneLineAndTheUsage) {
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
        std::vector<std::string> argv = SampleFeedCommand();
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        feed_ = Spawn(argv);
        const int status = WaitExit(feed_, kWaitMs);
        const std::string out = ReadAll(feed_.out, kWaitMs);
        const std::string err = ReadAll(feed_.err, kWaitMs);
        Stop(feed_, SIGKILL);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kExitUsage) << status;
        EXPECT_EQ(out, "");
        const std::size_t lineEnd = err.find('\n');
        ASSERT_NE(lineEnd, std::string::npos) << err;
        const std::string line = err.substr(0, lineEnd);
        EXPECT_TRUE(line.starts_with("sample-feed: ")) << line;
        EXPECT_NE(line.find(c.named), std::string::npos) << line;
        EXPECT_TRUE(err.substr(lineEnd + 1).starts_with("Usage: sample-feed")) << err;
    }
}

TEST_F(EndToEndSampleFeed, HelpPrintsTheUsageOnStandardOutput) {
    std::vector<std::string> argv = SampleFeedCommand();
    argv.push_back("--help");
    feed_ = Spawn(argv);
    const int status = WaitExit(feed_, kWaitMs);
    const std::string out = ReadAll(feed_.out, kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(out.starts_with("Usage: sample-feed")) << out;
    for (const char *flag : {"--hold-port", "--feed-port", "--interval-ms", "--from", "--count",
                             "--repeat", "--close", "--echo"}) {
        EXPECT_NE(out.find(flag), std::string::npos) << flag;
    }
    EXPECT_EQ(ReadAll(feed_.err, kWaitMs), "");
}

TEST_F(EndToEndSampleFeed, InterruptAndTerminateEndItWithStatusZero) {
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        // A long sequence, so that the signal comes in the middle of it.
        StartFeed({"--repeat", "--interval-ms", std::to_string(kIntervalMs)});
        chanlog_ = StartChanlog(dir_);
        ASSERT_TRUE(FeedSaid("feed client 127.0.0.1:")) << feedErr_;
        ASSERT_TRUE(ReadUntil(chanlog_.out, kPrefix, kWaitMs).find(kPrefix) != std::string::npos);
        kill(feed_.pid, signal);
        const int status = WaitExit(feed_, kWaitMs);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        Stop(feed_, SIGKILL);
        Stop(chanlog_, SIGKILL);
    }
}

TEST_F(EndToEndSampleFeed, ClosedStandardStreamsRefuseInputAndAreNeverTakenBySockets) {
    const std::uint16_t holdPort = FreePort();
    const std::uint16_t feedPort = FreePort();
    // Starts sample-feed on those ports with the standard streams that `redirections` closes.
    auto start = [&](const std::string &redirections, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" " + redirections, "sh",
                                         SAMPLE_FEED_BINARY};
        argv.insert(argv.end(), {"--hold-port", std::to_string(holdPort), "--feed-port",
                                 std::to_string(feedPort)});
        argv.insert(argv.end(), args.begin(), args.end());
        return Spawn(argv);
    };

    feed_ = start("<&-", {"--from", "-"});
    const int status = WaitExit(feed_, kWaitMs);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(ReadAll(feed_.err, kWaitMs),
              "sample-feed: cannot read standard input: it is closed\n");
    Stop(feed_, SIGKILL);

    // Unguarded, the listeners would take descriptors 0 and 1, and the first client 2: everything
    // said on standard error would go to that client.
    const std::string file = dir_ + "/messages.txt";
    WriteFile(file, "50;a\nb\n");
    feed_ = start("<&- >&- 2>&-", {"--from", file, "--close", "--echo", "--interval-ms",
                                   std::to_string(kIntervalMs)});
    ASSERT_TRUE(WaitFor([&] { return (hold_ = ConnectTo(holdPort)) != -1; }));
    int feed = -1;
    ASSERT_TRUE(WaitFor([&] { return (feed = ConnectTo(feedPort)) != -1; }));
    EXPECT_EQ(ReceiveUntilClosed(feed), (std::vector<std::string>{"50;a\n", "b\n"}));
    close(feed);
    char byte = 0;
    EXPECT_EQ(recv(hold_, &byte, 1, MSG_DONTWAIT), -1); // held, and sent nothing
    EXPECT_EQ(errno, EAGAIN);
}

} // namespace
