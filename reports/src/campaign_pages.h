// The campaigns' HTML: a campaign's page, the comparison of two, and the
// list of campaigns the dashboard links to. Inline SVG, no script, every
// text escaped for where it goes. Pure: no I/O.
#pragma once
#include <string>
#include <string_view>

#include "campaign_figures.h"
#include "ledger.h"

namespace reports {

std::string CampaignPage(const Campaign& campaign, const CampaignFigures& figures);
// `ledger` offers the campaigns to compare with.
std::string ComparePage(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb,
                        const Ledger& ledger);
// The page to choose two campaigns to compare, `a` chosen already when not
// empty.
std::string CompareChoicePage(const Ledger& ledger, const std::string& a);
// The dashboard's list of campaigns, each linked to its page.
std::string CampaignList(const Ledger& ledger);

// `text` as a URL's query value: every byte but unreserved ones as %XX.
std::string QueryValue(std::string_view text);

}  // namespace reports
