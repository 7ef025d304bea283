// A live receiver on loopback: what each request gets and what it stores,
// 503 when the database cannot take a report, and the dashboard rendered by
// headless Chromium.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support.h"

using namespace reports;
using reports_test::Get;
using reports::UniqueFd;

namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// The metrics as Prometheus reads them: "name{labels} value" lines, each
// family announced by # TYPE before its samples.
std::map<std::string, double> ParseMetrics(const std::string& text) {
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
            continue;
        }
        if (line.empty() || line[0] == '#') continue;
        const std::size_t space = line.rfind(' ');
        const std::string name = line.substr(0, space);
        std::string family = name.substr(0, name.find('{'));
        for (const char* suffix : {"_bucket", "_sum", "_count"}) {
            const std::size_t at = family.rfind(suffix);
            if (at != std::string::npos && at + std::strlen(suffix) == family.size() && !typed.count(family)) {
                family.erase(at);
            }
        }
        EXPECT_TRUE(typed.count(family)) << "no # TYPE before " << line;
        samples[name] = std::stod(line.substr(space + 1));
    }
    return samples;
}

TEST(Receiver, AnswerAndRowsForEveryRequest) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    reports_test::LiveServer server(db);
    std::vector<std::pair<std::string, std::string>> many;
    for (int i = 0; i < 100; ++i) many.emplace_back("X-Pad-" + std::to_string(i), std::string(90, 'p'));
    std::vector<std::pair<std::string, std::string>> flood;
    for (int i = 0; i < 400; ++i) flood.emplace_back("X-Pad-" + std::to_string(i), std::string(90, 'p'));
    struct Row {
        const char* name;
        std::string target;
        int status;
        int stored;
        std::string method = "GET";
        std::vector<std::pair<std::string, std::string>> headers = {};
    } rows[] = {
        {"showing", "/traycast.html?t=0&m=DEMO%20PC%267F3A", 200, 1},
        {"install, empty identifier", "/traycast.html?t=1&m=", 200, 1},
        {"260 escaped bytes", "/traycast.html?t=0&m=" + Repeat("%C4", 260), 200, 1},
        {"261 bytes", "/traycast.html?t=0&m=" + std::string(261, 'A'), 400, 0},
        {"no t", "/traycast.html?m=a", 400, 0},
        {"t=2", "/traycast.html?t=2&m=a", 400, 0},
        {"no m", "/traycast.html?t=0", 400, 0},
        {"no query", "/traycast.html", 400, 0},
        {"as an unescaping plug-in sends it", "/traycast.html?t=0&m={3F}\xB2\xE2%4%41", 200, 1},
        {"t twice", "/traycast.html?t=0&t=1&m=a", 400, 0},
        {"unknown key", "/traycast.html?m=a&t=0&x=1", 400, 0},
        {"other path", "/traycast.htm?t=0&m=a", 404, 0},
        {"escaped path", "/traycast%2Ehtml?t=0&m=a", 404, 0},
        {"path below", "/traycast.html/x?t=0&m=a", 404, 0},
        {"POST", "/traycast.html?t=0&m=a", 405, 0, "POST"},
        {"HEAD stores nothing", "/traycast.html?t=0&m=a", 405, 0, "HEAD"},
        {"HEAD of a page", "/summary.json", 200, 0, "HEAD"},
        {"HEAD of the health check", "/healthz", 200, 0, "HEAD"},
        {"HEAD elsewhere", "/nowhere", 404, 0, "HEAD"},
        {"target above 1024 bytes", "/traycast.html?t=0&m=" + std::string(1100, 'A'), 414, 0},
        {"target above 8192", "/traycast.html?t=0&m=" + std::string(9000, 'A'), 414, 0},
        {"one header above 8192", "/traycast.html?t=0&m=a", 400, 0, "GET", {{"X-Big", std::string(9000, 'b')}}},
        {"headers above 8192 in all", "/traycast.html?t=0&m=a", 431, 0, "GET", many},
        {"headers above the connection's budget", "/traycast.html?t=0&m=a", 400, 0, "GET", flood},
        {"dashboard, bad range", "/?from=2026-02-30", 400, 0},
        {"summary, from after to", "/summary.json?from=2026-01-06&to=2026-01-05", 400, 0},
        {"csv under another name", "/reports.csv", 403, 0, "GET", {{"Host", "rebound.example"}}},
        {"summary, another name with the port", "/summary.json", 403, 0, "GET", {{"Host", "rebound.example:80"}}},
        {"dashboard as localhost", "/", 200, 0, "GET", {{"Host", "LocalHost:1"}}},
        {"dashboard under an address", "/", 200, 0, "GET", {{"Host", "[fe80::1]:80"}}},
        {"healthz under any name", "/healthz", 200, 0, "GET", {{"Host", "lb.internal"}}},
        {"Range ignored", "/reports.csv", 200, 0, "GET", {{"Range", "bytes=0-3"}}},
        {"csv, a zone of half hours", "/reports.csv?tz=%2B05:30", 400, 0},
        {"campaign.json without an id", "/campaign.json", 400, 0},
        {"campaign.json, id twice", "/campaign.json?id=a&id=b", 400, 0},
        {"campaign.json, a campaign not in the ledger", "/campaign.json?id=nope", 404, 0},
        {"compare.json without b", "/compare.json?a=x", 400, 0},
        {"compare, two to choose", "/compare", 200, 0},
        {"campaign page under another name", "/campaign?id=x", 403, 0, "GET", {{"Host", "rebound.example"}}},
        {"campaign.json, POST", "/campaign.json?id=x", 405, 0, "POST"},
    };
    std::int64_t expectedRows = 0;
    for (const Row& row : rows) {
        const reports_test::Reply reply = Get(server.port(), row.target, row.method, row.headers);
        EXPECT_EQ(row.status, reply.status) << row.name << ": " << reply.body;
        expectedRows += row.stored;
        EXPECT_EQ(expectedRows, reports_test::CountRows(db)) << row.name;
    }
    EXPECT_EQ(200, Get(server.port(), "/traycast.html?t=0&m=h", "GET", {{"Host", "rebound.example"}}).status)
        << "reports come under any name";
    std::vector<Report> latest = Store::Open(db, Store::Mode::ReadOnly)->LatestReports({0, 30000}, 5);
    ASSERT_EQ(5u, latest.size());
    EXPECT_EQ("h", latest.front().machine);
    latest.erase(latest.begin());
    EXPECT_EQ("{3F}\xB2\xE2%4A", latest.front().machine);
    latest.erase(latest.begin());
    EXPECT_EQ(std::string(260, '\xC4'), latest[0].machine);
    EXPECT_EQ(ReportKind::Installed, latest[1].kind);
    EXPECT_EQ("", latest[1].machine);
    EXPECT_EQ("DEMO PC&7F3A", latest[2].machine);
    EXPECT_EQ("127.0.0.1", latest[2].client);

    const std::string csv = Get(server.port(), "/reports.csv").body;
    EXPECT_EQ(0u, csv.find("time,kind,machine,machine_hex,client\r\n"));
    EXPECT_NE(std::string::npos, csv.find(",showing,DEMO PC&7F3A,x44454d4f2050432637463341,127.0.0.1\r\n"));
    EXPECT_NE(std::string::npos, csv.find(",install,,x,127.0.0.1\r\n"));
    EXPECT_EQ(6, std::count(csv.begin(), csv.end(), '\n'));
    EXPECT_NE(std::string::npos, Get(server.port(), "/summary.json").body.find(
        "\"total\":{\"showings\":4,\"installs\":1,\"machines_shown\":4,\"machines_installed\":1,\"conversion\":0.2500}"));

    // Every answer above counted by its status, and the process's figures.
    std::map<int, int> statuses;
    for (const Row& row : rows) statuses[row.status]++;
    std::map<std::string, double> m = ParseMetrics(Get(server.port(), "/metrics").body);
    for (const int status : {404, 405, 414, 431}) {
        EXPECT_EQ(statuses[status], m["quentra_reports_answers_total{code=\"" + std::to_string(status) + "\"}"]) << status;
    }
    EXPECT_EQ(1, m["quentra_reports_build_info{version=\"" QUENTRA_REPORTS_VERSION "\"}"]);
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)), m["process_start_time_seconds"], 600);
    EXPECT_GT(m["process_resident_memory_bytes"], 1e6);
    EXPECT_GT(m["process_open_fds"], 3);
    EXPECT_GE(m["process_max_fds"], m["process_open_fds"]);
}

