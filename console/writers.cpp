// The console's two writers. Standard output's writes the lines and messages that wait for it in
// the order they happened; standard error's writes the messages for a standard error of its own, so
// that no failure waits behind a stalled standard output. Each lets go of the lock for every write
// that may wait.

#include <chrono>
#include <cstring>
#include <string>
#include <utility>

#include "console/console.h"
#include "console/shared.h"

namespace {

// Writes with the lock let go.
ConsoleWrite WriteLockLetGo(std::unique_lock<std::mutex> &lock, Stream stream, const char *text,
                            std::size_t length, std::size_t *written, const char **reason) {
    lock.unlock();
    const ConsoleWrite result = PlatformConsoleWrite(stream, text, length, written, reason);
    lock.lock();
    return result;
}

void WriteErrLockLetGo(std::unique_lock<std::mutex> &lock, const char *text, std::size_t length) {
    std::size_t written = 0;
    const char *reason = "";
    WriteLockLetGo(lock, Stream::kErr, text, length, &written, &reason);
}

// ---- Standard output's writer

// A message for standard error: handed to standard error's writer where standard error is a file
// of its own (which drops and counts it when it has no room), otherwise written in its turn behind
// standard output's lines. Nothing once the end has given up on the writers: it said their last
// words.
void SayOnErr(std::unique_lock<std::mutex> &lock, const char *text, std::size_t length) {
    if (GivenUp()) {
        return;
    }
    if (PlatformStderrApart()) {
        BacklogAdd(&g_console.errBacklog, EntryKind::kErr, text, length);
        g_console.errWriterWanted.notify_one();
        return;
    }
    WriteErrLockLetGo(lock, text, length);
}

void SayOnErr(std::unique_lock<std::mutex> &lock, const std::string &text) {
    SayOnErr(lock, text.data(), text.size());
}

// Counts of what was not shown: handed to standard error's writer where standard error is a file
// of its own, so that no count is lost to its backlog's room; otherwise said in their turn.
void SayCounts(std::unique_lock<std::mutex> &lock, const NotShownCounts &counts) {
    if (!PlatformStderrApart()) {
        SayOnErr(lock, NotShownNotices(counts));
        return;
    }
    NotShownCounts &to = g_console.errToSay;
    to.linesNotRead += counts.linesNotRead;
    to.linesNotWritten += counts.linesNotWritten;
    to.messagesNotRead += counts.messagesNotRead;
    g_console.errWriterWanted.notify_one();
}

// How long until a notice of lines not read may be said again.
std::uint64_t MsUntilNotice() {
    const std::uint64_t now = PlatformTickMs();
    return now >= g_console.nextNoticeMs ? 0 : g_console.nextNoticeMs - now;
}

bool NotReadUnsaid() {
    return g_console.linesNotReadUnsaid > 0 || g_console.outBacklog.messagesDropped > 0;
}

bool NoticeDue() {
    return NotReadUnsaid() && MsUntilNotice() == 0;
}

void SayNotRead(std::unique_lock<std::mutex> &lock) {
    NotShownCounts counts;
    counts.linesNotRead = std::exchange(g_console.linesNotReadUnsaid, 0);
    counts.messagesNotRead = BacklogTakeDroppedMessages(&g_console.outBacklog);
    g_console.nextNoticeMs = PlatformTickMs() + kNoticeIntervalMs;
    SayCounts(lock, counts);
}

void SayNotWritten(std::unique_lock<std::mutex> &lock) {
    if (g_console.linesNotWrittenUnsaid > 0) {
        NotShownCounts counts;
        counts.linesNotWritten = std::exchange(g_console.linesNotWrittenUnsaid, 0);
        SayCounts(lock, counts);
    }
}

// A write of the entry in hand to standard output failed.
void OutFailed(std::unique_lock<std::mutex> &lock, ConsoleWrite result, const char *reason) {
    const ConsoleEntry &hand = g_console.outHand;
    if (result == ConsoleWrite::kGone) {
        g_console.outFares = OutFares::kGone;
        g_console.cutLength = 0;
        SayOnErr(lock, "Standard output was closed by its reader: the lines go on in " +
                           std::string(kLogFileName) + " only\n");
    } else {
        if (hand.offset > 0) {
            // Begun on the console: what is left of it comes first once it takes lines again.
            g_console.cutLength = hand.length - hand.offset;
            std::memcpy(g_console.cut, hand.text + hand.offset, g_console.cutLength);
        }
        if (g_console.outFares == OutFares::kOk) {
            g_console.outFares = OutFares::kFailing;
            SayOnErr(lock, "Could not write standard output: " + std::string(reason) + "\n");
        }
        g_console.linesNotWrittenUnsaid +=
            hand.kind == EntryKind::kReport && hand.offset == 0 ? 1 : 0;
    }
    if (hand.kind == EntryKind::kOut) {
        SayOnErr(lock, hand.text, hand.length); // a message is never lost with its stream
    }
}

// Writes what is left of a line cut before, first. True when that is done.
bool FinishCut(std::unique_lock<std::mutex> &lock, ConsoleWrite *result, const char **reason) {
    if (g_console.cutLength == 0) {
        return true;
    }
    char rest[kLineMax];
    const std::size_t length = g_console.cutLength;
    std::memcpy(rest, g_console.cut, length);
    std::size_t written = 0;
    *result = WriteLockLetGo(lock, Stream::kOut, rest, length, &written, reason);
    g_console.cutLength = *result == ConsoleWrite::kGone ? 0 : length - written;
    std::memmove(g_console.cut, rest + written, g_console.cutLength);
    return *result == ConsoleWrite::kDone;
}

// The entry in hand has been written as far as `offset`; a report line begun is no longer one to
// drop, but one to finish.
void Advance(std::size_t written) {
    ConsoleEntry &hand = g_console.outHand;
    hand.offset += written;
    if (written > 0 && hand.kind == EntryKind::kReport) {
        hand.kind = EntryKind::kRest;
    }
}

// Standard output takes as much of the entry in hand as it can without waiting, under the lock.
// True when that was all of it. A line written so leaves the writer waiting the moment the write
// returns: a channel that comes next (the reader of the line may run first and send the next
// message) then writes at once itself instead of finding the writer still busy and queueing
// behind it, line after line.
bool WriteHandWithoutWaiting() {
    ConsoleEntry &hand = g_console.outHand;
    if (g_console.outFares != OutFares::kOk || g_console.cutLength > 0) {
        return false;
    }
    Advance(PlatformStdoutTryWrite(hand.text + hand.offset, hand.length - hand.offset,
                                   &g_console.outBehind));
    return hand.offset == hand.length;
}

void WriteHandToStdout(std::unique_lock<std::mutex> &lock) {
    const ConsoleEntry &hand = g_console.outHand;
    if (GivenUp()) {
        return; // while a notice before it was written: the last words counted it, or said it
    }
    if (g_console.outFares == OutFares::kGone) {
        if (hand.kind == EntryKind::kOut) {
            SayOnErr(lock, hand.text, hand.length);
        }
        return;
    }
    if (WriteHandWithoutWaiting()) {
        return;
    }
    const char *reason = "";
    ConsoleWrite result = ConsoleWrite::kDone;
    if (FinishCut(lock, &result, &reason)) {
        std::size_t written = 0;
        result = WriteLockLetGo(lock, Stream::kOut, hand.text + hand.offset,
                                hand.length - hand.offset, &written, &reason);
        Advance(written);
    }
    g_console.outBehind = false; // a write that waited has returned, whatever it did
    if (GivenUp()) {
        return; // its last words were said for it
    }
    // Shown, or counted from here on: no longer the end's to count.
    g_console.outWriter = OutWriter::kBusy;
    if (result != ConsoleWrite::kDone) {
        OutFailed(lock, result, reason);
        return;
    }
    if (g_console.outFares == OutFares::kFailing) {
        g_console.outFares = OutFares::kOk;
        SayNotWritten(lock);
    }
}

// Writes the entry in hand.
void WriteHand(std::unique_lock<std::mutex> &lock) {
    const ConsoleEntry &hand = g_console.outHand;
    g_console.linesNotReadUnsaid += hand.linesDroppedBefore;
    // Where the lines would have stood, unless a notice was said just now; a message after them
    // comes after their count in any case where both go to one file (standard error's own writer
    // writes the messages it has before the counts it has).
    const bool message = hand.kind == EntryKind::kOut || hand.kind == EntryKind::kErr;
    if (NoticeDue() || (message && g_console.linesNotReadUnsaid > 0)) {
        SayNotRead(lock);
    }
    if (hand.length == 0) {
        return;
    }
    if (hand.kind == EntryKind::kErr) {
        SayOnErr(lock, hand.text, hand.length);
        return;
    }
    WriteHandToStdout(lock);
}

// Lines cut, not written or dropped, and messages dropped: said before the end, whatever the time.
// True when nothing was queued meanwhile, so that the writer may end.
bool SayLastCounts(std::unique_lock<std::mutex> &lock) {
    const char *reason = "";
    ConsoleWrite result = ConsoleWrite::kDone;
    if (!FinishCut(lock, &result, &reason)) {
        g_console.linesNotWrittenUnsaid += g_console.outFares == OutFares::kGone ? 0 : 1;
        g_console.cutLength = 0; // counted now
    }
    if (NotReadUnsaid()) {
        SayNotRead(lock);
    }
    SayNotWritten(lock);
    return BacklogEmpty(&g_console.outBacklog) && g_console.outBacklog.messagesDropped == 0;
}

// ---- Standard error's writer

bool ErrCountsWaiting() {
    const NotShownCounts &counts = g_console.errToSay;
    return counts.linesNotRead > 0 || counts.linesNotWritten > 0 || counts.messagesNotRead > 0 ||
           g_console.errBacklog.messagesDropped > 0;
}

// The counts handed to standard error's writer, and those of its own messages dropped.
NotShownCounts TakeErrCounts() {
    NotShownCounts counts = std::exchange(g_console.errToSay, {});
    counts.errMessagesNotRead = BacklogTakeDroppedMessages(&g_console.errBacklog);
    return counts;
}

} // namespace

