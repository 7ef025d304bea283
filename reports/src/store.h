// The reports store: one interface, two back ends chosen once when it is
// opened (Store::Open), never asked about again.
//
// - SQLite (a path): WAL mode, synchronous=FULL, one file on this machine.
// - PostgreSQL (a postgresql:// or postgres:// URI, or a libpq key=value
//   string): any number of receivers on any machines write one database.
//
// Either way a report that Insert returned from is committed and durable:
// it survives a SIGKILL of the process and a power cut of the machine. The
// schema carries its version; opening read-write brings an older one up to
// kSchemaVersion a step at a time, each step in its own transaction, and
// refuses one from a newer release. Opening read-only never writes.
//
// Every failure throws StoreError with a message that names the database,
// the cause and what to do.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "days.h"
#include "ledger.h"
#include "machine_state.h"
#include "report.h"

namespace reports {

// 1: the reports and the imported lines; 2: the hourly rollups; 3: the
// campaign ledger and the campaigns' states.
constexpr int kSchemaVersion = 3;
constexpr int kRollupsVersion = 2;

class CampaignTables;

class StoreError : public std::runtime_error {
public:
    explicit StoreError(const std::string& message) : std::runtime_error(message) {}
};

// A transaction that lost a race to another connection (two receivers
// created one machine's state at once): nothing of it is stored, and run
// again it succeeds.
class Contended : public StoreError {
public:
    explicit Contended(const std::string& message) : StoreError(message) {}
};

// A ledger change refused, and why (an overlap, an unknown campaign...).
class LedgerRefused : public std::runtime_error {
public:
    explicit LedgerRefused(const std::string& why) : std::runtime_error(why) {}
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

// One hour's rollup of one kind: its reports, and its distinct machines
// as a serialized Sketch. A back end may keep several rows for one hour and
// kind (one per writer); readers add them up and merge them.
struct HourRow {
    std::int64_t hour = 0;  // hours since 1970, UTC
    ReportKind kind = ReportKind::Shown;
    std::int64_t reports = 0;
    std::string machines;
};

class Store {
public:
    enum class Mode { ReadWrite, ReadOnly };

    // The back end that `where` names: PostgreSQL for a postgresql:// or
    // postgres:// URI or a libpq "key=value ..." string, SQLite for anything
    // else (a path; write ./a=b.db for a file whose name starts like key=).
    static bool IsPostgres(const std::string& where);
    // `where` fit to print: a PostgreSQL password (in a URI's user:password@
    // or a password=... field) shown as ***.
    static std::string Redacted(const std::string& where);
    // Opens (ReadWrite: creates and migrates) the store `where` names.
    static std::unique_ptr<Store> Open(const std::string& where, Mode mode);

    virtual ~Store() = default;

    // Stores the reports, their hours' rollups and what they change in the
    // campaigns in one transaction: all or none.
    void Insert(const std::vector<Report>& reports);

    // Imports one access-log report: stored only when no earlier import
    // stored the line with this hash and occurrence. Call inside a
    // Transaction; the rollups of what it stored are added once, at Commit.
    // Answers whether it stored the report.
    bool InsertImported(const Report& report, const std::string& lineHash, std::int64_t occurrence);
    void Begin();
    void Commit();
    void Rollback() noexcept;

    // Per-day figures of [from, to] with days cut at midnight in the range's
    // zone, days without reports left out; and the
    // whole range's, machines counted once over it. Read from the hourly
    // rollups: a page costs hours, not reports. Machines are exact while
    // small and estimated past that (see sketch.h); `exact` says which.
    std::vector<Figures> FiguresByDay(const DayRange& range);
    Figures FiguresOfRange(const DayRange& range, bool* exact = nullptr);

    // Calls `row` for every report of the range stored before the call,
    // oldest row first, until it answers false. Each page of rows is a read
    // of its own, so a slow `row` never holds a read open between pages.
    void ForEachReport(const DayRange& range, const std::function<bool(const Report&)>& row);
    // The `limit` latest reports of the range, latest first.
    virtual std::vector<Report> LatestReports(const DayRange& range, int limit) = 0;

