// The real chanlog binary when the network misbehaves: a feed that resets, a feed that floods.
// Each test asserts what was written, and that the process still works or ended as the client's
// rules say.

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/chanlog_fixture.h"

namespace {

using EndToEndFaults = ChanlogTest;

TEST_F(EndToEndFaults, AFeedResetInMidStreamIsSaidAfterEveryLineBeforeItAndChannelOneHolds) {
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
    ResetConnection(std::exchange(feed_, -1));
    Resume();

    const std::string expected = "50;one\n\n50;two\n\n50;three\n50;four\n\n";
    // The failure comes after the lines received before it, as it happened.
    EXPECT_EQ(Unstamped(Console("recv failed with error: 104\n")),
              expected + "recv failed with error: 104\n");
    // Said on standard error too, as an orderly close is: there it is seen with standard output
    // thrown away.
    ExpectOnlyChannelTwoEnds("The feed connection failed: nothing more will be logged\n");
    EXPECT_EQ(Unstamped(Log()), expected);
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
    constexpr int kReceive = 1024; // the most one receive takes
    constexpr int kMessages = 10000;
    constexpr int kFullReceives = 4;
    constexpr int kAligned = kFullReceives * kReceive / 32;
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
    // Standard output is read all along: a full pipe would hold chanlog up. Nothing fatal
    // happens until chanlog has ended (ExpectOnlyChannelTwoEnds ends it), and with it this read.
    std::string console;
    std::thread reader([&console, fd = chanlog_.out] { console = ReadAll(fd, 5 * kWaitMs); });

    // While chanlog is stopped the messages pile up, so its first receives take full buffers.
    Pause();
    int sent = 0;
    std::thread sender([&] {
        while (sent < kMessages && SendMessage(feed_, messages[static_cast<std::size_t>(sent)])) {
            ++sent;
        }
    });
    const bool piledUp = WaitFor(
        [] { return ClientUnread(kFeedService) >= static_cast<long>(kFullReceives) * kReceive; });
    Resume();
    sender.join();
    EXPECT_TRUE(piledUp);
    EXPECT_EQ(sent, kMessages);
    CloseFd(&feed_); // orderly: channel 2 ends after the last receive
    ExpectOnlyChannelTwoEnds(kFeedClosed);
    reader.join();

    const std::vector<std::string> logged = ReportTexts(Log());
    ASSERT_GE(logged.size(), static_cast<std::size_t>(kFullReceives));
    // The first receives took exactly a buffer each, and each began with a message.
    for (int i = 0; i < kFullReceives; ++i) {
        EXPECT_EQ(logged[static_cast<std::size_t>(i)],
                  stream.substr(static_cast<std::size_t>(i) * kReceive, kReceive))
            << "receive " << i;
    }
    // Every report is a receive: at most a buffer, beginning with a message of the stream and
    // holding exactly its bytes, after the one before it.
    std::size_t next = 0;
    for (const std::string &text : logged) {
        EXPECT_LE(text.size(), static_cast<std::size_t>(kReceive));
        ASSERT_TRUE(text.starts_with("50;")) << text;
        const std::size_t at = stream.find(text, next);
        ASSERT_NE(at, std::string::npos) << "not a piece of the stream in order:\n" << text;
        next = at + text.size();
    }
    EXPECT_EQ(ReportTexts(console), logged);
}

} // namespace
