#include "console/backlog.h"

#include <algorithm>
#include <cstring>

namespace {

// An entry's header in the backlog, one 64-bit word: the text's length and how much of it was
// written already (11 bits each, as a line has at most kLineMax bytes), its kind, and the report
// lines dropped just before it.
constexpr std::size_t kHeaderSize = sizeof(std::uint64_t);
constexpr unsigned kLengthBits = 11;
constexpr std::uint64_t kLengthMask = (std::uint64_t{1} << kLengthBits) - 1;
constexpr unsigned kKindShift = 2 * kLengthBits;
constexpr unsigned kDroppedShift = 24;
constexpr std::uint64_t kDroppedMax = (std::uint64_t{1} << (64 - kDroppedShift)) - 1;
static_assert(kLineMax <= kLengthMask, "a line's length and offset fit their bits");

std::size_t Cost(std::size_t length) {
    return kHeaderSize + length;
}

void RingWrite(Backlog *backlog, std::size_t at, const void *data, std::size_t length) {
    at %= backlog->capacity;
    const std::size_t first = std::min(length, backlog->capacity - at);
    std::memcpy(backlog->bytes + at, data, first);
    std::memcpy(backlog->bytes, static_cast<const char *>(data) + first, length - first);
}

void RingRead(const Backlog *backlog, std::size_t at, void *data, std::size_t length) {
    at %= backlog->capacity;
    const std::size_t first = std::min(length, backlog->capacity - at);
    std::memcpy(data, backlog->bytes + at, first);
    std::memcpy(static_cast<char *>(data) + first, backlog->bytes, length - first);
}

} // namespace

bool IsReport(EntryKind kind) {
    return kind == EntryKind::kReport || kind == EntryKind::kRest;
}

bool BacklogAdd(Backlog *backlog, EntryKind kind, const char *text, std::size_t length,
                std::size_t offset) {
    length = std::min(length, kLineMax);
    offset = std::min(offset, length);
    const std::size_t cost = Cost(length);
    if (backlog->used + cost > backlog->capacity ||
        (kind == EntryKind::kReport && backlog->reportUsed + cost > backlog->reportBound)) {
        // A line's count stands where the line would have; a message's is said apart.
        if (IsReport(kind)) {
            backlog->linesDroppedAtEnd += 1;
        } else {
            backlog->messagesDropped += 1;
        }
        return false;
    }
    const std::uint64_t dropped = std::min<std::uint64_t>(backlog->linesDroppedAtEnd, kDroppedMax);
    const std::uint64_t header = length | offset << kLengthBits |
                                 std::uint64_t{static_cast<std::uint8_t>(kind)} << kKindShift |
                                 dropped << kDroppedShift;
    const std::size_t tail = backlog->head + backlog->used;
    RingWrite(backlog, tail, &header, kHeaderSize);
    RingWrite(backlog, tail + kHeaderSize, text, length);
    backlog->used += cost;
    backlog->reportUsed += kind == EntryKind::kReport ? cost : 0;
    backlog->linesDroppedAtEnd = 0;
    return true;
}

bool BacklogTake(Backlog *backlog, ConsoleEntry *entry) {
    if (backlog->used == 0) {
        if (backlog->linesDroppedAtEnd == 0) {
            return false;
        }
        *entry = {EntryKind::kReport, backlog->linesDroppedAtEnd, 0, 0, {}};
        backlog->linesDroppedAtEnd = 0;
        return true;
    }
    std::uint64_t header = 0;
    RingRead(backlog, backlog->head, &header, kHeaderSize);
    entry->length = static_cast<std::size_t>(header & kLengthMask);
    entry->offset = static_cast<std::size_t>(header >> kLengthBits & kLengthMask);
    entry->kind = static_cast<EntryKind>(header >> kKindShift & 0x3);
    entry->linesDroppedBefore = static_cast<std::size_t>(header >> kDroppedShift);
    RingRead(backlog, backlog->head + kHeaderSize, entry->text, entry->length);
    const std::size_t cost = Cost(entry->length);
    backlog->head = (backlog->head + cost) % backlog->capacity;
    backlog->used -= cost;
    backlog->reportUsed -= entry->kind == EntryKind::kReport ? cost : 0;
    return true;
}

std::size_t BacklogTakeDroppedMessages(Backlog *backlog) {
    const std::size_t dropped = backlog->messagesDropped;
    backlog->messagesDropped = 0;
    return dropped;
}

bool BacklogEmpty(const Backlog *backlog) {
    return backlog->used == 0 && backlog->linesDroppedAtEnd == 0;
}
