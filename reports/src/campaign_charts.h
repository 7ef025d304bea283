// The campaign pages' charts: inline SVG that scales to the page's width,
// with no script, each bar and point titled with its figure. Pure: no I/O.
#pragma once
#include <string>

#include "campaign_figures.h"
#include "ledger.h"

namespace reports {

// The funnel and each showing's own conversion show the first kChartShowings
// showings; the table under them says how many machines were shown more often.
constexpr std::int64_t kChartShowings = 10;

// Machines shown at least n times, and those whose first install came after
// their n-th showing, a pair of bars for each n.
std::string FunnelChart(const CampaignFigures& figures);
// Each showing's own conversion with its 95 % interval.
std::string StepChart(const CampaignFigures& figures);
// How long after their latest showing machines installed, in spans from
// under a minute to over three days.
std::string WaitChart(const CampaignFigures& figures);
// Two campaigns' conversions with their intervals on one scale, and b - a
// with its interval around 0.
std::string CompareChart(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb);

}  // namespace reports
