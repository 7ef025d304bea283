#include <sqlite3.h>

#include <cctype>
#include <filesystem>

#include "backends.h"
#include "campaign_tables.h"
#include "sqlite_campaigns.h"
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

// Schema steps: kSteps[n] brings version n to n + 1. Later releases append
// steps and never change one that shipped.
const char* const kSteps[] = {
    // 0 -> 1: the reports, and the access-log lines an import stored.
    "CREATE TABLE reports("
    "  id INTEGER PRIMARY KEY,"
    "  at INTEGER NOT NULL,"                                // seconds since 1970, UTC
    "  kind INTEGER NOT NULL CHECK (kind IN (0, 1)),"       // 0 showing, 1 install
    "  machine BLOB NOT NULL CHECK (length(machine) <= 260),"  // bytes as sent, code page 936 text
    "  client TEXT NOT NULL);"
    "CREATE INDEX reports_at ON reports(at);"
    "CREATE TABLE imported_lines("
    "  line_hash BLOB NOT NULL,"  // 128-bit FNV-1a of the log line
    "  occurrence INTEGER NOT NULL,"  // 1 for the first line with this text in its file, 2 for the next...
    "  PRIMARY KEY (line_hash, occurrence)) WITHOUT ROWID;",
    // 1 -> 2: the hourly rollups, built from the reports already stored.
    "CREATE TABLE hourly("
    "  hour INTEGER NOT NULL,"       // hours since 1970, UTC
    "  kind INTEGER NOT NULL,"
    "  reports INTEGER NOT NULL,"
    "  machines BLOB NOT NULL,"      // the hour's distinct machines, a serialized Sketch
    "  PRIMARY KEY (hour, kind)) WITHOUT ROWID;",
    // 2 -> 3: the campaign ledger and each campaign's state (sqlite_campaigns.cpp).
    kSqliteCampaignsStep,
};
static_assert(sizeof kSteps / sizeof kSteps[0] == kSchemaVersion, "one step per schema version");

std::string Hint(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return "another process holds the database locked; wait for it or stop it";
        case SQLITE_FULL:
            return "the disk is full; free space on it";
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return "the database is read-only; make the file and its folder writable, or use another --db";
        case SQLITE_CANTOPEN:
            return "check the path, and that its folder exists and is writable";
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return "the file is not a reports database or is damaged; restore it from a backup";
        case SQLITE_IOERR:
            return "the disk failed to read or write; check it";
        default:
            return "see SQLite's message";
    }
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
    [[noreturn]] void Fail(int code, const std::string& what);
    void Migrate();
    void MakeCampaignTables() {
        campaigns_ = MakeSqliteCampaigns(db_.get(), [this](int code, const std::string& what) { Fail(code, what); });
    }
    // The hour's rollup row, created empty when missing.
    HourRow ReadHour(std::int64_t hour, ReportKind kind);
    // Every row of a SELECT of reports (see ReadReport).
    std::vector<Report> ReadReports(sqlite3_stmt* stmt);

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
        UniqueStatement wal = Prepare("PRAGMA journal_mode=WAL");
        const int step = sqlite3_step(wal.get());
        if (step != SQLITE_ROW) Fail(step, "cannot switch it to WAL mode");
        const std::string journal = reinterpret_cast<const char*>(sqlite3_column_text(wal.get(), 0));
        wal.reset();  // a statement still open would keep the migration's COMMIT from ending
        if (journal != "wal") Fail(SQLITE_ERROR, "it stays in journal mode " + journal + ", not WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec("PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimit));
        MakeCampaignTables();
        Migrate();
    } else {
        UniqueStatement version = Prepare("PRAGMA user_version");
        int step = sqlite3_step(version.get());
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
            step = sqlite3_step(version.get());
        }
        if (step != SQLITE_ROW) Fail(step, "cannot read its schema version");
        MakeCampaignTables();
        const int found = sqlite3_column_int(version.get(), 0);
        if (found != kSchemaVersion) {
            Fail(SQLITE_ERROR, "it has schema version " + std::to_string(found) + ", this release reads " +
                                   std::to_string(kSchemaVersion) +
                                   ": open it once with `quentra-reports serve` or `import` of this release");
        }
    }
}

