// The PostgreSQL back end, on libpq (pg_link.h). Every receiver writing the
// same database is one more connection: a batch is one INSERT statement, its
// hours' rollups and its campaigns' states in one transaction, committed
// (and, with the server's default synchronous_commit, flushed to its WAL)
// before COMMIT returns. The batch's statements go in libpq's pipeline mode,
// in two round trips: BEGIN, the INSERT, the campaigns' machines' and the
// rollup rows' locks; then their UPDATEs and COMMIT. The rollup rows are
// locked FOR UPDATE in hour order, so receivers adding to the same row wait
// for each other instead of losing a count; each connection writes its own
// shard of an hour's rows, so they rarely do.
//
// Schema changes take a transaction-scoped advisory lock first, so that
// receivers started together migrate one after another, and the version
// lives in the one-row table quentra_schema.
#include <algorithm>
#include <cstdlib>
#include <random>

#include "backends.h"
#include "campaign_tables.h"
#include "pg_campaigns.h"
#include "pg_link.h"

namespace reports {

namespace {

// Rollup rows per hour and kind: receivers on one database wait for each
// other only when two of them drew the same shard.
constexpr int kShards = 16;

// The advisory lock every migration holds: any fixed number, the same in
// every release.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(4711020260109)";

// Schema steps: kSteps[n] brings version n to n + 1. Later releases append
// steps and never change one that shipped. The columns are the SQLite
// store's, in PostgreSQL's types.
const char* const kSteps[] = {
    // 0 -> 1: the reports, and the access-log lines an import stored.
    "CREATE TABLE reports("
    "  id bigserial PRIMARY KEY,"
    "  at bigint NOT NULL,"  // seconds since 1970, UTC
    "  kind smallint NOT NULL CHECK (kind IN (0, 1)),"
    "  machine bytea NOT NULL CHECK (octet_length(machine) <= 260),"
    "  client text NOT NULL);"
    "CREATE INDEX reports_at ON reports(at);"
    "CREATE TABLE imported_lines("
    "  line_hash bytea NOT NULL,"
    "  occurrence bigint NOT NULL,"
    "  PRIMARY KEY (line_hash, occurrence));",
    // 1 -> 2: the hourly rollups, built from the reports already stored.
    // Each hour and kind has up to kShards rows, one per writer's shard, so
    // that receivers writing at once lock different rows; readers merge them.
    "CREATE TABLE hourly("
    "  hour bigint NOT NULL,"
    "  kind smallint NOT NULL,"
    "  shard smallint NOT NULL,"
    "  reports bigint NOT NULL,"
    "  machines bytea NOT NULL,"
    "  PRIMARY KEY (hour, kind, shard));",
    // 2 -> 3: the campaign ledger and each campaign's state (pg_campaigns.cpp).
    kPgCampaignsStep,
};
static_assert(sizeof kSteps / sizeof kSteps[0] == kSchemaVersion, "one step per schema version");

class PgStore : public Store {
public:
    PgStore(const std::string& conninfo, Mode mode) : link_(conninfo), campaigns_(MakePgCampaigns(link_, shard_)) {
        Run("SET client_min_messages = warning");
        if (mode == Mode::ReadWrite) {
            Migrate();
        } else {
            const int found = Version();
            if (found != kSchemaVersion) {
                Fail("it has schema version " + std::to_string(found) + ", this release reads " +
                         std::to_string(kSchemaVersion),
                     "open it once with `quentra-reports serve` or `import` of this release");
            }
            Run("SET default_transaction_read_only = on");
        }
    }

    // A connection the server dropped (a restart, a failover) is made again
    // before the next transaction, never inside one.
    void BeginTransaction() override {
        link_.ReconnectIfBroken();
        Send("BEGIN");
    }
    void CommitTransaction() override {
        Send("COMMIT");
        Collect();
    }
    void RollbackTransaction() noexcept override { link_.Rollback(); }

    std::vector<Report> LatestReports(const DayRange& range, int limit) override {
        PgParams params = RangeParams(range);
        params.Text(std::to_string(limit));
        return Reports("SELECT at, kind, machine, client, id FROM reports WHERE at >= $1::bigint AND"
                       " at < $2::bigint ORDER BY at DESC, id DESC LIMIT $3::bigint",
                       std::move(params));
    }

