#include <sqlite3.h>

#include <cctype>
#include <filesystem>
#include <sys/statvfs.h>

#include "backends.h"
#include "campaign_tables.h"
#include "sqlite_campaigns.h"
#include "sqlite_schema.h"
#include "sqlite_statement.h"
#include "unique.h"

namespace reports {

namespace {

// Longest a writer waits for a lock another connection holds. Short: a report
// request is waiting, and a 503 it can retry beats a hung connection.
constexpr int kBusyTimeoutMs = 1000;
// Longest the writer's WAL restart waits for readers: its next commit waits
// for it meanwhile.
constexpr int kRestartWaitMs = 20;
// A WAL grown by a burst is cut back to this when it starts over.
constexpr int kWalSizeLimit = 64 << 20;
// Below this much free space the disk counts as full.
constexpr unsigned long long kMinFreeBytes = 1 << 20;

// A BLOB column's bytes.
std::string Bytes(sqlite3_stmt* stmt, int column) {
    const void* blob = sqlite3_column_blob(stmt, column);
    return std::string(static_cast<const char*>(blob), blob ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, column)) : 0);
}

using UniqueSqlite = UniqueHandle<sqlite3, sqlite3_close_v2>;
using UniqueStatement = UniqueHandle<sqlite3_stmt, sqlite3_finalize>;

class SqliteStore : public Store {
public:
    SqliteStore(const std::string& path, Mode mode);

    std::vector<Report> LatestReports(const DayRange& range, int limit) override;
    std::int64_t CountReports() override;
    void Exec(const std::string& sql) override;
    void Upkeep(bool last) override;
    void HandOverUpkeep() override { Exec("PRAGMA wal_autocheckpoint=0"); }
    void RestartLog() override;
    void Probe() override;

protected:
    void BeginTransaction() override;
    void CommitTransaction() override;
    void RollbackTransaction() noexcept override;
    void InsertRows(const std::vector<Report>& reports) override;
    bool InsertImportedRow(const Report& report, const std::string& lineHash, std::int64_t occurrence) override;
    std::vector<HourRow> LockHours(const std::vector<std::pair<std::int64_t, ReportKind>>& keys) override;
    void WriteHour(const HourRow& row) override;
    std::vector<HourRow> ReadHours(std::int64_t fromHour, std::int64_t toHour) override;
    std::vector<Report> ReportsPage(std::int64_t from, std::int64_t to, std::int64_t afterId, std::int64_t lastId,
                                    int limit) override;
    std::int64_t LastId() override;
    CampaignTables& Campaigns() override { return *campaigns_; }

private:
    UniqueStatement Prepare(const char* sql);
    // The statement in `slot`, prepared on first use.
    sqlite3_stmt* Cached(UniqueStatement& slot, const char* sql);
    // `message`: the database's, when the caller has it; else asked for.
    [[noreturn]] void Fail(int code, const std::string& what, const std::string& message = {});
    // RunStatement, failing with `what`.
    void Run(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values, const char* what,
             const std::function<void(sqlite3_stmt*)>& row = {});
    // The schema version: PRAGMA user_version.
    int UserVersion();
    void Migrate();
    void MakeCampaignTables() {
        campaigns_ = MakeSqliteCampaigns(db_.get(), [this](int code, const std::string& what) { Fail(code, what); });
    }
    // The hour's rollup row, created empty when missing.
    HourRow ReadHour(std::int64_t hour, ReportKind kind);
    // Every row of a SELECT of reports (see ReadReport).
    std::vector<Report> ReadReports(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values);

    std::string path_;
    UniqueSqlite db_;
    UniqueStatement insert_, insertImported_, createHour_, readHour_, writeHour_;
    std::unique_ptr<CampaignTables> campaigns_;  // on db_ as it finally is
};