TEST(Receiver, NoOkWhenTheDatabaseCannotTakeTheReport) {
    struct Row {
        const char* name;
        const char* pragma;   // on the writer's connection before it starts
        bool lockElsewhere;   // another connection holds the write lock
    } rows[] = {
        {"locked past the busy timeout", nullptr, true},
        {"disk full", "PRAGMA max_page_count=1", false},  // SQLite raises it to the pages the file has
        {"read-only", "PRAGMA query_only=1", false},
    };
    for (const Row& row : rows) {
        reports_test::TempDir dir;
        const std::string db = dir.Path("r.db");
        Store::Open(db, Store::Mode::ReadWrite);
        reports_test::LiveServer server(db, [&](Store& s) {
            if (row.pragma) s.Exec(row.pragma);
        });
        std::unique_ptr<Store> locker;
        if (row.lockElsewhere) {
            locker = Store::Open(db, Store::Mode::ReadWrite);
            locker->Begin();
        }
        // Reports of the largest size until one is refused: each 200 is a row.
        int oks = 0, status = 200;
        for (int i = 0; i < 100 && status == 200; ++i) {
            status = Get(server.port(), "/traycast.html?t=0&m=" + std::to_string(1000 + i) + std::string(256, 'x')).status;
            oks += status == 200;
        }
        EXPECT_EQ(503, status) << row.name;
        EXPECT_EQ(oks, reports_test::CountRows(db)) << row.name;
        EXPECT_EQ(503, Get(server.port(), "/healthz").status) << row.name << ": the health check tells";
        if (locker) {
            locker->Rollback();
            // The writer checks the store again within a second of idling.
            for (int i = 0; i < 100 && Get(server.port(), "/healthz").status != 200; ++i) usleep(50000);
            EXPECT_EQ(200, Get(server.port(), "/healthz").status) << row.name << ", lock gone";
            EXPECT_EQ(200, Get(server.port(), "/traycast.html?t=0&m=b").status) << row.name << ", lock gone";
        }
    }
}

