// The report request's pure rules: the strict reading of the raw query that
// the plug-in sends, and the days and date ranges the pages take. No I/O.
//
// The plug-in sends exactly `t=0|1&m=<id>`, the identifier percent-encoded
// byte by byte (uppercase hex, A-Z a-z 0-9 - . _ ~ left as they are). The
// reading here accepts that and what RFC 3986 allows literally in a query
// value; it rejects everything else instead of guessing, because a stored
// identifier that is not the one the machine sent cannot be fixed later.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace reports {

enum class ReportKind { Showing = 0, Install = 1 };

// Largest identifier the plug-in can send, in bytes once decoded.
constexpr std::size_t kMaxMachineBytes = 260;

enum class QueryError {
    None,
    EmptyField,     // "a&&b", a trailing '&', or no '=' in a field
    UnknownKey,     // a key other than t and m
    DuplicateKey,   // t or m twice: which one was meant is unknowable
    MissingKind,
    BadKind,        // t other than 0 or 1
    MissingMachine,
    MachineTooLong,
    BadEncoding,    // a broken %-escape or a character a query may not carry
};

// What the answer's body says about the error: one line, for people.
const char* Describe(QueryError error);

struct ReportQuery {
    ReportKind kind = ReportKind::Showing;
    std::string machine;  // decoded bytes, as the plug-in sent them; may be empty
};

// Reads the raw query (the part after '?', not decoded). On success fills
// `out` and answers QueryError::None; otherwise leaves `out` alone.
QueryError ParseReportQuery(std::string_view query, ReportQuery& out);

// Decodes %XX escapes (either case) and keeps the characters RFC 3986 lets a
// query value carry literally, minus '&' and '='. Answers nullopt for a '%'
// without two hex digits after it and for any other character ('+' stays a
// '+': the plug-in never sends one for a blank).
std::optional<std::string> PercentDecode(std::string_view text);

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
