// The real chanlog binary against listeners of the test's own on the fixed ports, in a temporary
// working directory; exact output lines asserted.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/config.h"
#include "tests/chanlog_fixture.h"

namespace {

std::string Refused() {
    return "connect failed with error: " + std::to_string(RefusedCode()) + "\n";
}

class EndToEndChanlog : public ChanlogTest {
  protected:
    // chanlog used next to no CPU over half a second: a loop that does not wait would burn all
    // of it, 50 ticks.
    bool Idle() const {
        const long long before = StatCpuTicks(chanlog_.pid);
        usleep(500 * 1000);
        return StatCpuTicks(chanlog_.pid) - before < 10;
    }
};

TEST_F(EndToEndChanlog, ReportsExactlyTheReceivesThatBeginWithThePrefix) {
    StartConnected();
    for (const std::string message :
         {"50;first\n", "49;other\n", "5", "50", " 50;late\n", "x50;\n", "50;", "50;second"}) {
        Send(message);
    }
    Send(std::string("50;cut\0hidden\n", 14));
    Send("50;last\n");
    Console("50;last\n");

    // Each text as received, its own line feed included, then the line's.
    const std::string expected = "50;first\n\n50;\n50;second\n50;cut\n50;last\n\n";
    EXPECT_EQ(Unstamped(console_), expected);
    // The log is flushed after every receive, so it is complete while chanlog still runs.
    EXPECT_EQ(Unstamped(Log()), expected);
    EXPECT_EQ(Lines(console_).size(), 7u);
    EXPECT_TRUE(Running(chanlog_));
    EXPECT_EQ(ReadAll(chanlog_.err, 0), "");
}

TEST_F(EndToEndChanlog, StampsEachLineWithMillisecondsSinceStartUp) {
    StartConnected();
    usleep(300 * 1000);
    Send("50;late\n");
    Console("50;late\n");
    const long stamp = std::stol(console_);
    EXPECT_GE(stamp, 300);
    EXPECT_LT(stamp, 300 + kWaitMs);
    // The log line is written after the console line.
    ASSERT_TRUE(WaitFor([&] { return Log().ends_with("50;late\n\n"); }));
    const long logged = std::stol(Log());
    EXPECT_GE(logged, stamp); // the log line reads the clock after the console line
}

TEST_F(EndToEndChanlog, AFullReceiveIsReportedWholeAndTheRestAsItsOwnReceive) {
    StartConnected();
    const std::string first = "50;" + std::string(kBufLen - 3, 'a');
    const std::string rest = "50;" + std::string(300, 'b');
    Send(first + rest); // one segment on loopback: the first receive takes exactly kBufLen bytes
    Console(rest);
    EXPECT_EQ(ReportTexts(console_), (std::vector<std::string>{first, rest}));
    EXPECT_EQ(ReportTexts(Log()), (std::vector<std::string>{first, rest}));
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
    EXPECT_TRUE(HoldConnectionHeld());
    EXPECT_EQ(Unstamped(Log()), "50;before close\n\n");
    EXPECT_EQ(Unstamped(Console("50;before close\n")), "50;before close\n\n");
    EXPECT_TRUE(Terminate());
}

TEST_F(EndToEndChanlog, NoServiceOnEitherPortPrintsBothFailuresAndExitsTwo) {
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), kExitChannelFailed);
    EXPECT_EQ(ReadAll(chanlog_.out, kWaitMs), Refused() + Refused());
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs), "");
    EXPECT_EQ(Log(), "");
}

TEST_F(EndToEndChanlog, NoHoldServiceStillReportsTheFeedThenExitsTwo) {
    ListenOn(false, true);
    StartChanlog();
    feed_ = AcceptWithin(feedListener_, kWaitMs);
    ASSERT_NE(feed_, -1);
    EXPECT_EQ(Console(Refused()), Refused());
    Send("50;still here\n");
    Console("50;still here\n");
    EXPECT_TRUE(Running(chanlog_));
    CloseFd(&feed_);
    EXPECT_EQ(ExitCode(chanlog_), kExitChannelFailed);
    EXPECT_EQ(Unstamped(Log()), "50;still here\n\n");
}

TEST_F(EndToEndChanlog, NoFeedServiceLeavesChannelOneHolding) {
    ListenOn(true, false);
    StartChanlog();
    hold_ = AcceptWithin(holdListener_, kWaitMs);
    ASSERT_NE(hold_, -1);
    EXPECT_EQ(Console(Refused()), Refused());
    usleep(200 * 1000);
    EXPECT_TRUE(Running(chanlog_));
    EXPECT_EQ(Log(), "");
}

TEST_F(EndToEndChanlog, LogThatCannotBeOpenedEndsStartUpBeforeAnyConnection) {
    ASSERT_EQ(mkdir((dir_ + "/log.txt").c_str(), 0755), 0);
    ListenOn(true, true);
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), kExitStartupFailed);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs),
              "Could not open log.txt: " + DirectoryReason() + "\n");
    EXPECT_EQ(ReadAll(chanlog_.out, kWaitMs), "");
    EXPECT_TRUE(NoneConnected());
}

TEST_F(EndToEndChanlog, AThreadThatCannotBeCreatedEndsStartUpBeforeAnyConnection) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own mappings do not fit the address-space limit";
#endif
    ListenOn(true, true);
    // Thread stacks take the stack limit's size; an address-space limit below it refuses them.
    const std::string limited = "ulimit -s 2000000 && ulimit -v 1500000 && exec " CHANLOG_BINARY;
    chanlog_ = Spawn({"/bin/sh", "-c", limited}, {.workDir = dir_});
    EXPECT_EQ(ExitCode(chanlog_), kExitStartupFailed);
    const std::string err = ReadAll(chanlog_.err, kWaitMs);
    EXPECT_TRUE(err.ends_with("Could not create a channel thread.\n")) << err;
    EXPECT_TRUE(NoneConnected());
}

TEST_F(EndToEndChanlog, ALogInUseIsLeftAloneAndOneLeftByAnEndedRunIsEmptied) {
    WriteWholeFile(dir_ + "/log.txt", "12: 50;from an earlier run\n");
    StartConnected();
    Send("50;first\n");
    Console("50;first\n");

    Child second = Spawn(ChanlogCommand(), {.workDir = dir_});
    EXPECT_EQ(ExitCode(second), kExitStartupFailed);
    EXPECT_EQ(ReadAll(second.err, kWaitMs), "Could not open log.txt: in use by another chanlog\n");
    Stop(second, SIGKILL);
    EXPECT_TRUE(NoneConnected());
    // The first goes on logging, into a log the second neither emptied nor wrote.
    Send("50;second\n");
    Console("50;second\n");
    EXPECT_EQ(Unstamped(Log()), "50;first\n\n50;second\n\n");

    // Once it has ended, its log is emptied by the next run like any other.
    Stop(chanlog_, SIGKILL);
    EndProgramsSession();
    CloseFd(&holdListener_); // so that the next run ends by itself
    CloseFd(&feedListener_);
    StartChanlog();
    EXPECT_EQ(ExitCode(chanlog_), kExitChannelFailed);
    EXPECT_EQ(Log(), "");
}

TEST_F(EndToEndChanlog, ClosedStandardOutputMakesBothChannelsReturnSilently) {
    ListenOn(true, true);
    StartChanlog(Output::kClosed);
    EXPECT_EQ(ExitCode(chanlog_), 0);
    EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs), "");
    EXPECT_TRUE(NoneConnected());
    EXPECT_EQ(Log(), ""); // nor did the log take the place of standard output
}

} // namespace