std::string ReportRequest(const std::string& machine) {
    return "GET /traycast.html?t=0&m=" + machine + " HTTP/1.1\r\nHost: x\r\n\r\n";
}

// What quentra-reports-load printed on its one line, by name.
std::map<std::string, double> RunLoad(int port, const std::vector<std::string>& args) {
    std::vector<std::string> argv{REPORTS_LOAD_BIN, "--port", std::to_string(port)};
    argv.insert(argv.end(), args.begin(), args.end());
    reports_test::Child load(argv);
    std::istringstream line(load.ReadAll(120000));
    std::string err;
    EXPECT_EQ(0, load.Wait(10000, &err)) << err;
    std::map<std::string, double> figures;
    for (std::string name, value; line >> name >> value;) figures[name] = std::stod(value);
    return figures;
}

// Reports as a fleet sends them, each on a new connection, all at once:
// from as many addresses, and from one address behind which many trays sit.
// Every one is stored and answered 200 while the disk keeps up; a small
// bound on waiting reports, or on one address's connections, refused most.
TEST(Intake, BurstsFromAFleetAreStoredWhole) {
    struct Row {
        const char* name;
        int reports;
        std::vector<std::string> from;
    } rows[] = {
        {"5,000 from as many addresses", 5000, {"--addresses-from", "127.1.0.1"}},
        {"1,000 from one address", 1000, {}},
    };
    for (const Row& row : rows) {
        reports_test::TempDir dir;
        const std::string db = dir.Path("r.db");
        reports_test::LiveServer server(db);
        std::vector<std::string> args{"--clients", std::to_string(row.reports), "--requests", std::to_string(row.reports)};
        args.insert(args.end(), row.from.begin(), row.from.end());
        std::map<std::string, double> got = RunLoad(server.port(), args);
        EXPECT_EQ(row.reports, got["status_200"]) << row.name;
        EXPECT_EQ(0, got["failed"]) << row.name;
        EXPECT_EQ(row.reports, reports_test::CountRows(db)) << row.name;
    }
}

