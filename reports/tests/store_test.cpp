// The store, on each back end: figures as SQL counts them, the schema
// version, and importing an access log twice.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "import.h"
#include "pg_link.h"
#include "store.h"
#include "support.h"

using namespace reports;

namespace {

constexpr std::int64_t kDay = 20458;  // 2026-01-05

Report At(std::int64_t seconds, ReportKind kind, const std::string& machine) {
    return {kDay * 86400 + seconds, kind, machine, "10.0.0.1"};
}

class StoreTest : public testing::TestWithParam<reports_test::Backend> {
protected:
    std::string NewStore() { return GetParam().where(dir); }
    reports_test::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, testing::ValuesIn(reports_test::kBackends),
                         [](const testing::TestParamInfo<reports_test::Backend>& p) { return p.param.name; });

TEST_P(StoreTest, DistinctMachinesPerDayAndOverTheRange) {
    const std::unique_ptr<Store> opened = Store::Open(NewStore(), Store::Mode::ReadWrite);
    Store& store = *opened;
    const auto S = ReportKind::Shown, I = ReportKind::Installed;
    store.Insert({
        At(-1, S, "before"),  // the day before the range
        At(0, S, "a"), At(10, S, "a"), At(20, S, "b"), At(30, I, "a"), At(40, I, "a"), At(50, S, ""),
        At(86400 + 5, S, "a"), At(86400 + 6, I, "c"),
        At(2 * 86400 - 1 + 86400, I, "b"),  // the range's last second
        At(3 * 86400, S, "after"),          // the first second past it
    });
    const DayRange range{kDay, kDay + 2};
    struct Row {
        std::int64_t day, showings, installs, shown, installed;
    } expected[] = {{kDay, 4, 2, 3, 1}, {kDay + 1, 1, 1, 1, 1}, {kDay + 2, 0, 1, 0, 1}};
    const std::vector<Figures> days = store.FiguresByDay(range);
    ASSERT_EQ(3u, days.size());
    for (std::size_t i = 0; i < days.size(); ++i) {
        const Row& e = expected[i];
        EXPECT_EQ(e.day, days[i].day) << i;
        EXPECT_EQ(e.showings, days[i].showings) << i;
        EXPECT_EQ(e.installs, days[i].installs) << i;
        EXPECT_EQ(e.shown, days[i].machinesShown) << i;
        EXPECT_EQ(e.installed, days[i].machinesInstalled) << i;
    }
    const Figures total = store.FiguresOfRange(range);
    EXPECT_EQ(5, total.showings);
    EXPECT_EQ(4, total.installs);
    EXPECT_EQ(3, total.machinesShown);      // a, b and the empty identifier, once each
    EXPECT_EQ(3, total.machinesInstalled);  // a, b, c
    EXPECT_EQ(2u, store.LatestReports(range, 2).size());
    EXPECT_EQ("b", store.LatestReports(range, 1)[0].machine);
}

TEST_P(StoreTest, SchemaVersionsOpenedMigratedOrRefused) {
    const bool postgres = GetParam().name == std::string("PostgreSQL");
    struct Row {
        const char* name;
        int version;  // set on an empty database first; -1: nothing set
        bool opens;
    } rows[] = {{"new database", -1, true}, {"version 0, empty", 0, true}, {"a newer release's", kSchemaVersion + 1, false}};
    for (const Row& row : rows) {
        reports_test::TempDir rowDir;
        const std::string where = postgres ? reports_test::NewPostgresDatabase() : rowDir.Path("r.db");
        if (row.version >= 0) {
            // What each back end keeps its version in, set by hand.
            const std::string v = std::to_string(row.version);
            if (postgres) {
                const UniqueConn conn(PQconnectdb(where.c_str()));
                const UniqueResult done(PQexec(conn.get(), ("CREATE TABLE quentra_schema(version integer NOT NULL);"
                                                            "INSERT INTO quentra_schema VALUES (" + v + ")").c_str()));
            } else {
                sqlite3* raw = nullptr;
                const int opened = sqlite3_open(where.c_str(), &raw);
                const UniqueHandle<sqlite3, sqlite3_close_v2> db(raw);
                if (opened == SQLITE_OK) {
                    sqlite3_exec(db.get(), ("PRAGMA user_version=" + v).c_str(), nullptr, nullptr, nullptr);
                }
            }
        }
        try {
            Store::Open(where, Store::Mode::ReadWrite)->Insert({At(0, ReportKind::Shown, "a")});
            EXPECT_TRUE(row.opens) << row.name;
            EXPECT_EQ(1, Store::Open(where, Store::Mode::ReadOnly)->CountReports()) << row.name;
        } catch (const StoreError& e) {
            EXPECT_FALSE(row.opens) << row.name << ": " << e.what();
            EXPECT_NE(std::string::npos, std::string(e.what()).find("newer")) << row.name;
        }
    }
}

// A generated month: the rollups' figures equal the counts from the raw
// reports, per day cut in UTC and in UTC+8 and over the range, and again
// after the rollups are dropped and rebuilt by the migration that made them.
// One hour holds more machines than a sketch keeps exactly: its day and the
// range are estimates, within 5 %.
TEST_P(StoreTest, RollupsEqualCountsFromTheRawReports) {
    const std::string where = NewStore();
    std::vector<Report> reports;
    std::uint64_t seed = 7;
    auto next = [&seed](std::uint64_t n) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return (seed >> 33) % n;
    };
    for (int i = 0; i < 20000; ++i) {
        const ReportKind kind = next(4) == 0 ? ReportKind::Installed : ReportKind::Shown;
        reports.push_back(At(static_cast<std::int64_t>(next(30 * 86400)), kind, "m" + std::to_string(next(3000))));
    }
    const std::int64_t denseHour = 12 * 86400 + 5 * 3600;
    for (int i = 0; i < 3000; ++i) reports.push_back(At(denseHour + i % 3600, ReportKind::Shown, "d" + std::to_string(i)));
    struct Count {
        std::int64_t showings = 0, installs = 0;
        std::set<std::string> shown, installed;
    };
    for (const int offset : {0, 8}) {
        const DayRange range{kDay, kDay + 29, offset};
        std::map<std::int64_t, Count> days;
        Count total;
        for (const Report& r : reports) {
            const std::int64_t day = (r.at + offset * 3600) / 86400;
            if (day < range.from || day > range.to) continue;
            for (Count* c : {&days[day], &total}) {
                (r.kind == ReportKind::Shown ? c->showings : c->installs)++;
                (r.kind == ReportKind::Shown ? c->shown : c->installed).insert(r.machine);
            }
        }
        for (const bool rebuilt : {false, true}) {
            if (!rebuilt) {
                if (offset == 0) Store::Open(where, Store::Mode::ReadWrite)->Insert(reports);
            } else {
                // What a database of the release before the rollups holds.
                const bool postgres = Store::IsPostgres(where);
                Store::Open(where, Store::Mode::ReadWrite)->Exec(
                    postgres ? "DROP TABLE hourly; UPDATE quentra_schema SET version = 1"
                             : "DROP TABLE hourly; PRAGMA user_version = 1");
                Store::Open(where, Store::Mode::ReadWrite);
            }
            const std::string name = "UTC+" + std::to_string(offset) + (rebuilt ? ", rebuilt" : "");
            const std::unique_ptr<Store> store = Store::Open(where, Store::Mode::ReadOnly);
            const std::vector<Figures> figures = store->FiguresByDay(range);
            ASSERT_EQ(days.size(), figures.size()) << name;
            for (const Figures& f : figures) {
                const Count& c = days[f.day];
                const bool dense = f.day == kDay + (denseHour + offset * 3600) / 86400;
                EXPECT_EQ(c.showings, f.showings) << name << " " << FormatDay(f.day);
                EXPECT_EQ(c.installs, f.installs) << name << " " << FormatDay(f.day);
                EXPECT_NEAR(c.shown.size(), f.machinesShown, dense ? c.shown.size() * 0.05 : 0) << name << " " << FormatDay(f.day);
                EXPECT_EQ(c.installed.size(), f.machinesInstalled) << name << " " << FormatDay(f.day);
            }
            bool exact = true;
            const Figures all = store->FiguresOfRange(range, &exact);
            EXPECT_FALSE(exact) << name;
            EXPECT_EQ(total.showings, all.showings) << name;
            EXPECT_EQ(total.installs, all.installs) << name;
            EXPECT_NEAR(total.shown.size(), all.machinesShown, total.shown.size() * 0.05) << name;
            EXPECT_NEAR(total.installed.size(), all.machinesInstalled, total.installed.size() * 0.05) << name;
        }
    }
}

