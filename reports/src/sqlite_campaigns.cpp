// The campaign tables in SQLite. One connection writes at a time (BEGIN
// IMMEDIATE), so every question is answered at once and nothing needs a
// lock of its own; one row of counts per campaign, count and n.
#include "sqlite_campaigns.h"

#include <climits>

#include "unique.h"

namespace reports {

namespace {

using UniqueStatement = UniqueHandle<sqlite3_stmt, sqlite3_finalize>;

class SqliteCampaigns : public CampaignTables {
public:
    SqliteCampaigns(sqlite3* db, SqliteFail fail) : db_(db), fail_(std::move(fail)) {}

    void HoldLedger() override {}
    void AskLedger(const std::vector<StateKey>&) override {
        sqlite3_stmt* s = Cached(windows_, "SELECT id, num, from_at, to_at, tz FROM campaigns ORDER BY from_at");
        ledger_.clear();
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) ledger_.push_back(Window(s));
        Done(s, rc, SQLITE_DONE, "cannot read the campaigns");
        answered_ = true;
    }
    void AskStates(const std::vector<StateKey>& keys) override {
        sqlite3_stmt* s = Cached(readState_, "SELECT shown, times, installed FROM campaign_machines WHERE campaign = ?1 AND machine = ?2");
        states_.clear();
        for (const StateKey& key : keys) {
            sqlite3_bind_int64(s, 1, key.num);
            sqlite3_bind_blob(s, 2, key.machine.data(), static_cast<int>(key.machine.size()), SQLITE_STATIC);
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) {
                StateRow row{key, {}};
                row.state.shown = sqlite3_column_int64(s, 0);
                if (!ParseTimes(Blob(s, 1), row.state.times)) {
                    sqlite3_reset(s);
                    fail_(SQLITE_CORRUPT, "a campaign machine's showing times are damaged");
                }
                if (sqlite3_column_type(s, 2) != SQLITE_NULL) row.state.installed = sqlite3_column_int64(s, 2);
                states_.push_back(std::move(row));
            }
            Done(s, rc, rc == SQLITE_ROW ? SQLITE_ROW : SQLITE_DONE, "cannot read a campaign machine");
        }
    }
    void Flush() override {}
    const Ledger* AnsweredLedger() override { return answered_ ? &ledger_ : nullptr; }
    std::vector<StateRow> AnsweredStates() override { return std::move(states_); }

