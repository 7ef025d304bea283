#include "campaign_cli.h"

#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "campaign_facts.h"
#include "campaign_figures.h"
#include "campaign_text.h"
#include "days.h"
#include "store.h"

namespace reports {

const char kCampaignUsage[] =
    "  quentra-reports campaign add --id ID --from TIME [--to TIME] [--tz ZONE] [--purpose TEXT]\n"
    "                               [--max-popups N] [--weekdays MASK] [--db ...]\n"
    "  quentra-reports campaign add --from TIME [--to TIME] [--tz ZONE] [--db ...] -\n"
    "      add a campaign to the ledger: the reports whose time is in [from, to) are its. With -, its id,\n"
    "      purpose, cap, weekdays, title and patterns are read from standard input, as\n"
    "      `quentra-campaign describe FILE --json` prints them from the deployed file. Its figures are\n"
    "      built from the reports already stored, while the receiver goes on serving\n"
    "  quentra-reports campaign end ID --at TIME [--tz ZONE]     the campaign ends at TIME (excluded)\n"
    "  quentra-reports campaign list | remove ID | show ID | compare A B\n"
    "  quentra-reports campaign build [ID]   go on with a build that was cut short\n"
    "      TIME is YYYY-MM-DDTHH:MM[:SS] in the zone of --tz, or ending in Z for UTC; --tz also cuts\n"
    "      the campaign's days (\"shown twice a day\"). MASK: bit 0 Sunday ... bit 6 Saturday (127: every day)\n";

namespace {

constexpr int kUsageExit = 2;
constexpr int kFailExit = 1;
// Reports per build transaction: short enough that a writer waiting for the
// database is not held up for long.
constexpr int kBuildPage = 2000;
constexpr int kCollectRows = 10000;
// How long the command waits for a SQLite receiver's commit to end.
constexpr int kBusyWaitMs = 10000;

struct Options {
    std::string command, db = "reports.db";
    std::map<std::string, std::string> values;  // --name -> value
    std::vector<std::string> args;
};

int Usage(const std::string& why) {
    std::fprintf(stderr, "quentra-reports: campaign: %s\nusage:\n%s", why.c_str(), kCampaignUsage);
    return kUsageExit;
}

int Refused(const std::string& command, const std::string& why) {
    std::fprintf(stderr, "quentra-reports: campaign %s: %s\n", command.c_str(), why.c_str());
    return kFailExit;
}

// Empty when the options parse; the usage error otherwise.
std::string Parse(int argc, char** argv, Options& o) {
    if (argc < 1) return "a command is needed: add, end, list, remove, show, compare or build";
    o.command = argv[0];
    static const char* const kNames[] = {"--db", "--id", "--from", "--to", "--tz", "--purpose",
                                         "--max-popups", "--weekdays", "--at"};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (std::find(std::begin(kNames), std::end(kNames), a) != std::end(kNames)) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') return a + " needs a value";
            if (o.values.count(a)) return a + " may be given once";
            o.values[a] = argv[++i];
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            return "unknown option " + a;
        } else {
            o.args.push_back(a);
        }
    }
    if (o.values.count("--db")) o.db = o.values["--db"];
    constexpr int kChecksItsOwn = -1;  // the command checks its arguments itself
    struct Shape {
        const char* command;
        int args;
        std::vector<const char*> allowed;
    } const shapes[] = {
        {"add", kChecksItsOwn, {"--id", "--from", "--to", "--tz", "--purpose", "--max-popups", "--weekdays"}},
        {"end", 1, {"--at", "--tz"}}, {"list", 0, {}}, {"remove", 1, {}}, {"show", 1, {}}, {"compare", 2, {}},
        {"build", kChecksItsOwn, {}},
    };
    for (const Shape& s : shapes) {
        if (o.command != s.command) continue;
        for (const auto& [name, value] : o.values) {
            if (name != "--db" && std::find(s.allowed.begin(), s.allowed.end(), name) == s.allowed.end()) {
                return name + " does not go with campaign " + o.command;
            }
        }
        if (s.args != kChecksItsOwn && o.args.size() != static_cast<std::size_t>(s.args)) {
            return "campaign " + o.command + " takes " + std::to_string(s.args) + (s.args == 1 ? " id" : " ids");
        }
        return {};
    }
    return "unknown command '" + o.command + "'";
}

