#include "app/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "app/config.h"

namespace {

// All of it under `mutex`.
ALLEGRO_MUTEX *mutex = nullptr;
ALLEGRO_COND *wake = nullptr; // the backlog grew, or the console thread is to end
bool running = false;         // the console thread writes; others only queue or try
bool writing = false;         // the console thread has taken an entry and is writing it
bool stopping = false;        // the console thread ends once the backlog is empty

// Made on first use rather than at start-up, where a failed allocation could not be caught.
Backlog &TheBacklog() {
    static Backlog backlog;
    return backlog;
}

// Standard output takes `text` now if nothing waits before it and it can do so without waiting;
// whatever it does not take joins the backlog. Called with the mutex held.
void Offer(const char *text, std::size_t length, bool report) {
    if (TheBacklog().entries.empty() && !writing) {
        const std::size_t taken = PlatformConsoleTryWrite(text, length);
        if (taken == length) {
            return;
        }
        if (taken > 0) {
            // Half a line on the console: its rest must follow before anything else.
            BacklogAddText(&TheBacklog(), Stream::kOut, text + taken, length - taken);
            al_signal_cond(wake);
            return;
        }
    }
    if (report) {
        BacklogAddReport(&TheBacklog(), text, length, kConsoleBacklogBytes);
    } else {
        BacklogAddText(&TheBacklog(), Stream::kOut, text, length);
    }
    al_signal_cond(wake);
}

// Queues `text`, or writes it at once when no console thread runs.
void Put(Stream stream, const char *text, std::size_t length, bool report) {
    if (mutex != nullptr) {
        al_lock_mutex(mutex);
        if (running) {
            if (stream == Stream::kOut) {
                Offer(text, length, report);
            } else {
                BacklogAddText(&TheBacklog(), stream, text, length);
                al_signal_cond(wake);
            }
            al_unlock_mutex(mutex);
            return;
        }
        al_unlock_mutex(mutex);
    }
    PlatformConsoleWrite(stream, text, length);
}

// Standard output takes as much of the entry as it can without waiting, under the lock, and
// whatever it took is off the entry. True when that was all of it. A line written so leaves the
// thread idle the moment the write returns: a channel that comes next (the reader of the line may
// run first and send the next message) then writes at once itself instead of finding the thread
// still busy and queueing behind it, line after line.
bool TakenAtOnce(ConsoleEntry *entry) {
    if (entry->stream != Stream::kOut || entry->text.empty()) {
        return false;
    }
    const std::size_t taken = PlatformConsoleTryWrite(entry->text.data(), entry->text.size());
    entry->text.erase(0, taken);
    return entry->text.empty();
}

void Write(const ConsoleEntry &entry) {
    if (entry.text.empty()) {
        const std::string notice = DropNotice(entry.dropped);
        PlatformConsoleWrite(Stream::kErr, notice.data(), notice.size());
        return;
    }
    PlatformConsoleWrite(entry.stream, entry.text.data(), entry.text.size());
}

} // namespace

bool BacklogAddReport(Backlog *backlog, const char *line, std::size_t length, std::size_t bound) {
    if (backlog->reportBytes + length > bound) {
        if (backlog->entries.empty() || !backlog->entries.back().text.empty()) {
            backlog->entries.push_back({Stream::kErr, false, {}, 0});
        }
        ++backlog->entries.back().dropped;
        return false;
    }
    backlog->entries.push_back({Stream::kOut, true, std::string(line, length), 0});
    backlog->reportBytes += length;
    return true;
}

void BacklogAddText(Backlog *backlog, Stream stream, const char *text, std::size_t length) {
    if (length > 0) {
        backlog->entries.push_back({stream, false, std::string(text, length), 0});
    }
}

ConsoleEntry BacklogTake(Backlog *backlog) {
    ConsoleEntry entry = std::move(backlog->entries.front());
    backlog->entries.pop_front();
    if (entry.report) {
        backlog->reportBytes -= entry.text.size();
    }
    return entry;
}

std::string DropNotice(std::size_t dropped) {
    return std::to_string(dropped) + (dropped == 1 ? " line was" : " lines were") +
           " not shown: standard output was not read in time (" + kLogFileName +
           " has what was logged)\n";
}

void ConsoleStart() {
    mutex = al_create_mutex();
    wake = al_create_cond();
    if (mutex == nullptr || wake == nullptr) {
        return; // then every line is written at once, as before the threads
    }
    al_lock_mutex(mutex);
    running = true;
    al_unlock_mutex(mutex);
}

void *ConsoleThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    if (mutex == nullptr) {
        return nullptr;
    }
    al_lock_mutex(mutex);
    for (;;) {
        while (TheBacklog().entries.empty() && !stopping) {
            al_wait_cond(wake, mutex);
        }
        if (TheBacklog().entries.empty()) {
            break;
        }
        ConsoleEntry entry = BacklogTake(&TheBacklog());
        if (TakenAtOnce(&entry)) {
            continue;
        }
        writing = true;
        // Written without the lock: this is the write that may wait, and the channels must not.
        al_unlock_mutex(mutex);
        Write(entry);
        al_lock_mutex(mutex);
        writing = false;
    }
    running = false;
    al_unlock_mutex(mutex);
    return nullptr;
}

void ConsoleStop() {
    if (mutex == nullptr) {
        return;
    }
    al_lock_mutex(mutex);
    stopping = true;
    al_signal_cond(wake);
    al_unlock_mutex(mutex);
}

void ConsoleReport(const char *line, std::size_t length) {
    Put(Stream::kOut, line, length, true);
}

void ConsoleSay(Stream stream, const char *format, ...) {
    char text[512]; // every message is one short line; a longer one is cut, never overrun
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length > 0) {
        Put(stream, text, std::min(static_cast<std::size_t>(length), sizeof text - 1), false);
    }
}
