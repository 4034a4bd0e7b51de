#include "channels/log.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "channels/globals.h"
#include "channels/log_rules.h"
#include "config/config.h"
#include "console/console.h"

namespace {

using Clock = std::chrono::steady_clock;

// The log's full path, taken once at start: a folder removed and made again at the same path gets
// the log again, which a name relative to the removed working folder never would.
char logPath[kPathMax] = "";

// Held by channel 2 from a line's write to the log until it has been offered to the console, and
// taken for good by the end of the process, which thereby falls between two lines.
std::timed_mutex lineLock;

// Where the log is in its life: channel 2 closes it, putting it on the disk itself (kClosing),
// then lets go of it (kClosed).
enum class Life { kOpen, kClosing, kClosed };

// What the sync thread does: a line wakes it only while it waits for lines, so that the lines that
// come while it waits out its interval or syncs cost no wake-up.
enum class Syncer { kWaitsForLines, kWaitsOutTheInterval, kSyncs };

// Under `stateLock`: which file g_logFile is (channel 2 changes it only with the lock held, and
// reads it without, being the one that changes it), and what the threads need of each other.
std::mutex stateLock;
std::condition_variable syncerWake; // lines were written, the log is closing, or the end is near
std::condition_variable syncEnded;  // a sync has ended, or the log was let go of
Life life = Life::kOpen;
Syncer syncer = Syncer::kWaitsForLines;
// Syncs are numbered as they begin, from 1. What must reach the disk asks for a number: that of
// the next sync to begin, never one already running, which may have begun before it was written.
std::uint64_t syncsBegun = 0;
std::uint64_t syncsEnded = 0; // the number of the last sync that ended
std::uint64_t linesWant = 0;  // the sync that has every line written so far; due while past begun
std::uint64_t endWants = 0;   // the same, asked for by the end of the process: due at once
bool syncFailing = false;     // the last sync failed, which was said
std::vector<LogFile> left;    // files moved away, to be put on the disk and closed
unsigned long missing = 0;    // lines the log did not take since it last took one
std::uint64_t failureSaidMs = 0; // the tick when a failure to write was last said

// Channel 2's: whether the log's name is watched, so that a line need not look at it each time,
// and whether the next line looks all the same.
bool watchTried = false;
bool watched = false;
bool lookAgain = true;
bool rotatorWaitedFor = false; // since the log was last followed

// Under `stateLock`, like the count it says, so that an end of the process never finds the count
// taken and not yet said.
void SayMissing(unsigned long count) {
    if (count > 0) {
        ConsoleSay(Stream::kErr, "%s is missing %lu line%s that could not be written\n",
                   kLogFileName, count, count == 1 ? "" : "s");
    }
}

// A line that the log did not take: counted, and said when it begins a spell of failures, and again
// with the count so far while the spell goes on. Under `stateLock`.
void Missed(const char *reason) {
    const std::uint64_t now = PlatformTickMs();
    switch (LogFailureNotice(missing++, failureSaidMs, now)) {
    case FailureNotice::kNone:
        return;
    case FailureNotice::kFirst:
        ConsoleSay(Stream::kErr, "Could not write %s: %s\n", kLogFileName, reason);
        break;
    case FailureNotice::kAgain:
        ConsoleSay(Stream::kErr,
                   "Could not write %s: %s (still failing: %lu lines missing so far)\n",
                   kLogFileName, reason, missing);
        break;
    }
    failureSaidMs = now;
}

// Lines went to a file that is not on the disk yet: the next sync to begin is due. Under
// `stateLock`.
void LinesWritten() {
    linesWant = syncsBegun + 1;
    if (syncer == Syncer::kWaitsForLines) {
        syncerWake.notify_one();
    }
}

// Whether the log's name still stands for g_logFile: looked up only when the watch says it may
// not, or before every line where there is no watch.
bool NameStandsForTheLog() {
    if (!watchTried) {
        watchTried = true;
        watched = PlatformWatchLog(logPath) == 0;
    }
    // The watch is read each time, so that no old news is left for a later line to trip on.
    if (!PlatformLogMayHaveMoved() && watched && !lookAgain) {
        return true;
    }
    lookAgain = false;
    return !PlatformLogMoved(&g_logFile, logPath);
}

// A log moved away, not removed, may be a rotator's move (logrotate's create), whose new log.txt
// follows at once: it is given a moment to come, once a move, so that a log made here does not
// stand in its way. logrotate would move such a file aside as a ".backup" and try again, and a
// second one made here before that try would be moved over the first, its lines lost.
void WaitForARotatorsLog() {
    if (rotatorWaitedFor || !PlatformLogStillNamed(&g_logFile)) {
        return;
    }
    rotatorWaitedFor = true;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRotatorLogWaitMs);
    while (!PlatformNameTaken(logPath) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kRotatorLogLookMs));
    }
}

