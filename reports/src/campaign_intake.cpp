#include "campaign_intake.h"

#include <algorithm>
#include <map>

namespace reports {

namespace {

// The machines the reports change, sorted and once each: the order every
// transaction locks them in, so that two never wait for each other in a
// circle.
std::vector<StateKey> KeysOf(const Ledger& ledger, const std::vector<Report>& reports) {
    std::vector<StateKey> keys;
    for (const Report& r : reports) {
        const Campaign* c = r.machine.empty() ? nullptr : CampaignAt(ledger, r.at);
        if (c != nullptr) keys.push_back({c->num, r.machine});
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return keys;
}

bool SameWindows(const Ledger& a, const Ledger& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Campaign& x, const Campaign& y) {
        return x.num == y.num && x.from == y.from && x.to == y.to && x.utcOffsetHours == y.utcOffsetHours;
    });
}

// The reports applied to the answered states: the states that changed and
// each campaign's counts written.
void Write(CampaignTables& tables, const Ledger& ledger, const std::vector<Report>& reports) {
    std::map<StateKey, MachineState> before, after;
    for (StateRow& row : tables.AnsweredStates()) before.emplace(row.key, std::move(row.state));
    std::map<std::int64_t, Counts> counts;
    std::map<std::int64_t, int> zones;
    for (const Report& r : reports) {
        const Campaign* c = CampaignAt(ledger, r.at);
        if (c == nullptr) continue;
        zones[c->num] = c->utcOffsetHours;
        AddReport(counts[c->num], r.kind, r.machine.empty());
        if (r.machine.empty()) continue;
        StateKey key{c->num, r.machine};
        auto it = after.find(key);
        if (it == after.end()) {
            const auto old = before.find(key);
            it = after.emplace(std::move(key), old == before.end() ? MachineState{} : old->second).first;
        }
        Apply(it->second, r.kind, r.at);
    }
    std::vector<StateRow> changed;
    for (const auto& [key, state] : after) {
        const auto old = before.find(key);
        const MachineState empty;
        const MachineState& was = old == before.end() ? empty : old->second;
        if (was == state) continue;
        Counts& k = counts[key.num];
        AddMachine(k, was, zones[key.num], -1);
        AddMachine(k, state, zones[key.num], 1);
        changed.push_back({key, state});
    }
    for (auto it = counts.begin(); it != counts.end();) {
        DropZeros(it->second);
        it = it->second.empty() ? counts.erase(it) : std::next(it);
    }
    if (!changed.empty() || !counts.empty()) tables.Write(changed, counts);
}

}  // namespace

CampaignBatch::CampaignBatch(CampaignTables& tables, const std::vector<Report>& reports, const Ledger* guess)
    : tables_(tables), reports_(reports) {
    tables_.AskLedger(guess != nullptr ? KeysOf(*guess, reports_) : std::vector<StateKey>());
    if (tables_.AnsweredLedger() == nullptr && guess == nullptr) tables_.Flush();
    if (const Ledger* now = tables_.AnsweredLedger()) {
        asked_ = *now;
        const std::vector<StateKey> keys = KeysOf(asked_, reports_);
        if (!keys.empty()) tables_.AskStates(keys);
    } else {
        asked_ = *guess;
    }
}

bool CampaignBatch::Apply() {
    tables_.Flush();
    ledger_ = *tables_.AnsweredLedger();
    if (!SameWindows(asked_, ledger_)) return false;
    Write(tables_, ledger_, reports_);
    return true;
}

void AddToCampaign(CampaignTables& tables, const Campaign& campaign, const std::vector<Report>& reports) {
    const Ledger ledger{campaign};
    const std::vector<StateKey> keys = KeysOf(ledger, reports);
    if (!keys.empty()) tables.AskStates(keys);
    tables.Flush();
    Write(tables, ledger, reports);
}

}  // namespace reports
