// The campaigns in words and tables for people: the terminal's `campaign
// list`, `show` and `compare`, and the phrases the pages share with them.
// Pure: no I/O.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "campaign_figures.h"
#include "ledger.h"

namespace reports {

// "45 s", "5 min 12 s", "2 h 5 min", "3 d 4 h".
std::string DurationText(std::int64_t seconds);
// "16.41 %" (two decimals), or "-" for none.
std::string PercentText(std::optional<double> share);
// "16.18 % to 16.64 %", or "-".
std::string IntervalText(const std::optional<Interval>& interval);
// "+1.25 points (95 %: +0.40 to +2.10)".
std::string DifferenceText(const Difference& difference);
// The build's state: "complete", or how far it has come.
std::string BuildText(const Campaign& campaign);
// What the comparison says, in a sentence: significant, not, or too early.
std::string VerdictText(const Comparison& comparison);

std::string LedgerTable(const Ledger& ledger);
std::string CampaignText(const Campaign& campaign, const CampaignFigures& figures);
std::string CompareText(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb);

}  // namespace reports
