#include "channels/log.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "channels/globals.h"
#include "config/config.h"
#include "console/console.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest path said in a message; a longer one is cut.
constexpr std::size_t kPathMax = 4096;

// Held by channel 2 while it writes a line, and taken for good by the end of the process, which
// thereby falls between two lines.
std::timed_mutex appending;

// Under `mutex`: which file g_logFile is (channel 2 changes it only with the lock held, and reads
// it without, being the one that changes it), and what the other threads need of the log.
std::mutex mutex;
std::condition_variable wake;   // lines were written, the log was closed, or a sync is wanted now
std::condition_variable synced; // a sync has ended
bool dirty = false;             // lines were written since the last sync
bool closed = false;
bool urgent = false;       // the process ends: a sync now, not a second after the last
bool syncerWaits = false;  // the sync thread waits for lines, and is woken for the first of them
std::uint64_t begun = 0;   // syncs begun
std::uint64_t ended = 0;   // syncs ended
std::vector<LogFile> left; // files moved away, to be put on the disk and closed
unsigned long missing = 0; // lines the log did not take since it last took one

// Channel 2's: whether the log's name is watched, so that a line need not look at it each time,
// and whether the next line looks all the same.
bool watchTried = false;
bool watched = false;
bool lookAgain = true;

void SayFailure(const char *reason) {
    ConsoleSay(Stream::kErr, "Could not write %s: %s\n", kLogFileName, reason);
}

void SayMissing(unsigned long count) {
    if (count > 0) {
        ConsoleSay(Stream::kErr, "%s is missing %lu line%s that could not be written\n",
                   kLogFileName, count, count == 1 ? "" : "s");
    }
}

// Whether the log's name still stands for g_logFile: looked up only when the watch says it may
// not, or before every line where there is no watch.
bool NameStandsForTheLog() {
    if (!watchTried) {
        watchTried = true;
        watched = PlatformWatchLog(kLogFileName);
    }
    // The watch is read each time, so that no old news is left for a later line to trip on.
    if (!PlatformLogMayHaveMoved() && watched && !lookAgain) {
        return true;
    }
    lookAgain = false;
    return !PlatformLogMoved(&g_logFile, kLogFileName);
}

// Makes sure that g_logFile is the file the log's name stands for: when it was moved away or
// removed, logging goes on in a file of that name, as it is or created, never emptied (a rotator
// may have made it fresh), and locked as at start-up. False when there is none to write.
bool Follow(const char **reason) {
    if (NameStandsForTheLog()) {
        return true;
    }
    LogFile next = kNoLogFile;
    const LogOpen opened = PlatformOpenLog(kLogFileName, false, &next, reason);
    if (opened != LogOpen::kOpened) {
        // Not the file written, and no other: each line looks again until there is one.
        lookAgain = true;
        *reason = opened == LogOpen::kInUse ? "in use by another process" : *reason;
        return false;
    }
    {
        // The file moved away holds the last lines before the move: the sync thread puts it on
        // the disk, as it would have, before it closes it.
        const std::lock_guard lock(mutex);
        // Nobody's log any more, it may come back under the log's name: it keeps no lock.
        PlatformUnlockLog(&g_logFile);
        left.push_back(g_logFile);
        g_logFile = next;
        dirty = true;
        if (syncerWaits) {
            wake.notify_one();
        }
    }
    // The new file is watched from now on; it may have been moved between its opening and its
    // watch, so the next line looks once more.
    watched = PlatformWatchLog(kLogFileName);
    lookAgain = true;
    char where[kPathMax];
    PlatformFullPath(kLogFileName, where, sizeof where);
    ConsoleSay(Stream::kErr, "%s was moved or removed: logging goes on in %s\n", kLogFileName,
               where);
    return true;
}

// Puts `file` on the disk, and closes it when it is one moved away. False when the sync failed.
bool Sync(LogFile *file, bool close, const char **reason) {
    const bool done = PlatformSyncLog(file, reason) == 0;
    if (close) {
        const char *ignored = ""; // its lines are all in it; what closing could say is too late
        PlatformCloseLog(file, &ignored);
    }
    return done;
}

} // namespace

void LogWrite(const char *line, std::size_t length) {
    const char *reason = "";
    std::unique_lock append(appending);
    const bool written =
        Follow(&reason) && PlatformLogAppend(&g_logFile, line, length, &reason) == 0;
    unsigned long count = 0;
    bool first = false;
    {
        // Counted before the append lock is let go, which an end of the process may be waiting
        // for: the count it says has this line in it.
        const std::lock_guard lock(mutex);
        if (written) {
            dirty = true;
            if (syncerWaits) {
                wake.notify_one();
            }
            count = missing;
            missing = 0;
        } else {
            first = missing++ == 0;
        }
    }
    append.unlock();
    if (written) {
        SayMissing(count);
    } else if (first) {
        SayFailure(reason); // once, until the log takes lines again
    }
}

void LogClose() {
    LogFile file = kNoLogFile;
    unsigned long count = 0;
    bool unsynced = false;
    {
        const std::lock_guard lock(mutex);
        std::swap(file, g_logFile);
        closed = true;
        wake.notify_one();
        count = missing;
        missing = 0;
        unsynced = dirty;
    }
    SayMissing(count);
    // On the disk before it is let go of: the receive loop has ended, so nothing waits for it. A
    // sync that the sync thread has begun finishes in that thread, which main waits for.
    const char *reason = "";
    const bool synced = !unsynced || PlatformSyncLog(&file, &reason) == 0;
    const bool closedWell = PlatformCloseLog(&file, &reason) == 0;
    if ((!synced || !closedWell) && count == 0) {
        SayFailure(reason); // unless its failure has been said already
    }
}

void LogEnd(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Never given back: the process ends between two lines, not in the middle of one. A write
    // that the disk holds up longer than that is cut off all the same.
    (void)appending.try_lock_until(deadline);
    std::unique_lock lock(mutex);
    const unsigned long count = missing;
    missing = 0;
    if (!closed) {
        dirty = true;
        urgent = true;
        wake.notify_one();
        const std::uint64_t after = begun;
        synced.wait_until(lock, deadline, [after] { return ended > after || closed; });
    }
    lock.unlock();
    SayMissing(count);
}

void *LogSyncThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    std::unique_lock lock(mutex);
    Clock::time_point last{};
    bool failing = false;
    for (;;) {
        syncerWaits = true;
        wake.wait(lock, [] { return dirty || closed; });
        syncerWaits = false;
        // At most one sync a second: lines that come meanwhile go with the next.
        wake.wait_until(lock, last + std::chrono::seconds(1), [] { return closed || urgent; });
        dirty = false;
        ++begun;
        LogFile copy = kNoLogFile;
        const bool duplicated = !closed && PlatformDuplicateLog(&g_logFile, &copy) == 0;
        std::vector<LogFile> moved;
        moved.swap(left);
        const bool closing = closed; // closing puts the open log on the disk itself
        lock.unlock();
        const char *reason = "";
        bool done = !duplicated || Sync(&copy, true, &reason);
        for (LogFile &file : moved) {
            done = Sync(&file, true, &reason) && done;
        }
        if (!done && !failing) {
            ConsoleSay(Stream::kErr, "Could not put %s on the disk: %s\n", kLogFileName, reason);
        }
        failing = !done;
        lock.lock();
        ++ended;
        urgent = false;
        synced.notify_all();
        last = Clock::now();
        if (closing) {
            return nullptr;
        }
    }
}
