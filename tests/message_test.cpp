#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/channels.h"
#include "channels/globals.h"
#include "config/config.h"

namespace {

struct Taken {
    bool reported;
    std::string text;
    bool terminated; // a zero byte follows the text inside the copy
};

// Runs TakeMessage on the receive in a heap block of exactly its size and a copy of the size the
// channel uses, so that AddressSanitizer sees any read past the receive or write past the copy.
Taken Take(const std::string &received, int result = -2) {
    auto recvbuf = std::make_unique<char[]>(received.size());
    std::memcpy(recvbuf.get(), received.data(), received.size());
    auto msgCopy = std::make_unique<char[]>(kBufLen);
    std::memset(msgCopy.get(), '#', kBufLen);
    const int received_bytes = result == -2 ? static_cast<int>(received.size()) : result;
    const Message m = TakeMessage(recvbuf.get(), received_bytes, msgCopy.get(), kBufLen);
    return {m.reported, std::string(msgCopy.get(), m.length),
            m.length < kBufLen && msgCopy[m.length] == '\0'};
}

TEST(TakeMessage, IsTheReceiveUpToAZeroByteWithinTheCopyReportedWhenItBeginsWithThePrefix) {
    struct Case {
        std::string received;
        bool reported;
        std::string text;
        int result = -2; // what the receive returned; -2: the size of `received`
    };
    std::vector<Case> cases;
    // Line ends are kept, and two messages in one receive are one text, reported by the first
    // one's prefix only.
    for (const char *whole : {"50;", "50;temperature=21", "50;a\n", "50;a\r\n", "50;a\n50;b\n"}) {
        cases.push_back({whole, true, whole});
    }
    for (const char *whole :
         {"", "5", "50", "51;x", "50:x", " 50;x", "x50;", "xx;50;", "05;", "40;a\n50;b\n"}) {
        cases.push_back({whole, false, whole});
    }
    // A full receive has no room for a terminator, and none is written past the copy.
    const std::string full = "50;" + std::string(kBufLen - 3, 'x');
    const std::string zeroLast = full.substr(0, kBufLen - 1) + '\0';
    cases.insert(cases.end(), {{std::string("50;ab\0cd", 8), true, "50;ab"},
                               {std::string("50\0;", 4), false, "50"},
                               {std::string(1, '\0') + "50;", false, ""},
                               {full, true, full},
                               {zeroLast, true, zeroLast.substr(0, kBufLen - 1)},
                               {"50;stale", false, "", 0},    // closed
                               {"50;stale", false, "", -1}}); // failed
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.received.substr(0, 20)) + " of " +
                     std::to_string(c.received.size()) + ", result " + std::to_string(c.result));
        const Taken t = Take(c.received, c.result);
        EXPECT_EQ(t.reported, c.reported);
        EXPECT_EQ(t.text, c.text);
        EXPECT_EQ(t.terminated, c.text.size() < kBufLen); // a zero byte follows, where it fits
    }

    // A result larger than the copy is bounded by the copy.
    auto big = std::make_unique<char[]>(16);
    std::memset(big.get(), 'y', 16);
    std::memcpy(big.get(), "50;", 3);
    auto small = std::make_unique<char[]>(8);
    const Message m = TakeMessage(big.get(), 16, small.get(), 8);
    EXPECT_TRUE(m.reported);
    EXPECT_EQ(std::string(small.get(), m.length), "50;yyyyy");
}

// The line FormatReportLine makes, built in a heap block of exactly the longest line's size.
std::string Line(std::int64_t elapsed, const std::string &text) {
    auto line = std::make_unique<char[]>(kLineMax);
    return {line.get(), FormatReportLine(elapsed, text.data(), text.size(), line.get())};
}

TEST(FormatReportLine, StampsTheTextExactlyAsReceived) {
    EXPECT_EQ(Line(0, "50;"), "0: 50;\n");
    EXPECT_EQ(Line(1234, "50;a\n"), "1234: 50;a\n\n");
    // Received text is data, never a format.
    EXPECT_EQ(Line(7, "50;%s%n%d"), "7: 50;%s%n%d\n");
    // Past 24.8 days a 32-bit signed count turns negative, and past 49.7 days an unsigned one
    // starts again; ours goes on counting to the largest stamp there is.
    EXPECT_EQ(Line(2'147'483'648, "50;x"), "2147483648: 50;x\n");
    EXPECT_EQ(Line(4'294'967'296 + 5, "50;x"), "4294967301: 50;x\n");
    EXPECT_EQ(Line(9'223'372'036'854'775'807, "50;x"), "9223372036854775807: 50;x\n");
    // A full receive has no terminator: the line takes exactly its bytes, and even the longest
    // stamp with it stays inside the buffer.
    const std::string full(kBufLen, 'z');
    EXPECT_EQ(Line(1, full), "1: " + full + "\n");
    EXPECT_EQ(Line(-9'223'372'036'854'775'807 - 1, full), "-9223372036854775808: " + full + "\n");
}

TEST(ElapsedMs, CountsFromTheStartTick) {
    const std::uint64_t saved = g_startTick;
    g_startTick = PlatformTickMs();
    const std::int64_t first = ElapsedMs();
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 1000);
    g_startTick -= 5000;
    EXPECT_GE(ElapsedMs(), 5000);
    g_startTick = saved;
}

} // namespace