// A reader that takes its time over every report (a slow /reports.csv) while
// reports are stored and the WAL is checkpointed: each page is a read of its
// own, so the checkpoints complete and the WAL stays at a few commits' size.
// One read held over the whole range kept every commit in the WAL (12 MB
// here).
TEST(SlowReader, TheWalStaysBounded) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    const std::unique_ptr<Store> writer = Store::Open(db, Store::Mode::ReadWrite);
    const std::unique_ptr<Store> upkeep = Store::Open(db, Store::Mode::ReadWrite);
    writer->HandOverUpkeep();
    std::vector<Report> many;
    for (int i = 0; i < 12000; ++i) many.push_back(At(i, ReportKind::Shown, "old" + std::to_string(i)));
    writer->Insert(many);
    upkeep->Upkeep(true);
    std::int64_t rows = 0;
    std::uintmax_t largestWal = 0;
    Store::Open(db, Store::Mode::ReadOnly)->ForEachReport({kDay, kDay}, [&](const Report&) {
        if (++rows % 500 == 0) {
            for (int i = 0; i < 40; ++i) writer->Insert({At(rows, ReportKind::Installed, "new" + std::to_string(i))});
            upkeep->Upkeep(false);
            largestWal = std::max(largestWal, std::filesystem::file_size(db + "-wal"));
        }
        return true;
    });
    EXPECT_EQ(12000, rows) << "only what was stored before the read began";
    EXPECT_LT(largestWal, 1u << 20);
}