// The path as a file: URI's path, every byte but unreserved ones and '/'
// percent-encoded.
std::string UriPath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : path) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out += {'%', hex[b >> 4], hex[b & 15]};
        }
    }
    return out;
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path, Mode mode) : path_(path) {
    sqlite3* raw = nullptr;
    const int flags = mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    db_.reset(raw);  // sqlite3_open_v2 hands out a handle to close even when it fails
    if (rc != SQLITE_OK) Fail(rc, "cannot open it");
    sqlite3_extended_result_codes(db_.get(), 1);
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    if (mode == Mode::ReadWrite) {
        if (sqlite3_db_readonly(db_.get(), "main") == 1) Fail(SQLITE_READONLY, "cannot write to it");
        std::string journal;
        Run(Prepare("PRAGMA journal_mode=WAL").get(), {}, "cannot switch it to WAL mode", [&](sqlite3_stmt* stmt) {
            const unsigned char* text = sqlite3_column_text(stmt, 0);
            journal = text ? reinterpret_cast<const char*>(text) : "";
        });
        if (journal != "wal") Fail(SQLITE_ERROR, "it stays in journal mode " + journal + ", not WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimit));
        MakeCampaignTables();
        Migrate();
    } else {
        UniqueStatement version = Prepare("PRAGMA user_version");
        int found = -1;
        std::string message;
        const auto read = [&](sqlite3_stmt* stmt) { found = sqlite3_column_int(stmt, 0); };
        int step = RunStatement(version.get(), {}, read, message);
        if ((step & 0xFF) == SQLITE_READONLY || (step & 0xFF) == SQLITE_CANTOPEN) {
            // A WAL database in a folder this user cannot write: SQLite
            // cannot make the shared-memory file readers coordinate through.
            // With no WAL left beside it (the writer stopped cleanly) the
            // file is complete and nobody writes it: read it as immutable.
            std::error_code ignored;
            if (std::filesystem::file_size(path + "-wal", ignored) > 0 && !ignored) {
                Fail(step, "cannot read it: its WAL holds reports and this user cannot write its folder; read it as "
                           "the receiver's user, or copy the database with `sqlite3 FILE .backup COPY`");
            }
            version.reset();
            sqlite3* immutable = nullptr;
            const int again = sqlite3_open_v2(("file:" + UriPath(path) + "?immutable=1").c_str(), &immutable,
                                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
            db_.reset(immutable);
            if (again != SQLITE_OK) Fail(again, "cannot open it");
            version = Prepare("PRAGMA user_version");
            step = RunStatement(version.get(), {}, read, message);
        }
        if (step != SQLITE_OK || found < 0) Fail(step, "cannot read its schema version", message);
        MakeCampaignTables();
        if (found != kSchemaVersion) {
            Fail(SQLITE_ERROR, "it has schema version " + std::to_string(found) + ", this release reads " +
                                   std::to_string(kSchemaVersion) +
                                   ": open it once with `quentra-reports serve` or `import` of this release");
        }
    }
}

void SqliteStore::Fail(int code, const std::string& what, const std::string& message) {
    std::string text = "database " + path_ + ": " + what;
    if (!message.empty()) {
        text += ": " + message;
    } else if (db_ && sqlite3_errcode(db_.get()) != SQLITE_OK) {
        text += ": " + std::string(sqlite3_errmsg(db_.get()));
    }
    throw StoreError(text + " (" + SqliteHint(code) + ")");
}

void SqliteStore::Run(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values, const char* what,
                      const std::function<void(sqlite3_stmt*)>& row) {
    std::string message;
    const int rc = RunStatement(stmt, values, row, message);
    if (rc != SQLITE_OK) Fail(rc, what, message);
}

int SqliteStore::UserVersion() {
    int found = -1;
    Run(Prepare("PRAGMA user_version").get(), {}, "cannot read its schema version",
        [&](sqlite3_stmt* stmt) { found = sqlite3_column_int(stmt, 0); });
    return found;
}

sqlite3_stmt* SqliteStore::Cached(UniqueStatement& slot, const char* sql) {
    if (!slot) slot = Prepare(sql);
    return slot.get();
}

UniqueStatement SqliteStore::Prepare(const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr);
    UniqueStatement stmt(raw);
    if (rc != SQLITE_OK) Fail(rc, "cannot prepare a statement");
    return stmt;
}

void SqliteStore::Exec(const std::string& sql) {
    const int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot run " + sql);
}

void SqliteStore::Upkeep(bool last) {
    // PASSIVE: copies what no reader still needs and never waits for the
    // writer; a failure leaves the WAL longer, never a report lost.
    const int rc = sqlite3_wal_checkpoint_v2(db_.get(), nullptr,
                                             last ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
                                             nullptr, nullptr);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) Fail(rc, "cannot copy the WAL into the database");
}

