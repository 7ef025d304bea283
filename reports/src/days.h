// The date model of the pages and the store: days counted since 1970-01-01,
// their YYYY-MM-DD text, and the range of days a page or a summary shows.
// Pure: no clock, no I/O (the caller passes today).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace reports {

// Days since 1970-01-01 (UTC) from a strict YYYY-MM-DD between 1970 and 9999;
// nullopt for anything else, including 2023-02-29.
std::optional<std::int64_t> ParseDay(std::string_view text);
std::string FormatDay(std::int64_t day);
// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970 (UTC).
std::string FormatTime(std::int64_t unixSeconds);
// Days since 1970 from civil fields; the caller has checked their ranges.
std::int64_t DaysFromCivil(int year, unsigned month, unsigned day);

// Longest range a page shows, in days: a year, leap years included.
constexpr std::int64_t kMaxRangeDays = 366;

struct DayRange {
    std::int64_t from = 0;  // first day, inclusive
    std::int64_t to = 0;    // last day, inclusive
};

// The range that `from` and `to` (YYYY-MM-DD, either may be empty) choose.
// `to` defaults to today, `from` to six days before `to`. Answers nullopt and
// sets `why` for a malformed day, from after to, or more than kMaxRangeDays.
std::optional<DayRange> ChooseRange(std::string_view from, std::string_view to, std::int64_t today,
                                    std::string& why);

}  // namespace reports
