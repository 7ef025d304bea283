#include <cctype>

#include "store.h"

#include <climits>
#include <map>

#include "backends.h"
#include "campaign_intake.h"
#include "sketch.h"

namespace reports {

bool Store::IsPostgres(const std::string& where) {
    if (where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0) return true;
    // libpq's key=value form: a keyword of letters and '_', then '='.
    std::size_t i = 0;
    while (i < where.size() && (std::isalpha(static_cast<unsigned char>(where[i])) || where[i] == '_')) ++i;
    if (i == 0) return false;
    while (i < where.size() && where[i] == ' ') ++i;
    return i < where.size() && where[i] == '=';
}

std::string Store::Redacted(const std::string& where) {
    if (!IsPostgres(where)) return where;
    std::string out = where;
    const std::size_t scheme = out.find("://");
    if (scheme != std::string::npos) {
        const std::size_t at = out.find('@', scheme + 3), colon = out.find(':', scheme + 3);
        if (at != std::string::npos && colon < at) out.replace(colon + 1, at - colon - 1, "***");
    }
    for (std::size_t at = out.find("password="); at != std::string::npos; at = out.find("password=", at + 1)) {
        std::size_t end = at + 9;
        if (end < out.size() && out[end] == '\'') {
            end = out.find('\'', end + 1);
            end = end == std::string::npos ? out.size() : end + 1;
        } else {
            while (end < out.size() && out[end] != ' ' && out[end] != '&') ++end;
        }
        out.replace(at + 9, end - at - 9, "***");
    }
    return out;
}

std::unique_ptr<Store> Store::Open(const std::string& where, Mode mode) {
    return IsPostgres(where) ? OpenPostgres(where, mode) : OpenSqlite(where, mode);
}

namespace {

constexpr int kPageRows = 5000;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

}  // namespace

void Store::Insert(const std::vector<Report>& reports) {
    // Again when the ledger changed since this connection's last
    // transaction, and without a guess when another receiver created a
    // machine this one was creating: then nothing is guessed, nor can be lost.
    bool guess = true;
    for (;;) {
        Transaction batch(*this);
        CampaignBatch campaigns(Campaigns(), reports, guess ? &ledgerSeen_ : nullptr);
        InsertRows(reports);
        AddToRollups(reports);
        const bool applied = campaigns.Apply();
        ledgerSeen_ = campaigns.ledger();
        if (!applied) continue;
        try {
            batch.Commit();
            return;
        } catch (const Contended&) {
            guess = false;
        }
    }
}

void Store::Probe() {
    Transaction check(*this);
    check.Commit();
}

bool Store::InsertImported(const Report& report, const std::string& lineHash, std::int64_t occurrence) {
    if (!InsertImportedRow(report, lineHash, occurrence)) return false;
    imported_.push_back(report);
    return true;
}

void Store::Begin() {
    imported_.clear();
    BeginTransaction();
    Campaigns().HoldLedger();
}

void Store::Commit() {
    // An import's rollups and campaigns: one pass over the transaction's
    // reports instead of a rollup row locked and rewritten per line.
    if (!imported_.empty()) {
        CampaignBatch campaigns(Campaigns(), imported_, nullptr);
        AddToRollups(imported_);
        campaigns.Apply();
    }
    imported_.clear();
    CommitTransaction();
}

void Store::Rollback() noexcept {
    imported_.clear();
    RollbackTransaction();
}

void Store::AddToRollups(const std::vector<Report>& reports) {
    // Grouped by hour and kind, taken in that order: two receivers lock the
    // rows they share in the same order and never deadlock.
    std::map<std::pair<std::int64_t, int>, std::pair<std::int64_t, Sketch>> groups;
    for (const Report& r : reports) {
        auto& g = groups[{FloorDiv(r.at, 3600), static_cast<int>(r.kind)}];
        ++g.first;
        g.second.Add(Sketch::Hash(r.machine));
    }
    std::vector<std::pair<std::int64_t, ReportKind>> keys;
    for (const auto& group : groups) keys.emplace_back(group.first.first, static_cast<ReportKind>(group.first.second));
    std::vector<HourRow> locked = LockHours(keys);
    if (locked.size() != keys.size()) throw StoreError("the rollups answered " + std::to_string(locked.size()) +
                                                       " rows for " + std::to_string(keys.size()) + " hours");
    std::size_t next = 0;
    for (auto& [key, add] : groups) {
        HourRow& row = locked[next++];
        Sketch machines;
        if (!machines.Merge(row.machines)) throw StoreError("the rollup of hour " + std::to_string(row.hour) + " is damaged");
        machines.Merge(add.second);
        row.reports += add.first;
        row.machines = machines.Serialize();
        WriteHour(row);
    }
}

void Store::AfterSchemaStep(int version) {
    if (version != kRollupsVersion) return;
    const std::int64_t last = LastId();
    std::int64_t after = 0;
    for (;;) {
        const std::vector<Report> page = ReportsPage(INT64_MIN, INT64_MAX, after, last, 50000);
        if (page.empty()) return;
        AddToRollups(page);
        after = page.back().id;
    }
}

std::vector<Figures> Store::FiguresByDay(const DayRange& range) {
    const int utcOffsetHours = range.utcOffsetHours;
    const std::int64_t first = range.from * 24 - utcOffsetHours, end = (range.to + 1) * 24 - utcOffsetHours;
    std::map<std::int64_t, std::pair<Figures, std::pair<Sketch, Sketch>>> days;
    for (const HourRow& h : ReadHours(first, end)) {
        const std::int64_t day = FloorDiv(h.hour + utcOffsetHours, 24);
        auto& d = days.try_emplace(day, Figures{}, std::make_pair(Sketch(true), Sketch(true))).first->second;
        d.first.day = day;
        const bool shown = h.kind == ReportKind::Shown;
        (shown ? d.first.showings : d.first.installs) += h.reports;
        (shown ? d.second.first : d.second.second).Merge(h.machines);
    }
    std::vector<Figures> out;
    for (auto& [day, d] : days) {
        d.first.machinesShown = d.second.first.Count();
        d.first.machinesInstalled = d.second.second.Count();
        out.push_back(d.first);
    }
    return out;
}

Figures Store::FiguresOfRange(const DayRange& range, bool* exact) {
    const int utcOffsetHours = range.utcOffsetHours;
    Figures f;
    f.day = range.from;
    Sketch shown(true), installed(true);
    for (const HourRow& h : ReadHours(range.from * 24 - utcOffsetHours, (range.to + 1) * 24 - utcOffsetHours)) {
        const bool isShown = h.kind == ReportKind::Shown;
        (isShown ? f.showings : f.installs) += h.reports;
        (isShown ? shown : installed).Merge(h.machines);
    }
    f.machinesShown = shown.Count();
    f.machinesInstalled = installed.Count();
    if (exact != nullptr) *exact = shown.exact() && installed.exact();
    return f;
}

void Store::ForEachReport(const DayRange& range, const std::function<bool(const Report&)>& row) {
    const int utcOffsetHours = range.utcOffsetHours;
    const std::int64_t from = (range.from * 24 - utcOffsetHours) * 3600;
    const std::int64_t to = ((range.to + 1) * 24 - utcOffsetHours) * 3600;
    const std::int64_t last = LastId();
    std::int64_t after = 0;
    for (;;) {
        const std::vector<Report> page = ReportsPage(from, to, after, last, kPageRows);
        for (const Report& r : page) {
            if (!row(r)) return;
        }
        if (page.size() < static_cast<std::size_t>(kPageRows)) return;
        after = page.back().id;
    }
}

}  // namespace reports
