#include "console/console.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

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

// Standard error says at most this often how many lines a console that is not read missed.
constexpr std::uint64_t kNoticeIntervalMs = 1000;
// How long the last words of a process that ends may wait for standard error.
constexpr int kLastWordsMs = 500;
// The most a message from ConsoleSay takes; a longer one is cut, never overrun.
constexpr std::size_t kSayMax = 512;

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

bool IsReport(EntryKind kind) {
    return kind == EntryKind::kReport || kind == EntryKind::kRest;
}

// How standard output fares.
enum class Out {
    kOk,
    kFailing, // its last write failed; each line tries again
    kGone,    // its reader went away: report lines are no longer written, messages go elsewhere
};

// All of it under `mutex`.
std::mutex mutex;
std::condition_variable wake;  // something to write, the end, or a notice that has come due
std::condition_variable ended; // the console thread ended, or was given up on, or its words said
// Never allocated and never freed: a stalled console costs these pages once it has filled them,
// and the thread may still use them while the process ends.
char storage[kConsoleBacklogBytes + kConsoleMessageBytes];
Backlog backlog{storage, sizeof storage, kConsoleBacklogBytes};
bool running = false;   // the console thread runs: others queue, or write where that never waits
bool closed = false;    // the console thread takes nothing more: lines are written at once
bool writing = false;   // the console thread is writing without the lock
bool stopping = false;  // the console thread ends once the backlog is empty
bool finished = false;  // the console thread has ended
bool abandoned = false; // the process ends without waiting for the console thread any more
bool lastWordsSaid = false;
Out out = Out::kOk;
ConsoleEntry hand{};        // the entry the console thread is writing
bool handHeld = false;      //
std::size_t errWaiting = 0; // messages for standard error that the console thread is to write
// Report lines not shown that standard error has not been told of yet.
std::size_t unsaidNotRead = 0;    // dropped from a full backlog
std::size_t unsaidNotWritten = 0; // standard output failed to take them
std::uint64_t lastNoticeMs = 0;   // when the last of those was said
bool noticeGiven = false;
// The rest of a line that standard output took only in part before it failed; written first
// once it takes lines again, so that no line is glued to the piece.
char cut[kLineMax];
std::size_t cutLength = 0;

// ---- Writing, by the console thread (the lock is let go while a write may wait)

ConsoleWrite WriteUnlocked(std::unique_lock<std::mutex> &lock, Stream stream, const char *text,
                           std::size_t length, std::size_t *written, const char **reason) {
    writing = true;
    lock.unlock();
    const ConsoleWrite result = PlatformConsoleWrite(stream, text, length, written, reason);
    lock.lock();
    writing = false;
    return result;
}

// Standard error, unless the end has given up on this thread and said its last words for it.
void Say(std::unique_lock<std::mutex> &lock, const char *text, std::size_t length) {
    std::size_t written = 0;
    const char *reason = "";
    if (!abandoned) {
        WriteUnlocked(lock, Stream::kErr, text, length, &written, &reason);
    }
}

void Say(std::unique_lock<std::mutex> &lock, const std::string &text) {
    Say(lock, text.data(), text.size());
}

// How long until a notice may be said again.
std::uint64_t MsUntilNotice() {
    const std::uint64_t since = PlatformTickMs() - lastNoticeMs;
    return !noticeGiven || since >= kNoticeIntervalMs ? 0 : kNoticeIntervalMs - since;
}

bool NoticeDue() {
    return unsaidNotRead > 0 && MsUntilNotice() == 0;
}

void SayNotRead(std::unique_lock<std::mutex> &lock) {
    const std::string notice = NotShownNotice(unsaidNotRead, NotShown::kNotRead);
    unsaidNotRead = 0;
    lastNoticeMs = PlatformTickMs();
    noticeGiven = true;
    Say(lock, notice);
}

void SayNotWritten(std::unique_lock<std::mutex> &lock) {
    if (unsaidNotWritten > 0) {
        const std::string notice = NotShownNotice(unsaidNotWritten, NotShown::kNotWritten);
        unsaidNotWritten = 0;
        Say(lock, notice);
    }
}