// 2,000 connections from 500 addresses, half idle and half sending a byte
// at a time, each opened again as soon as it is closed, while 1,000 reports
// come from 1,000 other addresses: every report is stored and answered
// within 2 s. What holds that: a report's head comes with its connection,
// so it is read at once and never waits among the heads the caps count;
// the attack's connections are what the caps close, oldest first, and
// the intake's one thread spends microseconds on each.
TEST(Intake, AnAttackFromManyAddressesStopsNoReport) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    reports_test::LiveServer server(db);
    std::map<std::string, double> got = RunLoad(server.port(), {"--clients", "1000", "--requests", "1000",
                                                                "--addresses-from", "127.1.0.1", "--attack", "2000",
                                                                "--attack-addresses", "500", "--attack-for", "6"});
    EXPECT_EQ(1000, got["status_200"]);
    EXPECT_EQ(1000, reports_test::CountRows(db));
    EXPECT_LT(got["max_ms"], 2000) << "the slowest report's answer";
    EXPECT_GT(got["attack_closed"], 2000) << "the attack was closed and came again";
}

// 1,000 connections from one address, half sending nothing, half the start
// of a request and then a byte now and then: a report from that same
// address (trays behind one gateway) and one from another are served at
// once, and under that pressure every one of the 1,000 is cut for coming
// too slowly, long before the head's deadline.
TEST(Intake, IdleAndDrippingConnectionsKeepNoReportFromTheirAddressOrAnother) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    reports_test::LiveServer server(db, {}, [](ServerOptions& o) { o.limits.headDeadlineMs = 30000; });
    std::vector<UniqueFd> held;
    for (int i = 0; i < 1000; ++i) {
        held.push_back(reports_test::ConnectFrom("127.0.0.1", server.port(), i % 2 ? "GET /tr" : ""));
        ASSERT_TRUE(held.back()) << i;
    }
    for (const UniqueFd& fd : held) send(fd.get(), "a", 1, MSG_NOSIGNAL);
    const auto start = std::chrono::steady_clock::now();
    for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
        const UniqueFd report = reports_test::ConnectFrom(from, server.port(), ReportRequest(from));
        EXPECT_EQ(0u, reports_test::ReadUntilClosed(report.get(), 5000).find("HTTP/1.1 200")) << from;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(2, reports_test::CountRows(db));
    // Each closed as too slow (408), or to make room for the report from
    // its address once it had waited past its grace (503).
    int cut = 0;
    for (const UniqueFd& fd : held) {
        const std::string got = reports_test::ReadUntilClosed(fd.get(), 20000);
        cut += got.find("HTTP/1.1 408") == 0 || got.find("HTTP/1.1 503") == 0;
    }
    EXPECT_EQ(1000, cut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << "cut before the 30 s deadline";
}

