#include "import.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_map>

#include "clf.h"
#include "query.h"

namespace reports {

namespace {

constexpr std::int64_t kLinesPerTransaction = 5000;
constexpr std::size_t kLineNumbersKept = 10;
// Identical lines come from the same second; a line's occurrence count is
// kept until the log's time has moved this far past it.
constexpr std::int64_t kOccurrenceWindowSeconds = 3600;
// A sweep runs once the map has doubled since the last one, so that lines
// within one hour (which a sweep cannot drop) cost amortised constant time
// each instead of a full sweep per line.
constexpr std::size_t kFirstSweepAbove = 100000;

struct Seen {
    std::int64_t count = 0;
    std::int64_t at = 0;
};

}  // namespace

ImportCounts ImportLog(Store& store, std::istream& log) {
    ImportCounts counts;
    std::unordered_map<std::string, Seen> seen;
    std::int64_t latest = 0;
    std::size_t sweepAbove = kFirstSweepAbove;
    std::string line(kMaxLogLine + 2, '\0');
    std::int64_t inTransaction = 0;
    auto note = [](std::vector<std::int64_t>& lines, std::int64_t n) {
        if (lines.size() < kLineNumbersKept) lines.push_back(n);
    };
    auto batch = std::make_unique<Transaction>(store);
    while (log.getline(&line[0], static_cast<std::streamsize>(line.size())) || log.gcount() > 0) {
        ++counts.lines;
        std::size_t length = static_cast<std::size_t>(log.gcount());
        if (log.fail() && !log.eof()) {  // longer than the buffer: skip the rest of it
            log.clear();
            log.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
            ++counts.malformed;
            note(counts.malformedLines, counts.lines);
            continue;
        }
        if (length > 0 && !log.eof()) --length;  // the '\n' getline counted
        const std::string_view text(line.data(), length);
        ClfEntry entry;
        const ClfLine kind = ParseClfLine(text, entry);
        if (kind == ClfLine::Malformed) {
            ++counts.malformed;
            note(counts.malformedLines, counts.lines);
            continue;
        }
        if (kind == ClfLine::Other) {
            ++counts.other;
            continue;
        }
        ReportQuery query;
        if (const QueryError error = ParseReportQuery(entry.query, query); error != QueryError::None) {
            ++counts.refused;
            ++counts.refusedBy[static_cast<int>(error)];
            note(counts.refusedLines, counts.lines);
            continue;
        }
        latest = std::max(latest, entry.at);
        if (seen.size() > sweepAbove) {
            for (auto it = seen.begin(); it != seen.end();) {
                it = it->second.at < latest - kOccurrenceWindowSeconds ? seen.erase(it) : std::next(it);
            }
            sweepAbove = std::max(kFirstSweepAbove, 2 * seen.size());
        }
        const std::string hash = LineHash(text);
        Seen& s = seen[hash];
        s.at = entry.at;
        Report report;
        report.at = entry.at;
        report.kind = query.kind;
        report.machine = std::move(query.machine);
        report.client = std::move(entry.client);
        if (store.InsertImported(report, hash, ++s.count)) {
            ++counts.stored;
        } else {
            ++counts.already;
        }
        if (++inTransaction == kLinesPerTransaction) {
            batch->Commit();
            batch = std::make_unique<Transaction>(store);
            inTransaction = 0;
        }
    }
    batch->Commit();
    return counts;
}

}  // namespace reports