    std::int64_t CountReports() override { return PgInt(Run("SELECT count(*) FROM reports").get(), 0, 0); }

    void Exec(const std::string& sql) override { Run(sql); }

protected:
    void InsertRows(const std::vector<Report>& reports) override {
        // A statement takes at most 65,535 parameters: 4 a report.
        constexpr std::size_t kRowsPerStatement = 1000;
        for (std::size_t start = 0; start < reports.size(); start += kRowsPerStatement) {
            std::string sql = "INSERT INTO reports(at, kind, machine, client) VALUES ";
            PgParams params;
            for (std::size_t i = start; i < std::min(reports.size(), start + kRowsPerStatement); ++i) {
                const int n = static_cast<int>(i - start) * 4;
                sql += (i > start ? ",($" : "($") + std::to_string(n + 1) + "::bigint,$" + std::to_string(n + 2) +
                       "::smallint,$" + std::to_string(n + 3) + "::bytea,$" + std::to_string(n + 4) + ")";
                AddReport(params, reports[i]);
            }
            Send(sql, std::move(params));
        }
    }

    bool InsertImportedRow(const Report& report, const std::string& lineHash, std::int64_t occurrence) override {
        PgParams params;
        params.Bytes(lineHash);
        params.Text(std::to_string(occurrence));
        AddReport(params, report);
        const UniqueResult r = Run(
            "WITH line AS (INSERT INTO imported_lines(line_hash, occurrence) VALUES ($1::bytea, $2::bigint)"
            " ON CONFLICT DO NOTHING RETURNING 1)"
            " INSERT INTO reports(at, kind, machine, client) SELECT $3::bigint, $4::smallint, $5::bytea, $6 FROM line",
            params);
        return std::atoi(PQcmdTuples(r.get())) == 1;
    }

    std::vector<HourRow> LockHours(const std::vector<std::pair<std::int64_t, ReportKind>>& keys) override {
        for (const auto& [hour, kind] : keys) {
            PgParams params;
            params.Text(std::to_string(hour));
            params.Text(std::to_string(static_cast<int>(kind)));
            params.Text(std::to_string(shard_));
            Send("INSERT INTO hourly VALUES ($1::bigint, $2::smallint, $3::smallint, 0, '') ON CONFLICT DO NOTHING",
                 params);
            Send("SELECT reports, machines FROM hourly WHERE hour = $1::bigint AND kind = $2::smallint AND"
                 " shard = $3::smallint FOR UPDATE",
                 std::move(params));
        }
        // The SELECTs are the last results, every second one.
        const std::vector<UniqueResult> results = Collect();
        std::vector<HourRow> rows;
        const std::size_t first = results.size() - 2 * keys.size();
        for (std::size_t i = 0; i < keys.size(); ++i) {
            const PGresult* r = results[first + 2 * i + 1].get();
            if (PQntuples(r) != 1) Fail("cannot lock the rollup of hour " + std::to_string(keys[i].first), Hint(""));
            rows.push_back({keys[i].first, keys[i].second, PgInt(r, 0, 0), PgBytea(r, 0, 1)});
        }
        return rows;
    }

    void WriteHour(const HourRow& row) override {
        PgParams params;
        params.Text(std::to_string(row.hour));
        params.Text(std::to_string(static_cast<int>(row.kind)));
        params.Text(std::to_string(row.reports));
        params.Bytes(row.machines);
        params.Text(std::to_string(shard_));
        Send("UPDATE hourly SET reports = $3::bigint, machines = $4::bytea WHERE hour = $1::bigint AND"
             " kind = $2::smallint AND shard = $5::smallint",
             std::move(params));
    }

    std::vector<HourRow> ReadHours(std::int64_t fromHour, std::int64_t toHour) override {
        PgParams params;
        params.Text(std::to_string(fromHour));
        params.Text(std::to_string(toHour));
        const UniqueResult r =
            Run("SELECT hour, kind, reports, machines FROM hourly WHERE hour >= $1::bigint AND hour < $2::bigint", params);
        std::vector<HourRow> rows;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            rows.push_back({PgInt(r.get(), i, 0), PgInt(r.get(), i, 1) == 1 ? ReportKind::Installed : ReportKind::Shown,
                            PgInt(r.get(), i, 2), PgBytea(r.get(), i, 3)});
        }
        return rows;
    }

