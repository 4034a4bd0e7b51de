#include "app/console.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// An entry's header in the backlog: its text's length, its kind and the report lines dropped just
// before it, in one 64-bit word.
constexpr std::size_t kHeaderSize = sizeof(std::uint64_t);
constexpr unsigned kKindShift = 16;
constexpr unsigned kDroppedShift = 24;
constexpr std::uint64_t kDroppedMax = (std::uint64_t{1} << (64 - kDroppedShift)) - 1;

// Standard error says at most this often how many lines a console that is not read missed.
constexpr std::uint64_t kNoticeIntervalMs = 1000;
// How long the last words of a process that ends may wait for standard error.
constexpr int kLastWordsMs = 500;
// The most a message from ConsoleSay takes; a longer one is cut, never overrun.
constexpr std::size_t kSayMax = 512;

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

// How standard output fares.
enum class Out {
    kOk,
    kFailing, // its last write failed; each line tries again
    kGone,    // its reader went away: report lines are no longer written, messages go elsewhere
};

// All of it under `mutex`.
std::mutex mutex;
std::condition_variable wake;  // something to write, the end, or a notice that has come due
std::condition_variable ended; // the console thread has ended, or was given up on
// Never allocated and never freed: a stalled console costs these pages once it has filled them,
// and the thread may still use them while the process ends.
char storage[kConsoleBacklogBytes + kConsoleMessageBytes];
Backlog backlog{storage, sizeof storage, kConsoleBacklogBytes};
bool running = false;   // the console thread writes; others only queue or try at once
bool writing = false;   // the console thread is writing without the lock
bool stopping = false;  // the console thread ends once the backlog is empty
bool finished = false;  // the console thread has ended
bool abandoned = false; // the process ends without waiting for the console thread any more
Out out = Out::kOk;
bool reportInHand = false; // the console thread is writing a report line to standard output
// Report lines not shown that standard error has not been told of yet.
std::size_t unsaidNotRead = 0;    // dropped from a full backlog
std::size_t unsaidNotWritten = 0; // standard output failed to take them
std::uint64_t lastNoticeMs = 0;   // when the last of those was said
bool noticeGiven = false;
// The rest of a line that standard output took only in part before it failed; written first
// once it takes lines again, so that no line is glued to the piece.
char cut[kLineMax];
std::size_t cutLength = 0;

// ---- Writing, by whoever holds `lock` (the lock is let go while the write may wait)

// Writes `text` to `stream`, letting go of the lock meanwhile.
ConsoleWrite WriteUnlocked(std::unique_lock<std::mutex> &lock, Stream stream, const char *text,
                           std::size_t length, std::size_t *written, const char **reason) {
    writing = true;
    lock.unlock();
    const ConsoleWrite result = PlatformConsoleWrite(stream, text, length, written, reason);
    lock.lock();
    writing = false;
    return result;
}

void SayUnlocked(std::unique_lock<std::mutex> &lock, const char *text, std::size_t length) {
    std::size_t written = 0;
    const char *reason = "";
    WriteUnlocked(lock, Stream::kErr, text, length, &written, &reason);
}

void SayUnlocked(std::unique_lock<std::mutex> &lock, const std::string &text) {
    SayUnlocked(lock, text.data(), text.size());
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
    SayUnlocked(lock, notice);
}

void SayNotWritten(std::unique_lock<std::mutex> &lock) {
    if (unsaidNotWritten > 0) {
        const std::string notice = NotShownNotice(unsaidNotWritten, NotShown::kNotWritten);
        unsaidNotWritten = 0;
        SayUnlocked(lock, notice);
    }
}

// A write to standard output failed after `written` bytes of `text`.
void OutFailed(std::unique_lock<std::mutex> &lock, ConsoleWrite result, const ConsoleEntry &entry,
               std::size_t written, const char *reason) {
    if (result == ConsoleWrite::kGone) {
        out = Out::kGone;
        cutLength = 0;
        SayUnlocked(lock, "Standard output was closed by its reader: the lines go on in " +
                              std::string(kLogFileName) + " only\n");
    } else {
        if (written > 0 || entry.kind == EntryKind::kRest) {
            cutLength = entry.length - written;
            std::memcpy(cut, entry.text + written, cutLength);
        }
        if (out == Out::kOk) {
            out = Out::kFailing;
            SayUnlocked(lock, "Could not write standard output: " + std::string(reason) + "\n");
        }
        unsaidNotWritten += entry.kind == EntryKind::kReport && written == 0 ? 1 : 0;
    }
    if (entry.kind == EntryKind::kOut) {
        SayUnlocked(lock, entry.text, entry.length); // a message is never lost with its stream
    }
}