    virtual std::int64_t CountReports() = 0;
    // For tests and the operator: run statements with no result rows.
    virtual void Exec(const std::string& sql) = 0;

    // The campaigns (store_campaigns.cpp). The ledger, ordered by from.
    Ledger ReadLedger();
    // A new campaign, its state to be built from the reports stored before
    // it (BuildStep); LedgerRefused when it may not join the ledger.
    Campaign AddCampaign(Campaign campaign);
    // Moves the campaign's end to `at`; when stored reports thereby leave or
    // join it, its state is discarded and built again.
    Campaign EndCampaign(const std::string& id, std::int64_t at);
    void RemoveCampaign(const std::string& id);
    // Adds up to `limit` more of the stored reports to the campaign's state,
    // in a transaction of its own, and answers the campaign (Built() once
    // every one is in). Runs beside the writers and resumes where the last
    // step ended.
    Campaign BuildStep(const std::string& id, int limit);
    // Deletes up to `limit` rows of states no campaign uses any more;
    // false when none is left.
    bool CollectStep(int limit);
    // The campaign and its counts added up, or nullopt when there is none.
    std::optional<std::pair<Campaign, Counts>> ReadCampaign(const std::string& id);

    // Upkeep that no commit should wait for (SQLite: copying the WAL into
    // the database). The writer runs it ten times a second on a store of its
    // own, `last` when it stops, after HandOverUpkeep on its own store.
    virtual void Upkeep(bool /*last*/) {}
    virtual void HandOverUpkeep() {}
    // The short part of the upkeep that needs the writer's own connection,
    // between its transactions, a few times a second (SQLite: what the
    // upkeep left to copy, so that the WAL starts over instead of growing).
    virtual void RestartLog() {}
    // Checks that a commit would go through now, and throws StoreError
    // naming the cause when it would not: the writer runs it while idle, so
    // that a database gone away (or back) shows without a report. By
    // default an empty transaction: a round trip, on a connection made again
    // when it broke.
    virtual void Probe();

protected:
    // What each back end does in its own SQL. Rows and rollups are written
    // inside a transaction the caller holds.
    virtual void BeginTransaction() = 0;
    virtual void CommitTransaction() = 0;
    virtual void RollbackTransaction() noexcept = 0;
    virtual void InsertRows(const std::vector<Report>& reports) = 0;
    virtual bool InsertImportedRow(const Report& report, const std::string& lineHash, std::int64_t occurrence) = 0;
    // The rollup rows of these hours and kinds (given in that order), each
    // created empty when missing and locked against other writers until the
    // transaction ends; answered in the same order.
    virtual std::vector<HourRow> LockHours(const std::vector<std::pair<std::int64_t, ReportKind>>& keys) = 0;
    virtual void WriteHour(const HourRow& row) = 0;
    virtual std::vector<HourRow> ReadHours(std::int64_t fromHour, std::int64_t toHour) = 0;  // [from, to)
    // Up to `limit` reports with at in [from, to) and id in (afterId, lastId].
    virtual std::vector<Report> ReportsPage(std::int64_t from, std::int64_t to, std::int64_t afterId,
                                            std::int64_t lastId, int limit) = 0;
    virtual std::int64_t LastId() = 0;

    // The back end's campaign tables.
    virtual CampaignTables& Campaigns() = 0;

    // Adds the reports to their hours' rollups.
    void AddToRollups(const std::vector<Report>& reports);
    // The schema step that made the rollups builds them from the reports
    // already stored; each back end calls this after every step.
    void AfterSchemaStep(int version);

private:
    // A transaction that changes the ledger, every writer's held off.
    void ChangeLedger(const std::function<void(Ledger&)>& change);

    std::vector<Report> imported_;  // stored by InsertImported, not yet in the rollups
    Ledger ledgerSeen_;             // the ledger of this connection's last transaction
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
