#pragma once

// Everything chanlog writes to standard output and standard error once its threads run. Nothing
// that calls in here waits for the console: a line is written at once where standard output takes
// it without waiting, and otherwise waits in a backlog of fixed size for standard output's writer,
// which writes the lines in the order they happened. Where standard error is a file of its own, its
// messages wait for a writer of their own instead, so that they never wait behind standard output;
// where the two are one file (2>&1, a terminal), they keep their order behind standard output's
// lines. Report lines that would overflow the backlog are dropped and counted, and so are messages,
// apart; standard error says how many, at most about once a second. When standard output fails,
// standard error says so once, gets the failure messages meant for standard output, and later says
// how many report lines were not shown. Before ConsoleStart and after standard output's writer
// ends, lines are written at once, waiting as long as it takes.

#include <allegro5/allegro.h>

#include <cstddef>
#include <string>

#include "platform/platform.h"

// Why lines or messages were not shown.
enum class NotShown {
    kNotRead,            // report lines that standard output did not take in time
    kNotWritten,         // report lines that standard output failed to take
    kMessagesNotRead,    // messages that standard output did not take in time
    kErrMessagesNotRead, // messages that a standard error of its own did not take in time
};
// What standard error says of `count` lines or messages not shown.
std::string NotShownNotice(std::size_t count, NotShown why);

// From now on lines wait for the writers instead of being written at once. Call it just before the
// writer threads start.
void ConsoleStart();
// Standard output's writer, a thread's body: writes what waits until ConsoleEnd, then what is left,
// and ends.
void *ConsoleThread(ALLEGRO_THREAD *thread, void *argument);
// Standard error's writer, the body of a detached thread (al_run_detached_thread), which may start
// before ConsoleStart: where standard error is a file of its own, writes the messages for it until
// ConsoleEnd, then what is left once standard output's writer has ended, and ends. Never joined:
// an end that gives up on the writers lets it end, or leaves it in its write, while the process
// ends.
void *ConsoleErrThread(void *argument);
// Lets the writers write what waits and end, and waits for that for at most `graceMs`: the process
// is about to end, and must end whatever its console does. What has not been written by then stays
// unwritten: standard error gets the messages among it and how many lines and messages were not
// shown, if it takes them within a short while. A second caller waits until the first has said
// that. True when both writers have ended, and ConsoleThread's can be joined; false when one may
// still be held in a write.
bool ConsoleEnd(int graceMs);

// A report line, `length` bytes ending in its line feed, for standard output.
void ConsoleReport(const char *line, std::size_t length);
// A whole line of text, formatted as printf does.
void ConsoleSay(Stream stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
// A failure in two whole lines that stand together, whatever else is written meanwhile: `out` for
// standard output, then `err` for standard error.
void ConsoleSayBoth(const char *out, const char *err);
