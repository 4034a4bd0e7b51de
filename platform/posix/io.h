#pragma once

// What the POSIX log file and console share: writes that wait their turn.

#include <cstddef>

// Waits until `fd` takes a write, for at most `timeoutMs` (-1: as long as it takes). False when
// the time ran out.
bool WaitWritable(int fd, int timeoutMs);
// Writes until all of `data` is out or a write fails, and returns how much was written; when that
// is less than `length`, errno says why. A descriptor left in non-blocking mode by whoever shares
// it is waited for, never given up on.
std::size_t WriteAll(int fd, const char *data, std::size_t length);
