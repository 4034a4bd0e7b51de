#pragma once

// Everything chanlog writes to standard output and standard error once its threads run. Nothing
// that calls in here waits for the console: a line is written at once when the console takes it
// without waiting, and otherwise waits in a backlog of fixed size for the console thread, which
// writes the lines in the order they happened. Report lines that would overflow the backlog are
// dropped and counted, and standard error says how many, at most about once a second. When
// standard output fails, standard error says so once, gets the failure messages meant for
// standard output, and later says how many report lines were not shown. Messages for standard
// error wait behind standard output only where the two are one file, whose order they keep.
// Before ConsoleStart and after the console thread ends, lines are written at once, waiting as
// long as it takes.

#include <allegro5/allegro.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "platform/platform.h"

// Only report lines are held to the report bound; the rest are dropped only when the backlog as a
// whole has no room left, and in the console's backlog the report lines always leave them
// kConsoleMessageBytes.
enum class EntryKind : std::uint8_t {
    kReport, // a report line for standard output, which may be dropped
    kRest,   // a report line that standard output has taken in part: it is finished, not dropped
    kOut,    // a message for standard output
    kErr,    // a message for standard error
};

// What waits for the console: entries back to back in one buffer, used as a ring, so that a
// stalled console costs the buffer and not a byte more, whatever the lines' lengths.
struct Backlog {
    char *bytes;             // `capacity` bytes
    std::size_t capacity;    //
    std::size_t reportBound; // report lines take at most this much of it, with their headers
    std::size_t head = 0;    // where the oldest entry begins
    std::size_t used = 0;
    std::size_t reportUsed = 0;
    std::size_t droppedAtEnd = 0; // report lines dropped since the newest entry was queued
};

// One entry taken off a backlog.
struct ConsoleEntry {
    EntryKind kind;
    std::size_t droppedBefore; // report lines dropped just before this entry was queued
    std::size_t length;        // 0: no text, only the lines dropped after the last entry
    std::size_t offset;        // how much of the text was written already
    char text[kLineMax];
};

// Queues text of `kind`, of at most kLineMax bytes, of which the first `offset` were written
// already. A report line that would take the report lines past the report bound, or anything that
// would not fit the buffer, is dropped instead and counted against the next entry. Returns whether
// it was queued.
bool BacklogAdd(Backlog *backlog, EntryKind kind, const char *text, std::size_t length,
                std::size_t offset = 0);
// Takes the oldest entry, or else the count of lines dropped since the last one; false when there
// is neither.
bool BacklogTake(Backlog *backlog, ConsoleEntry *entry);

// Why report lines were not shown.
enum class NotShown { kNotRead, kNotWritten };
// What standard error says of `count` report lines not shown.
std::string NotShownNotice(std::size_t count, NotShown why);

// From now on lines wait for the console thread instead of being written at once. Call it just
// before the console thread starts.
void ConsoleStart();
// The console thread's body: writes the backlog until ConsoleEnd, then what is left, and ends.
void *ConsoleThread(ALLEGRO_THREAD *thread, void *argument);
// Lets the console thread write what waits and end, and waits for that for at most `graceMs`:
// the process is about to end, and must end whatever its console does. What has not been written
// by then stays unwritten: standard error gets the messages among it and how many report lines
// were not shown, if it takes them within a short while. A second caller waits until the first
// has said that. True when the console thread has ended and can be joined; false when it may
// still be held in a write.
bool ConsoleEnd(int graceMs);

// A report line, `length` bytes ending in its line feed, for standard output.
void ConsoleReport(const char *line, std::size_t length);
// A whole line of text, formatted as printf does.
void ConsoleSay(Stream stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A failure in two whole lines that stand together, whatever else is written meanwhile: `out` for
// standard output, then `err` for standard error.
void ConsoleSayBoth(const char *out, const char *err);