    std::vector<Report> ReportsPage(std::int64_t from, std::int64_t to, std::int64_t afterId, std::int64_t lastId,
                                    int limit) override {
        PgParams params;
        for (const std::int64_t v : {afterId, lastId, from, to, static_cast<std::int64_t>(limit)}) params.Text(std::to_string(v));
        return Reports("SELECT at, kind, machine, client, id FROM reports WHERE id > $1::bigint AND"
                       " id <= $2::bigint AND at >= $3::bigint AND at < $4::bigint ORDER BY id LIMIT $5::bigint",
                       std::move(params));
    }

    CampaignTables& Campaigns() override { return *campaigns_; }

    std::int64_t LastId() override { return PgInt(Run("SELECT COALESCE(max(id), 0) FROM reports").get(), 0, 0); }

private:
    static void AddReport(PgParams& params, const Report& r) {
        params.Text(std::to_string(r.at));
        params.Text(std::to_string(static_cast<int>(r.kind)));
        params.Bytes(r.machine);
        params.Text(r.client);
    }

    static PgParams RangeParams(const DayRange& range) {
        PgParams params;
        params.Text(std::to_string(range.from * 86400));
        params.Text(std::to_string((range.to + 1) * 86400));
        return params;
    }

    // Every row of a SELECT of reports (see ReadReport).
    std::vector<Report> Reports(const std::string& sql, PgParams params) {
        const UniqueResult r = Run(sql, std::move(params));
        std::vector<Report> rows;
        for (int i = 0; i < PQntuples(r.get()); ++i) rows.push_back(ReadReport(r.get(), i));
        return rows;
    }

    static Report ReadReport(const PGresult* r, int row) {
        Report out;
        out.at = PgInt(r, row, 0);
        out.kind = PgInt(r, row, 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
        out.machine = PgBytea(r, row, 2);
        out.client = PQgetvalue(r, row, 3);
        if (PQnfields(r) > 4) out.id = PgInt(r, row, 4);
        return out;
    }

    // -1 when the database has no schema table yet: version 0.
    int Version() {
        const UniqueResult r = Run("SELECT to_regclass('quentra_schema') IS NOT NULL");
        if (std::string(PQgetvalue(r.get(), 0, 0)) != "t") return 0;
        const UniqueResult v = Run("SELECT version FROM quentra_schema");
        return PQntuples(v.get()) == 1 ? static_cast<int>(PgInt(v.get(), 0, 0)) : -1;
    }

    void Migrate() {
        for (;;) {
            Transaction step(*this);
            Run(kMigrationLock);
            Run("CREATE TABLE IF NOT EXISTS quentra_schema(version integer NOT NULL);"
                "INSERT INTO quentra_schema SELECT 0 WHERE NOT EXISTS (SELECT 1 FROM quentra_schema)");
            const int found = Version();
            if (found == kSchemaVersion) {
                step.Commit();
                return;
            }
            if (found < 0 || found > kSchemaVersion) {
                Fail("it has schema version " + std::to_string(found) + ", newer than this release's " +
                         std::to_string(kSchemaVersion),
                     "run the release that made it");
            }
            Run(kSteps[found]);
            AfterSchemaStep(found + 1);
            Run("UPDATE quentra_schema SET version = " + std::to_string(found + 1));
            step.Commit();
        }
    }

    // The connection's statements, sent and run.
    void Send(const std::string& sql, PgParams params = {}) { link_.Send(sql, std::move(params)); }
    std::vector<UniqueResult> Collect() { return link_.Collect(); }
    UniqueResult Run(const std::string& sql, PgParams params = {}) { return link_.Run(sql, std::move(params)); }
    [[noreturn]] void Fail(const std::string& what, const std::string& hint) { link_.Fail(what, hint); }
    static std::string Hint(const std::string& state) { return PgLink::Hint(state); }

    // This connection's rollup rows and campaign counts: drawn at random
    // once, so receivers started together spread over the shards.
    int shard_ = static_cast<int>(std::random_device{}() % kShards);
    PgLink link_;
    std::unique_ptr<CampaignTables> campaigns_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgres(const std::string& conninfo, Store::Mode mode) {
    return std::make_unique<PgStore>(conninfo, mode);
}

}  // namespace reports
