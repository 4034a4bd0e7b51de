// The real chanlog binary against listeners of the test's own on the fixed ports, in a temporary
// working directory; exact output lines asserted.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

class EndToEndChanlog : public ChanlogTest {
  protected:
    // chanlog used next to no CPU over half a second: a loop that does not wait would burn all
    // of it, 50 ticks.
    bool Idle() const {
        const long long before = StatCpuTicks(chanlog_.pid);
        usleep(500 * 1000);
        return StatCpuTicks(chanlog_.pid) - before < 10;
    }
    // `child` ended at start-up with `status`, having said `err`, written no console line and
    // connected nowhere.
    void ExpectStartUpFailure(Child &child, int status, const std::string &err) const {
        EXPECT_EQ(ExitCode(child), status);
        EXPECT_EQ(ReadAll(child.err, kWaitMs), err);
        if (child.out != -1) { // a closed standard output has nothing to read
            EXPECT_EQ(ReadAll(child.out, kWaitMs), "");
        }
        EXPECT_TRUE(NoneConnected());
    }
};

TEST_F(EndToEndChanlog, ReportsExactlyTheReceivesThatBeginWithThePrefixStampedFromStartUp) {
    StartConnected();
    usleep(300 * 1000);
    // Which receives begin with the prefix is TakeMessage's table; here, that they reach both.
    for (const std::string message :
         {"50;first\n", "x50;\n", "50", "49;hb\n50;ev\n", "50;second\n50;more"}) {
        Send(message);
    }
    Send(std::string("50;cut\0hidden\n", 14));
    const std::string full = "50;" + std::string(1024 - 3, 'a'); // one receive takes 1024 bytes
    const std::string rest = "50;" + std::string(300, 'b');
    Send(full + rest); // one segment on loopback: a full receive, and the rest as its own
    Send("50;last\n");
    Console("50;last\n");

    // Each text as received, its own line feed included; a receive of two lines is one message.
    EXPECT_EQ(ReportTexts(console_), (std::vector<std::string>{"50;first\n", "50;second\n50;more",
                                                               "50;cut", full, rest, "50;last\n"}));
    const long stamp = std::stol(console_);
    EXPECT_GE(stamp, 300);
    EXPECT_LT(stamp, 300 + kWaitMs);
    // One stamp per message, and the log flushed after every receive: the console and the log
    // hold the very same lines while chanlog still runs.
    EXPECT_EQ(Log(), console_);
    EXPECT_TRUE(Running(chanlog_));
    EXPECT_EQ(ReadAll(chanlog_.err, 0), "");
}

TEST_F(EndToEndChanlog, StampsStaySmallAndRisingAsTheMachinesTickPasses32Bits) {
    if (WindowsPrograms()) {
        GTEST_SKIP() << "Wine's clock is not a time namespace's";
    }
    Child probe = Spawn({"unshare", "--time", "--fork", "--boottime", "1", "true"});
    const bool namespaces = ExitCode(probe) == 0;
    Stop(probe, SIGKILL);
    if (!namespaces) {
        GTEST_SKIP() << "no time namespace here";
    }
    auto bootMs = [] {
        timespec now{};
        clock_gettime(CLOCK_BOOTTIME, &now);
        return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    };
    // chanlog in a time namespace whose boot-time clock starts 2 to 3 s below 2^32 ms (49.7
    // days), where a tick of 32 bits would start again from zero.
    constexpr long long kWrapMs = 1LL << 32;
    const long long offset = (kWrapMs - bootMs()) / 1000 - 2;
    const std::int64_t start = NowNs();
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"unshare", "--time", "--fork", "--kill-child", "--boottime",
                        std::to_string(offset), ChanlogCommand().front()}));
    // Messages until half a second past the moment chanlog's clock passes 2^32 ms.
    std::size_t sent = 0;
    for (; bootMs() < kWrapMs - offset * 1000 + 500; ++sent) {
        Send("50;" + std::to_string(sent));
        usleep(200 * 1000);
    }
    Send("50;last");
    const std::vector<std::string> lines = Lines(Console("50;last\n"));
    const long elapsed = static_cast<long>((NowNs() - start) / 1000000);
    ASSERT_EQ(lines.size(), sent + 1) << console_;
    long before = -1;
    for (const std::string &line : lines) {
        const long stamp = std::stol(line);
        EXPECT_GT(stamp, before) << line;
        EXPECT_LE(stamp, elapsed) << line;
        before = stamp;
    }
}

