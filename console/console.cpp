// The console's callers and its end: lines are queued for the writers (console/writers.cpp), or
// written at once where that never waits or where no writer takes them; the end waits for the
// writers a while and then says what they left.

#include "console/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "console/shared.h"

namespace {

// Never allocated and never freed: a stalled console costs these pages once it has filled them,
// and the writers may still use them while the process ends.
char outStorage[kConsoleBacklogBytes + kConsoleMessageBytes];
char errStorage[kConsoleErrorBytes];

} // namespace

ConsoleShared g_console{
    .outBacklog = {outStorage, sizeof outStorage, kConsoleBacklogBytes},
    .errBacklog = {errStorage, sizeof errStorage, 0}, // messages only
};

Life NextLife(Life life, LifeEvent event) {
    switch (event) {
    case LifeEvent::kStart:
        return life == Life::kAtOnce ? Life::kQueueing : life;
    case LifeEvent::kEndAsked:
        return life == Life::kQueueing ? Life::kEnding : life;
    case LifeEvent::kOutWritten:
        return life == Life::kEnding ? Life::kErrEnding : life;
    case LifeEvent::kErrWritten:
        return life == Life::kErrEnding ? Life::kEnded : life;
    case LifeEvent::kGraceOver:
        return life == Life::kEnding || life == Life::kErrEnding ? Life::kGivenUp : life;
    case LifeEvent::kLastWordsSaid:
        return life == Life::kGivenUp ? Life::kSilent : life;
    }
    return life;
}

void MoveLife(LifeEvent event) {
    g_console.life = NextLife(g_console.life, event);
    g_console.outWriterWanted.notify_one();
    g_console.errWriterWanted.notify_one();
    g_console.lifeMoved.notify_all();
}

bool GivenUp() {
    return g_console.life == Life::kGivenUp || g_console.life == Life::kSilent;
}

std::string NotShownNotice(std::size_t count, NotShown why) {
    const char *because = "standard output was not read in time";
    if (why == NotShown::kNotWritten) {
        because = "standard output could not be written";
    } else if (why == NotShown::kErrMessagesNotRead) {
        because = "standard error was not read in time";
    }
    const bool lines = why == NotShown::kNotRead || why == NotShown::kNotWritten;
    const std::string notice = std::to_string(count) + (lines ? " line" : " message") +
                               (count == 1 ? " was" : "s were") + " not shown: " + because;
    // The log has the report lines, not the messages.
    return notice + (lines ? " (" + std::string(kLogFileName) + " has what was logged)\n" : "\n");
}

std::string NotShownNotices(const NotShownCounts &counts) {
    std::string notices;
    for (const auto &[count, why] :
         {std::pair{counts.linesNotRead, NotShown::kNotRead},
          std::pair{counts.messagesNotRead, NotShown::kMessagesNotRead},
          std::pair{counts.linesNotWritten, NotShown::kNotWritten},
          std::pair{counts.errMessagesNotRead, NotShown::kErrMessagesNotRead}}) {
        notices += count > 0 ? NotShownNotice(count, why) : "";
    }
    return notices;
}

