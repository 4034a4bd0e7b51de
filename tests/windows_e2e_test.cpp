// What differs on Windows, end to end: the text line ends that chanlog writes, and the console's
// events other than Ctrl-C. The line ends are asserted for each platform, the events under Wine
// only.

#include <signal.h>

#include <cstdlib>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

class EndToEndWindows : public ChanlogTest {};

TEST_F(EndToEndWindows, ACrLfReceivedIsWrittenOnceAndALoneLineFeedAsTheSystemsLineEnd) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    const bool windows = WindowsPrograms();
    const std::string lineEnd = windows ? "\r\n" : "\n";
    std::string expected;
    // A text's own CR LF, a CR at its end (the report's line feed ends it), line feeds alone, and
    // a CR alone.
    for (const auto &[message, written] : {
             std::pair<std::string, std::string>{"50;1;windows line\r\n",
                                                 windows ? "50;1;windows line\r\n\r\n"
                                                         : "50;1;windows line\r\n\n"},
             {"50;2;a CR at its end\r", "50;2;a CR at its end\r\n"},
             {"50;3;unix\nline\n", windows ? "50;3;unix\r\nline\r\n\r\n" : "50;3;unix\nline\n\n"},
             {"50;4;a lone\rCR\n", windows ? "50;4;a lone\rCR\r\n\r\n" : "50;4;a lone\rCR\n\n"},
         }) {
        Send(message);
        expected += written;
    }
    // A CR LF whose halves fall on either side of where a console line is written in two pieces
    // (at its byte 512), whatever the length of its stamp, 1 to 8 digits.
    for (int length = 497; length <= 505; ++length) {
        const std::string message = "50;" + std::string(length, 'x') + "\r\n";
        Send(message);
        expected += message + lineEnd;
    }
    Send("50;end");
    expected += "50;end" + lineEnd;
    // As the bytes are, CRs included.
    const std::string console = ReadUntilSeen(chanlog_.out, "50;end" + lineEnd, kWaitMs);
    EXPECT_EQ(Unstamped(console), expected);
    const std::string log = dir_ + "/log.txt";
    EXPECT_TRUE(WaitFor([&] { return ReadWholeFile(log).ends_with("50;end" + lineEnd); }));
    EXPECT_EQ(Unstamped(ReadWholeFile(log)), expected);
}

TEST_F(EndToEndWindows, CtrlBreakAndClosingTheConsoleWindowEndItAsCtrlCDoes) {
    if (!WindowsPrograms()) {
        GTEST_SKIP() << "the console's events are Windows' own";
    }
    const std::string sender =
        std::string(std::getenv("CHANLOG_WINDOWS_BUILD")) + "/tests/console-event.exe";
    for (const char *event : {"break", "close"}) {
        SCOPED_TRACE(event);
        ASSERT_NO_FATAL_FAILURE(StartConnected());
        Send("50;logged\n");
        Console("50;logged\n");
        Child send = Spawn({WINE_RUN, "--exec", sender, event, "chanlog.exe"});
        EXPECT_EQ(ExitCode(send), 0) << ReadAll(send.err, 0);
        Stop(send, SIGKILL);
        // Its own end, not Windows' default one, which ends a program with status 0 for these.
        EXPECT_EQ(ExitCode(chanlog_), EndedStatus());
        EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs), "");
        EXPECT_EQ(Unstamped(Log()), "50;logged\n\n");
        EndChanlogAndServices();
    }
}

} // namespace
