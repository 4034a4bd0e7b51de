#pragma once

// The clock, waits and reads with deadlines, and files and folders, as the tests and the benchmark
// take what the programs they run write. Like the rest of the harness, it reports failures by its
// results, never by GoogleTest.

#include <cstdint>
#include <string>

// Monotonic nanoseconds.
std::int64_t NowNs();
// Whole milliseconds left until `deadlineNs`; 0 once it has passed.
int MsUntil(std::int64_t deadlineNs);

// Closes `*fd` unless it is -1 already, and makes it -1.
void CloseFd(int *fd);

// Waits for `fd` to become readable before `deadlineNs`. A signal caught meanwhile ends the wait
// too, so that a request to stop is not held up.
bool Readable(int fd, std::int64_t deadlineNs);
// Reads from `fd` until `text` has been seen or `timeoutMs` has passed; returns `sofar` followed by
// all that was read. A regular file is read as it grows.
std::string ReadUntilSeen(int fd, const std::string &text, int timeoutMs, std::string sofar = {});
// Reads from `fd` until end of file or `timeoutMs`; a regular file, to its present end.
std::string ReadToEnd(int fd, int timeoutMs);

// A fresh folder below the system's temporary folder (empty on failure), removed with its files by
// RemoveDir.
std::string MakeTempDir();
void RemoveDir(const std::string &dir);
// The whole of a file, or nothing when it cannot be read.
std::string ReadWholeFile(const std::string &path);
void WriteWholeFile(const std::string &path, const std::string &content);
