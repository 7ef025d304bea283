// A campaign's figures, derived from its counts (machine_state.h) added up
// over the writers, and campaign.json and compare.json made from them. Pure:
// no I/O. Reading them costs the counts (a few hundred rows), never a
// machine or a report.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ledger.h"
#include "machine_state.h"
#include "stats.h"

namespace reports {

// The n-th showing's own conversion: of the machines shown at least n times
// that had not installed before their n-th showing (`reached`), those whose
// first install came after it (`installed`).
struct ShowingStep {
    std::int64_t n = 0;
    std::int64_t shownAtLeast = 0;  // machines shown at least n times
    std::int64_t reached = 0;
    std::int64_t installed = 0;
    std::optional<Interval> interval;  // of installed / reached
    std::optional<double> conversion() const {
        if (reached == 0) return std::nullopt;
        return static_cast<double>(installed) / static_cast<double>(reached);
    }
};

struct CampaignFigures {
    std::int64_t machinesShown = 0, showings = 0, installs = 0, machinesInstalled = 0;
    std::map<std::int64_t, std::int64_t> shownTimes;      // n -> machines shown exactly n times
    std::map<std::int64_t, std::int64_t> installedAfter;  // n -> machines installed after their n-th showing
    std::optional<double> conversion;
    std::optional<Interval> conversionInterval;
    std::map<std::int64_t, std::int64_t> timeToInstall;   // bucket (TimeBucket) -> machines
    std::optional<std::int64_t> medianSeconds, p90Seconds;
    std::int64_t installsWithoutShowing = 0, shownTwiceADay = 0, emptyIdentifierReports = 0;
    std::optional<std::int64_t> overCap;  // with a cap only
    std::vector<ShowingStep> steps;       // n = 1 up to the most showings any machine had
};

CampaignFigures DeriveFigures(const Counts& counts, std::optional<std::int64_t> maxPopups);

// The value of the histogram (TimeBucket -> machines) at the nearest rank
// ceil(q * total); nullopt when it is empty.
std::optional<std::int64_t> Quantile(const std::map<std::int64_t, std::int64_t>& buckets, double q);

std::string CampaignJson(const Campaign& campaign, const CampaignFigures& figures);

// b against a: each one's conversion and interval, b - a with Newcombe's
// interval, and whether it is significant (null below kFewestToCompare
// machines shown in either).
struct Comparison {
    std::optional<Difference> difference;
    std::optional<bool> significant;
};
Comparison Compare(const CampaignFigures& a, const CampaignFigures& b);
std::string CompareJson(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb);

// "0.104200"-style fixed decimals, or "null".
std::string JsonNumber(std::optional<double> value);

}  // namespace reports
