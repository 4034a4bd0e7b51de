#pragma once

// What the console's callers, its two writers and its end share: one lock and all that it guards.
// No one holds the lock across a write that may wait, so that taking it never waits for long.
// Only console/console.cpp and console/writers.cpp include this.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "console/backlog.h"

// The console's life. NextLife is the one place where it moves on.
enum class Life : std::uint8_t {
    kAtOnce,    // no writer runs yet: callers write their own lines, waiting as long as it takes
    kQueueing,  // the writers run: callers queue lines, or write at once where that never waits
    kEnding,    // asked to end: standard output's writer writes what waits, then ends
    kErrEnding, // standard output's writer has ended: standard error's writes what it has left;
                // callers write their own lines again
    kEnded,     // both writers have ended
    kGivenUp,   // the end gave up on the writers and says their last words; nothing else is written
    kSilent,    // the last words were said
};

enum class LifeEvent : std::uint8_t {
    kStart,         // ConsoleStart
    kEndAsked,      // ConsoleEnd
    kOutWritten,    // standard output's writer wrote, or counted, all that waited for it
    kErrWritten,    // standard error's writer wrote all that waited for it, the other having ended
    kGraceOver,     // ConsoleEnd waited for the writers as long as it may
    kLastWordsSaid, // ConsoleEnd said what the writers left
};

Life NextLife(Life life, LifeEvent event);

// How standard output fares.
enum class OutFares : std::uint8_t {
    kOk,
    kFailing, // its last write failed; each line tries again
    kGone,    // its reader went away: report lines are no longer written, messages go elsewhere
};

// What standard output's writer is at, as the others find it whenever it has let go of the lock.
enum class OutWriter : std::uint8_t {
    kWaiting, // for something to write: nothing of its own comes before a caller's line
    kHolding, // the entry in hand, not yet shown: an end that gives up now counts it
    kBusy,    // something else: a notice, a message for standard error, a line's rest
};

// What standard error has not been told of yet.
struct NotShownCounts {
    std::size_t linesNotRead = 0;       // report lines dropped from a full backlog
    std::size_t linesNotWritten = 0;    // report lines that standard output failed to take
    std::size_t messagesNotRead = 0;    // messages dropped from standard output's full backlog
    std::size_t errMessagesNotRead = 0; // from the full backlog of a standard error of its own
};

// The notices of `counts`, one line for each that is not 0.
std::string NotShownNotices(const NotShownCounts &counts);

struct ConsoleShared {
    std::mutex lock{};                         // guards all of the rest
    std::condition_variable outWriterWanted{}; // an entry, a notice come due, or the end
    std::condition_variable errWriterWanted{}; // a message, counts to say, or the end
    std::condition_variable lifeMoved{};       // what ConsoleEnd waits on
    Life life = Life::kAtOnce;
    Backlog outBacklog; // what waits for standard output's writer: lines, and their messages
    Backlog errBacklog; // what waits for standard error's writer, where it is a file of its own
    OutFares outFares = OutFares::kOk;
    OutWriter outWriter = OutWriter::kWaiting;
    // The last write tried without waiting found standard output's reader behind, and no write
    // that waited has returned since: what is queued now waits for the reader, not for a failure.
    bool outBehind = false;
    ConsoleEntry outHand{}; // the entry that standard output's writer has taken
    // What standard output's writer has not yet said or handed to standard error's writer.
    std::size_t linesNotReadUnsaid = 0;
    std::size_t linesNotWrittenUnsaid = 0;
    std::uint64_t nextNoticeMs = 0; // no notice of lines not read before this tick
    NotShownCounts errToSay{};      // handed to standard error's writer
    // The rest of a line that standard output took only in part before it failed; written first
    // once it takes lines again, so that no line is glued to the piece.
    char cut[kLineMax]{};
    std::size_t cutLength = 0;
};
extern ConsoleShared g_console;

// Moves the console's life on by `event`, and wakes whoever waits for that, under the lock.
void MoveLife(LifeEvent event);
// The end gave up on the writers: they write nothing more.
bool GivenUp();
