#pragma once

// The log's decisions that need nothing but numbers: how it writes a moment in UTC, in its start
// line and in the name a log of an earlier run is moved aside to, and when a failure that goes on
// is said again.

#include <cstddef>
#include <cstdint>

// Room for either text below, with its terminating zero.
inline constexpr std::size_t kUtcTextSize = 32;

// `ms` milliseconds from 1970-01-01T00:00:00Z (negative before it) as ISO 8601 in UTC to the
// millisecond: "2026-12-09T05:15:02.123Z".
void FormatIsoUtc(std::int64_t ms, char *out, std::size_t size);
// What goes after the name of a log moved aside at `ms`, to the second: "-20261209-051502", so that
// the names sort by the time of the move.
void FormatAsideSuffix(std::int64_t ms, char *out, std::size_t size);

// What standard error says of a line that the log could not take.
enum class FailureNotice {
    kNone,  // nothing: it was said a short while ago
    kFirst, // the failure: the log had taken the line before this one
    kAgain, // the failure once more, with the lines missing so far: it has gone on a while
};
// `missingBefore`: the lines missing before this one; `saidAtMs`: when the failure was last said,
// and `nowMs` now, both by the tick.
FailureNotice LogFailureNotice(unsigned long missingBefore, std::uint64_t saidAtMs,
                               std::uint64_t nowMs);
