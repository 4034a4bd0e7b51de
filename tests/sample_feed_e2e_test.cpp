// The bundled sample service, alone and with the real chanlog against it on the fixed ports, each
// test in a network namespace of its own.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

constexpr const char *kPrefix = "50;";
constexpr int kIntervalMs = 40; // between messages: well above the time chanlog takes for one
constexpr int kQuietMs = 300;   // how long to look for output that must not come
const std::string kInterval = std::to_string(kIntervalMs);

std::uint16_t FreePort() {
    const int listener = Listen(0);
    const std::uint16_t port = PortOf(listener);
    close(listener);
    return port;
}

// Each receive on `fd` until the peer closes (pausing `pauseUs` after each), or an empty list when
// it does not close within the wait.
std::vector<std::string> ReceiveUntilClosed(int fd, int pauseUs = 0) {
    const std::int64_t deadline = NowNs() + std::int64_t{kWaitMs} * 1000000;
    std::vector<std::string> receives;
    char buffer[4096];
    ssize_t got = 1; // until the peer closes
    while (Readable(fd, deadline) && (got = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        receives.emplace_back(buffer, static_cast<std::size_t>(got));
        usleep(pauseUs);
    }
    if (got > 0) {
        ADD_FAILURE() << "the feed was not closed in " << kWaitMs << " ms";
        return {};
    }
    return receives;
}

std::size_t Count(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<std::string> Words(const std::string &text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// `text` `times` over as a Windows program saves "Unicode": UTF-16 of the byte order asked for,
// after its byte-order mark.
std::string Utf16(const std::u16string &text, bool bigEndian, int times = 1) {
    std::string bytes = bigEndian ? "\xfe\xff" : "\xff\xfe";
    for (int i = 0; i < times; ++i) {
        for (const char16_t unit : text) {
            const auto high = static_cast<char>(unit >> 8U);
            const auto low = static_cast<char>(unit & 0xffU);
            bytes += bigEndian ? std::string{high, low} : std::string{low, high};
        }
    }
    return bytes;
}

// Writes `file` with the messages "50;1\n" to "50;`count`\n", and returns them.
std::vector<std::string> NumberedFile(const std::string &file, int count) {
    std::vector<std::string> lines;
    std::string content;
    for (int i = 1; i <= count; ++i) {
        lines.push_back("50;" + std::to_string(i) + "\n");
        content += lines.back();
    }
    WriteWholeFile(file, content);
    return lines;
}

// How a run of sample-feed went, as one text to compare: its exit status, standard output and
// standard error.
std::string Ran(int status, const std::string &out, const std::string &err) {
    return "status " + std::to_string(status) + "\nout: " + out + "\nerr: " + err;
}

// sample-feed and chanlog on the fixed ports, which chanlog's fixture names.
class EndToEndSampleFeed : public ChanlogTest {
  protected:
    void TearDown() override {
        Stop(service_, SIGKILL);
        Stop(second_, SIGKILL);
        ChanlogTest::TearDown();
    }

    // Starts sample-feed with `args` through the shell, which applies `redirections` first (where
    // `$0` is `file`); exec keeps the pid, so that Stop ends sample-feed itself.
    void SpawnFeed(const std::vector<std::string> &args, const std::string &redirections = {},
                   const std::string &file = "sh") {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" " + redirections, file};
        const std::vector<std::string> command = SampleFeedCommand();
        argv.insert(argv.end(), command.begin(), command.end());
        argv.insert(argv.end(), args.begin(), args.end());
        feedErr_.clear();
        service_ = Spawn(argv);
        ASSERT_GT(service_.pid, 0) << std::strerror(errno);
    }

    // Runs sample-feed to its end by itself; what Ran says of it.
    std::string RunFeed(const std::vector<std::string> &args,
                        const std::string &redirections = {}) {
        SpawnFeed(args, redirections);
        const int status = ExitCode(service_);
        const std::string out = ReadAll(service_.out, kWaitMs);
        std::string run = Ran(status, out, ReadAll(service_.err, kWaitMs));
        Stop(service_, SIGKILL);
        return run;
    }

    // Starts sample-feed, its standard input from `input` where one is given, and waits until it
    // listens.
    void StartFeed(const std::vector<std::string> &args, const std::string &input = {}) {
        ASSERT_NO_FATAL_FAILURE(SpawnFeed(args, input.empty() ? "" : "< \"$0\"", input));
        ASSERT_TRUE(FeedSaid("listening on")) << feedErr_;
    }

    // Its standard error has said `text` `times` times, within the wait.
    bool FeedSaid(const std::string &text, std::size_t times = 1) {
        const std::int64_t deadline = NowNs() + std::int64_t{kWaitMs} * 1000000;
        while (Count(feedErr_, text) < times && MsUntil(deadline) > 0) {
            feedErr_ += ReadUntil(service_.err, text, MsUntil(deadline));
        }
        return Count(feedErr_, text) >= times;
    }

    // What plain clients of sample-feed get when it runs with `args` and `redirections` on ports of
    // its own: every receive on the feed until sample-feed closes it at the end of its sequence.
    // Its hold port's client is hold_.
    std::vector<std::string> ProbeFeed(std::vector<std::string> args,
                                       const std::string &redirections = {}, int pauseUs = 0) {
        const std::uint16_t holdPort = FreePort();
        const std::uint16_t feedPort = FreePort();
        args.insert(args.end(), {"--hold-port", std::to_string(holdPort), "--feed-port",
                                 std::to_string(feedPort), "--close"});
        SpawnFeed(args, redirections);
        int feed = -1;
        EXPECT_TRUE(WaitFor([&] { return (hold_ = Connect(holdPort)) != -1; }));
        EXPECT_TRUE(WaitFor([&] { return (feed = Connect(feedPort)) != -1; }));
        std::vector<std::string> receives = ReceiveUntilClosed(feed, pauseUs);
        close(feed);
        return receives;
    }

    Child service_; // sample-feed
    Child second_;  // a second chanlog
    std::string feedErr_;
};

TEST_F(EndToEndSampleFeed, DefaultSampleMixesMessagesOnePerReceiveAndChanlogReportsItsOwn) {
    const std::int64_t start = NowNs();
    const std::vector<std::string> messages = ProbeFeed({"--interval-ms", kInterval});
    // The hold port sends nothing, and notices its client going.
    EXPECT_TRUE(HoldConnectionHeld());
    ASSERT_FALSE(messages.empty());
    // As many receives as messages sent: no two of them went together. Each came after its pause.
    EXPECT_TRUE(FeedSaid("closed by us after " + std::to_string(messages.size()) + " messages"))
        << feedErr_;
    EXPECT_GE(NowNs() - start,
              static_cast<std::int64_t>(messages.size()) * kIntervalMs * 1000 * 1000);
    auto any = [&](auto predicate) {
        return std::any_of(messages.begin(), messages.end(), predicate);
    };
    EXPECT_TRUE(any([](const std::string &m) { return m.starts_with(kPrefix); }));
    EXPECT_TRUE(any([](const std::string &m) { return m.find(kPrefix) == std::string::npos; }));
    EXPECT_TRUE(any([](const std::string &m) { return m.find(kPrefix) == 1; }));
    EXPECT_TRUE(any([](const std::string &m) { return m.size() == 2; }));
    CloseFd(&hold_);
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

TEST_F(EndToEndSampleFeed, AFileOrStandardInputUpToTheCountThenClosedOrHeldAndChannelOneHolds) {
    const std::string file = dir_ + "/messages.txt";
    // `args` name the file in the test's folder, or "-" for it as standard input, first.
    auto check = [&](const std::string &content, const std::string &argsText,
                     const std::vector<std::string> &reported) {
        SCOPED_TRACE(argsText);
        std::vector<std::string> args = Words(argsText);
        const bool close = args.back() == "--close"; // otherwise held after the last message
        const std::string count = args[args.size() - (close ? 2 : 1)] + " messages";
        const bool asInput = args[0] == "-";
        args[0] = asInput ? "-" : dir_ + "/" + args[0];
        WriteWholeFile(asInput ? file : args[0], content);
        args.insert(args.begin(), "--from");
        args.insert(args.end(), {"--interval-ms", kInterval});
        StartFeed(args, asInput ? file : "");
        StartChanlog();
        ASSERT_TRUE(FeedSaid(close ? "closed by us after " + count
                                   : "has had all " + count + "; holding it"))
            << feedErr_;
        ASSERT_TRUE(close ? WaitFor(FeedClosedByClient) : WaitDrained(kFeedService, kWaitMs));

        const std::string console = ReadAll(chanlog_.out, kQuietMs); // a next one would be due
        EXPECT_EQ(ReportTexts(console), reported) << console;
        EXPECT_EQ(ReportTexts(Log()), reported);
        EXPECT_EQ(ClientIn(kFeedService, kTcpEstablished), !close);
        // Channel 1 still holds its connection.
        EXPECT_TRUE(Running(chanlog_));
        EXPECT_TRUE(ClientIn(kHoldService, kTcpEstablished));
        EXPECT_EQ(Count(feedErr_, " left"), 0u) << feedErr_;
        Stop(chanlog_, SIGKILL);
        Stop(service_, SIGKILL);
        EndProgramsSession(); // under Wine, the ports are free only once its server has let go
    };
    // Each line is sent with its line feed, which chanlog reports as part of the text; a last line
    // without one is sent without one.
    check("50;one\n49;two\n50;three %s\nx50;four\n50;five\n", "messages.txt --count 3 --close",
          {"50;one\n", "50;three %s\n"});
    check("50;a\nb\n50;c", "- --repeat --count 7 --close",
          {"50;a\n", "50;c", "50;a\n", "50;c", "50;a\n"});
    check("50;one\n49;two\n50;three\n", "messages.txt --count 2", {"50;one\n"});
    // Saved by a Windows editor: a byte-order mark, CR LF. Again from the first line, and not from
    // the mark, which is not sent; each line goes with its line feed alone. And a name outside any
    // ANSI code page.
    const std::string bom = "\xef\xbb\xbf";
    check(bom + "50;a\r\n50;b", "messages.txt --repeat --count 5 --close",
          {"50;a\n", "50;b", "50;a\n", "50;b", "50;a\n"});
    check(bom + "50;one\r\n49;two\r\n50;three \xc3\xa9\r\n", "\u65e5\u672c.txt --count 3 --close",
          {"50;one\n", "50;three \xc3\xa9\n"});
    check(bom + "50;a\r\n" + bom + "50;b\r", "- --count 2 --close", {"50;a\n"});
    // Saved as "Unicode" by Notepad or PowerShell: sent as UTF-8, with line feeds alone.
    // U+010A holds a byte 0x0a, which is no line feed.
    check(Utf16(u"50;\u010aone\r\n49;two\r\n50;three \u00e9 \U0001f600\r\n", false),
          "messages.txt --count 3 --close",
          {"50;\xc4\x8aone\n", "50;three \xc3\xa9 \xf0\x9f\x98\x80\n"});
    check(Utf16(u"50;a\n50;b", true), "- --count 2 --close", {"50;a\n", "50;b"});
    // A character of two units whose halves come in two reads of 4096 bytes: the mark and 2046
    // units before it.
    check(Utf16(std::u16string(1021, u'a') + u"\n" + std::u16string(1020, u'b') +
                    u"\n50;\U0001f600\n",
                false),
          "messages.txt --count 3 --close", {"50;\xf0\x9f\x98\x80\n"});
}

TEST_F(EndToEndSampleFeed, AFileThatCannotBeReadAsTextIsRefusedSayingWhy) {
    const std::string file = dir_ + "/messages.txt";
    const std::string invalid = "not valid UTF-16: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", std::strerror(ENOENT)}, // no file at all
        {Utf16(u"50;a\n", false) + "x", invalid + "half a character at offset 12"},
        {Utf16(u"5", true) + std::string("\xdc\0", 2),
         invalid + "an unpaired surrogate at offset 4"},
        {Utf16(u"5", false) + "\x3d\xd8\x35", invalid + "half a character at offset 4"},
        {Utf16(u"5", false) + std::string("\x3d\xd8\x35\0", 4),
         invalid + "an unpaired surrogate at offset 4"},
        // UTF-32, whose mark begins as UTF-16's.
        {std::string("\xff\xfe\0\0\x35\0\0\0", 8), invalid + "a zero character at offset 2"},
        // Far into the file, in reads long after the first.
        {Utf16(u"50;a line\n", false, 10000) + std::string("\x35\0\0\xdc", 4),
         invalid + "an unpaired surrogate at offset 200004"},
    };
    const std::string cannot = "sample-feed: cannot read " + file + ": ";
    for (const auto &[content, why] : cases) {
        SCOPED_TRACE(why);
        if (!content.empty()) {
            WriteWholeFile(file, content);
        }
        EXPECT_EQ(RunFeed({"--from", file}), Ran(1, "", cannot + why) + "\n");
    }

    // Each line is read as it is sent: of a file shortened after the start, what is left, and
    // then the client is closed, saying why.
    WriteWholeFile(file, "50;one\n50;two\n50;three\n");
    StartFeed({"--from", file, "--interval-ms", "0"});
    WriteWholeFile(file, "50;one\n");
    const int feed = Connect(kFeedService);
    EXPECT_EQ(ReceiveUntilClosed(feed), std::vector<std::string>{"50;one\n"});
    close(feed);
    EXPECT_TRUE(FeedSaid("sample-feed: cannot read " + file +
                         ": it is shorter now than when sample-feed started\n"))
        << feedErr_;
    EXPECT_TRUE(FeedSaid(" closed by us after 1 message\n")) << feedErr_;
}

TEST_F(EndToEndSampleFeed, ALargeFileCostsNoMoreMemoryThanASmallOne) {
    // 32 MB of lines, and their first 100 kB as a file of its own: each is checked through, and
    // its first 1000 lines sent.
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        const std::string number = std::to_string(i);
        lines += "50;" + number + ";" + std::string(96 - number.size(), 'x') + "\n";
    }
    std::string large;
    for (int i = 0; i < 320; ++i) {
        large += lines;
    }
    WriteWholeFile(dir_ + "/small.txt", lines);
    WriteWholeFile(dir_ + "/large.txt", large);
    auto peakKb = [&](const std::string &name) {
        std::string sent;
        for (const std::string &receive :
             ProbeFeed({"--from", dir_ + name, "--interval-ms", "0", "--count", "1000"})) {
            sent += receive;
        }
        EXPECT_TRUE(sent == lines)
            << sent.size() << " bytes sent of " << lines.size() << "; " << ReadAll(service_.err, 0);
        const long long kb = StatusKb(service_.pid, "VmHWM");
        CloseFd(&hold_);
        Stop(service_, SIGKILL);
        return kb;
    };
    const long long small = peakKb("/small.txt");
    const long long grown = peakKb("/large.txt") - small;
    // Holding the file's lines would cost more than the file itself.
    EXPECT_LT(grown, static_cast<long long>(large.size() / 1024 / 4))
        << small << " kB for the small file";
}