// Makes sure that g_logFile is the file the log's name stands for: when it was moved away or
// removed, logging goes on in a file of that name, as it is or created, never emptied nor moved
// aside (a rotator may have made it fresh), and locked as at start-up. False when there is none to
// write.
bool Follow(const char **reason) {
    if (NameStandsForTheLog()) {
        return true;
    }
    WaitForARotatorsLog();
    LogFile next = kNoLogFile;
    const LogOpen opened = PlatformOpenLog(logPath, &next, reason);
    if (opened != LogOpen::kOpened) {
        // Not the file written, and no other: each line looks again until there is one.
        lookAgain = true;
        *reason = opened == LogOpen::kInUse ? "in use by another process" : *reason;
        return false;
    }
    // The new file is watched from now on; it may have been moved between its opening and its
    // watch, so the next line looks once more.
    watched = PlatformWatchLog(logPath) == 0;
    lookAgain = true;
    char where[kPathMax];
    PlatformFullPath(logPath, where, sizeof where);
    const std::lock_guard lock(stateLock);
    // Nobody's log any more, it may come back under the log's name: it keeps no lock. It holds the
    // last lines before the move: the sync thread puts it on the disk, as it would have, and then
    // closes it.
    PlatformUnlockLog(&g_logFile);
    left.push_back(g_logFile);
    g_logFile = next;
    rotatorWaitedFor = false;
    LinesWritten();
    ConsoleSay(Stream::kErr, "%s was moved or removed: logging goes on in %s\n", kLogFileName,
               where);
    return true;
}

// Puts `file` on the disk and closes it. False when the sync failed.
bool SyncAndClose(LogFile *file, const char **reason) {
    const bool done = PlatformSyncLog(file, reason) == 0;
    const char *ignored = ""; // its lines are all in it; what closing could say is too late
    PlatformCloseLog(file, &ignored);
    return done;
}

// One sync of what the sync thread was given, without the lock: the open log through a handle of
// its own, unless it is closing, which puts it on the disk itself, and the files moved away. False,
// with `*reason`, when any of it failed, a handle that could not be had for it too.
bool SyncOnce(bool openLog, bool duplicated, LogFile *copy, std::vector<LogFile> *moved,
              const char **reason) {
    bool done = !openLog || (duplicated && SyncAndClose(copy, reason));
    for (LogFile &file : *moved) {
        done = SyncAndClose(&file, reason) && done;
    }
    return done;
}

} // namespace

LogOpen LogStart(char *movedTo, std::size_t size, const char **reason) {
    movedTo[0] = '\0';
    if (PlatformAbsolutePath(kLogFileName, logPath, sizeof logPath, reason) != 0) {
        return LogOpen::kFailed;
    }
    char suffix[kUtcTextSize];
    FormatAsideSuffix(PlatformWallClockMs(), suffix, sizeof suffix);
    return PlatformOpenNewLog(logPath, suffix, &g_logFile, movedTo, size, reason);
}

const char *LogPath() {
    return logPath;
}

