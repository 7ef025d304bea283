// The Store's campaign ledger: its changes, each in a transaction that holds
// every writer off (so a report stored meanwhile is in the campaign's build
// or added as it is stored, never both, never neither), the builds from
// stored reports, and the reads of the pages.
#include <climits>

#include "campaign_intake.h"
#include "campaign_tables.h"
#include "store.h"

namespace reports {

namespace {

Campaign* Find(Ledger& ledger, const std::string& id) {
    for (Campaign& c : ledger) {
        if (c.id == id) return &c;
    }
    return nullptr;
}

[[noreturn]] void Unknown(const std::string& id) {
    throw LedgerRefused("the ledger has no campaign " + id + " (see quentra-reports campaign list)");
}

}  // namespace

Ledger Store::ReadLedger() { return Campaigns().ReadLedger(false); }

void Store::ChangeLedger(const std::function<void(Ledger&)>& change) {
    BeginTransaction();
    try {
        Ledger ledger = Campaigns().ReadLedger(true);
        change(ledger);
        CommitTransaction();
    } catch (...) {
        RollbackTransaction();
        throw;
    }
}

Campaign Store::AddCampaign(Campaign campaign) {
    ChangeLedger([&](Ledger& ledger) {
        const std::string why = CheckNewCampaign(ledger, campaign);
        if (!why.empty()) throw LedgerRefused(why);
        campaign.num = Campaigns().NewNum();
        // Every report stored so far is the build's; every later one is
        // added to the campaign as it is stored.
        campaign.builtThrough = 0;
        campaign.buildTo = LastId();
        Campaigns().PutCampaign(campaign);
    });
    return campaign;
}

Campaign Store::EndCampaign(const std::string& id, std::int64_t at) {
    Campaign ended;
    ChangeLedger([&](Ledger& ledger) {
        const std::string why = CheckEnd(ledger, id, at);
        if (!why.empty()) throw LedgerRefused(why);
        ended = *Find(ledger, id);
        // The reports between the old end and the new one change sides.
        const std::int64_t low = ended.to ? std::min(*ended.to, at) : at;
        const std::optional<std::int64_t> high = ended.to ? std::optional<std::int64_t>(std::max(*ended.to, at)) : std::nullopt;
        if (low != high && Campaigns().AnyReportIn(low, high)) {
            Campaigns().Discard(ended.num);
            ended.num = Campaigns().NewNum();
            ended.builtThrough = 0;
            ended.buildTo = LastId();
        }
        ended.to = at;
        Campaigns().PutCampaign(ended);
    });
    return ended;
}

void Store::RemoveCampaign(const std::string& id) {
    ChangeLedger([&](Ledger& ledger) {
        const Campaign* c = Find(ledger, id);
        if (c == nullptr) Unknown(id);
        Campaigns().Discard(c->num);
        Campaigns().DeleteCampaign(id);
    });
}

Campaign Store::BuildStep(const std::string& id, int limit) {
    Transaction step(*this);
    std::optional<Campaign> c = Campaigns().LockCampaign(id);
    if (!c) Unknown(id);
    if (!c->Built()) {
        const std::vector<Report> page =
            ReportsPage(c->from, c->to.value_or(INT64_MAX), c->builtThrough, c->buildTo, limit);
        AddToCampaign(Campaigns(), *c, page);
        c->builtThrough = page.size() < static_cast<std::size_t>(limit) ? c->buildTo : page.back().id;
        Campaigns().SetBuiltThrough(id, c->builtThrough);
    }
    step.Commit();
    return *c;
}

bool Store::CollectStep(int limit) {
    Transaction step(*this);
    const bool more = Campaigns().Collect(limit);
    step.Commit();
    return more;
}

std::optional<std::pair<Campaign, Counts>> Store::ReadCampaign(const std::string& id) {
    Ledger ledger = Campaigns().ReadLedger(false);
    const Campaign* c = Find(ledger, id);
    if (c == nullptr) return std::nullopt;
    return std::make_pair(*c, Campaigns().ReadCounts(c->num));
}

}  // namespace reports
