#include "clf.h"

#include <cstdio>
#include <optional>
#include <string>

#include "days.h"
#include "query.h"

namespace reports {

namespace {

bool ReadNumber(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "DD/Mon/YYYY:HH:MM:SS +ZZZZ" to seconds since 1970, UTC.
bool ParseClfTime(std::string_view t, std::int64_t& at) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (t.size() != 26 || t[2] != '/' || t[6] != '/' || t[11] != ':' || t[14] != ':' || t[17] != ':' ||
        t[20] != ' ' || (t[21] != '+' && t[21] != '-')) {
        return false;
    }
    int day, year, hour, minute, second, zh, zm;
    if (!ReadNumber(t, 0, 2, day) || !ReadNumber(t, 7, 4, year) || !ReadNumber(t, 12, 2, hour) ||
        !ReadNumber(t, 15, 2, minute) || !ReadNumber(t, 18, 2, second) || !ReadNumber(t, 22, 2, zh) ||
        !ReadNumber(t, 24, 2, zm)) {
        return false;
    }
    unsigned month = 0;
    for (unsigned m = 0; m < 12; ++m) {
        if (t.substr(3, 3) == kMonths[m]) month = m + 1;
    }
    if (month == 0 || hour > 23 || minute > 59 || second > 60 || zh > 23 || zm > 59) return false;
    const std::string date = std::to_string(year) + "-" + (month < 10 ? "0" : "") + std::to_string(month) + "-" +
                             t[0] + t[1];
    const std::optional<std::int64_t> days = ParseDay(date);
    if (!days) return false;
    const std::int64_t zone = (zh * 3600 + zm * 60) * (t[21] == '-' ? -1 : 1);
    at = *days * 86400 + hour * 3600 + minute * 60 + second - zone;
    return at >= 0;
}

std::string_view NextField(std::string_view line, std::size_t& pos) {
    const std::size_t end = line.find(' ', pos);
    if (end == std::string_view::npos) {
        pos = std::string_view::npos;
        return {};
    }
    const std::string_view field = line.substr(pos, end - pos);
    pos = end + 1;
    return field;
}

}  // namespace

ClfLine ParseClfLine(std::string_view line, ClfEntry& entry) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t pos = 0;
    const std::string_view host = NextField(line, pos);
    if (pos == std::string_view::npos || host.empty() || host.size() > 255) return ClfLine::Malformed;
    NextField(line, pos);  // ident
    if (pos == std::string_view::npos) return ClfLine::Malformed;
    NextField(line, pos);  // user
    if (pos == std::string_view::npos || line.substr(pos, 1) != "[") return ClfLine::Malformed;
    const std::size_t close = line.find(']', pos);
    if (close == std::string_view::npos) return ClfLine::Malformed;
    std::int64_t at = 0;
    if (!ParseClfTime(line.substr(pos + 1, close - pos - 1), at)) return ClfLine::Malformed;
    pos = close + 1;
    if (line.substr(pos, 2) != " \"") return ClfLine::Malformed;
    pos += 2;
    // The request ends at the first quote not escaped by a backslash.
    std::size_t end = pos;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    if (end >= line.size()) return ClfLine::Malformed;
    const std::string_view request = line.substr(pos, end - pos);
    pos = end + 1;
    if (line.substr(pos, 1) != " ") return ClfLine::Malformed;
    ++pos;
    int status = 0;
    if (!ReadNumber(line, pos, 3, status) || (pos + 3 < line.size() && line[pos + 3] != ' ')) {
        return ClfLine::Malformed;
    }
    const std::size_t sp1 = request.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : request.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return ClfLine::Other;  // e.g. "-" for a request that never came
    const std::string_view method = request.substr(0, sp1);
    const std::string_view target = request.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::size_t question = target.find('?');
    const std::string_view path = target.substr(0, question);
    if (method != "GET" || path != "/traycast.html" || status < 200 || status > 299) return ClfLine::Other;
    entry.at = at;
    entry.client = std::string(host);
    entry.query = question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
    return ClfLine::Report;
}

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

std::string LogEscape(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool escape = c <= 0x20 || c >= 0x7F || c == '"' || c == '\\' ||
                            (c == '%' && !(i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2])));
        if (escape) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string ClfLogLine(std::string_view client, std::int64_t at, std::string_view method, std::string_view target,
                       std::string_view version, int status, std::int64_t bytes) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string day = FormatDay(at >= 0 ? at / 86400 : 0);  // YYYY-MM-DD
    const std::int64_t second = at >= 0 ? at % 86400 : 0;
    char when[40];
    std::snprintf(when, sizeof when, "[%s/%s/%s:%02d:%02d:%02d +0000]", day.substr(8, 2).c_str(),
                  kMonths[std::stoi(day.substr(5, 2)) - 1], day.substr(0, 4).c_str(), static_cast<int>(second / 3600),
                  static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
    const std::string request =
        method.empty() ? "-" : LogEscape(method) + " " + LogEscape(target) + " " + LogEscape(version);
    return LogEscape(client.empty() ? "-" : client) + " - - " + when + " \"" + request + "\" " +
           std::to_string(status) + " " + (bytes < 0 ? "-" : std::to_string(bytes)) + "\n";
}

std::string LineHash(std::string_view line) {
    using U128 = unsigned __int128;
    const U128 prime = (static_cast<U128>(0x0000000001000000ULL) << 64) | 0x000000000000013BULL;
    U128 hash = (static_cast<U128>(0x6C62272E07BB0142ULL) << 64) | 0x62B821756295C58DULL;
    for (const char c : line) {
        hash ^= static_cast<unsigned char>(c);
        hash *= prime;
    }
    std::string out(16, '\0');
    for (int i = 0; i < 16; ++i) out[static_cast<std::size_t>(i)] = static_cast<char>(hash >> (8 * (15 - i)));
    return out;
}

}  // namespace reports
