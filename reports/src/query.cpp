#include "query.h"

#include <cstdio>

namespace reports {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

const char* Describe(QueryError error) {
    switch (error) {
        case QueryError::None: return "ok";
        case QueryError::EmptyField: return "every field of the query must be key=value";
        case QueryError::UnknownKey: return "the query may carry only t and m";
        case QueryError::DuplicateKey: return "t and m may each appear once";
        case QueryError::MissingKind: return "t is missing";
        case QueryError::BadKind: return "t must be 0 (a showing) or 1 (an install)";
        case QueryError::MissingMachine: return "m is missing";
        case QueryError::MachineTooLong: return "m is longer than 260 bytes once decoded";
    }
    return "bad query";
}

const char* ErrorName(QueryError error) {
    switch (error) {
        case QueryError::None: return "none";
        case QueryError::EmptyField: return "empty_field";
        case QueryError::UnknownKey: return "unknown_key";
        case QueryError::DuplicateKey: return "duplicate_key";
        case QueryError::MissingKind: return "missing_kind";
        case QueryError::BadKind: return "bad_kind";
        case QueryError::MissingMachine: return "missing_machine";
        case QueryError::MachineTooLong: return "machine_too_long";
    }
    return "other";
}

std::string PercentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && text.size() - i >= 3 ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

QueryError ParseReportQuery(std::string_view query, ReportQuery& out) {
    std::optional<std::string_view> kind;
    std::optional<std::string_view> machine;
    std::size_t start = 0;
    // The form every plug-in sends: the identifier is all that follows, '&'
    // and '=' included, since a plug-in that does not escape puts them in.
    if (query.size() >= 6 && query.substr(0, 2) == "t=" && query.substr(3, 3) == "&m=") {
        kind = query.substr(2, 1);
        machine = query.substr(6);
        query = {};
    }
    while (!query.empty()) {
        const std::size_t end = query.find('&', start);
        const std::string_view field = query.substr(start, end == std::string_view::npos ? end : end - start);
        const std::size_t eq = field.find('=');
        if (field.empty() || eq == std::string_view::npos) return QueryError::EmptyField;
        const std::string_view key = field.substr(0, eq);
        std::optional<std::string_view>* slot = key == "t" ? &kind : key == "m" ? &machine : nullptr;
        if (slot == nullptr) return QueryError::UnknownKey;
        if (slot->has_value()) return QueryError::DuplicateKey;
        *slot = field.substr(eq + 1);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (!kind) return QueryError::MissingKind;
    if (*kind != "0" && *kind != "1") return QueryError::BadKind;
    if (!machine) return QueryError::MissingMachine;
    std::string decoded = PercentDecode(*machine);
    if (decoded.size() > kMaxMachineBytes) return QueryError::MachineTooLong;
    out.kind = *kind == "1" ? ReportKind::Install : ReportKind::Showing;
    out.machine = std::move(decoded);
    return QueryError::None;
}

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
    if (range.to - range.from + 1 > kMaxRangeDays) {
        why = "a range may span at most 366 days";
        return std::nullopt;
    }
    return range;
}

}  // namespace reports
