// The real binary: its exit codes, a clean stop on SIGTERM, and SIGKILL under
// load: every report answered 200 is stored, and none twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "support.h"

using namespace reports;
using reports_test::Child;

namespace {

TEST(Cli, ExitCodesAndMessages) {
    reports_test::TempDir dir;
    reports_test::LiveServer holder(dir.Path("holder.db"));  // holds a port
    const std::string ledger = dir.Path("ledger.db");
    Store::Open(ledger, Store::Mode::ReadWrite);
    struct Row {
        const char* name;
        std::vector<std::string> args;
        int exit;
        const char* says;
    } rows[] = {
        {"no command", {}, 2, "a command is needed"},
        {"unknown command", {"serv"}, 2, "unknown command"},
        {"unknown option", {"summary", "--since", "x"}, 2, "unknown option --since"},
        {"--db without a value", {"summary", "--db"}, 2, "--db needs a value"},
        {"bad --listen", {"serve", "--listen", "127.0.0.1"}, 2, "ADDR:PORT"},
        {"bad --from", {"summary", "--from", "2026-13-01"}, 2, "from must be a date"},
        {"import without a file", {"import"}, 2, "one LOGFILE"},
        {"no database", {"summary", "--db", dir.Path("none/r.db")}, 1, "there is no database at"},
        {"from after a defaulted to", {"summary", "--from", "2999-01-01"}, 2, "to defaulted to today"},
        {"--help", {"--help"}, 0, "COMMAND --help"},
        {"serve --help", {"serve", "--help"}, 0, "--host-name"},
        {"import --help", {"import", "--help"}, 0, "LOGFILE"},
        {"summary --help", {"summary", "--help"}, 0, "--from YYYY-MM-DD"},
        {"bad --max-per-client", {"serve", "--max-per-client", "0"}, 2, "a count from 1"},
        {"bad --max-per-network", {"serve", "--max-per-network", "x"}, 2, "a count from 1"},
        {"--version", {"--version"}, 0, "quentra-reports " QUENTRA_REPORTS_VERSION "\n"},
        {"access log unwritable", {"serve", "--db", dir.Path("r.db"), "--listen", "127.0.0.1:0", "--access-log", dir.Path("none/a.log")}, 1, "cannot open the access log"},
        {"no log", {"import", "--db", dir.Path("r.db"), dir.Path("none.log")}, 1, "cannot read"},
        {"port taken", {"serve", "--db", dir.Path("r.db"), "--listen", "127.0.0.1:" + std::to_string(holder.port())}, 1, "cannot listen"},
        {"campaign without a command", {"campaign"}, 2, "a command is needed"},
        {"campaign --help", {"campaign", "add", "--help"}, 0, "campaign end ID --at TIME"},
        {"campaign, an unknown command", {"campaign", "start", "--db", ledger}, 2, "unknown command 'start'"},
        {"campaign add without --from", {"campaign", "add", "--id", "x", "--db", ledger}, 2, "add needs --from"},
        {"campaign add, a time of no zone", {"campaign", "add", "--id", "x", "--from", "2026-03-02T08:00", "--db", ledger}, 2, "needs a zone"},
        {"campaign add, a cap not a number", {"campaign", "add", "--id", "x", "--from", "2026-03-02T08:00Z", "--max-popups", "3x", "--db", ledger}, 2, "--max-popups takes a whole number"},
        {"campaign add, - and --id", {"campaign", "add", "--id", "x", "--from", "2026-03-02T08:00Z", "--db", ledger, "-"}, 2, "leave out --id"},
        {"campaign add", {"campaign", "add", "--id", "spring", "--from", "2026-03-02T08:00", "--tz", "8", "--db", ledger}, 0, "campaign spring added: 2026-03-02T00:00:00Z to open (days in UTC+8)"},
        {"campaign add, an overlap", {"campaign", "add", "--id", "summer", "--from", "2026-06-01T00:00Z", "--db", ledger}, 1, "overlaps campaign spring"},
        {"campaign end before its start", {"campaign", "end", "spring", "--at", "2026-03-01T00:00Z", "--db", ledger}, 1, "after the campaign's start"},
        {"campaign end", {"campaign", "end", "spring", "--at", "2026-06-01T00:00Z", "--db", ledger}, 0, "campaign spring ends at 2026-06-01T00:00:00Z"},
        {"campaign show", {"campaign", "show", "spring", "--db", ledger}, 0, "machines shown 0, installed 0, conversion -"},
        {"campaign show of none", {"campaign", "show", "nope", "--db", ledger}, 1, "the ledger has no campaign nope"},
        {"campaign compare of none", {"campaign", "compare", "spring", "nope", "--db", ledger}, 1, "no campaign nope"},
        {"campaign list, no database", {"campaign", "list", "--db", dir.Path("none/r.db")}, 1, "there is no database at"},
        {"campaign remove", {"campaign", "remove", "spring", "--db", ledger}, 0, "campaign spring removed"},
        {"campaign list, empty", {"campaign", "list", "--db", ledger}, 0, "no campaigns yet"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv{REPORTS_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        Child child(argv);
        std::string err = child.ReadAll(10000);
        EXPECT_EQ(row.exit, child.Wait(10000, &err)) << row.name;
        EXPECT_NE(std::string::npos, err.find(row.says)) << row.name << ": " << err;
    }

    // `campaign add ... -` takes the campaign tool's JSON on standard input.
    Child add({"/bin/sh", "-c",
               "printf '%s' '{\"ID\":\"vault-26\",\"Purpose\":\"spring\",\"MaxPopupTimes\":3,\"PopupFrequency\":62,"
               "\"Title\":\"T\",\"ScanPatterns\":[\"Quillstorm\"]}' | " REPORTS_BIN " campaign add --from 2026-03-02T00:00Z"
               " --db " + ledger + " -; " REPORTS_BIN " campaign list --db " + ledger});
    const std::string listed = add.ReadAll(10000);
    EXPECT_EQ(0, add.Wait(10000));
    EXPECT_NE(std::string::npos, listed.find("vault-26                 2026-03-02T00:00:00Z  open                  3    62       complete  spring")) << listed;

    // summary reads a database in a folder its user cannot write (as nobody
    // when the tests run as root, whom permissions do not stop).
    const std::string folder = dir.Path("readonly");
    mkdir(folder.c_str(), 0755);
    Store::Open(folder + "/r.db", Store::Mode::ReadWrite)->Insert({{20458LL * 86400, ReportKind::Shown, "a", "x"}});
    chmod(dir.Path("").c_str(), 0755);
    chmod((folder + "/r.db").c_str(), 0644);
    chmod(folder.c_str(), 0555);
    std::vector<std::string> argv{REPORTS_BIN, "summary", "--db", folder + "/r.db", "--from", "2026-01-05", "--to", "2026-01-05"};
    if (geteuid() == 0) argv.insert(argv.begin(), {"/usr/sbin/runuser", "-u", "nobody", "--"});
    Child summary(argv);
    const std::string out = summary.ReadAll(10000);
    std::string err;
    EXPECT_EQ(0, summary.Wait(10000, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("2026-01-05          1")) << out;
}

std::unique_ptr<Child> StartServer(const std::string& db, int& port) {
    auto server = std::make_unique<Child>(std::vector<std::string>{REPORTS_BIN, "serve", "--db", db, "--listen", "127.0.0.1:0"});
    port = reports_test::PortOf(server->ReadLine(10000));
    return server;
}

// One receiver on a SQLite file, or two on one PostgreSQL database with the
// load split between them: the one killed loses nothing it acknowledged,
// and the other goes on storing meanwhile.
class KillUnderLoad : public testing::TestWithParam<reports_test::Backend> {};

INSTANTIATE_TEST_SUITE_P(Backends, KillUnderLoad, testing::ValuesIn(reports_test::kBackends),
                         [](const testing::TestParamInfo<reports_test::Backend>& p) { return p.param.name; });

TEST_P(KillUnderLoad, EveryAcknowledgedReportStoredOnce) {
    reports_test::TempDir dir;
    const std::string db = GetParam().where(dir);
    const int receivers = Store::IsPostgres(db) ? 2 : 1, clients = 16 / receivers;
    std::vector<std::unique_ptr<Child>> servers, loads;
    std::vector<int> ports(receivers);
    for (int i = 0; i < receivers; ++i) {
        servers.push_back(StartServer(db, ports[i]));
        ASSERT_GT(ports[i], 0);
        loads.push_back(std::make_unique<Child>(std::vector<std::string>{
            REPORTS_LOAD_BIN, "--port", std::to_string(ports[i]), "--clients", std::to_string(clients), "--requests",
            "100000000", "--prefix", "kill" + std::to_string(i), "--acked", dir.Path("acked" + std::to_string(i)),
            "--stop-on-error"}));
    }
    // Kill the first once a few thousand rows are in, with the load running.
    std::int64_t rowsBeforeKill = 0;
    for (int i = 0; i < 3000 && (rowsBeforeKill = reports_test::CountRows(db)) < 3000; ++i) usleep(10000);
    ASSERT_GE(rowsBeforeKill, 3000) << "the load did not get going";
    servers[0]->Kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, servers[0]->Wait(10000));
    EXPECT_EQ(0, loads[0]->Wait(30000));
    if (receivers > 1) {
        // The survivor stores on; then its load is ended by a clean stop.
        const std::int64_t afterKill = reports_test::CountRows(db);
        for (int i = 0; i < 1000 && reports_test::CountRows(db) < afterKill + 500; ++i) usleep(10000);
        EXPECT_GE(reports_test::CountRows(db), afterKill + 500) << "the other receiver stopped storing";
        servers[1]->Kill(SIGTERM);
        EXPECT_EQ(0, servers[1]->Wait(10000));
        EXPECT_EQ(0, loads[1]->Wait(30000));
    }

    servers[0] = StartServer(db, ports[0]);
    ASSERT_GT(ports[0], 0) << "the server did not start again on the killed database";
    EXPECT_EQ(200, reports_test::Get(ports[0], "/traycast.html?t=0&m=after").status);
    servers[0]->Kill(SIGTERM);
    EXPECT_EQ(0, servers[0]->Wait(10000)) << "a clean stop on SIGTERM";

    std::multiset<std::string> stored;
    Store::Open(db, Store::Mode::ReadOnly)->ForEachReport({0, 100000}, [&](const Report& r) {
        stored.insert(r.machine);
        return true;
    });
    std::size_t ackedCount = 0;
    for (int i = 0; i < receivers; ++i) {
        std::ifstream in(dir.Path("acked" + std::to_string(i)));
        for (std::string id; std::getline(in, id); ++ackedCount) {
            EXPECT_EQ(1u, stored.count(id)) << id << " was answered 200";
        }
    }
    // A row committed whose 200 never reached its client is stored but not
    // acknowledged: at most one per client, the requests in flight when a
    // receiver ended (and the report sent after the restart).
    EXPECT_LE(stored.size(), ackedCount + 16 + 1);
    for (auto it = stored.begin(); it != stored.end(); it = stored.upper_bound(*it)) {
        EXPECT_EQ(1u, stored.count(*it)) << *it << " stored twice";
    }
}

// The rows of `db` as kind|machine|client, sorted.
std::vector<std::string> Rows(const std::string& db) {
    std::vector<std::string> rows;
    Store::Open(db, Store::Mode::ReadOnly)->ForEachReport({0, 100000}, [&](const Report& r) {
        rows.push_back(std::to_string(static_cast<int>(r.kind)) + "|" + r.machine + "|" + r.client);
        return true;
    });
    // A line is logged once its answer is sent, so two requests on two
    // threads can be logged in either order within a second.
    std::sort(rows.begin(), rows.end());
    return rows;
}

TEST(AccessLog, TheReceiversLogImportsToTheSameRows) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("r.db"), log = dir.Path("access.log"), copy = dir.Path("copy.db");
    Child server({REPORTS_BIN, "serve", "--db", db, "--listen", "127.0.0.1:0", "--access-log", log});
    const int port = reports_test::PortOf(server.ReadLine(10000));
    ASSERT_GT(port, 0);
    const char* targets[] = {
        "/traycast.html?t=0&m=PC 01",  "/traycast.html?t=1&m={x}\xB2\xE2%4%41\"\\", "/traycast.html?t=0&m=%2541&b=",
        "/traycast.html?t=7&m=a",      "/traycast.html?t=0&m=%",  "/nowhere", "/?from=2026-01-05"};
    for (const char* target : targets) EXPECT_NE(0, reports_test::Get(port, target).status) << target;
    server.Kill(SIGTERM);
    EXPECT_EQ(0, server.Wait(10000));
    std::ifstream in(log);
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    EXPECT_EQ(std::size(targets), lines);
    // Another server's log can hold a 200 for what this receiver refuses.
    std::ofstream(log, std::ios::app) << "10.0.0.7 - - [05/Jan/2026:08:00:00 +0000] \"GET /traycast.html?t=7&m=a HTTP/1.1\" 200 2\n";

    Child import({REPORTS_BIN, "import", "--db", copy, log});
    const std::string said = import.ReadAll(10000);
    EXPECT_EQ(0, import.Wait(10000));
    EXPECT_NE(std::string::npos, said.find("1 report lines refused [1: t must be 0 (a showing) or 1 (an install)]"))
        << said;
    const std::vector<std::string> stored = Rows(db);
    EXPECT_EQ(4u, stored.size());
    EXPECT_EQ(stored, Rows(copy));
}

}  // namespace
