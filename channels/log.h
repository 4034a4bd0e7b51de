#pragma once

// The log file, g_logFile, after main has opened it. Channel 2 writes it, a whole report line at a
// time, and closes it; a thread of its own puts what was written on the disk within about a second,
// so that the receive loop never waits for the disk. A log whose name has gone elsewhere (moved
// or removed from outside) is followed: logging goes on in a file of that name. A failure is said
// once, and the lines the log missed are counted and said when it takes lines again, when it is
// closed, or when the process is asked to end.

#include <allegro5/allegro.h>

#include <cstddef>

// Appends one report line. Channel 2 only.
void LogWrite(const char *line, std::size_t length);
// Puts the log on the disk and closes it, releasing its lock. Channel 2 only, on its way out.
void LogClose();
// The process ends: within `timeoutMs`, waits until channel 2 is between two lines and keeps it
// there for good, has what was written put on the disk, and says how many lines the log is
// missing, if any. Any thread but channel 2.
void LogEnd(int timeoutMs);
// The body of the thread that puts the log on the disk: once a second at most, and only after
// lines were written, so that an idle log costs nothing. It ends when the log is closed.
void *LogSyncThread(ALLEGRO_THREAD *thread, void *argument);
