#pragma once

// The log file, g_logFile, opened at start-up by LogStart. Channel 2 writes it, a whole report line
// at a time, and closes it; a thread of its own puts what was written on the disk within about a
// second, so that the receive loop never waits for the disk. The log is found by its full path,
// taken at start: a log whose name has gone elsewhere (moved or removed from outside, its folder
// made again) is followed, and logging goes on in a file of that name. A failure is said, and said
// again while it lasts, and the lines the log missed are counted and said when it takes lines
// again, when it is closed, or when the process is asked to end.

#include <allegro5/allegro.h>

#include <cstddef>

#include "platform/platform.h"

// Opens the log for this run: log.txt in the working folder, by its full path, where a log that an
// earlier run left is first moved aside (PlatformOpenNewLog). `movedTo` (of `size` bytes) gets
// where it went, or "". kInUse and kNotMoved touched nothing; `*reason` says why for kNotMoved and
// kFailed. Call it once, before any thread uses the log.
LogOpen LogStart(char *movedTo, std::size_t size, const char **reason);
// The log's full path, as LogStart took it.
const char *LogPath();
// Appends one report line to the log, then offers it to the console: one step, which the end of
// the process never cuts in two, so that a line is either logged and shown (or counted as not
// shown) or neither. Channel 2 only.
void LogReport(const char *line, std::size_t length);
// Puts the log on the disk and closes it, releasing its lock. Channel 2 only, on its way out.
void LogClose();
// The process ends: within `timeoutMs`, waits until channel 2 is between two lines and keeps it
// there for good, has what was written put on the disk by a sync that began after the last line,
// and says how many lines the log is missing, if any. Any thread but channel 2.
void LogEnd(int timeoutMs);
// The body of the thread that puts the log on the disk: once a second at most, and only after
// lines were written, so that an idle log costs nothing; at once when the process ends. It ends
// when the log is closed.
void *LogSyncThread(ALLEGRO_THREAD *thread, void *argument);
