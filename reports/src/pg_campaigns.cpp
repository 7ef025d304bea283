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
#include <optional>
#include <set>

namespace reports {

namespace {

// The ledger's advisory lock: any fixed number, the same in every release,
// other than the migrations'.
constexpr const char* kChangeLedger = "SELECT pg_advisory_xact_lock(4711020260301)";
constexpr const char* kCampaignColumns =
    "SELECT id, num, from_at, to_at, tz, purpose, max_popups, weekdays, title, patterns, built_through, build_to"
    " FROM campaigns";

// The intake's statements, each of one text (the rows go in arrays), are
// prepared: every connection parses them once, and the server may keep one
// plan for each. The writes insert or upsert, so each row is found through
// the primary key whatever the plan. The lookup (kLockStates) has a plan to
// choose, and one kept from when the table was small would read all of it
// at every call once it has grown. So the intake's transaction plans by key
// from its windows on (kWindows: no table read whole where an index finds
// the rows, nothing compiled for the cost that such a read then has, one
// plan kept for each statement), and the lookup is prepared only there; a
// build's is planned at each call.
constexpr const char* kHoldLedger = "SELECT pg_advisory_xact_lock_shared(4711020260301)";
// The windows, and the settings for planning by key, in the one statement:
// one row of nulls when the ledger is empty, so that the settings are made
// all the same (OFFSET 0 keeps them a subquery of its own, run although no
// column of it is read).
constexpr const char* kWindows =
    "SELECT c.id, c.num, c.from_at, c.to_at, c.tz FROM (SELECT set_config('enable_seqscan', 'off', true),"
    " set_config('jit', 'off', true), set_config('plan_cache_mode', 'force_generic_plan', true) OFFSET 0) AS keyed"
    " LEFT JOIN campaigns AS c ON true ORDER BY c.from_at";
// Each for one campaign ($1, its num), so that its machines ($2, an array)
// are found through the primary key.
constexpr const char* kCreateEmpty =
    "INSERT INTO campaign_machines(campaign, machine, shown, times) SELECT $1::bigint, m, 0, ''::bytea"
    " FROM unnest($2::bytea[]) AS m ORDER BY m ON CONFLICT DO NOTHING";
// Its machines come sorted and once each: the lateral lookup locks them in
// that order, each through the primary key.
constexpr const char* kLockStates =
    "SELECT s.* FROM unnest($2::bytea[]) AS k(m), LATERAL (SELECT campaign, machine, shown, times, installed"
    " FROM campaign_machines WHERE campaign = $1::bigint AND machine = k.m FOR UPDATE) AS s";
// $2..$5 the machines and their states, created in the machines' order as
// every receiver creates them: a machine another receiver created in the
// meantime fails the insert (a unique violation), and with it the
// transaction.
constexpr const char* kCreate =
    "INSERT INTO campaign_machines SELECT $1::bigint, m, shown, times, installed"
    " FROM unnest($2::bytea[], $3::bigint[], $4::bytea[], $5::bigint[]) AS v(m, shown, times, installed) ORDER BY m";
// The same for states found and locked before, written over. An upsert
// rather than an UPDATE … FROM: its rows are found through the primary key
// by the statement's kind, where a join's plan may read all of the
// campaign's machines to find a few.
const std::string kUpdate = std::string(kCreate) +
    " ON CONFLICT (campaign, machine) DO UPDATE SET shown = excluded.shown, times = excluded.times,"
    " installed = excluded.installed";
// $2 this connection's shard, $3..$5 the counts' differences.
constexpr const char* kAddCounts =
    "INSERT INTO campaign_counts AS k SELECT $1::bigint, $2::smallint, f, n, d"
    " FROM unnest($3::smallint[], $4::bigint[], $5::bigint[]) AS c(f, n, d) ORDER BY f, n"
    " ON CONFLICT (campaign, shard, figure, n) DO UPDATE SET value = k.value + excluded.value";
// The counts added by the campaign's last statement of states instead, one
// statement fewer: kAddCounts on $6..$9 before kUpdate or kCreate.
const std::string kCountsFirst =
    "WITH counted AS (INSERT INTO campaign_counts AS k SELECT $1::bigint, $6::smallint, f, n, d"
    " FROM unnest($7::smallint[], $8::bigint[], $9::bigint[]) AS c(f, n, d) ORDER BY f, n"
    " ON CONFLICT (campaign, shard, figure, n) DO UPDATE SET value = k.value + excluded.value) ";
const std::string kUpdateCounting = kCountsFirst + kUpdate;
const std::string kCreateCounting = kCountsFirst + kCreate;

std::optional<std::int64_t> Optional(const PGresult* r, int row, int column) {
    if (PQgetisnull(r, row, column)) return std::nullopt;
    return PgInt(r, row, column);
}

class PgCampaigns : public CampaignTables {
public:
    PgCampaigns(PgLink& link, int shard) : link_(link), shard_(shard) {}