void SqliteStore::RestartLog() {
    // The WAL starts over from its beginning only when a transaction begins
    // with every frame copied. Under a steady load the writer has always
    // appended more by the time a PASSIVE copy ends, so it grew by about
    // 3 KB a report for as long as the load lasted. RESTART, between the
    // writer's own transactions, copies the little the upkeep has not and
    // makes the next transaction start the WAL over. It waits at most
    // kRestartWaitMs for readers: the next commit waits for it.
    sqlite3_busy_timeout(db_.get(), kRestartWaitMs);
    const int rc = sqlite3_wal_checkpoint_v2(db_.get(), nullptr, SQLITE_CHECKPOINT_RESTART, nullptr, nullptr);
    sqlite3_busy_timeout(db_.get(), kBusyTimeoutMs);
    if (rc != SQLITE_OK && rc != SQLITE_BUSY) Fail(rc, "cannot copy the WAL into the database");
}

void SqliteStore::Probe() {
    // A full disk shows in no small commit: WAL frames are rewritten in
    // place once the log has started over. Ask the file system.
    struct statvfs disk {};
    if (statvfs(path_.c_str(), &disk) == 0 && disk.f_bavail * disk.f_frsize < kMinFreeBytes) {
        Fail(SQLITE_FULL, "cannot commit: less than 1 MiB is free on its disk");
    }
    // The schema version written back as it is: a commit of one page, which
    // a read-only file, a lock held past the busy timeout or a failing disk
    // refuses as they would a report's.
    Transaction check(*this);
    Exec("PRAGMA user_version=" + std::to_string(UserVersion()));
    check.Commit();
}

void SqliteStore::Migrate() {
    for (;;) {
        Transaction step(*this);
        const int found = UserVersion();
        if (found == kSchemaVersion) {
            step.Commit();
            return;
        }
        if (found < 0 || found > kSchemaVersion) {
            Fail(SQLITE_ERROR, "it has schema version " + std::to_string(found) + ", newer than this release's " +
                                   std::to_string(kSchemaVersion) + "; run the release that made it");
        }
        Exec(kSqliteSteps[found]);
        AfterSchemaStep(found + 1);
        Exec("PRAGMA user_version=" + std::to_string(found + 1));
        step.Commit();
    }
}