    void Write(const std::vector<StateRow>& rows, const std::map<std::int64_t, Counts>& counts) override {
        sqlite3_stmt* s = Cached(writeState_, "INSERT INTO campaign_machines VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT DO UPDATE"
                                              " SET shown = excluded.shown, times = excluded.times, installed = excluded.installed");
        for (const StateRow& row : rows) {
            const std::string times = SerializeTimes(row.state.times);
            sqlite3_bind_int64(s, 1, row.key.num);
            sqlite3_bind_blob(s, 2, row.key.machine.data(), static_cast<int>(row.key.machine.size()), SQLITE_STATIC);
            sqlite3_bind_int64(s, 3, row.state.shown);
            sqlite3_bind_blob(s, 4, times.data(), static_cast<int>(times.size()), SQLITE_STATIC);
            if (row.state.installed) {
                sqlite3_bind_int64(s, 5, *row.state.installed);
            } else {
                sqlite3_bind_null(s, 5);
            }
            Done(s, sqlite3_step(s), SQLITE_DONE, "cannot store a campaign machine");
        }
        for (const auto& [num, differences] : counts) AddCounts(num, differences);
    }

private:
    void AddCounts(std::int64_t num, const Counts& counts) {
        sqlite3_stmt* s = Cached(addCount_, "INSERT INTO campaign_counts VALUES (?1, ?2, ?3, ?4)"
                                            " ON CONFLICT DO UPDATE SET value = value + excluded.value");
        for (const auto& [key, value] : counts) {
            sqlite3_bind_int64(s, 1, num);
            sqlite3_bind_int(s, 2, static_cast<int>(key.first));
            sqlite3_bind_int64(s, 3, key.second);
            sqlite3_bind_int64(s, 4, value);
            Done(s, sqlite3_step(s), SQLITE_DONE, "cannot add to a campaign's counts");
        }
    }

public:
    Ledger ReadLedger(bool) override {
        UniqueStatement s = Prepare(
            "SELECT id, num, from_at, to_at, tz, purpose, max_popups, weekdays, title, patterns, built_through,"
            " build_to FROM campaigns ORDER BY from_at");
        return Campaigns(s.get());
    }
    std::optional<Campaign> LockCampaign(const std::string& id) override {
        for (Campaign& c : ReadLedger(false)) {
            if (c.id == id) return std::move(c);
        }
        return std::nullopt;
    }
    std::int64_t NewNum() override {
        UniqueStatement s = Prepare("UPDATE campaign_nums SET last = last + 1 RETURNING last");
        const int rc = sqlite3_step(s.get());
        const std::int64_t num = rc == SQLITE_ROW ? sqlite3_column_int64(s.get(), 0) : 0;
        Done(s.get(), rc, SQLITE_ROW, "cannot number a campaign");
        return num;
    }
    void PutCampaign(const Campaign& c) override {
        UniqueStatement s = Prepare("INSERT OR REPLACE INTO campaigns VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
                BindText(s.get(), 1, c.id);
        sqlite3_bind_int64(s.get(), 2, c.num);
        BindText(s.get(), 3, c.purpose);
        sqlite3_bind_int64(s.get(), 4, c.from);
        BindOptional(s.get(), 5, c.to);
        sqlite3_bind_int(s.get(), 6, c.utcOffsetHours);
        BindOptional(s.get(), 7, c.maxPopups);
        BindOptional(s.get(), 8, c.weekdays);
        BindText(s.get(), 9, c.title);
        BindText(s.get(), 10, JoinLines(c.patterns));
        sqlite3_bind_int64(s.get(), 11, c.builtThrough);
        sqlite3_bind_int64(s.get(), 12, c.buildTo);
        Done(s.get(), sqlite3_step(s.get()), SQLITE_DONE, "cannot store a campaign");
    }
    void DeleteCampaign(const std::string& id) override { Run("DELETE FROM campaigns WHERE id = ?1", id, 0); }
    void SetBuiltThrough(const std::string& id, std::int64_t builtThrough) override {
        Run("UPDATE campaigns SET built_through = ?2 WHERE id = ?1", id, builtThrough);
    }
    bool AnyReportIn(std::int64_t from, std::optional<std::int64_t> to) override {
        UniqueStatement s = Prepare("SELECT EXISTS (SELECT 1 FROM reports WHERE at >= ?1 AND at < ?2)");
        sqlite3_bind_int64(s.get(), 1, from);
        sqlite3_bind_int64(s.get(), 2, to.value_or(INT64_MAX));
        const int rc = sqlite3_step(s.get());
        const bool any = rc == SQLITE_ROW && sqlite3_column_int(s.get(), 0) == 1;
        Done(s.get(), rc, SQLITE_ROW, "cannot read the reports");
        return any;
    }
    void Discard(std::int64_t num) override {
        UniqueStatement s = Prepare("INSERT OR IGNORE INTO campaign_discarded VALUES (?1)");
        sqlite3_bind_int64(s.get(), 1, num);
        Done(s.get(), sqlite3_step(s.get()), SQLITE_DONE, "cannot discard a campaign's state");
    }
    bool Collect(int limit) override {
        UniqueStatement first = Prepare("SELECT num FROM campaign_discarded LIMIT 1");
        const int rc = sqlite3_step(first.get());
        if (rc == SQLITE_DONE) return false;
        const std::int64_t num = sqlite3_column_int64(first.get(), 0);
        Done(first.get(), rc, SQLITE_ROW, "cannot read the discarded states");
        UniqueStatement machines = Prepare(
            "DELETE FROM campaign_machines WHERE campaign = ?1 AND machine IN"
            " (SELECT machine FROM campaign_machines WHERE campaign = ?1 LIMIT ?2)");
        sqlite3_bind_int64(machines.get(), 1, num);
        sqlite3_bind_int(machines.get(), 2, limit);
        Done(machines.get(), sqlite3_step(machines.get()), SQLITE_DONE, "cannot delete a discarded state");
        if (sqlite3_changes(db_) > 0) return true;
        UniqueStatement rest = Prepare("DELETE FROM campaign_counts WHERE campaign = ?1");
        sqlite3_bind_int64(rest.get(), 1, num);
        Done(rest.get(), sqlite3_step(rest.get()), SQLITE_DONE, "cannot delete a discarded state");
        UniqueStatement forget = Prepare("DELETE FROM campaign_discarded WHERE num = ?1");
        sqlite3_bind_int64(forget.get(), 1, num);
        Done(forget.get(), sqlite3_step(forget.get()), SQLITE_DONE, "cannot delete a discarded state");
        return true;
    }
    Counts ReadCounts(std::int64_t num) override {
        UniqueStatement s = Prepare("SELECT figure, n, value FROM campaign_counts WHERE campaign = ?1");
        sqlite3_bind_int64(s.get(), 1, num);
        Counts counts;
        int rc;
        while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
            counts[{static_cast<Count>(sqlite3_column_int(s.get(), 0)), sqlite3_column_int64(s.get(), 1)}] +=
                sqlite3_column_int64(s.get(), 2);
        }
        Done(s.get(), rc, SQLITE_DONE, "cannot read a campaign's counts");
        return counts;
    }

private:
    UniqueStatement Prepare(const char* sql) {
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr);
        UniqueStatement stmt(raw);
        if (rc != SQLITE_OK) fail_(rc, "cannot prepare a statement");
        return stmt;
    }
    sqlite3_stmt* Cached(UniqueStatement& slot, const char* sql) {
        if (!slot) slot = Prepare(sql);
        return slot.get();
    }
    // Resets the statement for its next use; a step that answered other
    // than `expected` fails.
    void Done(sqlite3_stmt* s, int rc, int expected, const char* what) {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        if (rc != expected) fail_(rc, what);
    }
    void Run(const char* sql, const std::string& id, std::int64_t value) {
        UniqueStatement s = Prepare(sql);
        BindText(s.get(), 1, id);
        sqlite3_bind_int64(s.get(), 2, value);
        Done(s.get(), sqlite3_step(s.get()), SQLITE_DONE, "cannot change the ledger");
    }
    static void BindText(sqlite3_stmt* s, int at, const std::string& text) {
        sqlite3_bind_text(s, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    static void BindOptional(sqlite3_stmt* s, int at, std::optional<std::int64_t> value) {
        if (value) {
            sqlite3_bind_int64(s, at, *value);
        } else {
            sqlite3_bind_null(s, at);
        }
    }
    static std::string Text(sqlite3_stmt* s, int column) {
        const unsigned char* text = sqlite3_column_text(s, column);
        return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                    : std::string();
    }
    static std::string_view Blob(sqlite3_stmt* s, int column) {
        const void* blob = sqlite3_column_blob(s, column);
        return blob ? std::string_view(static_cast<const char*>(blob), static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                    : std::string_view();
    }
    static std::optional<std::int64_t> Optional(sqlite3_stmt* s, int column) {
        if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
        return sqlite3_column_int64(s, column);
    }
    // A row's first columns: id, num, from_at, to_at, tz.
    static Campaign Window(sqlite3_stmt* s) {
        Campaign c;
        c.id = Text(s, 0);
        c.num = sqlite3_column_int64(s, 1);
        c.from = sqlite3_column_int64(s, 2);
        c.to = Optional(s, 3);
        c.utcOffsetHours = sqlite3_column_int(s, 4);
        return c;
    }
    Ledger Campaigns(sqlite3_stmt* s) {
        Ledger ledger;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            Campaign c = Window(s);
            c.purpose = Text(s, 5);
            c.maxPopups = Optional(s, 6);
            c.weekdays = Optional(s, 7);
            c.title = Text(s, 8);
            c.patterns = SplitLines(Text(s, 9));
            c.builtThrough = sqlite3_column_int64(s, 10);
            c.buildTo = sqlite3_column_int64(s, 11);
            ledger.push_back(std::move(c));
        }
        Done(s, rc, SQLITE_DONE, "cannot read the campaigns");
        return ledger;
    }

    sqlite3* db_;
    SqliteFail fail_;
    UniqueStatement windows_, readState_, writeState_, addCount_;
    Ledger ledger_;
    bool answered_ = false;
    std::vector<StateRow> states_;
};

}  // namespace