// A write of the entry in hand to standard output failed.
void OutFailed(std::unique_lock<std::mutex> &lock, ConsoleWrite result, const char *reason) {
    if (result == ConsoleWrite::kGone) {
        out = Out::kGone;
        cutLength = 0;
        Say(lock, "Standard output was closed by its reader: the lines go on in " +
                      std::string(kLogFileName) + " only\n");
    } else {
        if (hand.offset > 0) {
            // Begun on the console: what is left of it comes first once it takes lines again.
            cutLength = hand.length - hand.offset;
            std::memcpy(cut, hand.text + hand.offset, cutLength);
        }
        if (out == Out::kOk) {
            out = Out::kFailing;
            Say(lock, "Could not write standard output: " + std::string(reason) + "\n");
        }
        unsaidNotWritten += hand.kind == EntryKind::kReport && hand.offset == 0 ? 1 : 0;
    }
    if (hand.kind == EntryKind::kOut) {
        Say(lock, hand.text, hand.length); // a message is never lost with its stream
    }
}

// Writes what is left of a line cut before, first. True when that is done.
bool FinishCut(std::unique_lock<std::mutex> &lock, ConsoleWrite *result, const char **reason) {
    if (cutLength == 0) {
        return true;
    }
    char rest[kLineMax];
    const std::size_t length = cutLength;
    std::memcpy(rest, cut, length);
    std::size_t written = 0;
    *result = WriteUnlocked(lock, Stream::kOut, rest, length, &written, reason);
    cutLength = *result == ConsoleWrite::kGone ? 0 : length - written;
    std::memmove(cut, rest + written, cutLength);
    return *result == ConsoleWrite::kDone;
}

// The entry in hand has been written as far as `offset`; a report line begun is no longer one to
// drop, but one to finish.
void Advance(std::size_t written) {
    hand.offset += written;
    if (written > 0 && hand.kind == EntryKind::kReport) {
        hand.kind = EntryKind::kRest;
    }
}

// Standard output takes as much of the entry in hand as it can without waiting, under the lock.
// True when that was all of it. A line written so leaves the thread idle the moment the write
// returns: a channel that comes next (the reader of the line may run first and send the next
// message) then writes at once itself instead of finding the thread still busy and queueing
// behind it, line after line.
bool TakenAtOnce() {
    if (out != Out::kOk || cutLength > 0) {
        return false;
    }
    Advance(
        PlatformConsoleTryWrite(Stream::kOut, hand.text + hand.offset, hand.length - hand.offset));
    return hand.offset == hand.length;
}

void WriteOut(std::unique_lock<std::mutex> &lock) {
    if (out == Out::kGone) {
        if (hand.kind == EntryKind::kOut) {
            Say(lock, hand.text, hand.length);
        }
        return;
    }
    if (TakenAtOnce()) {
        return;
    }
    const char *reason = "";
    ConsoleWrite result = ConsoleWrite::kDone;
    if (FinishCut(lock, &result, &reason)) {
        std::size_t written = 0;
        result = WriteUnlocked(lock, Stream::kOut, hand.text + hand.offset,
                               hand.length - hand.offset, &written, &reason);
        Advance(written);
    }
    // Shown, or counted from here on: no longer the end's to count.
    handHeld = false;
    if (abandoned) {
        return; // its last words were said for it
    }
    if (result != ConsoleWrite::kDone) {
        OutFailed(lock, result, reason);
        return;
    }
    if (out == Out::kFailing) {
        out = Out::kOk;
        SayNotWritten(lock);
    }
}

// Writes the entry in hand.
void Write(std::unique_lock<std::mutex> &lock) {
    unsaidNotRead += hand.droppedBefore;
    // Where the lines would have stood, unless a notice was said just now; a message after them
    // comes after their count in any case.
    const bool message = hand.kind == EntryKind::kOut || hand.kind == EntryKind::kErr;
    if (NoticeDue() || (message && unsaidNotRead > 0)) {
        SayNotRead(lock);
    }
    if (hand.length == 0) {
        return;
    }
    if (hand.kind == EntryKind::kErr) {
        Say(lock, hand.text + hand.offset, hand.length - hand.offset);
        --errWaiting;
        return;
    }
    WriteOut(lock);
}

// Lines cut, not written or dropped: said before the end, whatever the time. True when nothing
// was queued meanwhile, so that the backlog may be closed.
bool SayLastCounts(std::unique_lock<std::mutex> &lock) {
    const char *reason = "";
    ConsoleWrite result = ConsoleWrite::kDone;
    if (!FinishCut(lock, &result, &reason)) {
        unsaidNotWritten += out == Out::kGone ? 0 : 1;
        cutLength = 0; // counted now
    }
    if (unsaidNotRead > 0) {
        SayNotRead(lock);
    }
    SayNotWritten(lock);
    return backlog.used == 0 && backlog.droppedAtEnd == 0;
}