TEST_F(EndToEndChanlog, OrderlyCloseEndsTheFeedButChannelOneHoldsAndNeitherSpins) {
    StartConnected();
    Send("50;before close\n");
    EXPECT_TRUE(Idle()); // both channels wait without waking
    CloseFd(&feed_);
    ASSERT_TRUE(WaitFor(FeedClosedByClient));
    // Channel 2's release of the networking layer has not taken channel 1's connection with it.
    EXPECT_TRUE(HoldConnectionHeld());
    EXPECT_TRUE(Idle());
    EXPECT_EQ(Unstamped(Log()), "50;before close\n\n");
    EXPECT_EQ(Unstamped(Console("50;before close\n")), "50;before close\n\n");
    ExpectHoldingUntilTerminated(kFeedClosed);
}

TEST_F(EndToEndChanlog, NoServiceOnEitherPortPrintsBothFailuresNamesBothAndExitsTwo) {
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 2);
    EXPECT_EQ(ReadAll(chanlog_.out, kWaitMs), RefusedLine() + RefusedLine());
    // The channels run side by side, so either may be said first.
    std::vector<std::string> named = Lines(ReadAll(chanlog_.err, kWaitMs));
    std::sort(named.begin(), named.end());
    EXPECT_EQ(named, (std::vector<std::string>{"Could not connect to 127.0.0.1:31285",
                                               "Could not connect to 127.0.0.1:31286"}));
    EXPECT_EQ(Log(), "");

    // In one stream, each failure's two lines stand together, however the channels interleave:
    // they would come apart in about one run in thirty.
    std::vector<std::string> together = ChanlogCommand();
    together.insert(together.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int runs = 10; // each start of a sanitized chanlog takes a good part of a second
#else
    const int runs = WindowsPrograms() ? 5 : 150;
#endif
    const std::string refused = RefusedLine().substr(0, RefusedLine().size() - 1);
    for (int run = 0; run < runs && !HasFailure(); ++run) {
        Child both = Spawn(together, {.workDir = dir_});
        std::string out;
        TakeChanlogStartLines(both, dir_, &out);
        EXPECT_EQ(ExitCode(both), 2);
        const std::vector<std::string> lines = Lines(out + ReadAll(both.out, kWaitMs));
        ASSERT_EQ(lines.size(), 4u);
        for (std::size_t i = 0; i < 4; i += 2) {
            EXPECT_EQ(lines[i], refused);
            EXPECT_EQ(lines[i + 1].substr(0, 30), "Could not connect to 127.0.0.1");
        }
        EXPECT_NE(lines[1], lines[3]);
        Stop(both, SIGKILL);
    }
}

TEST_F(EndToEndChanlog, ASocketThatCannotBeCreatedIsSaidAndNamedAndExitsTwo) {
    if (WindowsPrograms()) {
        GTEST_SKIP() << "a descriptor limit does not limit Windows sockets";
    }
    // Descriptors 0-2 and the log's: none is left for a socket. Channel 2 releases the log when
    // it fails, so channel 1, if it comes second, may get a socket after all; with no hold
    // service it then fails to connect instead.
    ListenOn(false, true);
    StartChanlog(Output::kPipe,
                 {"/bin/sh", "-c", "ulimit -n 4 && exec \"$0\"", ChanlogCommand().front()});
    EXPECT_EQ(ExitCode(chanlog_), 2);
    std::vector<std::string> out = Lines(ReadAll(chanlog_.out, kWaitMs));
    std::sort(out.begin(), out.end());
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(out.back(), "socket failed with error: 24");
    EXPECT_TRUE(out.front() == "socket failed with error: 24" ||
                out.front() == "connect failed with error: 111")
        << out.front();
    const std::string err = ReadAll(chanlog_.err, kWaitMs);
    EXPECT_NE(err.find("Could not create a socket for 127.0.0.1:31286\n"), std::string::npos)
        << err;
    EXPECT_EQ(AcceptWithin(feedListener_, 0), -1);
    EXPECT_EQ(Log(), "");
}

