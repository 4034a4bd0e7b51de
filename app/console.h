#pragma once

// Everything chanlog writes to standard output and standard error once its threads run. Nothing
// that calls in here waits for the console: a line is written at once when the console takes it
// without waiting, and otherwise waits in a bounded backlog for the console thread, which writes
// the lines in the order they happened. Report lines that would overflow the backlog are dropped
// and counted, and the count is said on standard error where they would have stood. Before
// ConsoleStart and after the console thread ends, lines are written at once, waiting as long as
// it takes.

#include <allegro5/allegro.h>

#include <cstddef>
#include <deque>
#include <string>

#include "platform/platform.h"

// One thing waiting for the console.
struct ConsoleEntry {
    Stream stream;
    bool report;         // a report line, which may be dropped; anything else never is
    std::string text;    // empty for a drop mark
    std::size_t dropped; // for a drop mark: how many report lines were dropped at this point
};

struct Backlog {
    std::deque<ConsoleEntry> entries;
    std::size_t reportBytes = 0; // bytes of the report lines among the entries
};

// Queues a report line for standard output, unless that would take the report lines past `bound`
// bytes: then it is dropped and counted in a drop mark at the end of the queue. Returns whether
// it was queued.
bool BacklogAddReport(Backlog *backlog, const char *line, std::size_t length, std::size_t bound);
// Queues text that is never dropped: a failure message, a notice, the rest of a line begun.
void BacklogAddText(Backlog *backlog, Stream stream, const char *text, std::size_t length);
// Takes the oldest entry off a backlog that has one.
ConsoleEntry BacklogTake(Backlog *backlog);
// What standard error says for a drop mark.
std::string DropNotice(std::size_t dropped);

// From now on lines wait for the console thread instead of being written at once. Call it, after
// Allegro is up, just before the console thread starts.
void ConsoleStart();
// The console thread's body: writes the backlog until ConsoleStop, then what is left, and ends.
void *ConsoleThread(ALLEGRO_THREAD *thread, void *argument);
// Lets the console thread end once everything waiting has been written.
void ConsoleStop();

// A report line, `length` bytes ending in its line feed, for standard output.
void ConsoleReport(const char *line, std::size_t length);
// A whole line of text that is never dropped, formatted as printf does.
void ConsoleSay(Stream stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