void SqliteStore::Fail(int code, const std::string& what) {
    std::string message = "database " + path_ + ": " + what;
    if (db_ && sqlite3_errcode(db_.get()) != SQLITE_OK) message += ": " + std::string(sqlite3_errmsg(db_.get()));
    throw StoreError(message + " (" + Hint(code) + ")");
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

void SqliteStore::Migrate() {
    for (;;) {
        Transaction step(*this);
        UniqueStatement version = Prepare("PRAGMA user_version");
        int found = -1;
        if (sqlite3_step(version.get()) == SQLITE_ROW) found = sqlite3_column_int(version.get(), 0);
        version.reset();
        if (found == kSchemaVersion) {
            step.Commit();
            return;
        }
        if (found < 0 || found > kSchemaVersion) {
            Fail(SQLITE_ERROR, "it has schema version " + std::to_string(found) + ", newer than this release's " +
                                   std::to_string(kSchemaVersion) + "; run the release that made it");
        }
        Exec(kSteps[found]);
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

int BindReport(sqlite3_stmt* stmt, const Report& r) {
    int rc = sqlite3_bind_int64(stmt, 1, r.at);
    if (rc == SQLITE_OK) rc = sqlite3_bind_int(stmt, 2, static_cast<int>(r.kind));
    if (rc == SQLITE_OK) rc = sqlite3_bind_blob(stmt, 3, r.machine.data(), static_cast<int>(r.machine.size()),
                                                SQLITE_STATIC);
    if (rc == SQLITE_OK) rc = sqlite3_bind_text(stmt, 4, r.client.data(), static_cast<int>(r.client.size()),
                                                SQLITE_STATIC);
    if (rc != SQLITE_OK) return rc;
    rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

void SqliteStore::InsertRows(const std::vector<Report>& reports) {
    sqlite3_stmt* insert = Cached(insert_, "INSERT INTO reports(at, kind, machine, client) VALUES (?1, ?2, ?3, ?4)");
    for (const Report& r : reports) {
        const int rc = BindReport(insert, r);
        if (rc != SQLITE_OK) Fail(rc, "cannot store a report");
    }
}

bool SqliteStore::InsertImportedRow(const Report& report, const std::string& lineHash, std::int64_t occurrence) {
    sqlite3_stmt* stmt =
        Cached(insertImported_, "INSERT OR IGNORE INTO imported_lines(line_hash, occurrence) VALUES (?1, ?2)");
    sqlite3_bind_blob(stmt, 1, lineHash.data(), static_cast<int>(lineHash.size()), SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 2, occurrence);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) Fail(rc, "cannot record an imported line");
    if (sqlite3_changes(db_.get()) == 0) return false;
    const int stored = BindReport(
        Cached(insert_, "INSERT INTO reports(at, kind, machine, client) VALUES (?1, ?2, ?3, ?4)"), report);
    if (stored != SQLITE_OK) Fail(stored, "cannot store an imported report");
    return true;
}

namespace {

// A row of at, kind, machine, client and, when selected, id.
Report ReadReport(sqlite3_stmt* stmt) {
    Report r;
    r.at = sqlite3_column_int64(stmt, 0);
    r.kind = sqlite3_column_int(stmt, 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
    const void* blob = sqlite3_column_blob(stmt, 2);
    r.machine.assign(static_cast<const char*>(blob), blob ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, 2)) : 0);
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
    sqlite3_stmt* create = Cached(createHour_, "INSERT OR IGNORE INTO hourly VALUES (?1, ?2, 0, x'')");
    sqlite3_bind_int64(create, 1, hour);
    sqlite3_bind_int(create, 2, static_cast<int>(kind));
    int rc = sqlite3_step(create);
    sqlite3_reset(create);
    if (rc != SQLITE_DONE) Fail(rc, "cannot add to the rollups");
    sqlite3_stmt* read = Cached(readHour_, "SELECT reports, machines FROM hourly WHERE hour = ?1 AND kind = ?2");
    sqlite3_bind_int64(read, 1, hour);
    sqlite3_bind_int(read, 2, static_cast<int>(kind));
    rc = sqlite3_step(read);
    HourRow row{hour, kind, 0, {}};
    if (rc == SQLITE_ROW) {
        row.reports = sqlite3_column_int64(read, 0);
        const void* blob = sqlite3_column_blob(read, 1);
        row.machines.assign(static_cast<const char*>(blob), blob ? static_cast<std::size_t>(sqlite3_column_bytes(read, 1)) : 0);
    }
    sqlite3_reset(read);
    if (rc != SQLITE_ROW) Fail(rc, "cannot read the rollups");
    return row;
}

void SqliteStore::WriteHour(const HourRow& row) {
    sqlite3_stmt* write = Cached(writeHour_, "UPDATE hourly SET reports = ?3, machines = ?4 WHERE hour = ?1 AND kind = ?2");
    sqlite3_bind_int64(write, 1, row.hour);
    sqlite3_bind_int(write, 2, static_cast<int>(row.kind));
    sqlite3_bind_int64(write, 3, row.reports);
    sqlite3_bind_blob(write, 4, row.machines.data(), static_cast<int>(row.machines.size()), SQLITE_STATIC);
    const int rc = sqlite3_step(write);
    sqlite3_reset(write);
    if (rc != SQLITE_DONE) Fail(rc, "cannot add to the rollups");
}

std::vector<HourRow> SqliteStore::ReadHours(std::int64_t fromHour, std::int64_t toHour) {
    UniqueStatement stmt = Prepare("SELECT hour, kind, reports, machines FROM hourly WHERE hour >= ?1 AND hour < ?2");
    sqlite3_bind_int64(stmt.get(), 1, fromHour);
    sqlite3_bind_int64(stmt.get(), 2, toHour);
    std::vector<HourRow> rows;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        HourRow row;
        row.hour = sqlite3_column_int64(stmt.get(), 0);
        row.kind = sqlite3_column_int(stmt.get(), 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
        row.reports = sqlite3_column_int64(stmt.get(), 2);
        const void* blob = sqlite3_column_blob(stmt.get(), 3);
        row.machines.assign(static_cast<const char*>(blob),
                            blob ? static_cast<std::size_t>(sqlite3_column_bytes(stmt.get(), 3)) : 0);
        rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) Fail(rc, "cannot read the rollups");
    return rows;
}

std::vector<Report> SqliteStore::ReportsPage(std::int64_t from, std::int64_t to, std::int64_t afterId,
                                             std::int64_t lastId, int limit) {
    UniqueStatement stmt = Prepare(
        "SELECT at, kind, machine, client, id FROM reports WHERE id > ?1 AND id <= ?2 AND at >= ?3 AND at < ?4"
        " ORDER BY id LIMIT ?5");
    sqlite3_bind_int64(stmt.get(), 1, afterId);
    sqlite3_bind_int64(stmt.get(), 2, lastId);
    sqlite3_bind_int64(stmt.get(), 3, from);
    sqlite3_bind_int64(stmt.get(), 4, to);
    sqlite3_bind_int(stmt.get(), 5, limit);
    return ReadReports(stmt.get());
}

std::vector<Report> SqliteStore::ReadReports(sqlite3_stmt* stmt) {
    std::vector<Report> rows;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) rows.push_back(ReadReport(stmt));
    if (rc != SQLITE_DONE) Fail(rc, "cannot read the reports");
    return rows;
}

std::int64_t SqliteStore::LastId() {
    UniqueStatement stmt = Prepare("SELECT COALESCE(MAX(id), 0) FROM reports");
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) Fail(rc, "cannot read the reports");
    return sqlite3_column_int64(stmt.get(), 0);
}

std::vector<Report> SqliteStore::LatestReports(const DayRange& range, int limit) {
    UniqueStatement stmt = Prepare(
        "SELECT at, kind, machine, client FROM reports WHERE at >= ?1 AND at < ?2 ORDER BY at DESC, id DESC LIMIT ?3");
    sqlite3_bind_int64(stmt.get(), 1, range.from * 86400);
    sqlite3_bind_int64(stmt.get(), 2, (range.to + 1) * 86400);
    sqlite3_bind_int(stmt.get(), 3, limit);
    return ReadReports(stmt.get());
}

std::int64_t SqliteStore::CountReports() {
    UniqueStatement stmt = Prepare("SELECT COUNT(*) FROM reports");
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) Fail(rc, "cannot count the reports");
    return sqlite3_column_int64(stmt.get(), 0);
}

std::unique_ptr<Store> OpenSqlite(const std::string& path, Store::Mode mode) {
    return std::make_unique<SqliteStore>(path, mode);
}

}  // namespace reports