void *ConsoleThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    std::unique_lock lock(g_console.lock);
    while (!GivenUp()) {
        if (NoticeDue()) {
            g_console.outWriter = OutWriter::kBusy;
            SayNotRead(lock);
        } else if (BacklogTake(&g_console.outBacklog, &g_console.outHand)) {
            g_console.outWriter = OutWriter::kHolding;
            WriteHand(lock);
        } else if (g_console.life == Life::kEnding) {
            g_console.outWriter = OutWriter::kBusy;
            if (SayLastCounts(lock)) {
                // Lines come at once from now on, the backlog being empty.
                MoveLife(LifeEvent::kOutWritten);
                break;
            }
        } else {
            g_console.outWriter = OutWriter::kWaiting;
            if (NotReadUnsaid()) {
                g_console.outWriterWanted.wait_for(lock,
                                                   std::chrono::milliseconds(MsUntilNotice()));
            } else {
                g_console.outWriterWanted.wait(lock);
            }
        }
    }
    return nullptr;
}

void *ConsoleErrThread(void * /*argument*/) {
    ConsoleEntry entry{};
    std::unique_lock lock(g_console.lock);
    while (!GivenUp()) {
        if (BacklogTake(&g_console.errBacklog, &entry)) {
            WriteErrLockLetGo(lock, entry.text, entry.length);
        } else if (ErrCountsWaiting()) {
            const std::string notices = NotShownNotices(TakeErrCounts());
            WriteErrLockLetGo(lock, notices.data(), notices.size());
        } else if (g_console.life == Life::kErrEnding) {
            MoveLife(LifeEvent::kErrWritten);
            break;
        } else {
            g_console.errWriterWanted.wait(lock);
        }
    }
    return nullptr;
}
