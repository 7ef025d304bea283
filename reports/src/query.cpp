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
    out.kind = *kind == "1" ? ReportKind::Installed : ReportKind::Shown;
    out.machine = std::move(decoded);
    return QueryError::None;
}

}  // namespace reports