TEST_F(EndToEndChanlog, NoHoldServiceStillReportsTheFeedThenExitsTwo) {
    ListenOn(false, true);
    StartChanlog();
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    EXPECT_EQ(Console(RefusedLine()), RefusedLine());
    Send("50;still here\n");
    Console("50;still here\n");
    EXPECT_TRUE(Running(chanlog_));
    CloseFd(&feed_);
    EXPECT_EQ(ExitCode(chanlog_), 2);
    EXPECT_EQ(Unstamped(Log()), "50;still here\n\n");
}

TEST_F(EndToEndChanlog, NoFeedServiceLeavesChannelOneHoldingAndTheLogFree) {
    ListenOn(true, false);
    StartChanlog();
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    ASSERT_NE(hold_, -1);
    EXPECT_EQ(Console(RefusedLine()), RefusedLine());
    EXPECT_EQ(ReadUntil(chanlog_.err, "\n", kWaitMs), "Could not connect to 127.0.0.1:31286\n");
    // Channel 2 will never write the log, so it lets go of it, and of its lock, for the next
    // chanlog.
    EXPECT_TRUE(WaitFor([&] { return !HoldsTheLog(); }));
    Child next = Spawn(ChanlogCommand(), {.workDir = dir_});
    std::string out;
    TakeChanlogStartLines(next, dir_, &out);
    EXPECT_EQ(ReadUntil(next.out, RefusedLine(), kWaitMs, out), RefusedLine());
    EXPECT_EQ(ReadUntil(next.err, "\n", kWaitMs), "Could not connect to 127.0.0.1:31286\n");
    Stop(next, SIGKILL);
    EXPECT_TRUE(Running(chanlog_));
    EXPECT_EQ(Log(), "");
}

TEST_F(EndToEndChanlog, LogThatCannotBeOpenedEndsStartUpBeforeAnyConnection) {
    ASSERT_EQ(mkdir((dir_ + "/log.txt").c_str(), 0755), 0);
    ListenOn(true, true);
    StartChanlog();
    ExpectStartUpFailure(chanlog_, 1, "Could not open log.txt: " + DirectoryReason() + "\n");
}

TEST_F(EndToEndChanlog, AThreadThatCannotBeCreatedEndsStartUpBeforeAnyConnection) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own mappings do not fit the address-space limit";
#endif
    ListenOn(true, true);
    if (WindowsPrograms()) {
        // Every thread reserves 512 MiB for its stack: of a 32-bit program's 2 GiB of address
        // space, the main thread's and at most one more fit, so already the second is refused.
        const std::string copy = dir_ + "/chanlog.exe";
        if (!CopyWithStackReserve(ChanlogCommand().back(), copy, 512U << 20U)) {
            GTEST_SKIP() << "a 64-bit program's address space holds any stack";
        }
        chanlog_ = Spawn({WINE_RUN, "--exec", copy}, {.workDir = dir_});
    } else {
        // Thread stacks take the stack limit's size; an address-space limit below it refuses
        // them.
        const std::string limited =
            "ulimit -s 2000000 && ulimit -v 1500000 && exec " CHANLOG_BINARY;
        chanlog_ = Spawn({"/bin/sh", "-c", limited}, {.workDir = dir_});
    }
    TakeStartLines();
    // One line: the thread library's own complaint is not shown.
    ExpectStartUpFailure(chanlog_, 1, "Could not create a channel thread.\n");
}

