#pragma once

// What waits for a console writer: entries back to back in one buffer, used as a ring, so that a
// stalled console costs the buffer and not a byte more, whatever the lines' lengths. Report lines
// that find no room are dropped and counted where they would have stood; messages that find none
// are dropped and counted apart, so that each count says what it counts.

#include <cstddef>
#include <cstdint>

#include "config/config.h"

// Only report lines are held to the report bound; the rest are dropped only when the backlog as a
// whole has no room left, and in the console's backlog the report lines always leave them
// kConsoleMessageBytes.
enum class EntryKind : std::uint8_t {
    kReport, // a report line for standard output, which may be dropped
    kRest,   // a report line that standard output has taken in part: it is finished, not dropped
    kOut,    // a message for standard output
    kErr,    // a message for standard error
};

// A report line, begun or not, rather than a message.
bool IsReport(EntryKind kind);

struct Backlog {
    char *bytes;             // `capacity` bytes
    std::size_t capacity;    // the size of `bytes`
    std::size_t reportBound; // report lines take at most this much of it, with their headers
    std::size_t head = 0;    // where the oldest entry begins
    std::size_t used = 0;
    std::size_t reportUsed = 0;
    std::size_t linesDroppedAtEnd = 0; // report lines dropped since the newest entry was queued
    std::size_t messagesDropped = 0;   // messages dropped since BacklogTakeDroppedMessages
};

// One entry taken off a backlog.
struct ConsoleEntry {
    EntryKind kind;
    std::size_t linesDroppedBefore; // report lines dropped just before this entry was queued
    std::size_t length;             // 0: no text, only the lines dropped after the last entry
    std::size_t offset;             // how much of the text was written already
    char text[kLineMax];
};

// Queues text of `kind`, of at most kLineMax bytes, of which the first `offset` were written
// already. A report line that would take the report lines past the report bound, or anything that
// would not fit the buffer, is dropped instead and counted: a report line against the next entry,
// a message in `messagesDropped`. Returns whether it was queued.
bool BacklogAdd(Backlog *backlog, EntryKind kind, const char *text, std::size_t length,
                std::size_t offset = 0);
// Takes the oldest entry, or else the count of report lines dropped since the last one; false when
// there is neither.
bool BacklogTake(Backlog *backlog, ConsoleEntry *entry);
// The messages dropped since the last call.
std::size_t BacklogTakeDroppedMessages(Backlog *backlog);
// Nothing waits: no entry, and no report line dropped after the last.
bool BacklogEmpty(const Backlog *backlog);
