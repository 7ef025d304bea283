// Campaigns in the store, on each back end: a simulated fleet's figures
// against the simulator's own truth, the same figures whether built from
// stored reports or added as the reports came, a build beside a writer,
// windows that change, and two receivers on one PostgreSQL database keeping
// every machine's state exact.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "campaign_figures.h"
#include "import.h"
#include "pg_link.h"
#include "store.h"
#include "support.h"

using namespace reports;
using reports_test::Get;
namespace pt = boost::property_tree;

namespace {

constexpr std::int64_t kMar2 = 20514LL * 86400;  // 2026-03-02T00:00:00Z

class CampaignTest : public testing::TestWithParam<reports_test::Backend> {
protected:
    reports_test::TempDir dir;
};

INSTANTIATE_TEST_SUITE_P(Backends, CampaignTest, testing::ValuesIn(reports_test::kBackends),
                         [](const testing::TestParamInfo<reports_test::Backend>& p) { return p.param.name; });

Campaign Window(const std::string& id, std::int64_t from, std::optional<std::int64_t> to, std::int64_t cap = 3) {
    Campaign c;
    c.id = id;
    c.from = from;
    c.to = to;
    c.maxPopups = cap;
    return c;
}

void Build(Store& store, const std::string& id, int page = 2000) {
    while (!store.BuildStep(id, page).Built()) {
    }
    while (store.CollectStep(1000)) {
    }
}

Counts CountsOf(Store& store, const std::string& id) {
    const auto c = store.ReadCampaign(id);
    if (!c) ADD_FAILURE() << "no campaign " << id;
    Counts counts = c ? c->second : Counts{};
    DropZeros(counts);
    return counts;
}

// One number a SQL query answers, on either back end.
std::int64_t Query(const std::string& where, const std::string& sql) {
    std::int64_t value = -1;
    if (Store::IsPostgres(where)) {
        const UniqueConn conn(PQconnectdb(where.c_str()));
        const UniqueResult r(PQexec(conn.get(), sql.c_str()));
        if (PQresultStatus(r.get()) == PGRES_TUPLES_OK && PQntuples(r.get()) == 1) {
            value = std::atoll(PQgetvalue(r.get(), 0, 0));
        }
    } else {
        sqlite3* raw = nullptr;
        sqlite3_open(where.c_str(), &raw);
        const UniqueHandle<sqlite3, sqlite3_close_v2> db(raw);
        sqlite3_exec(db.get(), sql.c_str(), [](void* out, int, char** row, char**) {
            *static_cast<std::int64_t*>(out) = std::atoll(row[0]);
            return 0;
        }, &value, nullptr);
    }
    return value;
}

// The simulator's fleet imported with the campaign live, against the
// simulator's truth: every exact figure equal, the times to install within
// the histogram's resolution, and each showing's conversion within four
// standard errors of the one the fleet was given. Then the campaign built
// again from the stored reports gives the same counts.
TEST_P(CampaignTest, AFleetsFiguresEqualTheSimulatorsOwnTruth) {
    const std::string where = GetParam().where(dir);
    const bool postgres = Store::IsPostgres(where);
    reports_test::Child fleet({REPORTS_FLEET_BIN, "--machines", postgres ? "4000" : "20000", "--from", "2026-03-02T00:00Z",
                               "--days", "28", "--tz", "8", "--log", dir.Path("fleet.log"), "--truth", dir.Path("truth.json"),
                               "--seed", "7"});
    ASSERT_EQ(0, fleet.Wait(60000));
    const std::unique_ptr<Store> store = Store::Open(where, Store::Mode::ReadWrite);
    Campaign live = Window("fleet", kMar2, kMar2 + 28 * 86400);
    live.utcOffsetHours = 8;
    store->AddCampaign(live);
    std::ifstream log(dir.Path("fleet.log"), std::ios::binary);
    ImportLog(*store, log);

    const auto [campaign, counts] = *store->ReadCampaign("fleet");
    const CampaignFigures f = DeriveFigures(counts, 3);
    pt::ptree got, truth;
    std::istringstream json(CampaignJson(campaign, f));
    pt::read_json(json, got);
    pt::read_json(dir.Path("truth.json"), truth);
    for (const char* exact : {"machines_shown", "showings", "installs", "machines_installed", "quality.installs_without_showing",
                              "quality.machines_over_cap", "quality.machines_shown_twice_a_day",
                              "quality.empty_identifier_reports"}) {
        EXPECT_EQ(truth.get<std::int64_t>(exact), got.get<std::int64_t>(exact)) << exact;
    }
    EXPECT_GT(truth.get<std::int64_t>("quality.machines_over_cap"), 0) << "shared identifiers are over the cap";
    for (const char* byN : {"shown_times", "installed_after_showing"}) {
        for (const auto& [n, value] : truth.get_child(byN)) {
            EXPECT_EQ(value.get_value<std::int64_t>(), got.get<std::int64_t>(std::string(byN) + "." + n, -1)) << byN << " " << n;
        }
        EXPECT_EQ(truth.get_child(byN).size(), got.get_child(byN).size()) << byN;
    }
    for (const char* q : {"time_to_install_seconds.median", "time_to_install_seconds.p90"}) {
        const double want = truth.get<double>(q);
        EXPECT_NEAR(want, got.get<double>(q), want < 128 ? 0 : want / 128 + 0.5) << q;
    }
    for (const auto& [n, step] : truth.get_child("steps")) {
        const ShowingStep& s = f.steps.at(std::stoul(n) - 1);
        EXPECT_EQ(step.get<std::int64_t>("reached"), s.reached) << "showing " << n;
        EXPECT_EQ(step.get<std::int64_t>("installed"), s.installed) << "showing " << n;
        const double designed = step.get<double>("designed");
        if (std::stoul(n) <= 3) {
            EXPECT_NEAR(designed, *s.conversion(), 4 * std::sqrt(designed * (1 - designed) / s.reached)) << "showing " << n;
        }
    }

    store->RemoveCampaign("fleet");
    store->AddCampaign(live);
    Build(*store, "fleet", postgres ? 5000 : 2000);
    Counts rebuilt = CountsOf(*store, "fleet"), before = counts;
    DropZeros(before);
    EXPECT_EQ(before, rebuilt) << "built from the stored reports";
    EXPECT_EQ(Query(where, "SELECT count(DISTINCT machine) FROM reports WHERE machine <> " +
                               std::string(postgres ? "''::bytea" : "x''") + " AND at >= " + std::to_string(kMar2)),
              Query(where, "SELECT count(*) FROM campaign_machines"))
        << "one state per machine, the removed campaign's deleted";
}

// What every report adds to a campaign holding them all, one by one.
Counts Expected(const std::vector<Report>& reports) {
    std::map<std::string, MachineState> states;
    Counts expected;
    for (const Report& r : reports) {
        AddReport(expected, r.kind, r.machine.empty());
        if (r.machine.empty()) continue;
        AddMachine(expected, states[r.machine], 0, -1);
        Apply(states[r.machine], r.kind, r.at);
        AddMachine(expected, states[r.machine], 0, 1);
    }
    DropZeros(expected);
    return expected;
}

// Reports stored between the steps of a build of those stored before the
// campaign: each counts once, whichever side of the build's end it is on.
TEST_P(CampaignTest, ABuildBetweenWritesCountsEveryReportOnce) {
    const std::string where = GetParam().where(dir);
    std::mt19937_64 random(11);
    auto report = [&] {
        return Report{kMar2 + static_cast<std::int64_t>(random() % (20 * 86400)),
                      random() % 5 == 0 ? ReportKind::Installed : ReportKind::Shown, "m" + std::to_string(random() % 400),
                      "10.0.0.1"};
    };
    std::vector<Report> all;
    for (int i = 0; i < 3000; ++i) all.push_back(report());
    const std::unique_ptr<Store> writer = Store::Open(where, Store::Mode::ReadWrite);
    writer->Insert(all);
    const std::unique_ptr<Store> builder = Store::Open(where, Store::Mode::ReadWrite);
    builder->AddCampaign(Window("spring", kMar2, std::nullopt));
    while (!builder->BuildStep("spring", 50).Built()) {
        std::vector<Report> batch;
        for (int i = 0; i < 10; ++i) batch.push_back(report());
        writer->Insert(batch);
        all.insert(all.end(), batch.begin(), batch.end());
    }
    EXPECT_EQ(Expected(all), CountsOf(*builder, "spring"));
}

// A ledger change waits for the writers' transactions in flight: here one
// has stored a report that a later one's commit overtook. Had the campaign
// been added meanwhile, its build would end after the first report, which
// that transaction would add to the campaign too: counted twice.
TEST(Campaigns, ALedgerChangeWaitsForTheTransactionsInFlight) {
    const std::string db = reports_test::NewPostgresDatabase();
    const std::unique_ptr<Store> first = Store::Open(db, Store::Mode::ReadWrite),
                                 second = Store::Open(db, Store::Mode::ReadWrite),
                                 changer = Store::Open(db, Store::Mode::ReadWrite);
    const Report early{kMar2, ReportKind::Shown, "a", "x"}, late{kMar2 + 1, ReportKind::Shown, "a", "x"};
    first->Begin();
    ASSERT_TRUE(first->InsertImported(early, std::string(16, 'h'), 1));
    second->Insert({late});
    std::atomic<bool> added{false};
    std::thread add([&] {
        changer->AddCampaign(Window("spring", 0, std::nullopt));
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(added) << "the change went ahead of a transaction in flight";
    first->Commit();
    add.join();
    Build(*changer, "spring");
    EXPECT_EQ(Expected({early, late}), CountsOf(*changer, "spring"));
}

TEST_P(CampaignTest, WindowsThatChangeMoveTheirReports) {
    const std::string where = GetParam().where(dir);
    const std::unique_ptr<Store> store = Store::Open(where, Store::Mode::ReadWrite);
    const std::int64_t day = 86400;
    store->AddCampaign(Window("winter", kMar2 - 10 * day, kMar2));
    store->AddCampaign(Window("spring", kMar2, std::nullopt));
    const auto S = ReportKind::Shown;
    store->Insert({{kMar2 - 11 * day, S, "a", "x"}, {kMar2 - day, S, "a", "x"}, {kMar2, S, "a", "x"},
                   {kMar2 + day, S, "b", "x"}, {kMar2 + 3 * day, S, "c", "x"}, {kMar2 + 3 * day, S, "", "x"}});
    auto showings = [&](const std::string& id) { return CountsOf(*store, id)[{Count::Showings, 0}]; };
    EXPECT_EQ(1, showings("winter"));
    EXPECT_EQ(4, showings("spring"));
    const std::int64_t springNum = store->ReadCampaign("spring")->first.num;

    struct Row {
        const char* name;
        const char* id;
        std::int64_t at;
        bool rebuilt;
        std::int64_t showings;
    } rows[] = {
        {"spring ends before two of its reports", "spring", kMar2 + 2 * day, true, 2},
        {"spring ends later, no report in between", "spring", kMar2 + 2 * day + 3600, false, 2},
        {"spring ends after them again", "spring", kMar2 + 10 * day, true, 4},
        {"winter ends sooner, no report in between", "winter", kMar2 - day / 2, false, 1},
    };
    for (const Row& row : rows) {
        const std::int64_t num = store->ReadCampaign(row.id)->first.num;
        const Campaign ended = store->EndCampaign(row.id, row.at);
        EXPECT_EQ(row.rebuilt, ended.num != num) << row.name;
        EXPECT_EQ(row.rebuilt, !ended.Built()) << row.name;
        Build(*store, row.id);
        EXPECT_EQ(row.showings, showings(row.id)) << row.name;
    }
    EXPECT_THROW(store->EndCampaign("winter", kMar2 + day), LedgerRefused) << "into spring";
    EXPECT_THROW(store->AddCampaign(Window("summer", kMar2 + 9 * day, std::nullopt)), LedgerRefused);
    store->RemoveCampaign("spring");
    EXPECT_FALSE(store->ReadCampaign("spring"));
    EXPECT_THROW(store->RemoveCampaign("spring"), LedgerRefused);
    while (store->CollectStep(1)) {
    }
    EXPECT_EQ(0, Query(where, "SELECT count(*) FROM campaign_machines WHERE campaign <> " +
                                  std::to_string(store->ReadCampaign("winter")->first.num)))
        << "the states of spring, and of its builds before (" << springNum << "), are deleted";
    EXPECT_EQ(0, Query(where, "SELECT count(*) FROM campaign_discarded"));
    EXPECT_EQ(1, Query(where, "SELECT count(*) FROM campaign_machines"));
}

// Two receivers on one PostgreSQL database, each sent reports of the same
// 30 machines at once: every machine's state holds every showing stored for
// it, the counts add up to the stored reports, and no report was refused.
TEST(Campaigns, TwoReceiversKeepEveryMachineExact) {
    const std::string db = reports_test::NewPostgresDatabase();
    Store::Open(db, Store::Mode::ReadWrite)->AddCampaign(Window("live", 0, std::nullopt));
    reports_test::LiveServer one(db), two(db);
    std::vector<std::unique_ptr<reports_test::Child>> loads;
    for (const int port : {one.port(), two.port()}) {
        loads.push_back(std::make_unique<reports_test::Child>(std::vector<std::string>{
            REPORTS_LOAD_BIN, "--port", std::to_string(port), "--clients", "8", "--requests", "3000", "--machines", "30",
            "--prefix", "shared"}));
    }
    for (auto& load : loads) {
        const std::string said = load->ReadAll(120000);
        EXPECT_EQ(0, load->Wait(10000));
        // Two receivers creating one machine's state at once: the one that
        // lost runs its batch again, and answers 200 all the same.
        EXPECT_NE(std::string::npos, said.find(" failed 0 ")) << said;
    }
    EXPECT_EQ(0, Query(db, "SELECT count(*) FROM campaign_machines s WHERE s.shown <> (SELECT count(*)"
                                         " FROM reports r WHERE r.machine = s.machine AND r.kind = 0)"))
        << "a machine's showings lost";
    EXPECT_EQ(0, Query(db, "SELECT count(*) FROM campaign_machines s WHERE s.installed IS DISTINCT FROM"
                                         " (SELECT min(at) FROM reports r WHERE r.machine = s.machine AND r.kind = 1)"));
    const Counts counts = CountsOf(*Store::Open(db, Store::Mode::ReadOnly), "live");
    EXPECT_EQ(Query(db, "SELECT count(*) FROM reports WHERE kind = 0"), counts.at({Count::Showings, 0}));
    std::int64_t machines = 0;
    for (const auto& [key, value] : counts) machines += key.first == Count::ShownTimes ? value : 0;
    EXPECT_EQ(30, machines);
}

// A state found by its key however the table has grown since the server
// last looked at it: a plan the server keeps from when the table was small
// must not read all of it for every report once it has grown. Each batch
// shows 6 new machines and 2 of the batch before (the first: 2 more new
// ones), so that states are both created and updated.
TEST(Campaigns, StatesAreFoundByTheirKeyInATableThatGrew) {
    const std::string db = reports_test::NewPostgresDatabase();
    const std::unique_ptr<Store> store = Store::Open(db, Store::Mode::ReadWrite);
    store->AddCampaign(Window("live", 0, std::nullopt));
    const auto batch = [](int b) {
        std::vector<Report> reports;
        for (int i = 0; i < 8; ++i) {
            reports.push_back({kMar2 + b, ReportKind::Shown, "m" + std::to_string(i < 6 ? b * 6 + i : b * 6 + 5 - i), "x"});
        }
        return reports;
    };
    store->Insert(batch(0));
    store->Exec("ANALYZE campaign_machines");  // the server now takes it for a table of 6 rows
    // How often the table was read whole, and how many of its rows an index
    // led to, the store's own statistics flushed first, as its connection
    // goes idle.
    const auto reads = [&] {
        store->Exec("SELECT pg_stat_force_next_flush()");
        const std::string of = " FROM pg_stat_user_tables WHERE relname = 'campaign_machines'";
        return std::make_pair(Query(db, "SELECT seq_scan" + of), Query(db, "SELECT idx_tup_fetch" + of));
    };
    const auto before = reads();
    for (int b = 1; b < 400; ++b) store->Insert(batch(b));
    const auto after = reads();
    EXPECT_EQ(before.first, after.first) << "the campaign's machines read whole";
    EXPECT_LE(after.second - before.second, 399 * 8) << "more rows read than reports stored";
    EXPECT_EQ(400 * 6 + 2, Query(db, "SELECT count(*) FROM campaign_machines"));
    EXPECT_EQ(399 * 2, Query(db, "SELECT count(*) FROM campaign_machines WHERE shown = 2"));
}

}  // namespace

namespace {

// A known campaign: 12 machines shown once (3 installed after it, 60 s,
// 300 s and 4,000 s later), 6 shown twice (2 installed after the second),
// 4 shown three times (1 installed after the third), one shown four times,
// twice on its first day; an install with no showing, and two reports with
// an empty identifier.
std::vector<Report> KnownCampaign(std::int64_t start) {
    std::vector<Report> rows;
    const auto S = ReportKind::Shown, I = ReportKind::Installed;
    auto machine = [&](const std::string& id, int showings, std::int64_t waited, bool sameDay = false) {
        for (int i = 0; i < showings; ++i) rows.push_back({start + (sameDay && i == 1 ? 3600 : i * 86400), S, id, "x"});
        if (waited >= 0) rows.push_back({start + (showings - 1) * 86400 + waited, I, id, "x"});
    };
    const std::int64_t waits[] = {60, 300, 4000};
    for (int i = 0; i < 12; ++i) machine("once" + std::to_string(i), 1, i < 3 ? waits[i] : -1);
    for (int i = 0; i < 6; ++i) machine("twice" + std::to_string(i), 2, i < 2 ? 600 : -1);
    for (int i = 0; i < 4; ++i) machine("thrice" + std::to_string(i), 3, i < 1 ? 600 : -1);
    machine("<b>four</b>", 4, -1, true);
    rows.push_back({start + 100, I, "unshown", "x"});
    rows.push_back({start + 200, S, "", "x"});
    rows.push_back({start + 300, I, "", "x"});
    return rows;
}

TEST(CampaignPages, AKnownCampaignInHeadlessChromiumAtTwoWidths) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("campaign.db");
    {
        const std::unique_ptr<Store> store = Store::Open(db, Store::Mode::ReadWrite);
        store->AddCampaign(Window("spring <26>", kMar2, kMar2 + 20 * 86400));
        store->AddCampaign(Window("winter", kMar2 - 20 * 86400, kMar2));
        store->Insert(KnownCampaign(kMar2 + 9 * 3600));
        store->Insert(KnownCampaign(kMar2 - 20 * 86400 + 9 * 3600));
    }
    reports_test::LiveServer server(db);
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    const std::string dom = reports_test::ChromiumDom(dir, base + "/campaign?id=spring%20%3C26%3E");
    ASSERT_NE(std::string::npos, dom.find("</html>")) << "no DOM from Chromium; is Debian's chromium installed?";
    EXPECT_NE(std::string::npos, dom.find("<h1>Campaign spring &lt;26&gt;</h1>"));
    const char* steps[] = {"<td>1</td><td>12</td><td>23</td><td>23</td><td>3</td><td>13.04 %<br>",
                           "<td>2</td><td>6</td><td>11</td><td>11</td><td>2</td><td>18.18 %<br>",
                           "<td>3</td><td>4</td><td>5</td><td>5</td><td>1</td><td>20.00 %<br>",
                           "<td>4</td><td>1</td><td>1</td><td>1</td><td>0</td><td>0.00 %<br>"};
    for (const char* row : steps) EXPECT_NE(std::string::npos, dom.find(row)) << row;
    EXPECT_NE(std::string::npos, dom.find("installs without a showing before them: 1 · machines over the cap: 1 · "
                                          "machines shown twice on one day: 1 · reports with an empty identifier: 2"));
    std::size_t bars = 0;
    for (std::size_t at = dom.find("<rect class=\"shown\""); at != std::string::npos; at = dom.find("<rect class=\"shown\"", at + 1)) ++bars;
    EXPECT_EQ(4u, bars) << "a funnel bar for each number of showings";
    EXPECT_EQ(std::string::npos, dom.find("<script"));

    const std::string dashboard = Get(server.port(), "/").body;
    EXPECT_NE(std::string::npos, dashboard.find("<a href=\"/campaign?id=spring%20%3C26%3E\">spring &lt;26&gt;</a>"));
    const std::string compare = Get(server.port(), "/compare?a=winter&b=spring%20%3C26%3E").body;
    EXPECT_NE(std::string::npos, compare.find("too early to tell")) << "23 machines shown in each";
    struct Shot {
        const char* name;
        const char* target;
        int width;
    } const shots[] = {{"campaign", "/campaign?id=spring%20%3C26%3E", 900},
                       {"campaign", "/campaign?id=spring%20%3C26%3E", 420},
                       {"compare", "/compare?a=winter&b=spring%20%3C26%3E", 420}};
    for (const auto& [name, target, width] : shots) {
        const std::string served = Get(server.port(), target).body;
        {
            const std::string png = std::string(REPORTS_OUT_DIR) + "/" + name + "-" + std::to_string(width) + ".png";
            const reports_test::Layout laidOut = reports_test::LayOut(dir, served, width, png);
            EXPECT_GT(laidOut.scrollWidth, 0) << name << " " << width;
            EXPECT_LE(laidOut.scrollWidth, width) << "the " << name << " page scrolls sideways at " << width << " px";
            EXPECT_EQ(width, laidOut.pngWidth) << png;
        }
    }
}

}  // namespace