TEST_F(EndToEndSampleFeed, AcceptsASecondChanlogAfterTheFirstIsKilled) {
    const std::string file = dir_ + "/messages.txt";
    WriteWholeFile(file, "50;first\n50;second\n");
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
    second_ = Spawn(ChanlogCommand(), {.workDir = secondDir});
    ASSERT_TRUE(FeedSaid("has had all 2 messages", 2)) << feedErr_;
    const std::string console = ReadUntil(second_.out, "50;second\n\n", kWaitMs);
    EXPECT_EQ(Unstamped(console), "50;first\n\n50;second\n\n");
    const std::string logPath = secondDir + "/log.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(logPath).ends_with("50;second\n\n"); }));
    EXPECT_EQ(Unstamped(ReadFile(logPath)), "50;first\n\n50;second\n\n");
}

TEST_F(EndToEndSampleFeed, PortAlreadyTakenIsNamedAndExitsOne) {
    const std::uint16_t other = FreePort();
    for (const std::uint16_t port : {kHoldService, kFeedService, other}) {
        SCOPED_TRACE(port);
        holdListener_ = Listen(port);
        ASSERT_NE(holdListener_, -1) << std::strerror(errno);
        EXPECT_EQ(RunFeed(port == other
                              ? std::vector<std::string>{"--feed-port", std::to_string(other)}
                              : std::vector<std::string>{}),
                  Ran(1, "",
                      "sample-feed: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " +
                          std::strerror(EADDRINUSE) + "\n"));
        CloseFd(&holdListener_);
    }
}