std::optional<std::int64_t> Number(const Options& o, const char* name, std::string& why) {
    const auto it = o.values.find(name);
    if (it == o.values.end()) return std::nullopt;
    const std::string& text = it->second;
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(text) > 1000000) {
        why = std::string(name) + " takes a whole number from 0 to 1000000";
        return std::nullopt;
    }
    return std::stoll(text);
}

// The campaign that `add` describes, or the usage error in `why`.
std::optional<Campaign> NewCampaign(const Options& o, std::string& why) {
    Campaign c;
    std::optional<int> zone;
    if (o.values.count("--tz") && !(zone = ParseZone(o.values.at("--tz")))) {
        why = "--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8";
        return std::nullopt;
    }
    c.utcOffsetHours = zone.value_or(0);
    if (!o.values.count("--from")) {
        why = "add needs --from TIME";
        return std::nullopt;
    }
    const std::optional<std::int64_t> from = ParseTime(o.values.at("--from"), zone, why);
    if (!from) return std::nullopt;
    c.from = *from;
    if (o.values.count("--to") && !(c.to = ParseTime(o.values.at("--to"), zone, why))) return std::nullopt;
    const bool fromInput = o.args.size() == 1 && o.args[0] == "-";
    if (!fromInput && !o.args.empty()) {
        why = "add takes - (the facts on standard input) or nothing after its options";
        return std::nullopt;
    }
    if (fromInput) {
        for (const char* own : {"--id", "--purpose", "--max-popups", "--weekdays"}) {
            if (o.values.count(own)) {
                why = std::string("with - the campaign file gives the facts; leave out ") + own;
                return std::nullopt;
            }
        }
        std::string json;
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0 && json.size() < (1 << 20);) json.append(buffer, n);
        why = ReadCampaignFacts(json, c);
        if (!why.empty()) return std::nullopt;
        return c;
    }
    if (!o.values.count("--id")) {
        why = "add needs --id ID, or - with the campaign file's facts on standard input";
        return std::nullopt;
    }
    c.id = o.values.at("--id");
    c.purpose = o.values.count("--purpose") ? o.values.at("--purpose") : "";
    c.maxPopups = Number(o, "--max-popups", why);
    if (why.empty()) c.weekdays = Number(o, "--weekdays", why);
    if (!why.empty()) return std::nullopt;
    return c;
}

// Builds `id`'s state from the stored reports to the end, saying how far it
// has come every few seconds.
void Build(Store& store, const std::string& id) {
    auto said = std::chrono::steady_clock::now();
    for (;;) {
        const Campaign c = store.BuildStep(id, kBuildPage);
        if (c.Built()) return;
        if (std::chrono::steady_clock::now() - said > std::chrono::seconds(2)) {
            said = std::chrono::steady_clock::now();
            std::fprintf(stderr, "quentra-reports: campaign %s: %s\n", id.c_str(), BuildText(c).c_str());
        }
    }
}

// The work after a change: builds, then states no campaign uses deleted.
// A failure says how to go on.
int Finish(Store& store, const Options& o, const std::string& id) {
    try {
        if (!id.empty()) Build(store, id);
        while (store.CollectStep(kCollectRows)) {
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr,
                     "quentra-reports: campaign %s: %s\nthe ledger is changed; go on with: quentra-reports campaign "
                     "build%s --db %s\n",
                     o.command.c_str(), e.what(), id.empty() ? "" : (" " + id).c_str(), Store::Redacted(o.db).c_str());
        return kFailExit;
    }
    return 0;
}

std::unique_ptr<Store> Open(const Options& o, Store::Mode mode) {
    std::unique_ptr<Store> store = Store::Open(o.db, mode);
    if (!Store::IsPostgres(o.db)) {
        store->Exec("PRAGMA busy_timeout=" + std::to_string(kBusyWaitMs));
        // A build goes on where it stopped, so its pages need no sync of
        // their own: a power cut takes at most the last ones, built again.
        if (mode == Store::Mode::ReadWrite) store->Exec("PRAGMA synchronous=NORMAL");
    }
    return store;
}

