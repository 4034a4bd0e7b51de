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
// In the working directory; one left by an earlier run is moved aside at start, not emptied.
inline constexpr const char *kLogFileName = "log.txt";
// The longest path the log is found by, or said with; a longer one is refused or cut.
inline constexpr std::size_t kPathMax = 4096;
// The log is put on the disk at most this often: lines that come meanwhile go with the next sync.
inline constexpr int kLogSyncIntervalMs = 1000;
// While the log cannot be written, standard error says so again, with the lines missing so far, at
// most this often: often enough that a failure of hours is seen, seldom enough not to flood.
inline constexpr std::uint64_t kLogFailureRepeatMs = 60000;
// A log moved away, not removed, may be a rotator's move, whose new log.txt follows within
// microseconds: the next line waits this long for it, looking this often, before making one.
inline constexpr int kRotatorLogWaitMs = 200;
inline constexpr int kRotatorLogLookMs = 5;
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
// With --reconnect, a lost or absent service is asked again at once, then after pauses that start
// here and double up to the longest: a service back from a restart is found within about 2 s,
// and a long outage costs one wake-up every 2 s.
inline constexpr int kReconnectFirstPauseMs = 100;
inline constexpr int kReconnectLongestPauseMs = 2000;
// A connection lost sooner than this after it was made is asked again after the pause that comes
// next, not at once: a service that takes connections and closes them at once is not asked again
// and again without a pause.
inline constexpr int kReconnectSteadyMs = 2000;
// With --lines, standard error says how many lines were cut to their first kBufLen bytes at most
// this often, so that a service that sends nothing but long lines does not flood it.
inline constexpr int kCutNoticeIntervalMs = 1000;

// A write that Windows says was done but that took nothing (a pipe left non-blocking, its reader
// behind) is tried again up to this many times, this many milliseconds apart, and then fails.
inline constexpr int kNothingWrittenTries = 50;
inline constexpr int kNothingWrittenPauseMs = 20;

inline constexpr int kExitStartupFailed = 1; // Allegro, log file, networking or threads
inline constexpr int kExitChannelFailed = 2; // both channels ended and one of them failed
inline constexpr int kExitUsage = 64;        // a bad argument, as sample-feed and sysexits have it
