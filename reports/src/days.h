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

struct DayRange {
    std::int64_t from = 0;  // first day, inclusive
    std::int64_t to = 0;    // last day, inclusive
    int utcOffsetHours = 0;  // the zone whose midnights cut the days
};

// The range that `from` and `to` (YYYY-MM-DD, either may be empty) choose.
// `to` defaults to today, `from` to six days before `to`; any length. Answers
// nullopt and sets `why` for a malformed day or from after to.
std::optional<DayRange> ChooseRange(std::string_view from, std::string_view to, std::int64_t today,
                                    std::string& why);

// A time zone as whole hours east of UTC, from "UTC", "UTC+8", "+08",
// "+08:00", "8", "-5" or "-05:00" (-12 to +14). Days are cut at its midnight; the
// rollups are hourly, so zones with a half or quarter hour (India, Nepal)
// are refused rather than cut at the wrong time.
std::optional<int> ParseZone(std::string_view text);
// "UTC" or "UTC+8", "UTC-5".
std::string FormatZone(int utcOffsetHours);
// Today's day in the zone, from seconds since 1970.
std::int64_t DayIn(std::int64_t unixSeconds, int utcOffsetHours);

}  // namespace reports