// The writer held on a locked database: reports wait, and only once no
// commit has ended for a second is the next one refused (at once), and
// /healthz says so; all that waited are stored and answered 200 once the
// lock goes.
TEST(Intake, AStuckDiskAnswers503OnlyOnceStuckAndTheMetricsSayWhy) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    Store::Open(db, Store::Mode::ReadWrite);
    // The writer waits for the lock for as long as the test holds it.
    reports_test::LiveServer server(db, [](Store& s) { s.Exec("PRAGMA busy_timeout=60000"); });
    const std::unique_ptr<Store> locker = Store::Open(db, Store::Mode::ReadWrite);
    locker->Begin();
    const auto start = std::chrono::steady_clock::now();
    constexpr std::size_t kWaiting = 100;
    std::vector<UniqueFd> waiting;
    for (std::size_t i = 0; i < kWaiting; ++i) {
        waiting.push_back(reports_test::ConnectFrom("127.0.0.1", server.port(), ReportRequest("w" + std::to_string(i))));
    }
    for (int i = 0; i < 1000 && server.writer().Waiting() < kWaiting; ++i) usleep(10000);
    ASSERT_EQ(kWaiting, server.writer().Waiting());
    for (int i = 0; i < 200 && Get(server.port(), "/healthz").status != 503; ++i) usleep(50000);
    EXPECT_EQ(503, Get(server.port(), "/healthz").status);
    EXPECT_GE(std::chrono::steady_clock::now() - start, ReportWriter::kStuckAfter) << "503 only once stuck";
    const auto refused = std::chrono::steady_clock::now();
    EXPECT_EQ(503, Get(server.port(), "/traycast.html?t=0&m=one-too-many").status);
    EXPECT_LT(std::chrono::steady_clock::now() - refused, std::chrono::seconds(1));
    EXPECT_EQ(400, Get(server.port(), "/traycast.html?t=7&m=a").status);
    std::map<std::string, double> m = ParseMetrics(Get(server.port(), "/metrics").body);
    EXPECT_EQ(kWaiting, m["quentra_reports_queue_depth"]);
    EXPECT_EQ(1, m["quentra_reports_unavailable_total{cause=\"stuck\"}"]);
    EXPECT_EQ(1, m["quentra_reports_refused_total{cause=\"bad_kind\"}"]);
    EXPECT_EQ(0, m["quentra_reports_stored_total"]);
    const std::string page = Get(server.port(), "/").body;
    EXPECT_NE(std::string::npos, page.find("<b>last report</b> none yet · <b>refused</b> 1 (1 t must be 0 (a showing) "
                                           "or 1 (an install)) · <b>503</b> 1 (1 stuck)</p>")) << page;

    locker->Rollback();
    for (const UniqueFd& fd : waiting) EXPECT_EQ(0u, reports_test::ReadUntilClosed(fd.get(), 10000).find("HTTP/1.1 200"));
    EXPECT_EQ(static_cast<std::int64_t>(kWaiting), reports_test::CountRows(db));
    EXPECT_EQ(200, Get(server.port(), "/healthz").status);
    EXPECT_EQ(std::string::npos, Get(server.port(), "/").body.find("none yet"));
    m = ParseMetrics(Get(server.port(), "/metrics").body);
    EXPECT_EQ(kWaiting, m["quentra_reports_stored_total"]);
    EXPECT_EQ(m["quentra_reports_commit_seconds_count"], m["quentra_reports_commit_seconds_bucket{le=\"+Inf\"}"]);
    EXPECT_GE(m["quentra_reports_commit_seconds_sum"], 0.0);
    EXPECT_GT(m["quentra_reports_commit_seconds_count"], 0);
}

