// What a campaign keeps per machine, how a report changes it, and what each
// machine adds to the campaign's counts. Pure: no I/O.
//
// The state holds a machine's showing times and its first install, so the
// figures do not depend on the order its reports arrive in (an imported log,
// a build from stored reports, two receivers). A machine's counts are a
// function of its state alone; a report changes the campaign's counts by what
// its machine adds after it less what it added before. So the campaign's
// counts are kept exact by adding small differences, and read without
// looking at a single machine.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "report.h"

namespace reports {

// Showing times kept per machine. A machine shown more often (an identifier
// many machines share) keeps its earliest ones; its later showings count in
// `shown` and are taken to come after its first install.
constexpr std::size_t kKeptShowingTimes = 64;

struct MachineState {
    std::int64_t shown = 0;            // showings in the campaign
    std::vector<std::int64_t> times;   // the earliest kKeptShowingTimes, ascending
    std::optional<std::int64_t> installed;  // its first install in the campaign
    bool operator==(const MachineState& o) const {
        return shown == o.shown && times == o.times && installed == o.installed;
    }
};

// The state after one more report of the machine at `at`.
void Apply(MachineState& state, ReportKind kind, std::int64_t at);

// The times as stored: 8 bytes each, little-endian. ParseTimes answers false
// for bytes that are not such a list (ascending, at most kKeptShowingTimes).
std::string SerializeTimes(const std::vector<std::int64_t>& times);
bool ParseTimes(std::string_view bytes, std::vector<std::int64_t>& times);

// The counts a campaign keeps. Each is a sum of small differences, kept per
// writer and added up when read; those with a number n are one count per n.
enum class Count : int {
    Showings = 1,               // showing reports
    Installs = 2,               // install reports
    EmptyIdentifierReports = 3, // reports with an empty m
    ShownTimes = 4,             // n: machines shown exactly n times
    InstalledAfter = 5,         // n: machines whose first install came after exactly n showings
    InstallsWithoutShowing = 6, // machines whose first install came before any showing
    Reach = 7,                  // n: machines shown n times before they installed or to now
    ShownTwiceADay = 8,         // machines with two showings on one day
    TimeToInstall = 9,          // n: a bucket of seconds from the latest showing to the first install
};
using CountKey = std::pair<Count, std::int64_t>;  // n is 0 for the counts without one
using Counts = std::map<CountKey, std::int64_t>;

// Adds `sign` (1 or -1) for every count the machine in `state` is in; its
// days are cut in the zone `utcOffsetHours`.
void AddMachine(Counts& counts, const MachineState& state, int utcOffsetHours, int sign);
// What a report itself adds: its kind's report count, and an empty
// identifier's (which has no machine state).
void AddReport(Counts& counts, ReportKind kind, bool emptyIdentifier);
// Drops the counts whose difference came to 0.
void DropZeros(Counts& counts);

// The time-to-install histogram: seconds below 128 have a bucket each; above,
// 64 buckets for each power of two, so a bucket is at most 1/64 of its
// values wide and its middle (BucketValue) within 1/128 of any of them.
std::int64_t TimeBucket(std::int64_t seconds);
std::int64_t BucketValue(std::int64_t bucket);

}  // namespace reports
