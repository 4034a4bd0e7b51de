#include "channels/log_rules.h"

#include <cstdio>

#include "config/config.h"

namespace {

constexpr std::int64_t kMsPerDay = 86400000;

struct Utc {
    std::int64_t year;
    int month; // 1-12
    int day;   // 1-31
    int hour;
    int minute;
    int second;
    int ms;
};

// Rounds towards minus infinity, so that a moment before 1970 falls in the day it is in.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

// The proleptic Gregorian calendar's date of the day `days` after 1970-01-01, counted in eras of
// 400 years (146097 days), each beginning on a 1 March so that the leap day ends its year.
Utc FromMs(std::int64_t ms) {
    const std::int64_t days = FloorDiv(ms, kMsPerDay);
    std::int64_t inDay = ms - days * kMsPerDay;
    const std::int64_t shifted = days + 719468; // days from 0000-03-01
    const std::int64_t era = FloorDiv(shifted, 146097);
    const std::int64_t dayOfEra = shifted - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    Utc utc{};
    utc.day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    utc.month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    utc.year = yearOfEra + era * 400 + (utc.month <= 2 ? 1 : 0);
    utc.ms = static_cast<int>(inDay % 1000);
    inDay /= 1000;
    utc.second = static_cast<int>(inDay % 60);
    inDay /= 60;
    utc.minute = static_cast<int>(inDay % 60);
    utc.hour = static_cast<int>(inDay / 60);
    return utc;
}

} // namespace

void FormatIsoUtc(std::int64_t ms, char *out, std::size_t size) {
    const Utc t = FromMs(ms);
    std::snprintf(out, size, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ",
                  static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute, t.second, t.ms);
}

void FormatAsideSuffix(std::int64_t ms, char *out, std::size_t size) {
    const Utc t = FromMs(ms);
    std::snprintf(out, size, "-%04lld%02d%02d-%02d%02d%02d", static_cast<long long>(t.year),
                  t.month, t.day, t.hour, t.minute, t.second);
}

FailureNotice LogFailureNotice(unsigned long missingBefore, std::uint64_t saidAtMs,
                               std::uint64_t nowMs) {
    if (missingBefore == 0) {
        return FailureNotice::kFirst;
    }
    return nowMs - saidAtMs >= kLogFailureRepeatMs ? FailureNotice::kAgain : FailureNotice::kNone;
}