// Writes what is left of a line cut before, first. True when that is done.
bool FinishCut(std::unique_lock<std::mutex> &lock, const char **reason) {
    std::size_t written = 0;
    if (cutLength == 0) {
        return true;
    }
    char rest[kLineMax];
    const std::size_t length = cutLength;
    std::memcpy(rest, cut, length);
    const ConsoleWrite result = WriteUnlocked(lock, Stream::kOut, rest, length, &written, reason);
    if (result == ConsoleWrite::kGone) {
        cutLength = 0;
        return false;
    }
    cutLength = length - written;
    std::memmove(cut, rest + written, cutLength);
    return result == ConsoleWrite::kDone;
}

// Standard output takes as much of the entry as it can without waiting, under the lock, and what
// it took is off the entry. True when that was all of it. A line written so leaves the thread idle
// the moment the write returns: a channel that comes next (the reader of the line may run first
// and send the next message) then writes at once itself instead of finding the thread still busy
// and queueing behind it, line after line.
bool TakenAtOnce(ConsoleEntry *entry) {
    if (out != Out::kOk || cutLength > 0) {
        return false;
    }
    const std::size_t taken = PlatformConsoleTryWrite(entry->text, entry->length);
    std::memmove(entry->text, entry->text + taken, entry->length - taken);
    entry->length -= taken;
    return entry->length == 0;
}

void WriteOut(std::unique_lock<std::mutex> &lock, ConsoleEntry *entry) {
    if (out == Out::kGone) {
        if (entry->kind == EntryKind::kOut) {
            SayUnlocked(lock, entry->text, entry->length);
        }
        return;
    }
    if (TakenAtOnce(entry)) {
        return;
    }
    const char *reason = "";
    std::size_t written = 0;
    ConsoleWrite result = ConsoleWrite::kFailed;
    reportInHand = entry->kind == EntryKind::kReport || entry->kind == EntryKind::kRest;
    if (FinishCut(lock, &reason)) {
        result = WriteUnlocked(lock, Stream::kOut, entry->text, entry->length, &written, &reason);
    } else if (cutLength == 0) {
        result = ConsoleWrite::kGone; // the reader went away while the rest was written
    }
    reportInHand = false;
    if (result != ConsoleWrite::kDone) {
        OutFailed(lock, result, *entry, written, reason);
        return;
    }
    if (out == Out::kFailing) {
        out = Out::kOk;
        SayNotWritten(lock);
    }
}

void Write(std::unique_lock<std::mutex> &lock, ConsoleEntry *entry) {
    unsaidNotRead += entry->droppedBefore;
    // Where the lines would have stood, unless a notice was said just now; a message after them
    // comes after their count in any case.
    const bool message = entry->kind == EntryKind::kOut || entry->kind == EntryKind::kErr;
    if (NoticeDue() || (message && unsaidNotRead > 0)) {
        SayNotRead(lock);
    }
    if (entry->length == 0) {
        return;
    }
    if (entry->kind == EntryKind::kErr) {
        SayUnlocked(lock, entry->text, entry->length);
        return;
    }
    WriteOut(lock, entry);
}

// ---- Queueing, by any thread

// With the lock held and the console thread running.
void Queue(EntryKind kind, const char *text, std::size_t length) {
    if ((kind == EntryKind::kReport || kind == EntryKind::kRest) && out == Out::kGone) {
        return; // nobody will read it, which was said once
    }
    if (kind != EntryKind::kErr && backlog.used == 0 && backlog.droppedAtEnd == 0 && !writing &&
        out == Out::kOk && cutLength == 0) {
        const std::size_t taken = PlatformConsoleTryWrite(text, length);
        if (taken == length) {
            return;
        }
        if (taken > 0) {
            // Half a line on the console: its rest must follow before anything else.
            kind = kind == EntryKind::kReport ? EntryKind::kRest : kind;
            text += taken;
            length -= taken;
        }
    }
    BacklogAdd(&backlog, kind, text, length);
    wake.notify_one();
}

// Writes at once, waiting as long as it takes: no console thread runs.
void WriteNow(EntryKind kind, const char *text, std::size_t length) {
    std::size_t written = 0;
    const char *reason = "";
    if (kind == EntryKind::kErr || (PlatformConsoleWrite(Stream::kOut, text, length, &written,
                                                         &reason) != ConsoleWrite::kDone &&
                                    kind == EntryKind::kOut)) {
        PlatformConsoleWrite(Stream::kErr, text, length, &written, &reason);
    }
}

