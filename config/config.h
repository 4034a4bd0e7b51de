#pragma once

#include <cstddef>
#include <cstdint>

// Every address, port, size and name the client uses: it takes no arguments and reads no
// configuration.

inline constexpr const char *kLoopbackAddress = "127.0.0.1"; // both services run on this machine
inline constexpr std::uint16_t kHoldPort = 31285; // channel 1: connected, held open, never used
inline constexpr std::uint16_t kFeedPort = 31286; // channel 2: the text that is filtered
inline constexpr int kBufLen = 1024;              // most bytes taken by one receive, and its copy
inline constexpr char kReportPrefix[] = "50;";    // a receive starting with this is reported
inline constexpr std::size_t kReportPrefixLen = sizeof kReportPrefix - 1; // compared at byte 0
inline constexpr const char *kLogFileName = "log.txt"; // in the working directory, emptied at start
// The longest report line: a 64-bit time stamp's 20 digits, ": ", a full receive and a line feed.
inline constexpr std::size_t kLineMax = 20 + 2 + kBufLen + 1;
// Report lines that wait for a console that is not read, with 8 bytes each of bookkeeping; past
// this, they are dropped and counted.
inline constexpr std::size_t kConsoleBacklogBytes = std::size_t{1024} * 1024;
// Room beside them for messages, which are never dropped while it lasts.
inline constexpr std::size_t kConsoleMessageBytes = std::size_t{64} * 1024;
// Messages that wait for a standard error of its own; past this, they are dropped and counted.
inline constexpr std::size_t kConsoleErrorBytes = std::size_t{16} * 1024;
// The buffer a console message is formatted into, its terminating zero included; a longer message
// is cut to fit, its line feed kept.
inline constexpr std::size_t kSayMax = 512;
// Standard error says at most this often how many lines a console that is not read missed.
inline constexpr std::uint64_t kNoticeIntervalMs = 1000;
// Once both channels have ended, how long the console may take to write what waits for it.
inline constexpr int kEndGraceMs = 2000;
// Asked to end (Ctrl-C, SIGTERM), how long the log may take to finish its line and reach the disk,
// and then the console to write what waits for it.
inline constexpr int kEndRequestLogMs = 500;
inline constexpr int kEndRequestGraceMs = 1000;
// How long the last words of a process that ends may wait for standard error.
inline constexpr int kLastWordsMs = 500;

inline constexpr int kExitStartupFailed = 1; // Allegro, log file, networking or threads
inline constexpr int kExitChannelFailed = 2; // both channels ended and one of them failed
inline constexpr int kExitUsage = 64;        // a bad argument, as sample-feed and sysexits have it
