#include "days.h"

#include <cstdio>
#include <cstdlib>

namespace reports {

std::int64_t DaysFromCivil(int year, unsigned month, unsigned day) {
    // Days from civil, proleptic Gregorian; eras of 400 years.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

namespace {

struct Civil {
    int year;
    unsigned month;
    unsigned day;
};

Civil CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d};
}

bool Digits(std::string_view text, std::size_t from, std::size_t count, unsigned& value) {
    value = 0;
    for (std::size_t i = from; i < from + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
}

}  // namespace

std::optional<std::int64_t> ParseDay(std::string_view text) {
    unsigned year = 0, month = 0, day = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, year) ||
        !Digits(text, 5, 2, month) || !Digits(text, 8, 2, day)) {
        return std::nullopt;
    }
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    const std::int64_t days = DaysFromCivil(static_cast<int>(year), month, day);
    // A day past the month's end comes back as another date.
    const Civil back = CivilFromDays(days);
    if (back.month != month || back.day != day) return std::nullopt;
    return days;
}

std::string FormatDay(std::int64_t day) {
    const Civil c = CivilFromDays(day);
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", c.year, c.month, c.day);
    return text;
}

std::string FormatTime(std::int64_t unixSeconds) {
    const std::int64_t day = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
    const std::int64_t second = unixSeconds - day * 86400;
    char text[16];
    std::snprintf(text, sizeof text, "T%02d:%02d:%02dZ", static_cast<int>(second / 3600),
                  static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
    return FormatDay(day) + text;
}

std::optional<DayRange> ChooseRange(std::string_view from, std::string_view to, std::int64_t today,
                                    std::string& why) {
    // An empty bound takes its default; a given one must be a date.
    const auto bound = [&why](std::string_view text, const char* name, std::int64_t& out) {
        if (text.empty()) return true;
        const std::optional<std::int64_t> day = ParseDay(text);
        if (!day) why = std::string(name) + " must be a date YYYY-MM-DD from 1970 on";
        if (day) out = *day;
        return day.has_value();
    };
    DayRange range;
    range.to = today;
    if (!bound(to, "to", range.to)) return std::nullopt;
    range.from = range.to - 6;
    if (!bound(from, "from", range.from)) return std::nullopt;
    if (range.from < 0) range.from = 0;
    if (range.from > range.to) {
        why = "from must not be after to";
        if (to.empty()) why += " (to defaulted to today, " + FormatDay(today) + "; give to as well)";
        return std::nullopt;
    }
    return range;
}

std::optional<int> ParseZone(std::string_view text) {
    if (text.rfind("UTC", 0) == 0) text.remove_prefix(3);
    if (text.empty()) return 0;
    const int sign = text[0] == '-' ? -1 : 1;
    if (text[0] == '+' || text[0] == '-') text.remove_prefix(1);
    if (text.size() > 3 && text.substr(text.size() - 3) == ":00") text.remove_suffix(3);
    if (text.empty() || text.size() > 2) return std::nullopt;
    int hours = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        hours = hours * 10 + (c - '0');
    }
    hours *= sign;
    if (hours < -12 || hours > 14) return std::nullopt;
    return hours;
}

std::string FormatZone(int utcOffsetHours) {
    if (utcOffsetHours == 0) return "UTC";
    return std::string("UTC") + (utcOffsetHours > 0 ? "+" : "-") + std::to_string(std::abs(utcOffsetHours));
}

std::int64_t DayIn(std::int64_t unixSeconds, int utcOffsetHours) {
    const std::int64_t local = unixSeconds + utcOffsetHours * 3600;
    return local >= 0 ? local / 86400 : (local - 86399) / 86400;
}

}  // namespace reports
