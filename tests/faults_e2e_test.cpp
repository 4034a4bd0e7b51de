// The real chanlog binary when the world around it misbehaves: a feed that resets, a full disk
// under the log, a console reader that goes away, a feed that floods. Each test asserts what was
// written, and that the process still works or ended as the client's rules say.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/config.h"
#include "tests/chanlog_fixture.h"

namespace {

class EndToEndFaults : public ChanlogTest {
  protected:
    // Stops chanlog and waits until all its threads are stopped, so that what is sent now waits
    // unread in its receive queue until Resume.
    void Pause() const {
        ASSERT_EQ(kill(chanlog_.pid, SIGSTOP), 0);
        ASSERT_TRUE(WaitFor([&] { return AllThreadsStopped(chanlog_.pid); }));
    }

    void Resume() const {
        ASSERT_EQ(kill(chanlog_.pid, SIGCONT), 0);
    }

    // Channel 2 has ended when chanlog no longer holds the log open and channel 1's connection is
    // its only socket.
    bool ChannelTwoEnded() const {
        int sockets = 0;
        for (const std::string &target : OpenFiles(chanlog_.pid)) {
            if (target.ends_with("/log.txt") || target == "/dev/full") {
                return false;
            }
            sockets += target.starts_with("socket:") ? 1 : 0;
        }
        return sockets == 1;
    }

    // Channel 2 ends (the feed was closed or reset) and channel 1 goes on holding; then chanlog
    // ends as it is meant to, having said `err` on standard error (a sanitizer report would be
    // there too).
    void ExpectOnlyChannelTwoEnds(const std::string &err) {
        EXPECT_TRUE(WaitFor([&] { return ChannelTwoEnded(); }))
            << "the log or the feed stayed open";
        ExpectHoldingUntilTerminated(err);
    }

    void ExpectHoldingUntilTerminated(const std::string &err) {
        EXPECT_TRUE(Running(chanlog_));
        EXPECT_TRUE(HoldConnectionHeld());
        EXPECT_TRUE(Terminate());
        EXPECT_EQ(ReadAll(chanlog_.err, kWaitMs), err);
    }
};

TEST_F(EndToEndFaults, AFeedResetInMidStreamLosesNoLineBeforeItAndChannelOneHolds) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;one\n");
    Send("40;not reported\n");
    Send("50;two\n");
    // Two more are still unread when the reset comes: they were received, so they are reported.
    ASSERT_NO_FATAL_FAILURE(Pause());
    const std::string third = "50;three\n";
    const std::string fourth = "50;four\n";
    ASSERT_TRUE(SendMessage(feed_, third));
    ASSERT_TRUE(SendMessage(feed_, fourth));
    const auto unread = static_cast<long>(third.size() + fourth.size());
    ASSERT_TRUE(WaitFor([&] { return ClientUnread(kFeedService) == unread; }));
    ResetConnection(feed_);
    feed_ = -1;
    Resume();

    ExpectOnlyChannelTwoEnds("");
    const std::string expected = "50;one\n\n50;two\n\n50;three\n50;four\n\n";
    EXPECT_EQ(Unstamped(Log()), expected);
    EXPECT_EQ(Unstamped(Console("50;four\n")), expected);
    EXPECT_EQ(ReadAll(chanlog_.out, kWaitMs), ""); // and no failure message after them
}

TEST_F(EndToEndFaults, LogOnAFullDiskIsReportedOnceAndTheConsoleGoesOn) {
    ASSERT_EQ(symlink("/dev/full", (dir_ + "/log.txt").c_str()), 0) << std::strerror(errno);
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    std::string expected;
    for (int i = 1; i <= 5; ++i) {
        const std::string message = "50;line " + std::to_string(i) + "\n";
        Send(message);
        expected += message + "\n";
    }
    EXPECT_EQ(Unstamped(Console("50;line 5\n")), expected);
    // The orderly close makes channel 2 flush and close the log: one more failing write.
    CloseFd(&feed_);
    ExpectOnlyChannelTwoEnds("Could not write log.txt: No space left on device\n");
}

TEST_F(EndToEndFaults, AConsoleReaderThatGoesAwayLeavesTheLogGrowing) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    Send("50;seen\n");
    Console("50;seen\n");
    CloseFd(&chanlog_.out);

    std::string expected = "50;seen\n\n";
    for (int i = 1; i <= 5; ++i) {
        const std::string message = "50;unseen " + std::to_string(i) + "\n";
        Send(message);
        expected += message + "\n";
        // Each line reaches the log before the next is sent: the log keeps growing.
        ASSERT_TRUE(WaitFor([&] { return Unstamped(Log()) == expected; })) << "log holds:\n"
                                                                           << Log();
    }
    // Not ended by SIGPIPE, and no failure of the log was reported.
    ExpectHoldingUntilTerminated("");
}

// The texts of the reports in `text`, one after the other: the stream they were received from,
// where every receive was reported.
std::string Joined(const std::string &text) {
    std::string joined;
    for (const std::string &report : ReportTexts(text)) {
        joined += report;
    }
    return joined;
}

