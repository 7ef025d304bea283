// The pure rules of importing a web server's access log in the common log
// format (the combined format's extra fields after the size are allowed):
//
//   HOST IDENT USER [DD/Mon/YYYY:HH:MM:SS +ZZZZ] "GET /traycast.html?t=0&m=.. HTTP/1.1" STATUS SIZE
//
// A line is a report when its request is a GET of /traycast.html and its
// status is 2xx; other well-formed lines are passed over, lines that are not
// in the format are counted as malformed by the caller. No I/O.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace reports {

enum class ClfLine {
    Report,     // a GET of /traycast.html answered 2xx: `entry` is filled
    Other,      // a well-formed line of another request or status
    Malformed,  // not in the common log format
};

struct ClfEntry {
    std::int64_t at = 0;  // seconds since 1970, UTC (the line's zone applied)
    std::string client;   // the HOST field as logged
    std::string query;    // the raw query after '?', still percent-encoded
};

ClfLine ParseClfLine(std::string_view line, ClfEntry& entry);

// The access-log line the receiver writes for a request, e.g.
//   10.0.0.7 - - [05/Jan/2026:08:00:00 +0000] "GET /traycast.html?t=1&m=PC%2001 HTTP/1.1" 200 3
// The bytes a log line cannot carry (blanks, '"', '\\', controls, bytes
// above 0x7E) and a '%' that starts no escape are written as %XX, so that
// ParseClfLine and the query's rules read back the very bytes the receiver
// stored. No method (a request that never came): "-". bytes < 0: "-".
std::string ClfLogLine(std::string_view client, std::int64_t at, std::string_view method, std::string_view target,
                       std::string_view version, int status, std::int64_t bytes);

// A 128-bit FNV-1a of the line, 16 bytes: with the line's occurrence count
// it keys what an import already stored. Not cryptographic.
std::string LineHash(std::string_view line);

}  // namespace reports