// Under a steady load the upkeep's copy never ends with every frame copied:
// the writer has always appended more by then (here a read that began
// before the batch holds the copy short of it), and the WAL starts over
// only when a transaction begins with every frame copied. The writer's
// restart between batches does it; without, the WAL grew by every batch
// (5 MB here, without end under a real load).
TEST(SteadyLoad, TheWalStartsOverBetweenBatches) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    const std::unique_ptr<Store> writer = Store::Open(db, Store::Mode::ReadWrite);
    const std::unique_ptr<Store> upkeep = Store::Open(db, Store::Mode::ReadWrite);
    const std::unique_ptr<Store> reader = Store::Open(db, Store::Mode::ReadOnly);
    writer->HandOverUpkeep();
    std::uintmax_t largestWal = 0;
    for (int round = 0; round < 200; ++round) {
        reader->Exec("BEGIN");
        reader->CountReports();
        std::vector<Report> batch;
        for (int i = 0; i < 8; ++i) batch.push_back(At(round, ReportKind::Shown, std::to_string(round * 8 + i)));
        writer->Insert(batch);
        upkeep->Upkeep(false);
        reader->Exec("COMMIT");
        writer->RestartLog();
        largestWal = std::max(largestWal, std::filesystem::file_size(db + "-wal"));
    }
    EXPECT_EQ(1600, writer->CountReports());
    EXPECT_LT(largestWal, 1u << 20);
}

TEST_P(StoreTest, ImportTwiceStoresOnceAndAGrownLogOnlyItsNewLines) {
    const std::unique_ptr<Store> opened = Store::Open(NewStore(), Store::Mode::ReadWrite);
    Store& store = *opened;
    const std::string line = "10.0.0.9 - - [05/Jan/2026:10:00:00 +0000] \"GET /traycast.html?t=0&m=PC HTTP/1.1\" 200 2\n";
    const std::string log = line + line +  // the same second twice: two reports
                            "garbage\n" +
                            "10.0.0.9 - - [05/Jan/2026:10:00:01 +0000] \"GET /traycast.html?t=3&m=PC HTTP/1.1\" 200 2\n" +
                            "10.0.0.9 - - [05/Jan/2026:10:00:02 +0000] \"GET /other HTTP/1.1\" 200 2\n" +
                            std::string(kMaxLogLine + 10, 'x') + "\n" +
                            "10.0.0.9 - - [05/Jan/2026:10:00:03 +0000] \"GET /traycast.html?t=1&m=PC HTTP/1.1\" 200 2";
    struct Row {
        const char* name;
        std::string log;
        std::int64_t stored, already, other, refused, malformed, rows;
    } rows[] = {
        {"first import", log, 3, 0, 1, 1, 2, 3},
        {"the same log again", log, 0, 3, 1, 1, 2, 3},
        {"the log grown by a line", log + "\n" + line, 1, 3, 1, 1, 2, 4},
    };
    for (const Row& row : rows) {
        std::istringstream in(row.log);
        const ImportCounts c = ImportLog(store, in);
        EXPECT_EQ(row.stored, c.stored) << row.name;
        EXPECT_EQ(row.already, c.already) << row.name;
        EXPECT_EQ(row.other, c.other) << row.name;
        EXPECT_EQ(row.refused, c.refused) << row.name;
        EXPECT_EQ(row.malformed, c.malformed) << row.name;
        EXPECT_EQ((std::vector<std::int64_t>{3, 6}), c.malformedLines) << row.name;
        EXPECT_EQ(row.rows, store.CountReports()) << row.name;
    }
}

}  // namespace
