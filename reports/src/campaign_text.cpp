#include "campaign_text.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace reports {

std::string DurationText(std::int64_t seconds) {
    struct Unit {
        std::int64_t seconds;
        const char* name;
    } const units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
    for (std::size_t i = 0; i + 1 < std::size(units); ++i) {
        if (seconds < units[i].seconds) continue;
        const std::int64_t big = seconds / units[i].seconds, small = seconds % units[i].seconds / units[i + 1].seconds;
        return std::to_string(big) + " " + units[i].name + (small ? " " + std::to_string(small) + " " + units[i + 1].name : "");
    }
    return std::to_string(seconds) + " s";
}

std::string PercentText(std::optional<double> share) {
    if (!share) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", *share * 100.0);
    return text;
}

std::string IntervalText(const std::optional<Interval>& interval) {
    if (!interval) return "-";
    return PercentText(interval->low) + " to " + PercentText(interval->high);
}

std::string DifferenceText(const Difference& d) {
    char text[96];
    std::snprintf(text, sizeof text, "%+.2f points (95 %%: %+.2f to %+.2f)", d.difference * 100, d.interval.low * 100,
                  d.interval.high * 100);
    return text;
}

std::string BuildText(const Campaign& c) {
    if (c.Built()) return "complete";
    char text[96];
    std::snprintf(text, sizeof text, "building from stored reports (up to report %" PRId64 " of %" PRId64 ")",
                  c.builtThrough, c.buildTo);
    return text;
}

std::string VerdictText(const Comparison& c) {
    if (!c.difference) return "nothing to compare: a campaign has no machine shown yet";
    if (!c.significant) {
        return "too early to tell: each campaign needs at least " + std::to_string(kFewestToCompare) +
               " machines shown";
    }
    return *c.significant ? "the difference is significant: its 95 % interval leaves out 0"
                          : "the difference is not significant: its 95 % interval holds 0";
}

std::string LedgerTable(const Ledger& ledger) {
    if (ledger.empty()) {
        return "no campaigns yet; add one with quentra-reports campaign add --id ID --from TIME [--tz ZONE]\n";
    }
    std::string out;
    char line[512];
    const char* format = "%-24s %-21s %-21s %-4s %-8s %-9s %s\n";
    std::snprintf(line, sizeof line, format, "id", "from", "to", "cap", "weekdays", "state", "purpose");
    out += line;
    for (const Campaign& c : ledger) {
        std::snprintf(line, sizeof line, format, c.id.c_str(), FormatWindowEnd(c.from).c_str(),
                      FormatWindowEnd(c.to).c_str(), c.maxPopups ? std::to_string(*c.maxPopups).c_str() : "-",
                      c.weekdays ? std::to_string(*c.weekdays).c_str() : "-", c.Built() ? "complete" : "building",
                      c.purpose.c_str());
        out += line;
    }
    return out;
}

std::string CampaignText(const Campaign& c, const CampaignFigures& f) {
    std::string out = "campaign " + c.id + (c.purpose.empty() ? "" : " (purpose \"" + c.purpose + "\")") + ", " +
                      FormatWindowEnd(c.from) + " to " + FormatWindowEnd(c.to) +
                      (c.maxPopups ? ", at most " + std::to_string(*c.maxPopups) + " showings a machine" : "") + "\n";
    if (!c.Built()) out += "its state is " + BuildText(c) + ": the figures are partial\n";
    char line[256];
    std::snprintf(line, sizeof line,
                  "machines shown %" PRId64 ", installed %" PRId64 ", conversion %s (95 %%: %s)\n"
                  "reports: %" PRId64 " showings, %" PRId64 " installs\n",
                  f.machinesShown, f.machinesInstalled, PercentText(f.conversion).c_str(),
                  IntervalText(f.conversionInterval).c_str(), f.showings, f.installs);
    out += line;
    const char* format = "%-8s %15s %14s %15s %9s %s\n";
    std::snprintf(line, sizeof line, format, "showing", "shown at least", "not yet inst.", "installed after", "its conv.",
                  "(95 %)");
    out += line;
    for (const ShowingStep& s : f.steps) {
        std::snprintf(line, sizeof line, format, std::to_string(s.n).c_str(), std::to_string(s.shownAtLeast).c_str(),
                      std::to_string(s.reached).c_str(), std::to_string(s.installed).c_str(),
                      PercentText(s.conversion()).c_str(),
                      ("(" + IntervalText(s.interval) + ")").c_str());
        out += line;
    }
    out += f.medianSeconds ? "time to install: median " + DurationText(*f.medianSeconds) + ", 90 % within " +
                                 DurationText(*f.p90Seconds) + "\n"
                           : "time to install: no install after a showing yet\n";
    out += "quality: " + std::to_string(f.installsWithoutShowing) + " installs without a showing, " +
           (f.overCap ? std::to_string(*f.overCap) + " machines over the cap, " : "") +
           std::to_string(f.shownTwiceADay) + " machines shown twice a day, " +
           std::to_string(f.emptyIdentifierReports) + " reports with an empty identifier\n";
    return out;
}

std::string CompareText(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb) {
    const Comparison c = Compare(fa, fb);
    std::string out;
    for (const auto& [campaign, f] : {std::make_pair(&a, &fa), std::make_pair(&b, &fb)}) {
        out += campaign->id + ": " + std::to_string(f->machinesInstalled) + " of " + std::to_string(f->machinesShown) +
               " machines shown installed, " + PercentText(f->conversion) + " (95 %: " +
               IntervalText(f->conversionInterval) + ")\n";
    }
    if (c.difference) out += b.id + " - " + a.id + ": " + DifferenceText(*c.difference) + "\n";
    return out + VerdictText(c) + "\n";
}

}  // namespace reports