void Put(EntryKind kind, const char *text, std::size_t length) {
    std::unique_lock lock(mutex);
    if (abandoned) {
        return; // the process is ending; its last words have been said
    }
    if (running) {
        Queue(kind, text, length);
        return;
    }
    lock.unlock();
    WriteNow(kind, text, length);
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
// report lines were not shown, for standard error. The backlog is left empty.
std::string LastWords() {
    std::string words;
    // The line the console thread is held up writing is not shown either.
    std::size_t notRead = unsaidNotRead + (reportInHand ? 1 : 0);
    ConsoleEntry entry{};
    while (BacklogTake(&backlog, &entry)) {
        notRead += entry.droppedBefore;
        if (entry.kind == EntryKind::kReport || entry.kind == EntryKind::kRest) {
            notRead += entry.length > 0 ? 1 : 0;
        } else {
            words.append(entry.text, entry.length);
        }
    }
    if (notRead > 0) {
        words += NotShownNotice(notRead, NotShown::kNotRead);
    }
    const std::size_t notWritten = unsaidNotWritten + (cutLength > 0 ? 1 : 0);
    if (notWritten > 0 && out != Out::kGone) {
        words += NotShownNotice(notWritten, NotShown::kNotWritten);
    }
    return words;
}

} // namespace

std::size_t BacklogCost(std::size_t length) {
    return kHeaderSize + length;
}

bool BacklogAdd(Backlog *backlog, EntryKind kind, const char *text, std::size_t length) {
    length = std::min(length, kLineMax);
    const std::size_t cost = BacklogCost(length);
    if (backlog->used + cost > backlog->capacity ||
        (kind == EntryKind::kReport && backlog->reportUsed + cost > backlog->reportBound)) {
        backlog->droppedAtEnd += 1;
        return false;
    }
    const std::uint64_t dropped = std::min<std::uint64_t>(backlog->droppedAtEnd, kDroppedMax);
    const std::uint64_t header = length |
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
        entry->kind = EntryKind::kReport;
        entry->droppedBefore = backlog->droppedAtEnd;
        entry->length = 0;
        backlog->droppedAtEnd = 0;
        return true;
    }
    std::uint64_t header = 0;
    RingRead(backlog, backlog->head, &header, kHeaderSize);
    entry->length = static_cast<std::size_t>(header & 0xFFFF);
    entry->kind = static_cast<EntryKind>(header >> kKindShift & 0xFF);
    entry->droppedBefore = static_cast<std::size_t>(header >> kDroppedShift);
    RingRead(backlog, backlog->head + kHeaderSize, entry->text, entry->length);
    const std::size_t cost = BacklogCost(entry->length);
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
    ConsoleEntry entry{};
    while (!abandoned) {
        if (NoticeDue()) {
            SayNotRead(lock);
        } else if (BacklogTake(&backlog, &entry)) {
            Write(lock, &entry);
        } else if (stopping) {
            break;
        } else if (unsaidNotRead > 0) {
            wake.wait_for(lock, std::chrono::milliseconds(MsUntilNotice()));
        } else {
            wake.wait(lock);
        }
    }
    if (abandoned) {
        return nullptr; // its last words were said for it
    }
    // Lines cut, not written or dropped: said before the end, whatever the time.
    const char *reason = "";
    if (!FinishCut(lock, &reason)) {
        unsaidNotWritten += out == Out::kGone ? 0 : 1;
    }
    if (unsaidNotRead > 0) {
        SayNotRead(lock);
    }
    SayNotWritten(lock);
    running = false;
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
    if (ended.wait_for(lock, std::chrono::milliseconds(graceMs),
                       [] { return finished || abandoned; }) &&
        finished) {
        return true;
    }
    if (abandoned) {
        return false; // given up on by another caller, who says the last words
    }
    abandoned = true;
    ended.notify_all();
    const std::string words = LastWords();
    lock.unlock();
    PlatformConsoleWriteWithin(Stream::kErr, words.data(), words.size(), kLastWordsMs);
    return false;
}

void ConsoleReport(const char *line, std::size_t length) {
    Put(EntryKind::kReport, line, length);
}

void ConsoleSay(Stream stream, const char *format, ...) {
    char text[kSayMax];
    va_list args;
    va_start(args, format);
    const std::size_t length = Format(text, format, args);
    va_end(args);
    if (length > 0) {
        Put(stream == Stream::kOut ? EntryKind::kOut : EntryKind::kErr, text, length);
    }
}

void ConsoleSayBoth(const char *outLine, const char *errLine) {
    const std::size_t outLength = std::strlen(outLine);
    const std::size_t errLength = std::strlen(errLine);
    std::unique_lock lock(mutex);
    if (abandoned) {
        return;
    }
    if (running) {
        Queue(EntryKind::kOut, outLine, outLength);
        Queue(EntryKind::kErr, errLine, errLength);
        return;
    }
    lock.unlock();
    WriteNow(EntryKind::kOut, outLine, outLength);
    WriteNow(EntryKind::kErr, errLine, errLength);
}
