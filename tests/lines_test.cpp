#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channels/lines.h"

namespace {

struct Taken {
    std::string text;
    bool reported;
    bool cut;
    bool operator==(const Taken &) const = default;
};

void PrintTo(const Taken &taken, std::ostream *out) {
    *out << "{" << testing::PrintToString(taken.text.substr(0, 40)) << " (" << taken.text.size()
         << " bytes)" << (taken.reported ? " reported" : "") << (taken.cut ? " cut" : "") << "}";
}

// The lines of a stream that arrives in `pieces`, then closes: each piece is handed over in a heap
// block of exactly its size, so that AddressSanitizer sees any read past a receive.
std::vector<Taken> Lines(const std::vector<std::string> &pieces) {
    LineBuffer buffer;
    std::vector<Taken> lines;
    Line line{};
    for (const std::string &piece : pieces) {
        auto block = std::make_unique<char[]>(piece.size());
        std::memcpy(block.get(), piece.data(), piece.size());
        for (std::size_t at = 0; at < piece.size();) {
            bool ended = false;
            const std::size_t taken =
                TakeLine(&buffer, block.get() + at, piece.size() - at, &line, &ended);
            EXPECT_GT(taken, 0u);
            at += taken;
            if (ended) {
                lines.push_back({std::string(line.text, line.length), line.reported, line.cut});
            }
        }
    }
    if (TakeUnendedLine(&buffer, &line)) {
        lines.push_back({std::string(line.text, line.length), line.reported, line.cut});
    }
    return lines;
}

struct Case {
    std::string stream;
    std::vector<Taken> lines;
};

std::vector<Case> Cases() {
    const std::string full = "50;" + std::string(1021, 'a'); // a text of exactly 1024 bytes
    return {
        // Lines as services send them, one by one or glued: each is one message.
        {"50;a\n", {{"50;a", true, false}}},
        {"49;i;hb\n50;i;ev\n", {{"49;i;hb", false, false}, {"50;i;ev", true, false}}},
        {"50;one\n50;two\n", {{"50;one", true, false}, {"50;two", true, false}}},
        // A CR LF ends a line as a LF does; a CR anywhere else is text.
        {"50;dos\r\n", {{"50;dos", true, false}}},
        {"50;a\rb\n", {{"50;a\rb", true, false}}},
        {"50;a\r\r\n", {{"50;a\r", true, false}}},
        {"\n\r\n50\n", {{"", false, false}, {"", false, false}, {"50", false, false}}},
        // The text stops at the first zero byte, and the rest of its line goes with it.
        {std::string("50;ab\0cd\n50;next\n", 17),
         {{"50;ab", true, false}, {"50;next", true, false}}},
        {std::string("50;a\0b\0c\n", 9), {{"50;a", true, false}}},
        {std::string(1, '\0') + "50;x\n", {{"", false, false}}},
        // At most 1024 bytes of a line are reported; a CR LF after them does not make it longer.
        {full + "\n", {{full, true, false}}},
        {full + "\r\n", {{full, true, false}}},
        {full + "b\n", {{full, true, true}}},
        {full + std::string(5000, 'c') + "\n50;after\n",
         {{full, true, true}, {"50;after", true, false}}},
        {full + std::string("\0", 1) + "junk\n", {{full, true, false}}},
        {full + "b" + std::string("\0", 1) + "\n", {{full, true, true}}},
        // A line not ended when the feed closes is reported as it stands, a CR at its end included.
        {"50;one\n50;tail", {{"50;one", true, false}, {"50;tail", true, false}}},
        {"50;tail\r", {{"50;tail\r", true, false}}},
        {full + "more", {{full, true, true}}},
        {"", {}},
    };
}

TEST(TakeLine, EachLineIsOneMessageWhereverTheReceivesBreakTheStream) {
    for (const Case &c : Cases()) {
        SCOPED_TRACE(testing::PrintToString(c.stream.substr(0, 60)));
        EXPECT_EQ(Lines({c.stream}), c.lines);
        // In two receives, broken at every place: within a CR LF, within the prefix, around the
        // 1024th byte.
        for (std::size_t at = 1; at < c.stream.size() && !HasFailure(); ++at) {
            EXPECT_EQ(Lines({c.stream.substr(0, at), c.stream.substr(at)}), c.lines) << "at " << at;
        }
        // A byte a receive.
        std::vector<std::string> bytes;
        for (const char byte : c.stream) {
            bytes.emplace_back(1, byte);
        }
        EXPECT_EQ(Lines(bytes), c.lines) << "a byte at a time";
    }
}

TEST(TakeLine, TakesNoMoreThanTheFirstLineAndPointsIntoTheReceiveWhenItIsWhole) {
    LineBuffer buffer;
    const char data[] = "50;a\n50;b\n";
    Line line{};
    bool ended = false;
    EXPECT_EQ(TakeLine(&buffer, data, sizeof data - 1, &line, &ended), 5u);
    EXPECT_TRUE(ended);
    EXPECT_EQ(line.text, data); // not copied
    EXPECT_EQ(TakeLine(&buffer, data + 5, 3, &line, &ended), 3u);
    EXPECT_FALSE(ended);
    LineBuffer empty;
    EXPECT_FALSE(TakeUnendedLine(&empty, &line));
}

} // namespace
