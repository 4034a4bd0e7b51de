// The real chanlog binary with --lines against a feed that sends at its own pace: each line that
// begins with the prefix is one message, however the receives break the stream.

#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

using EndToEndLines = ChanlogTest;

std::vector<std::string> LinesCommand(bool reconnect = false) {
    std::vector<std::string> command = reconnect ? ReconnectCommand() : ChanlogCommand();
    command.emplace_back("--lines");
    return command;
}

// A line of 1024 bytes, which is what is reported of a longer one.
std::string Kept() {
    return "50;" + std::string(1021, 'k');
}

std::string Overlong() {
    return Kept() + std::string(500, 'x');
}

constexpr const char *kOneCut = "1 line longer than 1024 bytes was cut to its first 1024\n";
constexpr const char *kTwoCut = "2 lines longer than 1024 bytes were cut to their first 1024\n";

TEST_F(EndToEndLines, PairsSentUnpacedOrALineInPiecesGiveEachLineOnceStampedWhenItsEndArrives) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(LinesCommand()));
    // As a service sends that does not wait for chanlog to read: each message a send of its own,
    // the lines ended by LF or CR LF, and then pairs in one send, which a receive cuts in the
    // middle of a line.
    std::string expected;
    std::string run;
    for (int n = 1; n <= 1100; ++n) {
        const std::string end = n % 2 == 0 ? "\r\n" : "\n";
        const std::string heartbeat = "49;" + std::to_string(n) + ";hb" + end;
        const std::string event = "50;" + std::to_string(n) + ";ev" + end;
        if (n <= 1000) {
            ASSERT_TRUE(SendMessage(feed_, heartbeat));
            ASSERT_TRUE(SendMessage(feed_, event));
        } else {
            run += heartbeat + event;
        }
        expected += "50;" + std::to_string(n) + ";ev\n";
    }
    ASSERT_TRUE(SendMessage(feed_, run));
    // A line in pieces, its CR LF parted too.
    Send("50;first\n50;thr");
    usleep(300 * 1000);
    Send("ee pie");
    Send("ces\r");
    Send("\n50;end\n");
    expected += "50;first\n50;three pieces\n50;end\n";
    EXPECT_EQ(Unstamped(Console("50;end\n")), expected);
    EXPECT_EQ(Log(), console_);
    EXPECT_EQ(ReadAll(chanlog_.err, 0), "");
    // Stamped when its end came, 300 ms after its start (give or take Windows' 16 ms ticks).
    const std::vector<std::string> stamped = StampedLines(console_);
    ASSERT_EQ(stamped.size(), 1103u) << console_;
    EXPECT_GE(std::stol(stamped[1101]) - std::stol(stamped[1100]), 280) << stamped[1101];
}

TEST_F(EndToEndLines, AnOverlongLineIsCutAndCountedAtMostOnceASecondTillTheEnd) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(LinesCommand()));
    // Three in one send: the first cut is said at once, the next two together a second later,
    // though nothing else comes.
    ASSERT_TRUE(SendMessage(feed_, Overlong() + "\n" + Overlong() + "\r\n" + Overlong() + "\n"));
    std::string said = Said(kTwoCut);
    EXPECT_EQ(said, std::string(kOneCut) + kTwoCut);
    // A line of 1024 bytes is not cut, nor is its CR LF part of it, and one not reported is not
    // counted. Two more cuts, whose count waits for the second to pass: an end requested
    // meanwhile says it.
    Send(Kept() + "\r\n49;" + std::string(1500, 'h') + "\n" + Overlong() + "\n" + Overlong() +
         "\n50;end\n");
    const std::string expected = Kept() + "\n" + Kept() + "\n" + Kept() + "\n" + Kept() + "\n" +
                                 Kept() + "\n" + Kept() + "\n50;end\n";
    EXPECT_EQ(Unstamped(Console("50;end\n")), expected);
    kill(chanlog_.pid, EndSignal());
    EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
    EXPECT_EQ(said + ReadAll(chanlog_.err, kWaitMs), std::string(kOneCut) + kTwoCut + kTwoCut);
    EXPECT_EQ(Unstamped(Log()), expected);
}

TEST_F(EndToEndLines, AtTheFeedsCloseTheUnendedLineIsReportedAndTheCountSaid) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(LinesCommand()));
    // The second cut is due a second after the first, but the close comes sooner.
    ASSERT_TRUE(SendMessage(feed_, Overlong() + "\n" + Overlong() + "\n50;tail"));
    CloseFd(&feed_);
    ExpectHoldingUntilTerminated(std::string(kOneCut) + kOneCut + kFeedClosed);
    EXPECT_EQ(Unstamped(Log()), Kept() + "\n" + Kept() + "\n50;tail\n");
}

TEST_F(EndToEndLines, WithReconnectALineCutByALostConnectionIsReportedAndTheNextStartsAfresh) {
    ASSERT_NO_FATAL_FAILURE(StartConnected(LinesCommand(true)));
    Send("50;whole\n50;cut short");
    Console("50;whole\n");
    ResetConnection(std::exchange(feed_, -1));
    ASSERT_NO_FATAL_FAILURE(RestartService(kFeedService));
    Send("the rest\n50;fresh\n");
    const std::string console = Unstamped(Console("50;fresh\n"));
    EXPECT_EQ(console, "50;whole\n" + ResetLine(console) + "50;cut short\n50;fresh\n");
    EXPECT_EQ(Unstamped(Log()), "50;whole\n50;cut short\n50;fresh\n");
}

} // namespace
