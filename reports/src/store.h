// The reports database: SQLite in WAL mode, synchronous=FULL, one row per
// report. A row that Insert returned from is on disk, in the WAL, synced:
// it survives a SIGKILL of the process and a power cut of the machine.
//
// The schema carries its version in PRAGMA user_version; Open brings an older
// database up to kSchemaVersion one step at a time, each step in its own
// transaction, and refuses a database from a newer release.
//
// Every failure throws StoreError with SQLite's code and a message that
// names the file, the cause and what to do.
#pragma once
#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "days.h"
#include "report.h"

namespace reports {

constexpr int kSchemaVersion = 1;

class StoreError : public std::runtime_error {
public:
    StoreError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// One day's figures, or a range's when `day` is the range's first day and
// the machines are counted over the whole range.
struct Figures {
    std::int64_t day = 0;
    std::int64_t showings = 0;
    std::int64_t installs = 0;
    std::int64_t machinesShown = 0;
    std::int64_t machinesInstalled = 0;
};

struct SqliteClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct SqliteFinalize {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using UniqueSqlite = std::unique_ptr<sqlite3, SqliteClose>;
using UniqueStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

class Store {
public:
    enum class Mode { ReadWrite, ReadOnly };
    // Opens (ReadWrite: creates and migrates) the database at `path`.
    Store(const std::string& path, Mode mode);

    // Stores the reports in one transaction: all or none.
    void Insert(const std::vector<Report>& reports);

    // Imports one access-log report: stored only when no earlier import
    // stored the line with this hash and occurrence. Call between
    // Begin() and Commit(). Answers whether it stored the report.
    bool InsertImported(const Report& report, const std::string& lineHash, std::int64_t occurrence);
    void Begin();
    void Commit();
    void Rollback() noexcept;

    // Per-day figures of [from, to] (days since 1970), days without reports
    // left out; and the whole range's, machines counted once over it.
    std::vector<Figures> FiguresByDay(const DayRange& range);
    Figures FiguresOfRange(const DayRange& range);

    // Calls `row` for every report of the range, oldest first, until it
    // answers false.
    void ForEachReport(const DayRange& range, const std::function<bool(const Report&)>& row);
    // The `limit` latest reports of the range, latest first.
    std::vector<Report> LatestReports(const DayRange& range, int limit);

    std::int64_t CountReports();
    // For tests and the operator: run a statement with no result rows.
    void Exec(const char* sql);
    sqlite3* handle() { return db_.get(); }

private:
    UniqueStatement Prepare(const char* sql);
    [[noreturn]] void Fail(int code, const std::string& what);
    void Migrate();

    std::string path_;
    UniqueSqlite db_;
    UniqueStatement insert_;
    UniqueStatement insertImported_;
};

// A transaction of `store` from construction: Commit ends it, and anything
// else (an exception, an early return) rolls it back.
class Transaction {
public:
    explicit Transaction(Store& store) : store_(store) { store_.Begin(); }
    ~Transaction() {
        if (!done_) store_.Rollback();
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit() {
        store_.Commit();
        done_ = true;
    }

private:
    Store& store_;
    bool done_ = false;
};

}  // namespace reports
