#pragma once

// Writes a formatted message to standard error and ends the process with the start-up failure
// status.
[[noreturn]] void AbortWithMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes one whole line to standard output and flushes it at once: the process usually ends by
// being killed, and a line still in the buffer then would be lost.
void ConsolePrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
