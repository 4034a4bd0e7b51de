#pragma once

// Writes a formatted message to standard error and ends the process with the start-up failure
// status.
[[noreturn]] void AbortWithMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));
