// The campaign tables in PostgreSQL, where any number of receivers write at
// once:
//
// - A writer's transaction holds the ledger with a shared advisory lock
//   before it stores a report; a change of the ledger takes it exclusively.
//   So a change waits for the transactions in flight and they for it, and a
//   report's id is below a build's end exactly when the build sees it.
// - A machine's state row is created when missing and locked FOR UPDATE, in
//   the order of (campaign, machine), before it is read: two receivers
//   change it one after the other, never from the same old state, and never
//   wait for each other in a circle.
// - Counts are added to the connection's own shard of rows (as the rollups
//   are), so receivers do not queue on one campaign's counts; readers add
//   the shards up.
#include "pg_campaigns.h"

#include <climits>

namespace reports {

namespace {

// The ledger's advisory lock: any fixed number, the same in every release,
// other than the migrations'.
constexpr const char* kHoldLedger = "SELECT pg_advisory_xact_lock_shared(4711020260301)";
constexpr const char* kChangeLedger = "SELECT pg_advisory_xact_lock(4711020260301)";
constexpr const char* kCampaignColumns =
    "SELECT id, num, purpose, from_at, to_at, tz, max_popups, weekdays, title, patterns, built_through, build_to"
    " FROM campaigns";
// A statement takes at most 65,535 parameters.
constexpr std::size_t kRowsPerStatement = 1000;

std::optional<std::int64_t> Optional(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return std::nullopt;
    return PgInt(r, row, column);
}

// "($1::bigint,$2::bytea),($3::bigint,$4::bytea)...": `rows` rows of the types.
std::string Values(std::size_t rows, const std::vector<const char*>& types) {
    std::string sql;
    int n = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        sql += i == 0 ? "(" : ",(";
        for (std::size_t t = 0; t < types.size(); ++t) sql += (t ? ",$" : "$") + std::to_string(++n) + "::" + types[t];
        sql += ")";
    }
    return sql;
}

class PgCampaigns : public CampaignTables {
public:
    PgCampaigns(PgLink& link, int shard) : link_(link), shard_(shard) {}

    void HoldLedger() override { link_.Send(kHoldLedger); }
    void AskLedger() override {
        answered_ = false;
        link_.Send("SELECT id, num, from_at, to_at, tz FROM campaigns ORDER BY from_at", {}, [this](const PGresult* r) {
            ledger_.clear();
            for (int i = 0; i < PQntuples(r); ++i) {
                Campaign c;
                c.id = PQgetvalue(r, i, 0);
                c.num = PgInt(r, i, 1);
                c.from = PgInt(r, i, 2);
                c.to = Optional(r, i, 3);
                c.utcOffsetHours = static_cast<int>(PgInt(r, i, 4));
                ledger_.push_back(std::move(c));
            }
            answered_ = true;
        });
    }
    void AskStates(const std::vector<StateKey>& keys) override {
        states_.clear();
        for (std::size_t start = 0; start < keys.size(); start += kRowsPerStatement) {
            const std::size_t rows = std::min(keys.size() - start, kRowsPerStatement);
            PgParams params;
            for (std::size_t i = start; i < start + rows; ++i) {
                params.Int(keys[i].num);
                params.Bytes(keys[i].machine);
            }
            const std::string values = Values(rows, {"bigint", "bytea"});
            // Created only for a campaign still in the ledger: a guess that
            // came too late leaves nothing behind.
            link_.Send("INSERT INTO campaign_machines(campaign, machine, shown, times) SELECT k.c, k.m, 0, ''::bytea"
                       " FROM (VALUES " + values + ") AS k(c, m) WHERE EXISTS (SELECT 1 FROM campaigns WHERE num = k.c)"
                       " ORDER BY k.c, k.m ON CONFLICT DO NOTHING",
                       params);
            link_.Send("SELECT s.campaign, s.machine, s.shown, s.times, s.installed FROM campaign_machines s"
                       " JOIN (VALUES " + values + ") AS k(c, m) ON s.campaign = k.c AND s.machine = k.m"
                       " ORDER BY s.campaign, s.machine FOR UPDATE OF s",
                       std::move(params), [this](const PGresult* r) {
                           for (int i = 0; i < PQntuples(r); ++i) {
                               StateRow row{{PgInt(r, i, 0), PgBytea(r, i, 1)}, {}};
                               row.state.shown = PgInt(r, i, 2);
                               if (!ParseTimes(PgBytea(r, i, 3), row.state.times)) {
                                   link_.Fail("a campaign machine's showing times are damaged", PgLink::Hint(""));
                               }
                               row.state.installed = Optional(r, i, 4);
                               states_.push_back(std::move(row));
                           }
                       });
        }
    }
    void Flush() override {
        if (link_.Pending()) link_.Collect();
    }
    const Ledger* AnsweredLedger() override { return answered_ ? &ledger_ : nullptr; }
    std::vector<StateRow> AnsweredStates() override { return std::move(states_); }