// Waiting reports are bounded by their memory: past it one more is refused
// at once, and /healthz says the store cannot take more.
TEST(Writer, WaitingReportsAreBoundedByMemory) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db");
    const std::unique_ptr<Store> store = Store::Open(db, Store::Mode::ReadWrite);
    store->Exec("PRAGMA busy_timeout=60000");
    const std::unique_ptr<Store> locker = Store::Open(db, Store::Mode::ReadWrite);
    locker->Begin();
    // Room for 7 reports of 260 bytes from 127.0.0.1 with what each holds besides.
    ReportWriter writer(*store, nullptr, 7 * (1024 + 260 + 9) + 100);
    int queued = 0, stored = 0;
    ReportWriter::Outcome outcome = ReportWriter::Outcome::Queued;
    for (int i = 0; i < 20 && outcome == ReportWriter::Outcome::Queued; ++i) {
        outcome = writer.Submit({0, ReportKind::Shown, std::string(260, 'm'), "127.0.0.1"}, [&](bool ok) { stored += ok; });
        queued += outcome == ReportWriter::Outcome::Queued;
    }
    EXPECT_EQ(ReportWriter::Outcome::Full, outcome);
    EXPECT_EQ(7, queued);
    std::string why;
    EXPECT_FALSE(writer.CanCommit(&why));
    EXPECT_NE(std::string::npos, why.find("memory")) << why;
    locker->Rollback();
    writer.Stop();
    EXPECT_EQ(7, stored);
    EXPECT_EQ(7, store->CountReports());
}

// The database server restarts under a running receiver: the report that
// finds the connection broken is refused (503, not stored), and the next one
// is stored on a connection made again.
TEST(Receiver, ReconnectsAfterThePostgresServerRestarts) {
    const std::string db = reports_test::NewPostgresDatabase();
    reports_test::LiveServer server(db);
    EXPECT_EQ(200, Get(server.port(), "/traycast.html?t=0&m=before").status);
    reports_test::RestartPostgres();
    int oks = 0, status = 0;
    for (int i = 0; i < 3 && status != 200; ++i) {
        status = Get(server.port(), "/traycast.html?t=0&m=after" + std::to_string(i)).status;
        oks += status == 200;
        EXPECT_TRUE(status == 200 || status == 503) << status;
    }
    EXPECT_EQ(200, status);
    EXPECT_EQ(1 + oks, reports_test::CountRows(db));
}

// /healthz follows the database server with no report sent: 503 while it is
// stopped, 200 once it runs again (a load balancer stops and resumes
// sending reports to this receiver by it).
TEST(Receiver, TheHealthCheckFollowsThePostgresServer) {
    const std::string db = reports_test::NewPostgresDatabase();
    reports_test::LiveServer server(db);
    EXPECT_EQ(200, Get(server.port(), "/healthz").status);
    auto healthWithin = [&](int status) {
        for (int i = 0; i < 200 && Get(server.port(), "/healthz").status != status; ++i) usleep(50000);
        return Get(server.port(), "/healthz", "HEAD").status;
    };
    reports_test::StopPostgres();
    EXPECT_EQ(503, healthWithin(503)) << "while the database server is stopped";
    EXPECT_EQ(503, Get(server.port(), "/traycast.html?t=0&m=down").status);
    reports_test::StartPostgres();
    EXPECT_EQ(200, healthWithin(200)) << "once it runs again";
    EXPECT_EQ(200, Get(server.port(), "/traycast.html?t=0&m=up").status);
    EXPECT_EQ(1, reports_test::CountRows(db));
}

// A known week: per day showings, installs, machines shown and installed,
// the conversion as the page shows it, and identifiers besides m1..mN.
struct Day {
    const char* day;
    int showings, installs, shown, installed;
    const char* conversion;
    std::vector<std::string> others;
};
const Day kWeek[] = {
    {"2026-01-05", 10, 2, 8, 2, "25 %", {}},
    {"2026-01-06", 12, 3, 10, 3, "30 %", {}},
    {"2026-01-07", 6, 3, 6, 3, "50 %", {}},
    {"2026-01-08", 0, 0, 0, 0, "-", {}},
    {"2026-01-09", 20, 4, 16, 3, "18.8 %", {}},
    {"2026-01-10", 10, 3, 10, 3, "30 %", {"<i>x</i>"}},
    {"2026-01-11", 4, 3, 4, 3, "75 %", {"\xB2\xE2\xCA\xD4\xBB\xFA"}},  // 测试机 in code page 936
};
const Day kTotal = {"total", 62, 18, 18, 3, "16.7 %", {}};