    void HoldLedger() override {
        keyed_ = false;
        link_.SendPrepared("q_hold", kHoldLedger);
    }
    // With a guess the states are only read and locked: the machines not
    // found are created by Write with their state, at the commit's round
    // trip (one row written instead of three). Should another receiver
    // have created one meanwhile, Write's insert finds it and the
    // transaction fails as Contended, to be run again.
    void AskLedger(const std::vector<StateKey>& guessed) override {
        answered_ = false;
        link_.SendPrepared("q_windows", kWindows, {}, [this](const PGresult* r) { AnswerLedger(r); });
        keyed_ = true;
        SendStates(guessed, false);
    }
    void AskStates(const std::vector<StateKey>& keys) override { SendStates(keys, true); }
    void Flush() override {
        if (link_.Pending()) link_.Collect();
    }
    const Ledger* AnsweredLedger() override { return answered_ ? &ledger_ : nullptr; }
    std::vector<StateRow> AnsweredStates() override {
        found_.clear();
        for (const StateRow& row : states_) found_.insert(row.key);
        return std::move(states_);
    }

    // For each campaign: its states found updated, those not found
    // created, its counts added to this connection's rows by the last of
    // those statements (alone when it has none).
    void Write(const std::vector<StateRow>& rows, const std::map<std::int64_t, Counts>& counts) override {
        std::set<std::int64_t> nums;
        for (const StateRow& row : rows) nums.insert(row.key.num);
        for (const auto& [num, differences] : counts) nums.insert(num);
        for (const std::int64_t num : nums) {
            std::optional<PgParams> update = States(rows, num, true), create = States(rows, num, false);
            const auto differences = counts.find(num);
            const bool counting = differences != counts.end();
            if (counting) {
                if (!update && !create) {
                    PgParams alone;
                    alone.Int(num);
                    AddCounts(alone, differences->second);
                    link_.SendPrepared("q_count", kAddCounts, std::move(alone));
                } else {
                    AddCounts(create ? *create : *update, differences->second);
                }
            }
            if (update) {
                const bool last = counting && !create;
                link_.SendPrepared(last ? "q_update_counting" : "q_update", last ? kUpdateCounting.c_str() : kUpdate.c_str(),
                                   std::move(*update));
            }
            if (create) {
                link_.SendPrepared(counting ? "q_create_counting" : "q_create", counting ? kCreateCounting.c_str() : kCreate,
                                   std::move(*create), {}, /*raceGuard=*/true);
            }
        }
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
    void AnswerLedger(const PGresult* r) {
        ledger_.clear();
        for (int i = 0; i < PQntuples(r); ++i) {
            if (!PQgetisnull(r, i, 0)) ledger_.push_back(Window(r, i));  // not the empty ledger's row
        }
        answered_ = true;
    }

    // A row's first columns: id, num, from_at, to_at, tz.
    static Campaign Window(const PGresult* r, int i) {
        Campaign c;
        c.id = PQgetvalue(r, i, 0);
        c.num = PgInt(r, i, 1);
        c.from = PgInt(r, i, 2);
        c.to = Optional(r, i, 3);
        c.utcOffsetHours = static_cast<int>(PgInt(r, i, 4));
        return c;
    }

    // The states of `keys` that exist, locked, a statement per campaign in
    // the keys' order; with `create` those missing are created first
    // (empty), so that every one is found.
    void SendStates(const std::vector<StateKey>& keys, bool create) {
        states_.clear();
        for (std::size_t start = 0; start < keys.size();) {
            const std::int64_t num = keys[start].num;
            ArrayText machines;
            for (; start < keys.size() && keys[start].num == num; ++start) machines.Bytes(keys[start].machine);
            PgParams params;
            params.Int(num);
            params.Text(machines.Text());
            if (create) link_.SendPrepared("q_create_empty", kCreateEmpty, params);
            auto answer = [this](const PGresult* r) { AnswerStates(r); };
            if (keyed_) {
                link_.SendPrepared("q_states", kLockStates, std::move(params), answer);
            } else {
                link_.Send(kLockStates, std::move(params), answer);
            }
        }
    }

    // A campaign's states that were found (or not) as kUpdate's (kCreate's)
    // parameters; none when it has no such state.
    std::optional<PgParams> States(const std::vector<StateRow>& rows, std::int64_t num, bool found) const {
        ArrayText machines, shown, times, installed;
        bool any = false;
        for (const StateRow& row : rows) {
            if (row.key.num != num || (found_.count(row.key) > 0) != found) continue;
            machines.Bytes(row.key.machine);
            shown.Int(row.state.shown);
            times.Bytes(SerializeTimes(row.state.times));
            installed.Int(row.state.installed);
            any = true;
        }
        if (!any) return std::nullopt;
        PgParams params;
        params.Int(num);
        for (const ArrayText* a : {&machines, &shown, &times, &installed}) params.Text(a->Text());
        return params;
    }

    // This connection's shard and the counts' differences, kAddCounts's
    // parameters after the campaign.
    void AddCounts(PgParams& params, const Counts& differences) const {
        ArrayText figures, ns, values;
        for (const auto& [key, value] : differences) {
            figures.Int(static_cast<std::int64_t>(key.first));
            ns.Int(key.second);
            values.Int(value);
        }
        params.Int(shard_);
        for (const ArrayText* a : {&figures, &ns, &values}) params.Text(a->Text());
    }

    void AnswerStates(const PGresult* r) {
        for (int i = 0; i < PQntuples(r); ++i) {
            StateRow row{{PgInt(r, i, 0), PgBytea(r, i, 1)}, {}};
            row.state.shown = PgInt(r, i, 2);
            if (!ParseTimes(PgBytea(r, i, 3), row.state.times)) {
                link_.Fail("a campaign machine's showing times are damaged", PgLink::Hint(""));
            }
            row.state.installed = Optional(r, i, 4);
            states_.push_back(std::move(row));
        }
    }

    void RunWith(const char* sql, std::int64_t value) {
        PgParams params;
        params.Int(value);
        link_.Run(sql, std::move(params));
    }

    static Ledger Campaigns(const PGresult* r) {
        Ledger ledger;
        for (int i = 0; i < PQntuples(r); ++i) {
            Campaign c = Window(r, i);
            c.purpose = PQgetvalue(r, i, 5);
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
    bool keyed_ = false;  // this transaction plans by key: the intake's, from its windows on
    std::vector<StateRow> states_;
    std::set<StateKey> found_;  // the states the last question found
};

}  // namespace

// The schema step that adds the campaigns: the SQLite store's tables in
// PostgreSQL's types, the counts with a shard column as the rollups have,
// and the campaign numbers from a sequence.
const char kPgCampaignsStep[] =
    "CREATE TABLE IF NOT EXISTS campaigns("
    "  id text PRIMARY KEY,"
    "  num bigint NOT NULL UNIQUE,"
    "  purpose text NOT NULL,"
    "  from_at bigint NOT NULL,"
    "  to_at bigint,"
    "  tz smallint NOT NULL,"
    "  max_popups bigint,"
    "  weekdays bigint,"
    "  title text NOT NULL,"
    "  patterns text NOT NULL,"
    "  built_through bigint NOT NULL,"
    "  build_to bigint NOT NULL);"
    "CREATE SEQUENCE IF NOT EXISTS campaign_nums;"
    "CREATE TABLE IF NOT EXISTS campaign_machines("
    "  campaign bigint NOT NULL,"
    "  machine bytea NOT NULL,"
    "  shown bigint NOT NULL,"
    "  times bytea NOT NULL,"
    "  installed bigint,"
    "  PRIMARY KEY (campaign, machine));"
    "CREATE TABLE IF NOT EXISTS campaign_counts("
    "  campaign bigint NOT NULL,"
    "  shard smallint NOT NULL,"
    "  figure smallint NOT NULL,"
    "  n bigint NOT NULL,"
    "  value bigint NOT NULL,"
    "  PRIMARY KEY (campaign, shard, figure, n));"
    "CREATE TABLE IF NOT EXISTS campaign_discarded(num bigint PRIMARY KEY);";

std::unique_ptr<CampaignTables> MakePgCampaigns(PgLink& link, int shard) {
    return std::make_unique<PgCampaigns>(link, shard);
}

}  // namespace reports