namespace {

// ---- Callers

// Nothing waits that must come before a line of `kind` for standard output: the lines before it,
// and the count of lines dropped before a message.
bool NothingWaitsBefore(EntryKind kind) {
    return BacklogEmpty(&g_console.outBacklog) && g_console.outWriter == OutWriter::kWaiting &&
           g_console.outFares == OutFares::kOk && g_console.cutLength == 0 &&
           (kind == EntryKind::kReport || g_console.linesNotReadUnsaid == 0);
}

// While standard output fails, the messages that wait for it are turned over to standard error in
// their turn: a message for standard error then waits behind them, so that a failure's lines stay
// in the order they were said.
bool MessagesMayGoToErrBefore() {
    return g_console.outFares != OutFares::kOk &&
           !(BacklogEmpty(&g_console.outBacklog) && g_console.outWriter == OutWriter::kWaiting);
}

// The writers to wake once the lock is let go, so that a writer that wakes finds it free and the
// caller does not wait to give it back.
struct Wakes {
    bool outWriter = false;
    bool errWriter = false;
};

// With the lock held and the writers taking entries: a message for a standard error of its own goes
// to standard error's writer, unless it stands `behind` a message that may yet be turned over to
// standard error, or behind messages that a failing standard output will turn over; the rest is
// written at once where standard output takes it without waiting and nothing waits that must come
// first, and is otherwise queued for standard output's writer. Returns whether what comes next
// stands behind it: when it was queued for a standard output that may fail it, not for one whose
// reader is behind, whose wait no failure is held up by. Where the platform cannot tell a reader
// behind, the order is kept.
bool TryWriteOrQueue(EntryKind kind, const char *text, std::size_t length, bool behind,
                     Wakes *wakes) {
    if (IsReport(kind) && g_console.outFares == OutFares::kGone) {
        return false; // nobody will read it, which was said once
    }
    if (kind == EntryKind::kErr && PlatformStderrApart() && !behind &&
        !MessagesMayGoToErrBefore()) {
        BacklogAdd(&g_console.errBacklog, kind, text, length);
        wakes->errWriter = true;
        return false;
    }
    std::size_t offset = 0;
    if (kind != EntryKind::kErr && !behind && NothingWaitsBefore(kind)) {
        offset = PlatformStdoutTryWrite(text, length, &g_console.outBehind);
        if (offset == length) {
            return false;
        }
        kind = offset > 0 && kind == EntryKind::kReport ? EntryKind::kRest : kind;
    }
    BacklogAdd(&g_console.outBacklog, kind, text, length, offset);
    wakes->outWriter = true;
    return !(g_console.outBehind && g_console.outFares == OutFares::kOk);
}

// Writes at once, waiting as long as it takes: no writer takes lines. A message that standard
// output fails to take goes to standard error.
void WriteWaiting(EntryKind kind, const char *text, std::size_t length) {
    std::size_t written = 0;
    const char *reason = "";
    if (kind == EntryKind::kErr || (PlatformConsoleWrite(Stream::kOut, text, length, &written,
                                                         &reason) != ConsoleWrite::kDone &&
                                    kind == EntryKind::kOut)) {
        PlatformConsoleWrite(Stream::kErr, text, length, &written, &reason);
    }
}

struct Text {
    EntryKind kind;
    const char *text;
    std::size_t length;
};

// Queues the texts, together, or writes them at once when standard output's writer takes none.
void QueueOrWrite(std::initializer_list<Text> texts) {
    std::unique_lock lock(g_console.lock);
    if (GivenUp()) {
        return; // the process is ending; its last words have been said
    }
    if (g_console.life != Life::kQueueing && g_console.life != Life::kEnding) {
        lock.unlock();
        for (const Text &text : texts) {
            WriteWaiting(text.kind, text.text, text.length);
        }
        return;
    }
    Wakes wakes;
    bool behind = false; // once one of them waits, the others wait behind it, in order
    for (const Text &text : texts) {
        behind = TryWriteOrQueue(text.kind, text.text, text.length, behind, &wakes) || behind;
    }
    lock.unlock();
    if (wakes.outWriter) {
        g_console.outWriterWanted.notify_one();
    }
    if (wakes.errWriter) {
        g_console.errWriterWanted.notify_one();
    }
}

// Formats a message of at most kSayMax bytes into `text`, ending in its line feed also when cut.
std::size_t Format(char (&text)[kSayMax], const char *format, va_list args) {
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length <= 0) {
        return 0;
    }
    if (static_cast<std::size_t>(length) < sizeof text) {
        return static_cast<std::size_t>(length);
    }
    text[sizeof text - 2] = '\n';
    return sizeof text - 1;
}

