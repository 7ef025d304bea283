// The report request's pure rules: the strict reading of the raw query that
// the plug-in sends. No I/O.
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
    BadEncoding,    // a broken %-escape or a character a query may not carry
};

// What the answer's body says about the error: one line, for people.
const char* Describe(QueryError error);

struct ReportQuery {
    ReportKind kind = ReportKind::Shown;
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

}  // namespace reports
