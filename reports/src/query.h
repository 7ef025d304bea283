// The report request's pure rules: the reading of the raw query that
// the plug-in sends. No I/O.
//
// The plug-in sends exactly `t=0|1&m=<id>`. This project's plug-in
// percent-encodes the identifier byte by byte; plug-ins already in the fleet
// put it in as it is (`m={3F2A-77}`, code page 936 bytes, a '&' or a '%'
// of its own). Both are stored: a valid %XX is decoded, every other byte is
// kept as sent, and after the leading `t=0&m=` or `t=1&m=` the rest of the
// query is the identifier whatever it holds. Only a query that no plug-in
// sends (no t, a t other than 0 or 1, other keys, no m) is refused.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report.h"

namespace reports {

enum class QueryError {
    None,
    EmptyField,     // "a&&b", a trailing '&', or no '=' in a field
    UnknownKey,     // a key other than t and m
    DuplicateKey,   // t or m twice: which one was meant is unknowable
    MissingKind,
    BadKind,        // t other than 0 or 1
    MissingMachine,
    MachineTooLong,
};
constexpr int kQueryErrorCount = static_cast<int>(QueryError::MachineTooLong) + 1;
// A short name for each error, for the metrics' labels: "unknown_key".
const char* ErrorName(QueryError error);

// What the answer's body says about the error: one line, for people.
const char* Describe(QueryError error);

struct ReportQuery {
    ReportKind kind = ReportKind::Shown;
    std::string machine;  // decoded bytes, as the plug-in sent them; may be empty
};

// Reads the raw query (the part after '?', not decoded). On success fills
// `out` and answers QueryError::None; otherwise leaves `out` alone.
QueryError ParseReportQuery(std::string_view query, ReportQuery& out);

// Decodes each valid %XX escape (either case) into its byte and keeps every
// other byte as it is: a '%' that starts no escape stays a '%', and '+'
// stays a '+' (neither plug-in sends one for a blank).
std::string PercentDecode(std::string_view text);

}  // namespace reports