    void WriteStates(const std::vector<StateRow>& rows) override {
        for (std::size_t start = 0; start < rows.size(); start += kRowsPerStatement) {
            const std::size_t n = std::min(rows.size() - start, kRowsPerStatement);
            PgParams params;
            for (std::size_t i = start; i < start + n; ++i) {
                const MachineState& state = rows[i].state;
                params.Int(rows[i].key.num);
                params.Bytes(rows[i].key.machine);
                params.Int(state.shown);
                params.Bytes(SerializeTimes(state.times));
                params.Text(state.installed ? std::to_string(*state.installed) : std::string());
            }
            link_.Send("UPDATE campaign_machines AS s SET shown = v.shown, times = v.times,"
                       " installed = NULLIF(v.installed, '')::bigint FROM (VALUES " +
                           Values(n, {"bigint", "bytea", "bigint", "bytea", "text"}) +
                           ") AS v(c, m, shown, times, installed) WHERE s.campaign = v.c AND s.machine = v.m",
                       std::move(params));
        }
    }
    void AddCounts(std::int64_t num, const Counts& counts) override {
        PgParams params;
        for (const auto& [key, value] : counts) {
            for (const std::int64_t v : {num, static_cast<std::int64_t>(shard_), static_cast<std::int64_t>(key.first),
                                         key.second, value}) {
                params.Int(v);
            }
        }
        link_.Send("INSERT INTO campaign_counts AS c VALUES " +
                       Values(counts.size(), {"bigint", "smallint", "smallint", "bigint", "bigint"}) +
                       " ON CONFLICT (campaign, shard, figure, n) DO UPDATE SET value = c.value + excluded.value",
                   std::move(params));
    }

