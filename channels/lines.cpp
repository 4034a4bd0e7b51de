#include "channels/lines.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr auto kKept = static_cast<std::size_t>(kBufLen); // the most of a line's text reported

// The line whose bytes are `text`, `length` of them (its line feed not among them), as the
// buffer's bookkeeping describes it: its text stops at a zero byte or else before a CR that ends
// it, and only its first kBufLen bytes are reported.
Line Finish(const char *text, std::size_t length, bool stopped, std::size_t stoppedAt,
            bool lastIsCarriageReturn) {
    std::size_t textLength = length;
    if (stopped) {
        textLength = stoppedAt;
    } else if (lastIsCarriageReturn) {
        textLength = length - 1;
    }
    const bool cut = textLength > kKept;
    textLength = std::min(textLength, kKept);
    const bool reported =
        textLength >= kReportPrefixLen && std::memcmp(text, kReportPrefix, kReportPrefixLen) == 0;
    return {text, textLength, reported, cut};
}

// Where the first zero byte of `size` bytes is, looking no further than the line's position
// `from` allows (see LineBuffer).
const char *FindZero(const char *data, std::size_t size, std::size_t from) {
    const std::size_t room = kKept + 1;
    return from >= room
               ? nullptr
               : static_cast<const char *>(std::memchr(data, 0, std::min(size, room - from)));
}

// Adds `size` bytes (no line feed among them) to the line in `buffer`.
void Append(LineBuffer *buffer, const char *data, std::size_t size) {
    if (size == 0) {
        return;
    }
    if (!buffer->stopped) {
        const char *zero = FindZero(data, size, buffer->length);
        if (zero != nullptr) {
            buffer->stopped = true;
            buffer->stoppedAt = buffer->length + static_cast<std::size_t>(zero - data);
        }
    }
    const std::size_t at = std::min(buffer->length, kKept);
    std::memcpy(buffer->kept + at, data, std::min(size, kKept - at));
    buffer->length += size;
    buffer->lastIsCarriageReturn = data[size - 1] == '\r';
}

// Empties the buffer for the next line; its kept bytes stay, as the line just ended points into
// them.
void Clear(LineBuffer *buffer) {
    buffer->length = 0;
    buffer->stopped = false;
    buffer->stoppedAt = 0;
    buffer->lastIsCarriageReturn = false;
}

} // namespace

std::size_t TakeLine(LineBuffer *buffer, const char *data, std::size_t size, Line *line,
                     bool *ended) {
    const auto *feed = static_cast<const char *>(std::memchr(data, '\n', size));
    *ended = feed != nullptr;
    if (feed == nullptr) {
        Append(buffer, data, size);
        return size;
    }
    const auto before = static_cast<std::size_t>(feed - data);
    if (buffer->length == 0) {
        // The whole line is in this receive: its text is taken where it lies, not copied.
        const char *zero = FindZero(data, before, 0);
        *line = Finish(data, before, zero != nullptr,
                       zero != nullptr ? static_cast<std::size_t>(zero - data) : 0,
                       before > 0 && data[before - 1] == '\r');
        return before + 1;
    }
    Append(buffer, data, before);
    *line = Finish(buffer->kept, buffer->length, buffer->stopped, buffer->stoppedAt,
                   buffer->lastIsCarriageReturn);
    Clear(buffer);
    return before + 1;
}

bool TakeUnendedLine(LineBuffer *buffer, Line *line) {
    if (buffer->length == 0) {
        return false;
    }
    // Not ended by a line feed, so a CR at its end is part of its text.
    *line = Finish(buffer->kept, buffer->length, buffer->stopped, buffer->stoppedAt, false);
    Clear(buffer);
    return true;
}