TEST_F(EndToEndChanlog, ALogInUseIsLeftAloneAndOneLeftByAnEndedRunIsMovedAside) {
    WriteWholeFile(dir_ + "/log.txt", "12: 50;from an earlier run\n");
    StartConnected();
    Send("50;first\n");
    Console("50;first\n");
    Child second = Spawn(ChanlogCommand(), {.workDir = dir_});
    ExpectStartUpFailure(second, 1, "Could not open log.txt: in use by another process\n");
    Stop(second, SIGKILL);
    // The first goes on logging, into a log the second neither moved aside nor wrote.
    Send("50;second\n");
    Console("50;second\n");
    EXPECT_EQ(Unstamped(Log()), "50;first\n\n50;second\n\n");

    // Once it has ended, the next run moves its log aside like any other, and begins its own.
    const std::string first = ReadWholeFile(dir_ + "/log.txt");
    EndChanlogAndServices(); // with no services, the next run ends by itself
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), 2);
    EXPECT_EQ(Log(), "");
    std::vector<std::string> aside; // by name, which sorts by the time of the move
    for (const auto &entry : std::filesystem::directory_iterator(dir_)) {
        if (entry.path().filename().string().starts_with("log.txt-")) {
            aside.push_back(entry.path().string());
        }
    }
    std::sort(aside.begin(), aside.end());
    std::transform(aside.begin(), aside.end(), aside.begin(), ReadWholeFile);
    EXPECT_EQ(aside, (std::vector<std::string>{"12: 50;from an earlier run\n", first})) << started_;
}

TEST_F(EndToEndChanlog, ALogHeldByAnyOtherProgramIsInUse) {
    const std::string path = dir_ + "/log.txt";
    WriteWholeFile(path, "kept\n");
    const int held = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(flock(held, LOCK_EX), 0) << std::strerror(errno);
    ListenOn(true, true);
    StartChanlog();
    ExpectStartUpFailure(chanlog_, 1, "Could not open log.txt: in use by another process\n");
    EXPECT_EQ(Log(), "kept\n");
    close(held);
}

TEST_F(EndToEndChanlog, ClosedStandardOutputIsSaidAndNothingConnects) {
    ListenOn(true, true);
    StartChanlog(Output::kClosed);
    ExpectStartUpFailure(chanlog_, 0, "Standard output is closed: chanlog connects nowhere\n");
    EXPECT_EQ(Log(), ""); // nor did the log take the place of standard output
}

// Standard input and error closed at start get /dev/null, so that neither the log nor a socket
// takes their place (and a message on standard error never reaches a service).
TEST_F(EndToEndChanlog, ClosedStandardInputAndErrorAreTakenByNothingOfChanlogs) {
    ASSERT_NO_FATAL_FAILURE(
        StartConnected({"/bin/sh", "-c", "exec \"$0\" <&- 2>&-", ChanlogCommand().front()}));
    Send("50;still logged\n");
    EXPECT_EQ(Unstamped(Console("50;still logged\n")), "50;still logged\n\n");
    for (const char *fd : {"/fd/0", "/fd/2"}) {
        std::error_code error;
        const std::string proc = "/proc/" + std::to_string(chanlog_.pid);
        EXPECT_EQ(std::filesystem::read_symlink(proc + fd, error), "/dev/null") << fd << error;
    }
    EXPECT_EQ(Unstamped(Log()), "50;still logged\n\n");
    EXPECT_TRUE(HoldConnectionHeld());
}

// chanlog run with `arguments`, standard output to `output` (a file, or empty for the pipe).
Child WithArguments(const std::string &dir, const std::vector<std::string> &arguments,
                    const std::string &output = {}) {
    std::vector<std::string> command = ChanlogCommand();
    command.insert(command.end(), arguments.begin(), arguments.end());
    if (!output.empty()) {
        command.insert(command.begin(), {"/bin/sh", "-c", "exec \"$@\" >" + output, "sh"});
    }
    return Spawn(command, {.workDir = dir});
}