TEST_F(EndToEndSampleFeed, BadUsageExits64WithOneLineAndTheUsageAndHelpPrintsIt) {
    // Each line names the argument it could not take.
    std::vector<std::vector<std::string>> cases = {{"--count", " 3"}, {"--from", ""}};
    for (const char *args : {"--bogus", "-x", "--interval-ms abc", "--interval-ms -5",
                             "--interval-ms 10x", "--interval-ms 3600001", "--hold-port 0",
                             "--feed-port 65536", "--count", "--repeat=yes", "stray"}) {
        cases.push_back(Words(args));
    }
    if (!WindowsPrograms()) {
        cases.insert(cases.end(), {{"/?"}, {"-?"}}); // Windows' help switches, no options here
    }
    const std::string head = Ran(64, "", "sample-feed: ");
    for (const std::vector<std::string> &args : cases) {
        SCOPED_TRACE(args[0]);
        const std::string run = RunFeed(args);
        ASSERT_TRUE(run.starts_with(head)) << run;
        const std::size_t lineEnd = run.find('\n', head.size());
        ASSERT_NE(lineEnd, std::string::npos) << run;
        EXPECT_NE(run.substr(head.size(), lineEnd - head.size()).find("'" + args.back() + "'"),
                  std::string::npos)
            << run;
        EXPECT_EQ(run.find("\nUsage: sample-feed"), lineEnd) << run;
    }

    // The platform's other spellings, after an option too, and what ends it on each platform.
    const std::vector<std::string> platformHelp = {"--count", "3", WindowsPrograms() ? "/?" : "-h"};
    const std::string ending = WindowsPrograms()
                                   ? "\nCtrl-C, Ctrl-Break or closing its console window ends it.\n"
                                   : "\nCtrl-C or SIGTERM ends it. ";
    std::vector<std::vector<std::string>> helps = {{"--help"}, platformHelp};
    if (WindowsPrograms()) {
        helps.push_back({"-?"}); // as Windows' own programs take it
    }
    for (const std::vector<std::string> &help : helps) {
        SCOPED_TRACE(help.back());
        const std::string run = RunFeed(help);
        EXPECT_TRUE(run.starts_with("status 0\nout: Usage: sample-feed")) << run;
        EXPECT_TRUE(run.ends_with("\nerr: ")) << run;
        for (const char *flag : {"--hold-port", "--feed-port", "--interval-ms", "--from", "--count",
                                 "--repeat", "--close", "--echo", "--version", ending.c_str(),
                                 WindowsPrograms() ? "  --help, /?        print this and exit\n"
                                                   : "  --help            print this and exit\n"}) {
            EXPECT_NE(run.find(flag), std::string::npos) << flag;
        }
    }
    EXPECT_EQ(RunFeed({"--version"}), Ran(0, "sample-feed 1.0.0\n", ""));
    // Output that cannot be written is a failure, not a usage or version that seems printed.
    for (const char *option : {"--help", "--version"}) {
        EXPECT_EQ(
            RunFeed({option}, ">/dev/full"),
            Ran(1, "", std::string("sample-feed: write error: ") + std::strerror(ENOSPC) + "\n"))
            << option;
    }
}

