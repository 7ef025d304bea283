// quentra-reports: the receiver of the plug-in's usage reports, its
// dashboard, and the operator's import and summary commands.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "campaign_cli.h"
#include "import.h"
#include "pages.h"
#include "server.h"
#include "store.h"

namespace {

using namespace reports;

constexpr int kUsageExit = 2;
constexpr int kRuntimeExit = 1;

struct Command {
    const char* name;
    const char* usage;  // its own --help
};
const Command kCommands[] = {
    {"serve",
     "  quentra-reports serve [--db FILE|postgresql://...] [--listen ADDR:PORT] [--tz ZONE]\n"
     "                        [--host-name NAME]... [--access-log FILE|-]\n"
     "                        [--max-connections N] [--max-per-client N] [--max-per-network N]\n"
     "      receive reports and serve the dashboard (default: reports.db, 127.0.0.1:47631, UTC).\n"
     "      --host-name: a name the pages are served under (default: the listen address and localhost);\n"
     "      reports are taken under any name. --access-log: one line per request in the common log\n"
     "      format, appended to FILE (- for stdout). --max-connections (default 1024), --max-per-client\n"
     "      (default 64) and --max-per-network (default 256, a /24 or /64): connections whose request has\n"
     "      not fully come, in all, from one address and from one network; past one, the connection that\n"
     "      has waited longest is closed, never the newcomer. Reports waiting for their commit count in none.\n"
     "      --bench-floor answers 200 to good reports WITHOUT storing them: only for measuring.\n"},
    {"import",
     "  quentra-reports import [--db FILE|postgresql://...] LOGFILE\n"
     "      store the report lines of an access log in the common log format (stored once, however\n"
     "      often the log is imported)\n"},
    {"summary",
     "  quentra-reports summary [--db FILE|postgresql://...] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--tz ZONE]\n"
     "      print the per-day figures of the database serve or import wrote (default: the last 7 days,\n"
     "      UTC; to defaults to today, from to six days before to)\n"},
};
const char kDbOption[] =
    "  --db takes a SQLite file or a PostgreSQL connection string (postgresql://... or key=value ...)\n";
const char kTzOption[] = "  --tz whole hours east of UTC (8, -5, UTC+8) in which days are cut\n";

std::string UsageOf(const std::string& command) {
    std::string text = "usage:\n";
    for (const Command& c : kCommands) {
        if (command.empty() || command == c.name) text += c.usage;
    }
    text += kDbOption;
    if (command != "import") text += kTzOption;
    if (command.empty()) {
        text += "  quentra-reports COMMAND --help    one command's usage\n";
        text += "  quentra-reports --version         the version\n";
    }
    return text;
}

int Usage(const std::string& why, const std::string& command = "") {
    std::fprintf(stderr, "quentra-reports: %s\n%s", why.c_str(), UsageOf(command).c_str());
    return kUsageExit;
}

struct Args {
    std::string command;
    std::string db = "reports.db";
    std::string listen = "127.0.0.1:47631";
    std::string from, to, tz;
    std::vector<std::string> files;
    std::vector<std::string> hostNames;
    std::string accessLog;
    std::string maxConnections, maxPerClient, maxPerNetwork;
    bool benchFloor = false;
    bool help = false;
    bool version = false;
};

// Fills `args`; answers the usage error, empty when there is none.
std::string ParseArgs(int argc, char** argv, Args& args) {
    if (argc < 2) return "a command is needed";
    args.command = argv[1];
    if (args.command == "--version") {
        args.version = true;
        return argc > 2 ? "--version takes nothing more" : "";
    }
    if (args.command == "--help" || args.command == "-h" || args.command == "help") {
        args.help = true;
        args.command = argc > 2 ? argv[2] : "";
    }
    bool known = args.command.empty() && args.help;
    for (const Command& c : kCommands) known = known || args.command == c.name;
    if (!known) {
        const std::string command = args.command;
        args.command.clear();
        return "unknown command '" + command + "'";
    }
    for (int i = args.help ? argc : 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool serve = args.command == "serve", summary = args.command == "summary";
        std::string hostName;
        std::string* value = a == "--db"                        ? &args.db
                             : a == "--listen" && serve          ? &args.listen
                             : a == "--host-name" && serve       ? &hostName
                             : a == "--access-log" && serve      ? &args.accessLog
                             : a == "--max-connections" && serve ? &args.maxConnections
                             : a == "--max-per-client" && serve  ? &args.maxPerClient
                             : a == "--max-per-network" && serve ? &args.maxPerNetwork
                             : a == "--from" && summary          ? &args.from
                             : a == "--to" && summary            ? &args.to
                             : a == "--tz" && (serve || summary) ? &args.tz
                                                                 : nullptr;
        if (value != nullptr) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return a + " needs a value";
            *value = argv[++i];
            if (value == &hostName) args.hostNames.push_back(hostName);
        } else if (a == "--help" || a == "-h") {
            args.help = true;
        } else if (a == "--bench-floor" && serve) {
            args.benchFloor = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a + " for " + args.command;
        } else {
            args.files.push_back(a);
        }
    }
    if (args.help) return {};
    if (args.command == "import" && args.files.size() != 1) return "import takes one LOGFILE";
    if (args.command != "import" && !args.files.empty()) return "unexpected argument " + args.files[0];
    return {};
}

