// libFuzzer target for TakeMessage, the step that decides whether a receive is reported and makes
// its text, and for the report line made from that text. The input is one receive of up to
// kBufLen bytes. AddressSanitizer sees any read past the receive, since it is copied into a heap
// block of exactly its size, and any write past the copy, which is kBufLen bytes as in channel 2.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "channels/channels.h"
#include "config/config.h"

namespace {

void Require(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "TakeMessage fuzz: %s\n", what);
        std::abort();
    }
}

// The line FormatReportLine makes of `text`, in a heap block of exactly the longest line's size.
std::string LineOf(const char *text, std::size_t length) {
    auto line = std::make_unique<char[]>(kLineMax);
    const std::size_t size = FormatReportLine(0, text, length, line.get());
    Require(size <= kLineMax, "the line is longer than its buffer");
    return {line.get(), size};
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
    if (message.reported) {
        Require(LineOf(copy.get(), message.length) == "0: " + std::string(expected) + "\n",
                "the report line is not the text");
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
    // A failed receive, or the peer's close, finds earlier bytes in the buffer; they are no text.
    for (const int result : {-1, 0}) {
        CheckReceive(received.get(), result);
    }
    return 0;
}