TEST_F(EndToEndSampleFeed, ABurstOfClientsIsServedAtOnce) {
    // As many clients as it serves at once, all connecting while it accepts none: each connection
    // is made, in the listen backlog, instead of being left to try again, and then served.
    constexpr int kClients = 256;
    StartFeed({"--count", "1", "--close", "--interval-ms", "0"});
    kill(service_.pid, SIGSTOP);
    std::vector<pollfd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back({Connect(kFeedService, false), POLLOUT, 0});
        ASSERT_NE(clients.back().fd, -1) << std::strerror(errno);
    }
    const std::int64_t deadline = NowNs() + std::int64_t{kQuietMs} * 1000000;
    int connected = 0;
    for (pollfd &client : clients) {
        connected += poll(&client, 1, MsUntil(deadline)) == 1 && client.revents == POLLOUT ? 1 : 0;
    }
    kill(service_.pid, SIGCONT);
    int served = 0;
    for (const pollfd &client : clients) {
        if (connected == kClients && // else it would wait for connects tried again after 1, 3, 7 s
            ReceiveUntilClosed(client.fd) == std::vector<std::string>{"50;1;boiler;started"}) {
            ++served;
        }
        close(client.fd);
    }
    EXPECT_EQ(connected, kClients);
    EXPECT_EQ(served, kClients);
}

