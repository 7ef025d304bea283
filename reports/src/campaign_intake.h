// Reports into the campaigns' states and counts, inside the transaction that
// stores them: each report to the campaign whose window holds its time, each
// machine's state changed and the campaign's counts by what that changed.
// The rules are machine_state.h's; the SQL is the back end's (campaign_tables.h).
#pragma once
#include <vector>

#include "campaign_tables.h"
#include "ledger.h"
#include "report.h"

namespace reports {

class CampaignBatch {
public:
    // Asks for what the reports need: the ledger, and the states of their
    // machines in the campaigns that `guess` (the ledger the connection's
    // last transaction saw) gives them to. PostgreSQL then answers both in
    // the round trip the rollups make. Without a guess, or where the back
    // end answers at once, the states asked for are those of the ledger.
    CampaignBatch(CampaignTables& tables, const std::vector<Report>& reports, const Ledger* guess);
    // Writes the new states and the counts' differences. False when the
    // ledger was not the guess: nothing is written, and the transaction is
    // to start again (with ledger() as its guess).
    bool Apply();
    const Ledger& ledger() const { return ledger_; }

private:
    CampaignTables& tables_;
    const std::vector<Report>& reports_;
    Ledger asked_;  // the ledger the states were asked for by
    Ledger ledger_;
};

// A build's page: reports all within `campaign`'s window, added to its state
// and counts.
void AddToCampaign(CampaignTables& tables, const Campaign& campaign, const std::vector<Report>& reports);

}  // namespace reports