// ---- Queueing, by any thread

// With the lock held and the console thread taking entries. `atOnce`: the text may be written at
// once where nothing waits that must come first. Returns whether it was queued.
bool Queue(EntryKind kind, const char *text, std::size_t length, bool atOnce) {
    if (IsReport(kind) && out == Out::kGone) {
        return false; // nobody will read it, which was said once
    }
    std::size_t offset = 0;
    if (kind == EntryKind::kErr) {
        // At once where standard error is a file of its own and takes it without waiting, so
        // that a failure is not held up behind a stalled standard output.
        offset =
            atOnce && errWaiting == 0 ? PlatformConsoleTryWrite(Stream::kErr, text, length) : 0;
        if (offset == length) {
            return false;
        }
        errWaiting += BacklogAdd(&backlog, kind, text, length, offset) ? 1 : 0;
        wake.notify_one();
        return true;
    }
    // At once only where nothing waits that must come first: the lines before it, and the count
    // of lines dropped before a message.
    if (atOnce && backlog.used == 0 && backlog.droppedAtEnd == 0 && !writing && out == Out::kOk &&
        cutLength == 0 && (kind == EntryKind::kReport || unsaidNotRead == 0)) {
        offset = PlatformConsoleTryWrite(Stream::kOut, text, length);
        if (offset == length) {
            return false;
        }
        kind = offset > 0 && kind == EntryKind::kReport ? EntryKind::kRest : kind;
    }
    BacklogAdd(&backlog, kind, text, length, offset);
    wake.notify_one();
    return true;
}