// ---- The end

// What the writers leave when the end gives up on them, for standard error: the messages that wait
// for standard error's writer, then those among what waits for standard output's, then how many
// lines and messages were not shown. What it says is said for good. The writers' writes under way
// are theirs: a message that standard error's writer is held up writing is not said again.
std::string LastWords() {
    std::string words;
    NotShownCounts counts = std::exchange(g_console.errToSay, {});
    ConsoleEntry entry{};
    while (BacklogTake(&g_console.errBacklog, &entry)) {
        words.append(entry.text, entry.length);
    }
    counts.errMessagesNotRead += BacklogTakeDroppedMessages(&g_console.errBacklog);
    counts.linesNotRead += std::exchange(g_console.linesNotReadUnsaid, 0);
    auto take = [&](const ConsoleEntry &taken) {
        if (IsReport(taken.kind)) {
            counts.linesNotRead += taken.length > 0 ? 1 : 0;
        } else {
            words.append(taken.text, taken.length); // a message whole, as its stream failed it
        }
    };
    if (g_console.outWriter == OutWriter::kHolding) {
        take(g_console.outHand); // the lines dropped before it are counted already
    }
    while (BacklogTake(&g_console.outBacklog, &entry)) {
        counts.linesNotRead += entry.linesDroppedBefore;
        take(entry);
    }
    counts.messagesNotRead += BacklogTakeDroppedMessages(&g_console.outBacklog);
    const std::size_t notWritten = std::exchange(g_console.linesNotWrittenUnsaid, 0) +
                                   (std::exchange(g_console.cutLength, 0) > 0 ? 1 : 0);
    counts.linesNotWritten += g_console.outFares == OutFares::kGone ? 0 : notWritten;
    return words + NotShownNotices(counts);
}

} // namespace

void ConsoleStart() {
    const std::lock_guard lock(g_console.lock);
    MoveLife(LifeEvent::kStart);
}

bool ConsoleEnd(int graceMs) {
    // Nobody holds the lock across a write that may wait: it is taken at once.
    std::unique_lock lock(g_console.lock);
    MoveLife(LifeEvent::kEndAsked);
    g_console.lifeMoved.wait_for(lock, std::chrono::milliseconds(graceMs), [] {
        return g_console.life != Life::kEnding && g_console.life != Life::kErrEnding;
    });
    switch (g_console.life) {
    case Life::kEnded:
        return true;
    case Life::kGivenUp:
        // Given up on by another caller, who says the last words: they come before the end.
        g_console.lifeMoved.wait_for(lock, std::chrono::milliseconds(2 * kLastWordsMs),
                                     [] { return g_console.life == Life::kSilent; });
        return false;
    case Life::kEnding:
    case Life::kErrEnding:
        break; // the grace is over
    default:
        return false; // never started, or its last words were said
    }
    MoveLife(LifeEvent::kGraceOver);
    const std::string words = LastWords();
    lock.unlock();
    PlatformConsoleWriteWithin(Stream::kErr, words.data(), words.size(), kLastWordsMs);
    lock.lock();
    MoveLife(LifeEvent::kLastWordsSaid);
    return false;
}

void ConsoleReport(const char *line, std::size_t length) {
    QueueOrWrite({{EntryKind::kReport, line, length}});
}

void ConsoleSay(Stream stream, const char *format, ...) {
    char text[kSayMax];
    va_list args;
    va_start(args, format);
    const std::size_t length = Format(text, format, args);
    va_end(args);
    if (length > 0) {
        QueueOrWrite({{stream == Stream::kOut ? EntryKind::kOut : EntryKind::kErr, text, length}});
    }
}

void ConsoleSayBoth(const char *outLine, const char *errLine) {
    QueueOrWrite({{EntryKind::kOut, outLine, std::strlen(outLine)},
                  {EntryKind::kErr, errLine, std::strlen(errLine)}});
}