std::pair<Campaign, CampaignFigures> Figures(Store& store, const std::string& id) {
    const auto found = store.ReadCampaign(id);
    if (!found) throw LedgerRefused("the ledger has no campaign " + id + " (see quentra-reports campaign list)");
    return {found->first, DeriveFigures(found->second, found->first.maxPopups)};
}

int Run(const Options& o) {
    const bool reads = o.command == "list" || o.command == "show" || o.command == "compare";
    std::unique_ptr<Store> store = Open(o, reads ? Store::Mode::ReadOnly : Store::Mode::ReadWrite);
    if (o.command == "build" && o.args.size() > 1) return Usage("campaign build takes one id, or none for every build");
    if (o.command == "list") {
        std::fputs(LedgerTable(store->ReadLedger()).c_str(), stdout);
    } else if (o.command == "show") {
        const auto [c, f] = Figures(*store, o.args[0]);
        std::fputs(CampaignText(c, f).c_str(), stdout);
    } else if (o.command == "compare") {
        const auto [a, fa] = Figures(*store, o.args[0]);
        const auto [b, fb] = Figures(*store, o.args[1]);
        std::fputs(CompareText(a, fa, b, fb).c_str(), stdout);
    } else if (o.command == "add") {
        std::string why;
        const std::optional<Campaign> wanted = NewCampaign(o, why);
        if (!wanted) return Usage(why);
        const Campaign c = store->AddCampaign(*wanted);
        std::printf("campaign %s added: %s to %s (days in %s)\n", c.id.c_str(), FormatWindowEnd(c.from).c_str(),
                    FormatWindowEnd(c.to).c_str(), FormatZone(c.utcOffsetHours).c_str());
        std::fflush(stdout);
        return Finish(*store, o, c.id);
    } else if (o.command == "end") {
        std::string why;
        const std::optional<int> zone = o.values.count("--tz") ? ParseZone(o.values.at("--tz")) : std::optional<int>();
        if (o.values.count("--tz") && !zone) return Usage("--tz takes whole hours east of UTC, e.g. 8, -5 or UTC+8");
        if (!o.values.count("--at")) return Usage("end needs --at TIME");
        const std::optional<std::int64_t> at = ParseTime(o.values.at("--at"), zone, why);
        if (!at) return Usage(why);
        const Campaign c = store->EndCampaign(o.args[0], *at);
        std::printf("campaign %s ends at %s%s\n", c.id.c_str(), FormatWindowEnd(c.to).c_str(),
                    c.Built() ? "" : "; reports moved in or out of it, so its figures are built again");
        std::fflush(stdout);
        return Finish(*store, o, c.Built() ? "" : c.id);
    } else if (o.command == "remove") {
        store->RemoveCampaign(o.args[0]);
        std::printf("campaign %s removed from the ledger\n", o.args[0].c_str());
        std::fflush(stdout);
        return Finish(*store, o, "");
    } else {
        for (const Campaign& c : store->ReadLedger()) {
            if ((o.args.empty() || o.args[0] == c.id) && !c.Built() && Finish(*store, o, c.id) != 0) return kFailExit;
        }
        return Finish(*store, o, "");
    }
    return 0;
}

}  // namespace

int CampaignCommand(int argc, char** argv) {
    Options o;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage:\n%s", kCampaignUsage);
            return 0;
        }
    }
    const std::string why = Parse(argc, argv, o);
    if (!why.empty()) return Usage(why);
    if (!Store::IsPostgres(o.db) && access(o.db.c_str(), F_OK) != 0) {
        return Refused(o.command, "there is no database at " + o.db +
                                      ": the ledger lives in the database serve or import wrote; give its path with "
                                      "--db FILE (default reports.db in the working folder)");
    }
    try {
        return Run(o);
    } catch (const std::exception& e) {  // a refusal (LedgerRefused) or the database's failure
        return Refused(o.command, e.what());
    }
}

}  // namespace reports