void LogReport(const char *line, std::size_t length) {
    const std::lock_guard whole(lineLock);
    const char *reason = "";
    const bool written =
        Follow(&reason) && PlatformLogAppend(&g_logFile, line, length, &reason) == 0;
    {
        // Counted and said under the lock that counts: an end of the process, which takes the
        // count under it, finds this line's part of it either said or still in it.
        const std::lock_guard lock(stateLock);
        if (written) {
            LinesWritten();
            SayMissing(std::exchange(missing, 0));
        } else {
            Missed(reason);
        }
    }
    // Before the line lock is let go of: the end never falls between the log's line and the
    // console's. The console only queues what it cannot write at once.
    ConsoleReport(line, length);
}

void LogClose() {
    LogFile file = kNoLogFile;
    bool unsynced = false;
    unsigned long count = 0;
    {
        const std::lock_guard lock(stateLock);
        std::swap(file, g_logFile);
        life = Life::kClosing;
        syncerWake.notify_one();
        unsynced = linesWant > syncsBegun;
        count = std::exchange(missing, 0);
        SayMissing(count);
    }
    // On the disk before it is let go of: the receive loop has ended, so nothing waits for it. A
    // sync that the sync thread has begun finishes in that thread, which main waits for.
    const char *syncReason = "";
    const bool synced = !unsynced || PlatformSyncLog(&file, &syncReason) == 0;
    const char *closeReason = "";
    const bool closedWell = PlatformCloseLog(&file, &closeReason) == 0;
    const std::lock_guard lock(stateLock);
    if (!synced && !syncFailing) {
        ConsoleSay(Stream::kErr, "Could not put %s on the disk: %s\n", kLogFileName, syncReason);
    }
    if (!closedWell && count == 0) { // unless its failure has been said already
        ConsoleSay(Stream::kErr, "Could not write %s: %s\n", kLogFileName, closeReason);
    }
    life = Life::kClosed;
    syncEnded.notify_all();
}

void LogEnd(int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    // Never given back: the process ends between two lines, not in the middle of one. A write
    // that the disk holds up longer than that is cut off all the same.
    (void)lineLock.try_lock_until(deadline);
    std::unique_lock lock(stateLock);
    SayMissing(std::exchange(missing, 0));
    const std::uint64_t wanted = linesWant;
    if (life == Life::kOpen && wanted > syncsBegun) {
        endWants = wanted;
        syncerWake.notify_one();
    }
    // A sync that ends with the log closing has put on the disk only the files moved away: the
    // open log is closing's own to put there.
    syncEnded.wait_until(lock, deadline, [wanted] {
        return life == Life::kClosed || (life == Life::kOpen && syncsEnded >= wanted);
    });
}

void *LogSyncThread(ALLEGRO_THREAD * /*thread*/, void * /*argument*/) {
    std::unique_lock lock(stateLock);
    Clock::time_point last{};
    for (;;) {
        syncer = Syncer::kWaitsForLines;
        syncerWake.wait(lock, [] { return linesWant > syncsBegun || life != Life::kOpen; });
        // At most one sync an interval: lines that come meanwhile go with the next. The end of the
        // process does not wait for it.
        syncer = Syncer::kWaitsOutTheInterval;
        syncerWake.wait_until(lock, last + std::chrono::milliseconds(kLogSyncIntervalMs),
                              [] { return life != Life::kOpen || endWants > syncsBegun; });
        syncer = Syncer::kSyncs;
        const std::uint64_t number = ++syncsBegun;
        const bool closing = life != Life::kOpen;
        LogFile copy = kNoLogFile;
        const char *reason = "";
        const bool duplicated = !closing && PlatformDuplicateLog(&g_logFile, &copy, &reason) == 0;
        std::vector<LogFile> moved;
        moved.swap(left);
        lock.unlock();
        const bool done = SyncOnce(!closing, duplicated, &copy, &moved, &reason);
        lock.lock();
        if (!done && !syncFailing) {
            ConsoleSay(Stream::kErr, "Could not put %s on the disk: %s\n", kLogFileName, reason);
        }
        syncFailing = !done;
        syncsEnded = number;
        syncEnded.notify_all();
        last = Clock::now();
        if (closing) {
            return nullptr;
        }
    }
}