TEST_F(EndToEndChanlog, ArgumentsAskForHelpOrTheVersionAndNeverTouchTheLog) {
    WriteWholeFile(dir_ + "/log.txt", "12: 50;kept\n");
    ListenOn(true, true);
    const bool windows = WindowsPrograms();
    // Each platform's own: Windows has "/?" and "-?", and no man, but the README of the zip.
    const std::vector<std::string> helps =
        windows ? std::vector<std::string>{"--help", "-h", "/?", "-?"}
                : std::vector<std::string>{"--help", "-h"};
    const std::string usageLine = std::string("Usage: chanlog [--reconnect] [--lines]\n") +
                                  (windows ? "       chanlog --help | -h | /? | --version\n"
                                           : "       chanlog --help | -h | --version\n");
    const std::string manual = windows ? "See README.txt beside chanlog.exe for the whole story.\n"
                                       : "See man chanlog for the whole story.\n";
    for (const std::string &help : helps) {
        Child child = WithArguments(dir_, {help});
        EXPECT_EQ(ExitCode(child), 0) << help;
        const std::string usage = ReadAll(child.out, kWaitMs);
        EXPECT_TRUE(usage.starts_with(usageLine)) << usage;
        EXPECT_TRUE(usage.ends_with(manual)) << usage;
        for (const char *part : {"log.txt", "\n  --reconnect  connect again",
                                 "\n  --lines      a message is a line, not a receive",
                                 "2 when both channels ended and one of them failed, 64 for a bad\n"
                                 "argument."}) {
            EXPECT_NE(usage.find(part), std::string::npos) << part << " in\n" << usage;
        }
        // Each port with its role, wherever the text breaks its lines.
        std::string flat = usage;
        std::replace(flat.begin(), flat.end(), '\n', ' ');
        for (const char *part : {"127.0.0.1:31285 and holds that connection open",
                                 "reads text from 127.0.0.1:31286"}) {
            EXPECT_NE(flat.find(part), std::string::npos) << part << " in\n" << usage;
        }
        EXPECT_EQ(ReadAll(child.err, kWaitMs), "");
    }
    // In any order, beside the other options too.
    for (const std::vector<std::string> &arguments : {std::vector<std::string>{"--version"},
                                                      {"--reconnect", "--version", "--reconnect"},
                                                      {"--lines", "--version"}}) {
        Child version = WithArguments(dir_, arguments);
        EXPECT_EQ(ExitCode(version), 0);
        EXPECT_EQ(ReadAll(version.out, kWaitMs), "chanlog 1.0.0\n");
    }

    const std::string unknown = windows ? "--bogus" : "/?";
    // The hint names the platform's own request for help.
    const char *more = windows ? "' (chanlog /? tells more)\n" : "' (chanlog --help tells more)\n";
    for (const auto &[arguments, named] :
         {std::pair<std::vector<std::string>, std::string>{{unknown}, unknown},
          {{"--version", "extra"}, "extra"},
          {{"--reconnect", "--retry"}, "--retry"},
          {{"log.txt"}, "log.txt"}}) {
        Child bad = WithArguments(dir_, arguments);
        EXPECT_EQ(ExitCode(bad), 64) << named;
        EXPECT_EQ(ReadAll(bad.out, kWaitMs), "");
        EXPECT_EQ(ReadAll(bad.err, kWaitMs), "chanlog: unexpected argument '" + named + more);
    }
    // Output that cannot be written is a failure, not a success. (Under Wine the program writes
    // to files of the runner's, which are never full.)
    if (!windows) {
        Child full = WithArguments(dir_, {"--version"}, "/dev/full");
        EXPECT_EQ(ExitCode(full), 1);
        EXPECT_EQ(ReadAll(full.err, kWaitMs),
                  "chanlog: cannot write standard output: No space left on device\n");
    }
    EXPECT_EQ(ReadWholeFile(dir_ + "/log.txt"), "12: 50;kept\n");
    EXPECT_TRUE(NoneConnected());
}

TEST_F(EndToEndChanlog, ADisplayServerThatNeverAnswersIsNeverAsked) {
    // An X display on 127.0.0.1:1 that takes connections and never says a word.
    const int display = Listen(6001);
    ASSERT_NE(display, -1) << std::strerror(errno);
    setenv("DISPLAY", "127.0.0.1:1", 1);
    StartConnected();
    unsetenv("DISPLAY");
    Send("50;no display needed\n");
    EXPECT_EQ(Unstamped(Console("needed\n")), "50;no display needed\n\n");
    EXPECT_EQ(AcceptWithin(display, 0), -1);
    close(display);
}

} // namespace