void StoreWeek(const std::string& db) {
    std::vector<Report> rows;
    for (const Day& d : kWeek) {
        const std::int64_t base = *ParseDay(d.day) * 86400 + 3600;
        std::vector<std::string> shown = d.others;
        for (int i = static_cast<int>(shown.size()) + 1; i <= d.shown; ++i) shown.push_back("m" + std::to_string(i));
        for (int i = 0; i < d.showings; ++i) {
            rows.push_back({base + i, ReportKind::Shown, shown[std::min<std::size_t>(i, shown.size() - 1)], "10.1.1.1"});
        }
        for (int i = 0; i < d.installs; ++i) {
            rows.push_back({base + 600 + i, ReportKind::Installed, "m" + std::to_string(std::min(i, d.installed - 1) + 1),
                            "10.1.1.2"});
        }
    }
    Store::Open(db, Store::Mode::ReadWrite)->Insert(rows);
}

std::string Cells(const Day& d) {
    return "<td>" + std::to_string(d.showings) + "</td><td>" + std::to_string(d.installs) + "</td><td>" +
           std::to_string(d.shown) + "</td><td>" + std::to_string(d.installed) + "</td><td>" + d.conversion + "</td>";
}

TEST(Dashboard, AKnownWeekInHeadlessChromiumAtTwoWidths) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("week.db");
    StoreWeek(db);
    reports_test::LiveServer server(db);
    const std::string url =
        "http://127.0.0.1:" + std::to_string(server.port()) + "/?from=2026-01-05&to=2026-01-11";
    const std::string dom = reports_test::ChromiumDom(dir, url);
    ASSERT_NE(std::string::npos, dom.find("</html>")) << "no DOM from Chromium; is Debian's chromium installed?";
    for (const Day& d : kWeek) {
        EXPECT_NE(std::string::npos, dom.find(std::string("<tr data-day=\"") + d.day + "\"><td>" + d.day + "</td>" +
                                              Cells(d) + "</tr>"))
            << d.day;
    }
    EXPECT_NE(std::string::npos, dom.find("<tr data-day=\"total\"><th>Range, machines once</th>" + Cells(kTotal) + "</tr>"));
    EXPECT_NE(std::string::npos, dom.find("<div class=\"label\">Showings</div><div class=\"value\">62</div>"));
    EXPECT_NE(std::string::npos, dom.find("<td>测试机</td>"));
    EXPECT_NE(std::string::npos, dom.find("<td>&lt;i&gt;x&lt;/i&gt;</td>"));
    EXPECT_EQ(std::string::npos, dom.find("<i>x</i>"));
    for (const char* bar : {"<rect class=\"showings\" x=", "<rect class=\"installs\" x="}) {
        std::size_t bars = 0;
        for (std::size_t at = dom.find(bar); at != std::string::npos; at = dom.find(bar, at + 1)) ++bars;
        EXPECT_EQ(7u, bars) << bar;
    }
    const std::string served = Get(server.port(), "/?from=2026-01-05&to=2026-01-11").body;
    for (const int width : {900, 420}) {
        const std::string png = std::string(REPORTS_OUT_DIR) + "/dashboard-" + std::to_string(width) + ".png";
        const reports_test::Layout laidOut = reports_test::LayOut(dir, served, width, png);
        EXPECT_GT(laidOut.scrollWidth, 0) << width;
        EXPECT_LE(laidOut.scrollWidth, width) << "the page scrolls sideways at " << width << " px";
        EXPECT_EQ(width, laidOut.pngWidth) << png;
    }
}

}  // namespace