    Ledger ReadLedger(bool forChange) override {
        if (forChange) link_.Run(kChangeLedger);
        return Campaigns(link_.Run(std::string(kCampaignColumns) + " ORDER BY from_at").get());
    }
    std::optional<Campaign> LockCampaign(const std::string& id) override {
        PgParams params;
        params.Text(id);
        Ledger found = Campaigns(link_.Run(std::string(kCampaignColumns) + " WHERE id = $1 FOR UPDATE", params).get());
        if (found.empty()) return std::nullopt;
        return std::move(found.front());
    }
    std::int64_t NewNum() override { return PgInt(link_.Run("SELECT nextval('campaign_nums')").get(), 0, 0); }
    void PutCampaign(const Campaign& c) override {
        PgParams params;
        auto optional = [&params](std::optional<std::int64_t> v) { params.Text(v ? std::to_string(*v) : std::string()); };
        params.Text(c.id);
        params.Int(c.num);
        params.Text(c.purpose);
        params.Int(c.from);
        optional(c.to);
        params.Int(c.utcOffsetHours);
        optional(c.maxPopups);
        optional(c.weekdays);
        params.Text(c.title);
        params.Text(JoinLines(c.patterns));
        params.Int(c.builtThrough);
        params.Int(c.buildTo);
        link_.Run("INSERT INTO campaigns VALUES ($1, $2::bigint, $3, $4::bigint, NULLIF($5, '')::bigint, $6::smallint,"
                  " NULLIF($7, '')::bigint, NULLIF($8, '')::bigint, $9, $10, $11::bigint, $12::bigint)"
                  " ON CONFLICT (id) DO UPDATE SET num = excluded.num, purpose = excluded.purpose,"
                  " from_at = excluded.from_at, to_at = excluded.to_at, tz = excluded.tz,"
                  " max_popups = excluded.max_popups, weekdays = excluded.weekdays, title = excluded.title,"
                  " patterns = excluded.patterns, built_through = excluded.built_through, build_to = excluded.build_to",
                  std::move(params));
    }
    void DeleteCampaign(const std::string& id) override {
        PgParams params;
        params.Text(id);
        link_.Run("DELETE FROM campaigns WHERE id = $1", std::move(params));
    }
    void SetBuiltThrough(const std::string& id, std::int64_t builtThrough) override {
        PgParams params;
        params.Text(id);
        params.Int(builtThrough);
        link_.Run("UPDATE campaigns SET built_through = $2::bigint WHERE id = $1", std::move(params));
    }
    bool AnyReportIn(std::int64_t from, std::optional<std::int64_t> to) override {
        PgParams params;
        params.Int(from);
        params.Int(to.value_or(INT64_MAX));
        const UniqueResult r =
            link_.Run("SELECT EXISTS (SELECT 1 FROM reports WHERE at >= $1::bigint AND at < $2::bigint)", std::move(params));
        return std::string(PQgetvalue(r.get(), 0, 0)) == "t";
    }
    void Discard(std::int64_t num) override { RunWith("INSERT INTO campaign_discarded VALUES ($1::bigint) ON CONFLICT DO NOTHING", num); }
    bool Collect(int limit) override {
        const UniqueResult first = link_.Run("SELECT num FROM campaign_discarded LIMIT 1");
        if (PQntuples(first.get()) == 0) return false;
        const std::int64_t num = PgInt(first.get(), 0, 0);
        PgParams params;
        params.Int(num);
        params.Int(limit);
        const UniqueResult deleted = link_.Run(
            "DELETE FROM campaign_machines WHERE ctid = ANY (ARRAY (SELECT ctid FROM campaign_machines"
            " WHERE campaign = $1::bigint LIMIT $2::bigint))",
            std::move(params));
        if (std::atoi(PQcmdTuples(deleted.get())) > 0) return true;
        RunWith("DELETE FROM campaign_counts WHERE campaign = $1::bigint", num);
        RunWith("DELETE FROM campaign_discarded WHERE num = $1::bigint", num);
        return true;
    }
    Counts ReadCounts(std::int64_t num) override {
        PgParams params;
        params.Int(num);
        const UniqueResult r = link_.Run(
            "SELECT figure, n, sum(value) FROM campaign_counts WHERE campaign = $1::bigint GROUP BY figure, n",
            std::move(params));
        Counts counts;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            counts[{static_cast<Count>(PgInt(r.get(), i, 0)), PgInt(r.get(), i, 1)}] = PgInt(r.get(), i, 2);
        }
        return counts;
    }

private:
    void RunWith(const char* sql, std::int64_t value) {
        PgParams params;
        params.Int(value);
        link_.Run(sql, std::move(params));
    }

    static Ledger Campaigns(const PGresult* r) {
        Ledger ledger;
        for (int i = 0; i < PQntuples(r); ++i) {
            Campaign c;
            c.id = PQgetvalue(r, i, 0);
            c.num = PgInt(r, i, 1);
            c.purpose = PQgetvalue(r, i, 2);
            c.from = PgInt(r, i, 3);
            c.to = Optional(r, i, 4);
            c.utcOffsetHours = static_cast<int>(PgInt(r, i, 5));
            c.maxPopups = Optional(r, i, 6);
            c.weekdays = Optional(r, i, 7);
            c.title = PQgetvalue(r, i, 8);
            c.patterns = SplitLines(PQgetvalue(r, i, 9));
            c.builtThrough = PgInt(r, i, 10);
            c.buildTo = PgInt(r, i, 11);
            ledger.push_back(std::move(c));
        }
        return ledger;
    }

    PgLink& link_;
    const int shard_;
    Ledger ledger_;
    bool answered_ = false;
    std::vector<StateRow> states_;
};

}  // namespace

std::unique_ptr<CampaignTables> MakePgCampaigns(PgLink& link, int shard) {
    return std::make_unique<PgCampaigns>(link, shard);
}

}  // namespace reports