TEST_F(EndToEndSampleFeed,
       WithoutAPauseEachMessageIsAReceiveOfItsOwnAndAStalledClientHoldsOnlyItsOwn) {
    if (WindowsPrograms()) {
        GTEST_SKIP() << "Windows does not show what the client has read; the manual says so";
    }
    const std::string file = dir_ + "/messages.txt";
    std::vector<std::string> lines = NumberedFile(file, 60);
    for (const char *interval : {"0", "1"}) {
        SCOPED_TRACE(interval);
        // A client with work of its own after each receive, as chanlog writing its log.
        EXPECT_EQ(ProbeFeed({"--from", file, "--interval-ms", interval}, {}, 2000), lines);
        CloseFd(&hold_);
        Stop(service_, SIGKILL);
    }

    lines = NumberedFile(file, 40);
    const std::uint16_t feedPort = FreePort();
    StartFeed({"--from", file, "--interval-ms", "0", "--close", "--hold-port",
               std::to_string(FreePort()), "--feed-port", std::to_string(feedPort)});
    // The first client reads nothing until the second has had all of its messages, each apart;
    // then it finds one message waiting, and the rest come apart too.
    const int stalled = Connect(feedPort);
    ASSERT_TRUE(FeedSaid("feed client 127.0.0.1:")) << feedErr_;
    const int reading = Connect(feedPort);
    ASSERT_NE(stalled, -1);
    ASSERT_NE(reading, -1);
    EXPECT_EQ(ReceiveUntilClosed(reading, 1000), lines);
    EXPECT_EQ(ReceiveUntilClosed(stalled, 1000), lines);
    close(reading);
    close(stalled);
}

