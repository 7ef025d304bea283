// quentra-reports-fleet: plays a fleet of tray machines through one campaign
// and writes what the receiver would have logged, for `quentra-reports
// import`, and the figures the receiver should give for it, worked out here
// from the fleet's own events.
//
//   quentra-reports-fleet --machines N --from TIME --days D --log FILE --truth FILE
//                         [--conversions 0.10,0.05,0.03] [--cap 3] [--weekdays 127] [--tz 8]
//                         [--shared 0.01] [--no-id 0.001] [--unshown 0.001] [--prefix m] [--seed 1]
//
// Each machine comes to its tray on a day of the campaign and on most days
// after; the plug-in shows the balloon at most once a day, on the weekdays
// of the mask (in the zone --tz), up to the cap, until the machine installs.
// After its n-th showing a machine installs with the n-th conversion, some
// seconds to hours later. --shared of the machines report another machine's
// identifier; --no-id have no identifier (m is empty); --unshown install with
// no showing (a report lost on the way). A few reports fall on the day
// before the campaign and must count for none. TIME is YYYY-MM-DDTHH:MMZ.
//
// The truth: per identifier, as the receiver sees machines, the figures of
// campaign.json that are exact, each showing's machines reached and
// installed with its designed conversion, and the exact median and 90th
// percentile of the time to install.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "clf.h"
#include "days.h"
#include "ledger.h"

namespace {

struct Event {
    std::int64_t at;
    bool install;
    std::string machine;
};

struct Fleet {
    long machines = 10000, days = 28, cap = 3, weekdays = 127, seed = 1;
    int tz = 0;
    double shared = 0.01, noId = 0.001, unshown = 0.001;
    std::vector<double> conversions{0.10, 0.05, 0.03};
    std::int64_t from = 0;
    std::string prefix = "m";
};

std::vector<Event> Play(const Fleet& f) {
    std::mt19937_64 random(static_cast<std::uint64_t>(f.seed));
    std::uniform_real_distribution<double> chance(0, 1);
    std::lognormal_distribution<double> wait(std::log(180.0), 1.6);  // median 3 min
    std::vector<Event> events;
    for (long i = 0; i < f.machines; ++i) {
        std::string id = f.prefix + "-" + std::to_string(i);
        if (chance(random) < f.noId) id.clear();
        else if (i > 0 && chance(random) < f.shared) id = f.prefix + "-" + std::to_string(i - 1);
        if (chance(random) < f.unshown) {
            events.push_back({f.from + static_cast<std::int64_t>(chance(random) * static_cast<double>(f.days * 86400)), true, id});
            continue;
        }
        const long first = static_cast<long>(chance(random) * static_cast<double>(f.days) * 0.6);
        long shown = 0;
        for (long day = first; day < f.days && shown < f.cap; ++day) {
            const std::int64_t midnight = f.from + day * 86400 - f.tz * 3600;  // the machine's local midnight
            const std::int64_t weekday = (reports::DayIn(midnight + 43200, f.tz) + 4) % 7;  // 1970-01-01 was a Thursday
            if (!(f.weekdays & (1L << weekday)) || chance(random) > 0.8) continue;
            const std::int64_t at = midnight + 8 * 3600 + static_cast<std::int64_t>(chance(random) * 12 * 3600);
            if (at < f.from) continue;
            events.push_back({at, false, id});
            ++shown;
            const double convert = static_cast<std::size_t>(shown) <= f.conversions.size() ? f.conversions[shown - 1] : 0;
            if (chance(random) < convert) {
                events.push_back({at + 2 + std::min<std::int64_t>(static_cast<std::int64_t>(wait(random)), 10 * 3600), true, id});
                break;
            }
        }
    }
    // The day before: another campaign's reports.
    for (int i = 0; i < 5; ++i) events.push_back({f.from - 3600 * (i + 1), i % 2 == 1, f.prefix + "-0"});
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.at < b.at; });
    return events;
}

std::string ByN(const std::map<std::int64_t, std::int64_t>& values) {
    std::string json = "{";
    for (const auto& [n, count] : values) json += (json.size() > 1 ? ",\"" : "\"") + std::to_string(n) + "\":" + std::to_string(count);
    return json + "}";
}

