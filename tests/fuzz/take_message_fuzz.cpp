// libFuzzer target for TakeMessage, the step that decides whether a receive is reported and makes
// its text, and for the report line made from that text; and for TakeLine, which takes the feed
// as lines. The input is one receive of up to kBufLen bytes. AddressSanitizer sees any read past
// the receive, since it is copied into a heap block of exactly its size, and any write past the
// copy, which is kBufLen bytes as in channel 2.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "channels/channels.h"
#include "channels/lines.h"
#include "config/config.h"

namespace {

void Require(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "TakeMessage fuzz: %s\n", what);
        std::abort();
    }
}

void CheckReceive(const char *received, int result) {
    const auto size = static_cast<std::size_t>(result > 0 ? result : 0);
    const std::string_view bytes(received, size);
    const std::string_view expected = bytes.substr(0, bytes.find('\0'));

    auto copy = std::make_unique<char[]>(kBufLen);
    std::memset(copy.get(), '#', kBufLen);
    const Message message = TakeMessage(received, result, copy.get(), kBufLen);

    Require(std::string_view(copy.get(), message.length) == expected,
            "the text is not the receive up to its first zero byte");
    Require(message.length == kBufLen || copy[message.length] == '\0',
            "a text shorter than the copy is not terminated");
    Require(message.reported == (expected.substr(0, kReportPrefixLen) == kReportPrefix),
            "reported does not match the prefix at byte 0");
    if (message.reported) { // its line, in a heap block of exactly the longest line's size
        auto line = std::make_unique<char[]>(kLineMax);
        const std::size_t length = FormatReportLine(0, copy.get(), message.length, line.get());
        Require(length <= kLineMax &&
                    std::string_view(line.get(), length) == "0: " + std::string(expected) + "\n",
                "the report line is not the text");
    }
}

// The lines of `bytes` received in two pieces, `first` bytes and then the rest, as "text|flags\n"
// each.
std::string LinesOf(std::string_view bytes, std::size_t first) {
    LineBuffer buffer;
    std::string lines;
    Line line{};
    auto add = [&lines, &line] {
        Require(line.length <= static_cast<std::size_t>(kBufLen), "a line's text is too long");
        lines.append(line.text, line.length);
        lines += line.reported ? "|r" : "|";
        lines += line.cut ? "c\n" : "\n";
    };
    for (const std::string_view piece : {bytes.substr(0, first), bytes.substr(first)}) {
        auto block = std::make_unique<char[]>(piece.size());
        std::memcpy(block.get(), piece.data(), piece.size());
        for (std::size_t at = 0; at < piece.size();) {
            bool ended = false;
            const std::size_t taken =
                TakeLine(&buffer, block.get() + at, piece.size() - at, &line, &ended);
            Require(taken > 0 && taken <= piece.size() - at, "a take outside the receive");
            at += taken;
            if (ended) {
                add();
            }
        }
    }
    if (TakeUnendedLine(&buffer, &line)) {
        add();
    }
    return lines;
}

// Wherever the receives break the stream, its lines are the same.
void CheckLines(std::string_view bytes) {
    const std::string whole = LinesOf(bytes, bytes.size());
    for (const std::size_t first : {std::size_t{1}, bytes.size() / 3, bytes.size() / 2}) {
        Require(LinesOf(bytes, std::min(first, bytes.size())) == whole,
                "the lines depend on where the receives break");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > static_cast<std::size_t>(kBufLen)) {
        return 0; // no receive is longer than the buffer
    }
    // Exactly the received bytes: the buffer's own zero fill after them is not to be relied on.
    auto received = std::make_unique<char[]>(size);
    if (size > 0) {
        std::memcpy(received.get(), data, size);
    }
    CheckReceive(received.get(), static_cast<int>(size));
    CheckLines({received.get(), size});
    // A failed receive, or the peer's close, finds earlier bytes in the buffer; they are no text.
    for (const int result : {-1, 0}) {
        CheckReceive(received.get(), result);
    }
    return 0;
}