// The schema step that adds the campaigns: the ledger and each campaign's
// state, its machines and its counts (campaign_tables.h); `num` keys a state,
// and a state no campaign uses any more waits in campaign_discarded to be
// deleted. IF NOT EXISTS: a database set back to version 1 to build its
// rollups again keeps its ledger.
const char kSqliteCampaignsStep[] =
    "CREATE TABLE IF NOT EXISTS campaigns("
    "  id TEXT PRIMARY KEY,"
    "  num INTEGER NOT NULL UNIQUE,"
    "  purpose TEXT NOT NULL,"
    "  from_at INTEGER NOT NULL,"   // seconds since 1970, UTC: included
    "  to_at INTEGER,"              // excluded; NULL: open
    "  tz INTEGER NOT NULL,"        // hours east of UTC, in which its days are cut
    "  max_popups INTEGER,"
    "  weekdays INTEGER,"
    "  title TEXT NOT NULL,"
    "  patterns TEXT NOT NULL,"     // one a line
    "  built_through INTEGER NOT NULL,"  // report ids up to this are in the state...
    "  build_to INTEGER NOT NULL);"      // ...of those stored before it was built
    "CREATE TABLE IF NOT EXISTS campaign_nums(last INTEGER NOT NULL);"
    "INSERT INTO campaign_nums SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM campaign_nums);"
    "CREATE TABLE IF NOT EXISTS campaign_machines("
    "  campaign INTEGER NOT NULL,"
    "  machine BLOB NOT NULL,"
    "  shown INTEGER NOT NULL,"
    "  times BLOB NOT NULL,"        // the earliest showing times, 8 bytes each
    "  installed INTEGER,"          // the first install
    "  PRIMARY KEY (campaign, machine)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS campaign_counts("
    "  campaign INTEGER NOT NULL,"
    "  figure INTEGER NOT NULL,"
    "  n INTEGER NOT NULL,"
    "  value INTEGER NOT NULL,"
    "  PRIMARY KEY (campaign, figure, n)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS campaign_discarded(num INTEGER PRIMARY KEY);";

std::unique_ptr<CampaignTables> MakeSqliteCampaigns(sqlite3* db, SqliteFail fail) {
    return std::make_unique<SqliteCampaigns>(db, std::move(fail));
}

}  // namespace reports
