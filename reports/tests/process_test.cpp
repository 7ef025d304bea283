// The real binary: its exit codes, a clean stop on SIGTERM, and SIGKILL under
// load: every report answered 200 is stored, and none twice.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <set>

#include "support.h"

using namespace reports;
using reports_test::Child;

namespace {

TEST(Cli, ExitCodesAndMessages) {
    reports_test::TempDir dir;
    reports_test::LiveServer holder(dir.Path("holder.db"));  // holds a port
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
        {"no database", {"summary", "--db", dir.Path("none/r.db")}, 1, "cannot open it"},
        {"no log", {"import", "--db", dir.Path("r.db"), dir.Path("none.log")}, 1, "cannot read"},
        {"port taken", {"serve", "--db", dir.Path("r.db"), "--listen", "127.0.0.1:" + std::to_string(holder.port())}, 1, "cannot listen"},
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv{REPORTS_BIN};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        Child child(argv);
        std::string err;
        EXPECT_EQ(row.exit, child.Wait(10000, &err)) << row.name;
        EXPECT_NE(std::string::npos, err.find(row.says)) << row.name << ": " << err;
    }
}

std::unique_ptr<Child> StartServer(const std::string& db, int& port) {
    auto server = std::make_unique<Child>(std::vector<std::string>{REPORTS_BIN, "serve", "--db", db, "--listen", "127.0.0.1:0"});
    port = reports_test::PortOf(server->ReadLine(10000));
    return server;
}

TEST(KillUnderLoad, EveryAcknowledgedReportStoredOnce) {
    reports_test::TempDir dir;
    const std::string db = dir.Path("kill.db"), acked = dir.Path("acked.txt");
    int port = 0;
    auto server = StartServer(db, port);
    ASSERT_GT(port, 0);
    const int clients = 16;
    Child load({REPORTS_LOAD_BIN, "--port", std::to_string(port), "--clients", std::to_string(clients),
                "--requests", "100000000", "--prefix", "kill", "--acked", acked, "--stop-on-error"});
    // Kill once a few thousand rows are in, with the load still running.
    std::int64_t rowsBeforeKill = 0;
    for (int i = 0; i < 3000 && (rowsBeforeKill = reports_test::CountRows(db)) < 3000; ++i) usleep(10000);
    ASSERT_GE(rowsBeforeKill, 3000) << "the load did not get going";
    server->Kill(SIGKILL);
    EXPECT_EQ(128 + SIGKILL, server->Wait(10000));
    EXPECT_EQ(0, load.Wait(30000));

    server = StartServer(db, port);
    ASSERT_GT(port, 0) << "the server did not start again on the killed database";
    EXPECT_EQ(200, reports_test::Get(port, "/traycast.html?t=0&m=after").status);
    server->Kill(SIGTERM);
    EXPECT_EQ(0, server->Wait(10000)) << "a clean stop on SIGTERM";

    std::multiset<std::string> stored;
    Store store(db, Store::Mode::ReadOnly);
    store.ForEachReport({0, 100000}, [&](const Report& r) {
        stored.insert(r.machine);
        return true;
    });
    std::ifstream in(acked);
    std::size_t ackedCount = 0;
    for (std::string id; std::getline(in, id); ++ackedCount) {
        EXPECT_EQ(1u, stored.count(id)) << id << " was answered 200";
    }
    // A row committed whose 200 never reached its client is stored but not
    // acknowledged: at most one per client, the requests in flight when it
    // died (and the report sent after the restart).
    EXPECT_LE(stored.size(), ackedCount + clients + 1);
    for (auto it = stored.begin(); it != stored.end(); it = stored.upper_bound(*it)) {
        EXPECT_EQ(1u, stored.count(*it)) << *it << " stored twice";
    }
}

}  // namespace