void SqliteStore::BeginTransaction() { Exec("BEGIN IMMEDIATE"); }
void SqliteStore::CommitTransaction() {
    const int rc = sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot commit");
}
void SqliteStore::RollbackTransaction() noexcept {
    if (db_ && sqlite3_get_autocommit(db_.get()) == 0) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

namespace {

constexpr const char* kInsertReport = "INSERT INTO reports(at, kind, machine, client) VALUES (?1, ?2, ?3, ?4)";

}  // namespace

void SqliteStore::InsertRows(const std::vector<Report>& reports) {
    sqlite3_stmt* insert = Cached(insert_, kInsertReport);
    for (const Report& r : reports) {
        Run(insert, {r.at, static_cast<std::int64_t>(r.kind), SqlValue::Blob(r.machine), SqlValue::Text(r.client)},
            "cannot store a report");
    }
}

bool SqliteStore::InsertImportedRow(const Report& report, const std::string& lineHash, std::int64_t occurrence) {
    sqlite3_stmt* stmt =
        Cached(insertImported_, "INSERT OR IGNORE INTO imported_lines(line_hash, occurrence) VALUES (?1, ?2)");
    Run(stmt, {SqlValue::Blob(lineHash), occurrence}, "cannot record an imported line");
    if (sqlite3_changes(db_.get()) == 0) return false;
    Run(Cached(insert_, kInsertReport),
        {report.at, static_cast<std::int64_t>(report.kind), SqlValue::Blob(report.machine), SqlValue::Text(report.client)},
        "cannot store an imported report");
    return true;
}

namespace {

// A row of at, kind, machine, client and, when selected, id.
Report ReadReport(sqlite3_stmt* stmt) {
    Report r;
    r.at = sqlite3_column_int64(stmt, 0);
    r.kind = sqlite3_column_int(stmt, 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
    r.machine = Bytes(stmt, 2);
    const unsigned char* client = sqlite3_column_text(stmt, 3);
    r.client.assign(client ? reinterpret_cast<const char*>(client) : "",
                    static_cast<std::size_t>(sqlite3_column_bytes(stmt, 3)));
    if (sqlite3_column_count(stmt) > 4) r.id = sqlite3_column_int64(stmt, 4);
    return r;
}

}  // namespace

std::vector<HourRow> SqliteStore::LockHours(const std::vector<std::pair<std::int64_t, ReportKind>>& keys) {
    // BEGIN IMMEDIATE holds the database's one write lock already.
    std::vector<HourRow> rows;
    for (const auto& [hour, kind] : keys) rows.push_back(ReadHour(hour, kind));
    return rows;
}

HourRow SqliteStore::ReadHour(std::int64_t hour, ReportKind kind) {
    const std::int64_t kindValue = static_cast<int>(kind);
    Run(Cached(createHour_, "INSERT OR IGNORE INTO hourly VALUES (?1, ?2, 0, x'')"), {hour, kindValue},
        "cannot add to the rollups");
    HourRow row{hour, kind, 0, {}};
    bool found = false;
    Run(Cached(readHour_, "SELECT reports, machines FROM hourly WHERE hour = ?1 AND kind = ?2"), {hour, kindValue},
        "cannot read the rollups", [&](sqlite3_stmt* read) {
            found = true;
            row.reports = sqlite3_column_int64(read, 0);
            row.machines = Bytes(read, 1);
        });
    if (!found) Fail(SQLITE_CORRUPT, "cannot read the rollups: the row just made is missing");
    return row;
}

void SqliteStore::WriteHour(const HourRow& row) {
    Run(Cached(writeHour_, "UPDATE hourly SET reports = ?3, machines = ?4 WHERE hour = ?1 AND kind = ?2"),
        {row.hour, static_cast<std::int64_t>(row.kind), row.reports, SqlValue::Blob(row.machines)},
        "cannot add to the rollups");
}

std::vector<HourRow> SqliteStore::ReadHours(std::int64_t fromHour, std::int64_t toHour) {
    std::vector<HourRow> rows;
    Run(Prepare("SELECT hour, kind, reports, machines FROM hourly WHERE hour >= ?1 AND hour < ?2").get(),
        {fromHour, toHour}, "cannot read the rollups", [&](sqlite3_stmt* stmt) {
            HourRow row;
            row.hour = sqlite3_column_int64(stmt, 0);
            row.kind = sqlite3_column_int(stmt, 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
            row.reports = sqlite3_column_int64(stmt, 2);
            row.machines = Bytes(stmt, 3);
            rows.push_back(std::move(row));
        });
    return rows;
}

std::vector<Report> SqliteStore::ReportsPage(std::int64_t from, std::int64_t to, std::int64_t afterId,
                                             std::int64_t lastId, int limit) {
    return ReadReports(Prepare("SELECT at, kind, machine, client, id FROM reports WHERE id > ?1 AND id <= ?2 AND"
                               " at >= ?3 AND at < ?4 ORDER BY id LIMIT ?5").get(),
                       {afterId, lastId, from, to, static_cast<std::int64_t>(limit)});
}

std::vector<Report> SqliteStore::ReadReports(sqlite3_stmt* stmt, std::initializer_list<SqlValue> values) {
    std::vector<Report> rows;
    Run(stmt, values, "cannot read the reports", [&](sqlite3_stmt* s) { rows.push_back(ReadReport(s)); });
    return rows;
}

std::int64_t SqliteStore::LastId() {
    std::int64_t last = 0;
    Run(Prepare("SELECT COALESCE(MAX(id), 0) FROM reports").get(), {}, "cannot read the reports",
        [&](sqlite3_stmt* stmt) { last = sqlite3_column_int64(stmt, 0); });
    return last;
}

std::vector<Report> SqliteStore::LatestReports(const DayRange& range, int limit) {
    return ReadReports(Prepare("SELECT at, kind, machine, client FROM reports WHERE at >= ?1 AND at < ?2"
                               " ORDER BY at DESC, id DESC LIMIT ?3").get(),
                       {range.from * 86400, (range.to + 1) * 86400, static_cast<std::int64_t>(limit)});
}

std::int64_t SqliteStore::CountReports() {
    std::int64_t count = 0;
    Run(Prepare("SELECT COUNT(*) FROM reports").get(), {}, "cannot count the reports",
        [&](sqlite3_stmt* stmt) { count = sqlite3_column_int64(stmt, 0); });
    return count;
}

std::unique_ptr<Store> OpenSqlite(const std::string& path, Store::Mode mode) {
    return std::make_unique<SqliteStore>(path, mode);
}

}  // namespace reports