// Writes at once, waiting as long as it takes: no console thread takes entries.
void WriteNow(EntryKind kind, const char *text, std::size_t length) {
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

// Queues the texts, together, or writes them at once when no console thread takes them.
void Put(std::initializer_list<Text> texts) {
    std::unique_lock lock(mutex);
    if (abandoned) {
        return; // the process is ending; its last words have been said
    }
    const bool queue = running && !closed;
    if (!queue) {
        lock.unlock();
    }
    bool queued = false; // once one of them waits, the others wait behind it, in order
    for (const Text &text : texts) {
        if (queue) {
            queued = Queue(text.kind, text.text, text.length, !queued) || queued;
        } else {
            WriteNow(text.kind, text.text, text.length);
        }
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

// What still waits when the console thread is given up on: the messages among it, then how many
// report lines were not shown, for standard error. What they say is said for good.
std::string LastWords() {
    std::string words;
    std::size_t notRead = unsaidNotRead;
    auto take = [&](const ConsoleEntry &entry) {
        if (entry.length == 0) {
            return;
        }
        if (IsReport(entry.kind)) {
            ++notRead;
        } else {
            // Standard output's message whole, as its stream failed it; standard error's rest.
            const std::size_t from = entry.kind == EntryKind::kErr ? entry.offset : 0;
            words.append(entry.text + from, entry.length - from);
        }
    };
    if (handHeld) {
        take(hand); // held up in its write; the lines dropped before it are counted already
    }
    ConsoleEntry entry{};
    while (BacklogTake(&backlog, &entry)) {
        notRead += entry.droppedBefore;
        take(entry);
    }
    if (notRead > 0) {
        words += NotShownNotice(notRead, NotShown::kNotRead);
    }
    const std::size_t notWritten = unsaidNotWritten + (cutLength > 0 ? 1 : 0);
    if (notWritten > 0 && out != Out::kGone) {
        words += NotShownNotice(notWritten, NotShown::kNotWritten);
    }
    unsaidNotRead = 0;
    unsaidNotWritten = 0;
    cutLength = 0;
    handHeld = false;
    return words;
}

} // namespace

bool BacklogAdd(Backlog *backlog, EntryKind kind, const char *text, std::size_t length,
                std::size_t offset) {
    length = std::min(length, kLineMax);
    offset = std::min(offset, length);
    const std::size_t cost = Cost(length);
    if (backlog->used + cost > backlog->capacity ||
        (kind == EntryKind::kReport && backlog->reportUsed + cost > backlog->reportBound)) {
        backlog->droppedAtEnd += 1;
        return false;
    }
    const std::uint64_t dropped = std::min<std::uint64_t>(backlog->droppedAtEnd, kDroppedMax);
    const std::uint64_t header = length | offset << kLengthBits |
                                 std::uint64_t{static_cast<std::uint8_t>(kind)} << kKindShift |
                                 dropped << kDroppedShift;
    const std::size_t tail = backlog->head + backlog->used;
    RingWrite(backlog, tail, &header, kHeaderSize);
    RingWrite(backlog, tail + kHeaderSize, text, length);
    backlog->used += cost;
    backlog->reportUsed += kind == EntryKind::kReport ? cost : 0;
    backlog->droppedAtEnd = 0;
    return true;
}

bool BacklogTake(Backlog *backlog, ConsoleEntry *entry) {
    if (backlog->used == 0) {
        if (backlog->droppedAtEnd == 0) {
            return false;
        }
        *entry = {EntryKind::kReport, backlog->droppedAtEnd, 0, 0, {}};
        backlog->droppedAtEnd = 0;
        return true;
    }
    std::uint64_t header = 0;
    RingRead(backlog, backlog->head, &header, kHeaderSize);
    entry->length = static_cast<std::size_t>(header & kLengthMask);
    entry->offset = static_cast<std::size_t>(header >> kLengthBits & kLengthMask);
    entry->kind = static_cast<EntryKind>(header >> kKindShift & 0x3);
    entry->droppedBefore = static_cast<std::size_t>(header >> kDroppedShift);
    RingRead(backlog, backlog->head + kHeaderSize, entry->text, entry->length);
    const std::size_t cost = Cost(entry->length);
    backlog->head = (backlog->head + cost) % backlog->capacity;
    backlog->used -= cost;
    backlog->reportUsed -= entry->kind == EntryKind::kReport ? cost : 0;
    return true;
}

std::string NotShownNotice(std::size_t count, NotShown why) {
    return std::to_string(count) + (count == 1 ? " line was" : " lines were") + " not shown: " +
           (why == NotShown::kNotRead ? "standard output was not read in time"
                                      : "standard output could not be written") +
           " (" + kLogFileName + " has what was logged)\n";
}

void ConsoleStart() {
    const std::lock_guard lock(mutex);
    running = true;
}

void *ConsoleThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    std::unique_lock lock(mutex);
    while (!abandoned) {
        if (NoticeDue()) {
            SayNotRead(lock);
        } else if (BacklogTake(&backlog, &hand)) {
            handHeld = true;
            Write(lock);
            handHeld = false;
        } else if (stopping) {
            if (SayLastCounts(lock)) {
                break;
            }
        } else if (unsaidNotRead > 0) {
            wake.wait_for(lock, std::chrono::milliseconds(MsUntilNotice()));
        } else {
            wake.wait(lock);
        }
    }
    if (abandoned) {
        return nullptr; // its last words were said for it
    }
    // Lines come at once from now on, the backlog being empty.
    closed = true;
    finished = true;
    ended.notify_all();
    return nullptr;
}

bool ConsoleEnd(int graceMs) {
    std::unique_lock lock(mutex);
    if (!running) {
        return finished;
    }
    stopping = true;
    wake.notify_one();
    ended.wait_for(lock, std::chrono::milliseconds(graceMs), [] { return finished || abandoned; });
    if (finished) {
        return true;
    }
    if (abandoned) {
        // Given up on by another caller, who says the last words: they come before the end.
        ended.wait_for(lock, std::chrono::milliseconds(2 * kLastWordsMs),
                       [] { return lastWordsSaid; });
        return false;
    }
    abandoned = true;
    ended.notify_all();
    const std::string words = LastWords();
    lock.unlock();
    PlatformConsoleWriteWithin(Stream::kErr, words.data(), words.size(), kLastWordsMs);
    lock.lock();
    lastWordsSaid = true;
    ended.notify_all();
    return false;
}

void ConsoleReport(const char *line, std::size_t length) {
    Put({{EntryKind::kReport, line, length}});
}

void ConsoleSay(Stream stream, const char *format, ...) {
    char text[kSayMax];
    va_list args;
    va_start(args, format);
    const std::size_t length = Format(text, format, args);
    va_end(args);
    if (length > 0) {
        Put({{stream == Stream::kOut ? EntryKind::kOut : EntryKind::kErr, text, length}});
    }
}

void ConsoleSayBoth(const char *outLine, const char *errLine) {
    Put({{EntryKind::kOut, outLine, std::strlen(outLine)},
         {EntryKind::kErr, errLine, std::strlen(errLine)}});
}