// A count of at least 1 from text, or 0 when it is not one.
std::size_t Count(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<std::size_t>(std::stoul(text));
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
    if (!SplitListen(args.listen, host, port)) return Usage("--listen takes ADDR:PORT, e.g. 127.0.0.1:47631", "serve");
    ServerOptions options;
    if (!args.maxConnections.empty() && (options.limits.maxConnections = Count(args.maxConnections)) == 0) {
        return Usage("--max-connections takes a count from 1, e.g. 1024", "serve");
    }
    if (!args.maxPerClient.empty() && (options.limits.maxPerClient = Count(args.maxPerClient)) == 0) {
        return Usage("--max-per-client takes a count from 1, e.g. 64", "serve");
    }
    if (!args.maxPerNetwork.empty() && (options.limits.maxPerNetwork = Count(args.maxPerNetwork)) == 0) {
        return Usage("--max-per-network takes a count from 1, e.g. 256", "serve");
    }
    const std::optional<int> zone = ParseZone(args.tz);
    if (!zone) return Usage("--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8", "serve");
    options.hostNames = args.hostNames;
    options.accessLog = args.accessLog;
    if (!RaiseOpenFileLimit()) {
        std::fprintf(stderr, "quentra-reports: cannot raise the open-file limit (%s): fewer connections fit\n",
                     std::strerror(errno));
    }
    // The signals wait for the thread that asks for them; every thread
    // started from here on inherits the block.
    sigset_t stopSignals;
    if (sigemptyset(&stopSignals) != 0 || sigaddset(&stopSignals, SIGINT) != 0 ||
        sigaddset(&stopSignals, SIGTERM) != 0 || pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0 ||
        signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        std::fprintf(stderr, "quentra-reports: cannot set up the stop signals: %s\n", std::strerror(errno));
        return kRuntimeExit;
    }

    std::unique_ptr<Store> store;
    std::unique_ptr<ReportWriter> writer;
    if (!args.benchFloor) {
        store = Store::Open(args.db, Store::Mode::ReadWrite);
        writer = std::make_unique<ReportWriter>(*store, Store::Open(args.db, Store::Mode::ReadWrite));
    } else {
        std::fprintf(stderr, "quentra-reports: --bench-floor: reports are answered 200 and NOT stored\n");
    }
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
        if (kill(getpid(), SIGTERM) != 0) std::perror("quentra-reports: kill");
    });
    int signal = 0;
    if (sigwait(&stopSignals, &signal) != 0) signal = SIGTERM;  // only for a bad set: stop all the same
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
    std::string rules;
    for (int i = 1; i < kQueryErrorCount; ++i) {
        if (c.refusedBy[i] == 0) continue;
        rules += std::string(rules.empty() ? " [" : "; ") + std::to_string(c.refusedBy[i]) + ": " +
                 Describe(static_cast<QueryError>(i));
    }
    if (!rules.empty()) rules += "]";
    std::printf("imported %s into %s: %lld lines, %lld reports stored, %lld already imported, "
                "%lld other requests passed over, %lld report lines refused%s%s, %lld malformed%s\n",
                args.files[0].c_str(), Store::Redacted(args.db).c_str(), static_cast<long long>(c.lines),
                static_cast<long long>(c.stored), static_cast<long long>(c.already), static_cast<long long>(c.other),
                static_cast<long long>(c.refused), rules.c_str(), lines(c.refusedLines, c.refused).c_str(),
                static_cast<long long>(c.malformed), lines(c.malformedLines, c.malformed).c_str());
    return 0;
}

int Summarize(const Args& args) {
    const std::optional<int> zone = ParseZone(args.tz);
    if (!zone) return Usage("--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8", "summary");
    std::string why;
    std::optional<DayRange> range =
        ChooseRange(args.from, args.to, DayIn(static_cast<std::int64_t>(std::time(nullptr)), *zone), why);
    if (!range) return Usage(why, "summary");
    range->utcOffsetHours = *zone;
    if (!Store::IsPostgres(args.db) && access(args.db.c_str(), F_OK) != 0) {
        std::fprintf(stderr, "quentra-reports: there is no database at %s: summary reads the one serve or import "
                             "wrote; give its path with --db FILE (default reports.db in the working folder)\n",
                     args.db.c_str());
        return kRuntimeExit;
    }
    const std::unique_ptr<Store> store = Store::Open(args.db, Store::Mode::ReadOnly);
    const Summary s = ReadSummary(*store, *range, DayIn(static_cast<std::int64_t>(std::time(nullptr)), *zone));
    std::fputs(SummaryTable(s).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "campaign") == 0) return CampaignCommand(argc - 2, argv + 2);
    Args args;
    const std::string usage = ParseArgs(argc, argv, args);
    if (!usage.empty()) return Usage(usage, args.command);
    if (args.version) {
        std::printf("quentra-reports %s\n", QUENTRA_REPORTS_VERSION);
        return 0;
    }
    if (args.help) {
        std::fputs(UsageOf(args.command).c_str(), stdout);
        return 0;
    }
    try {
        if (args.command == "serve") return Serve(args);
        if (args.command == "import") return Import(args);
        return Summarize(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quentra-reports: %s\n", e.what());
        return kRuntimeExit;
    }
}