// The accepted edge of each limit; --echo shows each message as text where it is valid UTF-8, with
// what a terminal would not show as it is (and the backslash itself) escaped; the first message
// waits its interval too.
TEST_F(EndToEndSampleFeed, TheEdgesOfTheLimitsAreAcceptedAndTheEchoShowsEveryByte) {
    const std::string file = dir_ + "/messages.txt";
    // Control bytes (C1's U+0085 too), and bytes that are no UTF-8: a lone continuation, '/' in
    // two bytes and 'é' in three, a surrogate, a lead byte followed by another, one cut short.
    const std::string message =
        "50;a\\b\x7f\x1f~ \x01 temp\xc3\xa9rature \xe6\x97\xa5\xf0\x9f\x98\x80 "
        "\xc2\x85\x80\xc0\xaf\xe0\x83\xa9\xed\xa0\x80\xc3\xe9 \xc3\n";
    WriteWholeFile(file, message);
    ASSERT_NO_FATAL_FAILURE(
        SpawnFeed({"--hold-port", std::to_string(FreePort()), "--feed-port", "65535",
                   "--interval-ms", "0", "--from", file, "--count", "1", "--close", "--echo"}));
    ASSERT_TRUE(FeedSaid("127.0.0.1:65535 (feed)")) << feedErr_;
    int feed = -1;
    ASSERT_TRUE(WaitFor([&] { return (feed = Connect(65535)) != -1; }));
    EXPECT_EQ(ReceiveUntilClosed(feed), std::vector<std::string>{message});
    close(feed);
    EXPECT_TRUE(FeedSaid("sample-feed: -> 50;a\\\\b\\x7f\\x1f~ \\x01 temp\xc3\xa9rature "
                         "\xe6\x97\xa5\xf0\x9f\x98\x80 \\xc2\\x85\\x80\\xc0\\xaf\\xe0\\x83\\xa9"
                         "\\xed\\xa0\\x80\\xc3\\xe9 \\xc3\\n\n"))
        << feedErr_;
    EXPECT_TRUE(FeedSaid(" closed by us after 1 message\n")) << feedErr_;
    Stop(service_, SIGKILL);

    const std::uint16_t feedPort = FreePort();
    ASSERT_NO_FATAL_FAILURE(
        StartFeed({"--hold-port", std::to_string(FreePort()), "--feed-port",
                   std::to_string(feedPort), "--interval-ms", "400", "--count", "1", "--close"}));
    const std::int64_t connecting = NowNs();
    feed = Connect(feedPort);
    ASSERT_NE(feed, -1);
    EXPECT_EQ(ReceiveUntilClosed(feed).size(), 1u);
    EXPECT_GE(NowNs() - connecting, std::int64_t{400} * 1000000);
    close(feed);
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
        EXPECT_EQ(ExitCode(service_), 0);
        Stop(service_, SIGKILL);
        Stop(chanlog_, SIGKILL);
    }
}

TEST_F(EndToEndSampleFeed, ClosedStandardStreamsRefuseInputAndAreNeverTakenBySockets) {
    EXPECT_EQ(RunFeed({"--from", "-"}, "<&-"),
              Ran(1, "", "sample-feed: cannot read standard input: it is closed\n"));

    // Unguarded, the listeners would take descriptors 0 and 1, and the first client 2: everything
    // said on standard error would go to that client.
    const std::string file = dir_ + "/messages.txt";
    WriteWholeFile(file, "50;a\nb\n");
    EXPECT_EQ(ProbeFeed({"--from", file, "--echo", "--interval-ms", kInterval}, "<&- >&- 2>&-"),
              (std::vector<std::string>{"50;a\n", "b\n"}));
    EXPECT_TRUE(HoldConnectionHeld()); // held, and sent nothing
}

} // namespace
