#include "channels/log.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app/config.h"
#include "app/console.h"
#include "app/globals.h"

namespace {

using Clock = std::chrono::steady_clock;

// The longest path said in a message; a longer one is cut.
constexpr std::size_t kPathMax = 4096;

// Under `mutex`: which file g_logFile is (channel 2 changes it only with the lock held, and reads
// it without, being the one that changes it), and what the other threads need of the log.
std::mutex mutex;
std::condition_variable wake; // lines were written, or the log was closed
bool dirty = false;           // lines were written since the last sync
bool closed = false;
bool syncerWaits = false;  // the sync thread waits for lines, and is woken for the first of them
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

// Makes sure that g_logFile is the file the log's name stands for: when it was moved away or
// removed, logging goes on in a file of that name, as it is or created, never emptied (a rotator
// may have made it fresh), and locked as at start-up. False when there is none to write.
// Whether the log's name still stands for g_logFile: looked up only when the watch says it may
// not, or before every line where there is no watch.
bool NameStandsForTheLog() {
    if (!watchTried) {
        watchTried = true;
        watched = PlatformWatchLog(kLogFileName);
    }
    if (watched && !lookAgain && !PlatformLogMayHaveMoved()) {
        return true;
    }
    lookAgain = false;
    return !PlatformLogMoved(&g_logFile, kLogFileName);
}

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
    LogFile moved = next;
    {
        const std::lock_guard lock(mutex);
        std::swap(moved, g_logFile);
    }
    // Its lines are all in it; what closing it could say of them has nowhere to go any more.
    const char *ignored = "";
    PlatformCloseLog(&moved, &ignored);
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

} // namespace

void LogWrite(const char *line, std::size_t length) {
    const char *reason = "";
    const bool written =
        Follow(&reason) && PlatformLogAppend(&g_logFile, line, length, &reason) == 0;
    std::unique_lock lock(mutex);
    if (written) {
        dirty = true;
        if (syncerWaits) {
            wake.notify_one();
        }
        const unsigned long count = missing;
        missing = 0;
        lock.unlock();
        SayMissing(count);
        return;
    }
    const bool first = missing++ == 0;
    lock.unlock();
    if (first) {
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

void LogSayMissing() {
    std::unique_lock lock(mutex);
    const unsigned long count = missing;
    missing = 0;
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
        wake.wait_until(lock, last + std::chrono::seconds(1), [] { return closed; });
        if (closed) {
            return nullptr; // closing puts it on the disk itself
        }
        dirty = false;
        LogFile copy = kNoLogFile;
        const bool duplicated = PlatformDuplicateLog(&g_logFile, &copy) == 0;
        lock.unlock();
        const char *reason = "";
        const bool synced = !duplicated || PlatformSyncLog(&copy, &reason) == 0;
        PlatformCloseLog(&copy, &reason);
        if (!synced && !failing) {
            ConsoleSay(Stream::kErr, "Could not put %s on the disk: %s\n", kLogFileName, reason);
        }
        failing = !synced;
        lock.lock();
        last = Clock::now();
    }
}