TEST_F(EndToEndFaults, AConsoleReaderThatStopsReadingHoldsUpTheLogButLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // The smallest pipe there is, a page: a few dozen lines fill it.
    ASSERT_GT(fcntl(chanlog_.out, F_SETPIPE_SZ, 4096), 0);
    // Messages of 128 bytes sent whole, so that receives, however many they take, end on message
    // ends and each begins with the prefix.
    std::string stream;
    for (int i = 0; i < 100; ++i) {
        std::string message = "50;" + std::to_string(i) + " ";
        message += std::string(127 - message.size(), 'x') + "\n";
        ASSERT_TRUE(SendMessage(feed_, message));
        stream += message;
    }
    // Nobody reads the console: chanlog waits in its console write, the log stops short of the
    // stream, and the rest of the feed waits in TCP.
    ASSERT_TRUE(WaitFor([] { return ClientUnread(kFeedService) > 0; }));
    usleep(300 * 1000);
    const std::string heldUp = Joined(Log());
    EXPECT_LT(heldUp.size(), stream.size());
    EXPECT_TRUE(stream.starts_with(heldUp));
    EXPECT_GT(ClientUnread(kFeedService), 0);
    // Once the console is read again, every message reaches both.
    EXPECT_EQ(Joined(ReadUntil(chanlog_.out, stream.substr(stream.size() - 128), kWaitMs)), stream);
    EXPECT_TRUE(WaitFor([&] { return Joined(Log()) == stream; }));
    ExpectHoldingUntilTerminated("");
}

// Messages whose prefix appears nowhere but at their start, of lengths from 11 to 33 bytes but for
// the first `alignedCount`, which are 32 bytes each so that full receives of them end on message
// ends.
std::string FloodMessage(int index, int alignedCount) {
    std::string number = std::to_string(index);
    number.insert(0, 5 - std::min<std::size_t>(number.size(), 5), '0');
    const int filler = index < alignedCount ? 32 - 11 : index % 23;
    return "50;#" + number + " " +
           std::string(static_cast<std::size_t>(filler), static_cast<char>('a' + index % 26)) +
           "\n";
}

TEST_F(EndToEndFaults, AFloodedFeedReportsEveryFullReceiveWholeAndNothingPastIt) {
    constexpr int kMessages = 10000;
    constexpr int kFullReceives = 4;
    constexpr int kAligned = kFullReceives * kBufLen / 32;
    std::vector<std::string> messages;
    std::string stream;
    for (int i = 0; i < kMessages; ++i) {
        messages.push_back(FloodMessage(i, kAligned));
        stream += messages.back();
    }

    ASSERT_NO_FATAL_FAILURE(StartConnected());
    // A blocked send gives up, so that a chanlog that stops reading fails the test, not hangs it.
    const timeval sendTimeout{kWaitMs / 1000, 0};
    ASSERT_EQ(setsockopt(feed_, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout), 0);
    // Standard output is read all along: a full pipe would hold chanlog up.
    std::string console;
    std::thread reader([&console, fd = chanlog_.out] { console = ReadAll(fd, 5 * kWaitMs); });
    struct Joiner {
        std::thread &thread;
        Child &chanlog;
        ~Joiner() {
            if (thread.joinable()) {
                if (chanlog.pid > 0) {
                    kill(chanlog.pid, SIGKILL); // a test that failed early: end the reader's read
                }
                thread.join();
            }
        }
    } joinReader{reader, chanlog_};

    // While chanlog is stopped the messages pile up, so its first receives take full buffers.
    ASSERT_NO_FATAL_FAILURE(Pause());
    int sent = 0;
    std::thread sender([&] {
        while (sent < kMessages && SendMessage(feed_, messages[static_cast<std::size_t>(sent)])) {
            ++sent;
        }
    });
    const bool piledUp = WaitFor(
        [] { return ClientUnread(kFeedService) >= static_cast<long>(kFullReceives) * kBufLen; });
    Resume();
    sender.join();
    ASSERT_TRUE(piledUp);
    ASSERT_EQ(sent, kMessages);
    CloseFd(&feed_); // orderly: channel 2 ends after the last receive
    ExpectOnlyChannelTwoEnds("");

    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_GE(logged.size(), static_cast<std::size_t>(kFullReceives));
    // The first receives took exactly a buffer each, and each began with a message.
    for (int i = 0; i < kFullReceives; ++i) {
        EXPECT_EQ(logged[static_cast<std::size_t>(i)],
                  stream.substr(static_cast<std::size_t>(i) * kBufLen, kBufLen))
            << "receive " << i;
    }
    // Every report is a receive: at most a buffer, beginning with a message of the stream and
    // holding exactly its bytes, after the one before it.
    std::size_t next = 0;
    for (const std::string &text : logged) {
        EXPECT_LE(text.size(), static_cast<std::size_t>(kBufLen));
        ASSERT_TRUE(text.starts_with(kReportPrefix)) << text;
        const std::size_t at = stream.find(text, next);
        ASSERT_NE(at, std::string::npos) << "not a piece of the stream in order:\n" << text;
        next = at + text.size();
    }
    reader.join();
    EXPECT_EQ(ReportTexts(console), logged);
}

} // namespace