// The figures as the receiver should give them, from the events alone.
std::string Truth(const Fleet& f, const std::vector<Event>& events) {
    std::int64_t showings = 0, installs = 0, emptyReports = 0;
    std::map<std::string, std::pair<std::vector<std::int64_t>, std::vector<std::int64_t>>> byId;  // showings, installs
    for (const Event& e : events) {
        if (e.at < f.from || e.at >= f.from + f.days * 86400) continue;
        (e.install ? installs : showings)++;
        if (e.machine.empty()) {
            ++emptyReports;
            continue;
        }
        (e.install ? byId[e.machine].second : byId[e.machine].first).push_back(e.at);
    }
    std::map<std::int64_t, std::int64_t> shownTimes, installedAfter, reached;
    std::int64_t withoutShowing = 0, twice = 0, overCap = 0;
    std::vector<std::int64_t> waits;
    for (auto& [id, both] : byId) {
        std::vector<std::int64_t>& shown = both.first;
        std::sort(shown.begin(), shown.end());
        const auto n = static_cast<std::int64_t>(shown.size());
        if (n > 0) ++shownTimes[n];
        if (n > f.cap) ++overCap;
        for (std::size_t i = 1; i < shown.size(); ++i) {
            if (reports::DayIn(shown[i], f.tz) == reports::DayIn(shown[i - 1], f.tz)) {
                ++twice;
                break;
            }
        }
        std::int64_t reach = n;
        if (!both.second.empty()) {
            const std::int64_t install = *std::min_element(both.second.begin(), both.second.end());
            reach = std::upper_bound(shown.begin(), shown.end(), install) - shown.begin();
            if (reach == 0) {
                ++withoutShowing;
            } else {
                ++installedAfter[reach];
                waits.push_back(install - shown[static_cast<std::size_t>(reach - 1)]);
            }
        }
        for (std::int64_t k = 1; k <= reach; ++k) ++reached[k];
    }
    std::int64_t machinesShown = 0, machinesInstalled = 0;
    for (const auto& [n, count] : shownTimes) machinesShown += count;
    for (const auto& [n, count] : installedAfter) machinesInstalled += count;
    std::sort(waits.begin(), waits.end());
    auto rank = [&](double q) {
        return waits.empty() ? std::string("null")
                             : std::to_string(waits[static_cast<std::size_t>(std::max(1.0, std::ceil(q * static_cast<double>(waits.size()))) - 1)]);
    };
    std::string steps = "{";
    for (const auto& [n, count] : reached) {
        char designed[32];
        std::snprintf(designed, sizeof designed, "%.4f",
                      static_cast<std::size_t>(n) <= f.conversions.size() ? f.conversions[n - 1] : 0.0);
        steps += (steps.size() > 1 ? ",\"" : "\"") + std::to_string(n) + "\":{\"reached\":" + std::to_string(count) +
                 ",\"installed\":" + std::to_string(installedAfter.count(n) ? installedAfter[n] : 0) +
                 ",\"designed\":" + designed + "}";
    }
    return "{\"machines\":" + std::to_string(f.machines) + ",\"machines_shown\":" + std::to_string(machinesShown) +
           ",\"showings\":" + std::to_string(showings) + ",\"installs\":" + std::to_string(installs) +
           ",\"shown_times\":" + ByN(shownTimes) + ",\"installed_after_showing\":" + ByN(installedAfter) +
           ",\"machines_installed\":" + std::to_string(machinesInstalled) +
           ",\"time_to_install_seconds\":{\"median\":" + rank(0.5) + ",\"p90\":" + rank(0.9) +
           "},\"quality\":{\"installs_without_showing\":" + std::to_string(withoutShowing) +
           ",\"machines_over_cap\":" + std::to_string(overCap) + ",\"machines_shown_twice_a_day\":" +
           std::to_string(twice) + ",\"empty_identifier_reports\":" + std::to_string(emptyReports) +
           "},\"steps\":" + steps + "}}\n";
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "quentra-reports-fleet: %s\n", why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Fleet f;
    std::string log, truth, why;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--machines") f.machines = std::atol(v.c_str());
        else if (a == "--days") f.days = std::atol(v.c_str());
        else if (a == "--cap") f.cap = std::atol(v.c_str());
        else if (a == "--weekdays") f.weekdays = std::atol(v.c_str());
        else if (a == "--seed") f.seed = std::atol(v.c_str());
        else if (a == "--tz") f.tz = std::atoi(v.c_str());
        else if (a == "--shared") f.shared = std::atof(v.c_str());
        else if (a == "--no-id") f.noId = std::atof(v.c_str());
        else if (a == "--unshown") f.unshown = std::atof(v.c_str());
        else if (a == "--prefix") f.prefix = v;
        else if (a == "--log") log = v;
        else if (a == "--truth") truth = v;
        else if (a == "--from") {
            const std::optional<std::int64_t> at = reports::ParseTime(v, std::nullopt, why);
            if (!at) return Usage("--from: " + why);
            f.from = *at;
        } else if (a == "--conversions") {
            f.conversions.clear();
            std::istringstream in(v);
            for (std::string rate; std::getline(in, rate, ',');) f.conversions.push_back(std::atof(rate.c_str()));
        } else {
            return Usage("unknown argument " + a);
        }
    }
    if (argc % 2 == 0 || f.from == 0 || log.empty() || truth.empty() || f.machines <= 0 || f.days <= 0) {
        return Usage("give --machines N --from TIME --days D --log FILE --truth FILE (see the source's head)");
    }
    const std::vector<Event> events = Play(f);
    std::ofstream out(log, std::ios::binary | std::ios::trunc);
    for (const Event& e : events) {
        // The target as the plug-in sends it, the identifier escaped.
        std::string target = std::string("/traycast.html?t=") + (e.install ? "1" : "0") + "&m=" + e.machine;
        out << reports::ClfLogLine("10.0.0.7", e.at, "GET", target, "HTTP/1.1", 200, 3);
    }
    std::ofstream(truth, std::ios::trunc) << Truth(f, events);
    if (!out.flush()) return Usage("cannot write " + log);
    std::printf("fleet: %ld machines, %zu reports in %s, truth in %s\n", f.machines, events.size(), log.c_str(), truth.c_str());
    return 0;
}
