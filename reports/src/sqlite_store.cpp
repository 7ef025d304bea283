#include <sqlite3.h>

#include "backends.h"

namespace reports {

namespace {

// Longest a writer waits for a lock another connection holds. Short: a report
// request is waiting, and a 503 it can retry beats a hung connection.
constexpr int kBusyTimeoutMs = 1000;

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


struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using UniqueSqlite = std::unique_ptr<sqlite3, SqliteClose>;
using UniqueStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

class SqliteStore : public Store {
public:
    SqliteStore(const std::string& path, Mode mode);

    void Insert(const std::vector<Report>& reports) override;
    bool InsertImported(const Report& report, const std::string& lineHash, std::int64_t occurrence) override;
    void Begin() override;
    void Commit() override;
    void Rollback() noexcept override;
    std::vector<Figures> FiguresByDay(const DayRange& range) override;
    Figures FiguresOfRange(const DayRange& range) override;
    void ForEachReport(const DayRange& range, const std::function<bool(const Report&)>& row) override;
    std::vector<Report> LatestReports(const DayRange& range, int limit) override;
    std::int64_t CountReports() override;
    void Exec(const std::string& sql) override;
    void Upkeep(bool last) override;
    void HandOverUpkeep() override { Exec("PRAGMA wal_autocheckpoint=0"); }

private:
    UniqueStatement Prepare(const char* sql);
    [[noreturn]] void Fail(int code, const std::string& what);
    void Migrate();

    std::string path_;
    UniqueSqlite db_;
    UniqueStatement insert_;
    UniqueStatement insertImported_;
};

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
        Migrate();
        insert_ = Prepare("INSERT INTO reports(at, kind, machine, client) VALUES (?1, ?2, ?3, ?4)");
        insertImported_ = Prepare("INSERT OR IGNORE INTO imported_lines(line_hash, occurrence) VALUES (?1, ?2)");
    } else {
        UniqueStatement version = Prepare("PRAGMA user_version");
        const int step = sqlite3_step(version.get());
        if (step != SQLITE_ROW) Fail(step, "cannot read its schema version");
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
        Exec("PRAGMA user_version=" + std::to_string(found + 1));
        step.Commit();
    }
}

void SqliteStore::Begin() { Exec("BEGIN IMMEDIATE"); }
void SqliteStore::Commit() {
    const int rc = sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) Fail(rc, "cannot commit");
}
void SqliteStore::Rollback() noexcept {
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

void SqliteStore::Insert(const std::vector<Report>& reports) {
    Transaction batch(*this);
    for (const Report& r : reports) {
        const int rc = BindReport(insert_.get(), r);
        if (rc != SQLITE_OK) Fail(rc, "cannot store a report");
    }
    batch.Commit();
}

bool SqliteStore::InsertImported(const Report& report, const std::string& lineHash, std::int64_t occurrence) {
    sqlite3_stmt* stmt = insertImported_.get();
    sqlite3_bind_blob(stmt, 1, lineHash.data(), static_cast<int>(lineHash.size()), SQLITE_STATIC);
    sqlite3_bind_int64(stmt, 2, occurrence);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE) Fail(rc, "cannot record an imported line");
    if (sqlite3_changes(db_.get()) == 0) return false;
    const int stored = BindReport(insert_.get(), report);
    if (stored != SQLITE_OK) Fail(stored, "cannot store an imported report");
    return true;
}

namespace {

constexpr const char* kFiguresColumns =
    "SUM(kind = 0), SUM(kind = 1),"
    " COUNT(DISTINCT CASE WHEN kind = 0 THEN machine END),"
    " COUNT(DISTINCT CASE WHEN kind = 1 THEN machine END)"
    " FROM reports WHERE at >= ?1 AND at < ?2";

void BindRange(sqlite3_stmt* stmt, const DayRange& range) {
    sqlite3_bind_int64(stmt, 1, range.from * 86400);
    sqlite3_bind_int64(stmt, 2, (range.to + 1) * 86400);
}

Figures ReadFigures(sqlite3_stmt* stmt, int first, std::int64_t day) {
    Figures f;
    f.day = day;
    f.showings = sqlite3_column_int64(stmt, first);
    f.installs = sqlite3_column_int64(stmt, first + 1);
    f.machinesShown = sqlite3_column_int64(stmt, first + 2);
    f.machinesInstalled = sqlite3_column_int64(stmt, first + 3);
    return f;
}

Report ReadReport(sqlite3_stmt* stmt) {
    Report r;
    r.at = sqlite3_column_int64(stmt, 0);
    r.kind = sqlite3_column_int(stmt, 1) == 1 ? ReportKind::Installed : ReportKind::Shown;
    const void* blob = sqlite3_column_blob(stmt, 2);
    r.machine.assign(static_cast<const char*>(blob), blob ? static_cast<std::size_t>(sqlite3_column_bytes(stmt, 2)) : 0);
    const unsigned char* client = sqlite3_column_text(stmt, 3);
    r.client.assign(client ? reinterpret_cast<const char*>(client) : "",
                    static_cast<std::size_t>(sqlite3_column_bytes(stmt, 3)));
    return r;
}

}  // namespace

std::vector<Figures> SqliteStore::FiguresByDay(const DayRange& range) {
    UniqueStatement stmt = Prepare(
        (std::string("SELECT at / 86400 AS day, ") + kFiguresColumns + " GROUP BY day ORDER BY day").c_str());
    BindRange(stmt.get(), range);
    std::vector<Figures> days;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        days.push_back(ReadFigures(stmt.get(), 1, sqlite3_column_int64(stmt.get(), 0)));
    }
    if (rc != SQLITE_DONE) Fail(rc, "cannot read the figures");
    return days;
}

Figures SqliteStore::FiguresOfRange(const DayRange& range) {
    UniqueStatement stmt = Prepare((std::string("SELECT ") + kFiguresColumns).c_str());
    BindRange(stmt.get(), range);
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_ROW) Fail(rc, "cannot read the figures");
    return ReadFigures(stmt.get(), 0, range.from);
}

void SqliteStore::ForEachReport(const DayRange& range, const std::function<bool(const Report&)>& row) {
    UniqueStatement stmt =
        Prepare("SELECT at, kind, machine, client FROM reports WHERE at >= ?1 AND at < ?2 ORDER BY at, id");
    BindRange(stmt.get(), range);
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        if (!row(ReadReport(stmt.get()))) return;
    }
    if (rc != SQLITE_DONE) Fail(rc, "cannot read the reports");
}

std::vector<Report> SqliteStore::LatestReports(const DayRange& range, int limit) {
    UniqueStatement stmt = Prepare(
        "SELECT at, kind, machine, client FROM reports WHERE at >= ?1 AND at < ?2 ORDER BY at DESC, id DESC LIMIT ?3");
    BindRange(stmt.get(), range);
    sqlite3_bind_int(stmt.get(), 3, limit);
    std::vector<Report> rows;
    int rc;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) rows.push_back(ReadReport(stmt.get()));
    if (rc != SQLITE_DONE) Fail(rc, "cannot read the reports");
    return rows;
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
