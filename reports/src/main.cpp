// quentra-reports: the receiver of the plug-in's usage reports, its
// dashboard, and the operator's import and summary commands.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "import.h"
#include "pages.h"
#include "server.h"
#include "store.h"

namespace {

using namespace reports;

constexpr int kUsageExit = 2;
constexpr int kRuntimeExit = 1;

const char kUsage[] =
    "usage:\n"
    "  quentra-reports serve [--db FILE|postgresql://...] [--listen ADDR:PORT] [--tz ZONE]\n"
    "      receive reports and serve the dashboard (default: reports.db, 127.0.0.1:47631, UTC)\n"
    "  quentra-reports import [--db FILE] LOGFILE\n"
    "      store the report lines of an access log in the common log format\n"
    "  quentra-reports summary [--db FILE] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--tz ZONE]\n"
    "      print the per-day figures (default: the last 7 days, UTC)\n"
    "  --db takes a SQLite file or a PostgreSQL connection string (postgresql://... or key=value ...);\n"
    "  --tz whole hours east of UTC (8, -5, UTC+8) in which days are cut\n"
    "  serve --bench-floor answers 200 to good reports WITHOUT storing them: only for measuring\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "quentra-reports: %s\n%s", why.c_str(), kUsage);
    return kUsageExit;
}

struct Args {
    std::string command;
    std::string db = "reports.db";
    std::string listen = "127.0.0.1:47631";
    std::string from, to, tz;
    std::vector<std::string> files;
    bool benchFloor = false;
};

// Fills `args`; answers the usage error, empty when there is none.
std::string ParseArgs(int argc, char** argv, Args& args) {
    if (argc < 2) return "a command is needed";
    args.command = argv[1];
    if (args.command != "serve" && args.command != "import" && args.command != "summary") {
        return "unknown command '" + args.command + "'";
    }
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        std::string* value = a == "--db" ? &args.db
                             : a == "--listen" && args.command == "serve" ? &args.listen
                             : a == "--from" && args.command == "summary" ? &args.from
                             : a == "--to" && args.command == "summary"   ? &args.to
                             : a == "--tz" && args.command != "import"    ? &args.tz
                                                                          : nullptr;
        if (value != nullptr) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return a + " needs a value";
            *value = argv[++i];
        } else if (a == "--bench-floor" && args.command == "serve") {
            args.benchFloor = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a + " for " + args.command;
        } else {
            args.files.push_back(a);
        }
    }
    if (args.command == "import" && args.files.size() != 1) return "import takes one LOGFILE";
    if (args.command != "import" && !args.files.empty()) return "unexpected argument " + args.files[0];
    return {};
}

// "ADDR:PORT" (ADDR may be [v6]); false when it is not one.
bool SplitListen(const std::string& text, std::string& host, int& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    port = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        port = port * 10 + (text[i] - '0');
    }
    return port <= 65535;
}

int Serve(const Args& args) {
    std::string host;
    int port = 0;
    if (!SplitListen(args.listen, host, port)) return Usage("--listen takes ADDR:PORT, e.g. 127.0.0.1:47631");
    // The signals wait for the thread that asks for them; every thread
    // started from here on inherits the block.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Store> store;
    std::unique_ptr<ReportWriter> writer;
    if (!args.benchFloor) {
        store = Store::Open(args.db, Store::Mode::ReadWrite);
        writer = std::make_unique<ReportWriter>(*store, Store::Open(args.db, Store::Mode::ReadWrite));
    } else {
        std::fprintf(stderr, "quentra-reports: --bench-floor: reports are answered 200 and NOT stored\n");
    }
    const std::optional<int> zone = ParseZone(args.tz);
    if (!zone) return Usage("--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8");
    ServerOptions options;
    options.dbPath = args.db;
    options.utcOffsetHours = *zone;
    options.writer = writer.get();
    ReportServer server(options);
    const int bound = server.Bind(host, port);
    std::printf("quentra-reports: listening on http://%s:%d/ (database %s)\n", host.c_str(), bound,
                Store::Redacted(args.db).c_str());
    std::fflush(stdout);

    bool served = true;
    std::thread http([&] {
        served = server.Run();
        // Wakes the wait below when the server ends on its own.
        kill(getpid(), SIGTERM);
    });
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Stop();
    http.join();
    if (writer) writer->Stop();  // stores what the last requests queued
    if (!served) {
        std::fprintf(stderr, "quentra-reports: the listening socket failed; restart the server\n");
        return kRuntimeExit;
    }
    std::printf("quentra-reports: stopped by %s\n", strsignal(signal));
    return 0;
}

int Import(const Args& args) {
    std::ifstream log(args.files[0], std::ios::binary);
    if (!log) {
        std::fprintf(stderr, "quentra-reports: cannot read %s: %s (check the path and its permissions)\n",
                     args.files[0].c_str(), std::strerror(errno));
        return kRuntimeExit;
    }
    const std::unique_ptr<Store> store = Store::Open(args.db, Store::Mode::ReadWrite);
    const ImportCounts c = ImportLog(*store, log);
    if (log.bad()) {
        std::fprintf(stderr, "quentra-reports: reading %s failed after line %lld; what came before is stored, "
                             "import it again once it reads\n", args.files[0].c_str(), static_cast<long long>(c.lines));
        return kRuntimeExit;
    }
    auto lines = [](const std::vector<std::int64_t>& numbers, std::int64_t total) {
        std::string text;
        for (const std::int64_t n : numbers) text += (text.empty() ? " (lines " : ", ") + std::to_string(n);
        if (!text.empty()) text += total > static_cast<std::int64_t>(numbers.size()) ? ", ...)" : ")";
        return text;
    };
    std::printf("imported %s into %s: %lld lines, %lld reports stored, %lld already imported, "
                "%lld other requests passed over, %lld report lines refused%s, %lld malformed%s\n",
                args.files[0].c_str(), Store::Redacted(args.db).c_str(), static_cast<long long>(c.lines),
                static_cast<long long>(c.stored), static_cast<long long>(c.already), static_cast<long long>(c.other),
                static_cast<long long>(c.refused), lines(c.refusedLines, c.refused).c_str(),
                static_cast<long long>(c.malformed), lines(c.malformedLines, c.malformed).c_str());
    return 0;
}

int Summarize(const Args& args) {
    const std::optional<int> zone = ParseZone(args.tz);
    if (!zone) return Usage("--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8");
    std::string why;
    std::optional<DayRange> range =
        ChooseRange(args.from, args.to, DayIn(static_cast<std::int64_t>(std::time(nullptr)), *zone), why);
    if (!range) return Usage(why);
    range->utcOffsetHours = *zone;
    const std::unique_ptr<Store> store = Store::Open(args.db, Store::Mode::ReadOnly);
    const Summary s = ReadSummary(*store, *range, DayIn(static_cast<std::int64_t>(std::time(nullptr)), *zone));
    std::fputs(SummaryTable(s).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    const std::string usage = ParseArgs(argc, argv, args);
    if (!usage.empty()) return Usage(usage);
    try {
        if (args.command == "serve") return Serve(args);
        if (args.command == "import") return Import(args);
        return Summarize(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: %s\n", e.what());
        return kRuntimeExit;
    }
}
