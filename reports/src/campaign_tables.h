// What each back end stores for the campaigns, in its own SQL: the ledger,
// each campaign's per-machine states and its counts. Every call runs inside
// a transaction the caller holds. Only the Store and CampaignBatch call it.
//
// A writer's transaction asks for the ledger and the states it needs
// (AskLedger, AskStates) and reads the answers after Flush: SQLite answers at
// once; PostgreSQL sends the questions in its pipeline and answers them with
// the round trip the rollups make anyway. The states asked for are locked
// until the transaction ends, so two receivers on one database change a
// machine's state one after the other, never from the same old state.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ledger.h"
#include "machine_state.h"

namespace reports {

// A machine of a campaign: its campaign's num and its identifier's bytes.
struct StateKey {
    std::int64_t num = 0;
    std::string machine;
    bool operator<(const StateKey& o) const { return num != o.num ? num < o.num : machine < o.machine; }
    bool operator==(const StateKey& o) const { return num == o.num && machine == o.machine; }
};

struct StateRow {
    StateKey key;
    MachineState state;
};

class CampaignTables {
public:
    virtual ~CampaignTables() = default;

    // First in a transaction that stores reports: the ledger stays as it is
    // until the transaction ends (PostgreSQL: another connection's add, end
    // or remove waits for it, and it for them; SQLite's write lock does that
    // already).
    virtual void HoldLedger() = 0;
    // Asks for the campaigns' windows (id, num, from, to, zone: what
    // attributes a report). Answered after Flush, or at once. A back end
    // that answers only after Flush asks for the states of `guessed` along
    // with it (as AskStates), in the same round trip; one that answers at
    // once leaves them to an AskStates by the ledger it answered.
    virtual void AskLedger(const std::vector<StateKey>& guessed) = 0;
    // Asks for the states of `keys` (sorted, distinct), locked until the
    // transaction ends. Answered after Flush: those that exist (PostgreSQL
    // creates the missing ones empty first, so that it can lock them).
    virtual void AskStates(const std::vector<StateKey>& keys) = 0;
    virtual void Flush() = 0;
    // Null until answered.
    virtual const Ledger* AnsweredLedger() = 0;
    virtual std::vector<StateRow> AnsweredStates() = 0;
    // Writes the states that changed, and adds the differences to each
    // campaign's counts (by num).
    virtual void Write(const std::vector<StateRow>& rows, const std::map<std::int64_t, Counts>& counts) = 0;

    // The whole ledger, ordered by from; with `forChange` locked against
    // every other change and against the writers' transactions until this
    // one ends (PostgreSQL: they wait; SQLite: its write lock).
    virtual Ledger ReadLedger(bool forChange) = 0;
    // One campaign, locked against another build of it until the
    // transaction ends.
    virtual std::optional<Campaign> LockCampaign(const std::string& id) = 0;
    virtual std::int64_t NewNum() = 0;
    // Inserts the campaign, or replaces the one with its id.
    virtual void PutCampaign(const Campaign& campaign) = 0;
    virtual void DeleteCampaign(const std::string& id) = 0;
    virtual void SetBuiltThrough(const std::string& id, std::int64_t builtThrough) = 0;
    // Whether a report is stored with a time in [from, to) (to none: open).
    virtual bool AnyReportIn(std::int64_t from, std::optional<std::int64_t> to) = 0;
    // A state no campaign uses any more: its rows are deleted a few at a
    // time by Collect, so that no transaction holds the writers up for long.
    virtual void Discard(std::int64_t num) = 0;
    // Deletes up to `limit` rows of discarded states; false when none is left.
    virtual bool Collect(int limit) = 0;
    // The campaign's counts, added up over the writers.
    virtual Counts ReadCounts(std::int64_t num) = 0;
};

}  // namespace reports
