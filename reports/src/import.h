// Importing an access log in the common log format into the reports
// database. Report lines (a GET of /traycast.html answered 2xx) whose query
// the receiver would take are stored with the line's time and client;
// everything else is counted, never fatal. The log is only read.
//
// Importing the same log twice stores nothing the second time: each stored
// line is remembered by its hash and its occurrence (the n-th line with that
// exact text), so a log that grew since is imported from where it differs,
// and two identical lines (the same second, client and identifier) still
// count twice. Identical lines split across two rotated files in the same
// second would count once: the price of not keying on the file's name, which
// rotation changes.
#pragma once
#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "query.h"
#include "store.h"

namespace reports {

struct ImportCounts {
    std::int64_t lines = 0;
    std::int64_t stored = 0;
    std::int64_t already = 0;     // stored by an earlier import
    std::int64_t other = 0;       // other requests, other statuses
    std::int64_t refused = 0;     // report lines the receiver would answer 4xx
    std::array<std::int64_t, kQueryErrorCount> refusedBy{};  // the same, by the rule they broke
    std::int64_t malformed = 0;   // not in the common log format (or longer than kMaxLogLine)
    std::vector<std::int64_t> refusedLines;    // the first few line numbers
    std::vector<std::int64_t> malformedLines;
};

constexpr std::size_t kMaxLogLine = 65536;

// Imports from `log`, committing every few thousand lines: an import that
// fails halfway keeps what it committed, and running it again goes on.
ImportCounts ImportLog(Store& store, std::istream& log);

}  // namespace reports
