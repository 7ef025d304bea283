#include "campaign_figures.h"

#include <cmath>
#include <cstdio>

#include "text.h"

namespace reports {

CampaignFigures DeriveFigures(const Counts& counts, std::optional<std::int64_t> maxPopups) {
    CampaignFigures f;
    std::map<std::int64_t, std::int64_t> reach;
    for (const auto& [key, value] : counts) {
        if (value == 0) continue;
        const std::int64_t n = key.second;
        switch (key.first) {
            case Count::Showings: f.showings += value; break;
            case Count::Installs: f.installs += value; break;
            case Count::EmptyIdentifierReports: f.emptyIdentifierReports += value; break;
            case Count::ShownTimes: f.shownTimes[n] += value; break;
            case Count::InstalledAfter: f.installedAfter[n] += value; break;
            case Count::InstallsWithoutShowing: f.installsWithoutShowing += value; break;
            case Count::Reach: reach[n] += value; break;
            case Count::ShownTwiceADay: f.shownTwiceADay += value; break;
            case Count::TimeToInstall: f.timeToInstall[n] += value; break;
        }
    }
    for (const auto& [n, machines] : f.shownTimes) f.machinesShown += machines;
    for (const auto& [n, machines] : f.installedAfter) f.machinesInstalled += machines;
    if (f.machinesShown > 0) {
        f.conversion = static_cast<double>(f.machinesInstalled) / static_cast<double>(f.machinesShown);
        f.conversionInterval = Wilson(f.machinesInstalled, f.machinesShown);
    }
    f.medianSeconds = Quantile(f.timeToInstall, 0.5);
    f.p90Seconds = Quantile(f.timeToInstall, 0.9);
    if (maxPopups) {
        f.overCap = 0;
        for (const auto& [n, machines] : f.shownTimes) *f.overCap += n > *maxPopups ? machines : 0;
    }
    // From the most showings down, the machines at least that far along.
    const std::int64_t most = f.shownTimes.empty() ? 0 : f.shownTimes.rbegin()->first;
    f.steps.resize(static_cast<std::size_t>(most));
    std::int64_t atLeast = 0, reached = 0;
    for (std::int64_t n = most; n >= 1; --n) {
        ShowingStep& step = f.steps[static_cast<std::size_t>(n - 1)];
        atLeast += f.shownTimes.count(n) ? f.shownTimes.at(n) : 0;
        reached += reach.count(n) ? reach.at(n) : 0;
        step.n = n;
        step.shownAtLeast = atLeast;
        step.reached = reached;
        step.installed = f.installedAfter.count(n) ? f.installedAfter.at(n) : 0;
        step.interval = Wilson(step.installed, step.reached);
    }
    return f;
}

std::optional<std::int64_t> Quantile(const std::map<std::int64_t, std::int64_t>& buckets, double q) {
    std::int64_t total = 0;
    for (const auto& [bucket, machines] : buckets) total += machines;
    if (total <= 0) return std::nullopt;
    const std::int64_t rank = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(q * static_cast<double>(total))));
    std::int64_t seen = 0;
    for (const auto& [bucket, machines] : buckets) {
        seen += machines;
        if (seen >= rank) return BucketValue(bucket);
    }
    return BucketValue(buckets.rbegin()->first);
}

std::string JsonNumber(std::optional<double> value) {
    if (!value) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", *value);
    return text;
}

namespace {

std::string Int(std::optional<std::int64_t> value) { return value ? std::to_string(*value) : "null"; }

std::string IntervalJson(const std::optional<Interval>& i) {
    return i ? "[" + JsonNumber(i->low) + "," + JsonNumber(i->high) + "]" : "null";
}

// {"1":10,"2":4}: the keys as strings, as JSON wants them.
std::string ByN(const std::map<std::int64_t, std::int64_t>& values) {
    std::string json = "{";
    for (const auto& [n, machines] : values) {
        json += (json.size() > 1 ? ",\"" : "\"") + std::to_string(n) + "\":" + std::to_string(machines);
    }
    return json + "}";
}

std::string Conversion(const Campaign& c, const CampaignFigures& f) {
    return "{\"id\":" + JsonString(c.id) + ",\"machines_shown\":" + std::to_string(f.machinesShown) +
           ",\"machines_installed\":" + std::to_string(f.machinesInstalled) +
           ",\"conversion\":" + JsonNumber(f.conversion) + ",\"conversion_interval\":" + IntervalJson(f.conversionInterval) +
           "}";
}

}  // namespace

std::string CampaignJson(const Campaign& c, const CampaignFigures& f) {
    return "{\"id\":" + JsonString(c.id) + ",\"purpose\":" + JsonString(c.purpose) +
           ",\"from\":" + JsonString(FormatWindowEnd(c.from)) + ",\"to\":" + (c.to ? JsonString(FormatWindowEnd(c.to)) : "null") +
           ",\"max_popups\":" + Int(c.maxPopups) + ",\"complete\":" + (c.Built() ? "true" : "false") +
           ",\"machines_shown\":" + std::to_string(f.machinesShown) + ",\"showings\":" + std::to_string(f.showings) +
           ",\"installs\":" + std::to_string(f.installs) + ",\"shown_times\":" + ByN(f.shownTimes) +
           ",\"installed_after_showing\":" + ByN(f.installedAfter) +
           ",\"machines_installed\":" + std::to_string(f.machinesInstalled) + ",\"conversion\":" + JsonNumber(f.conversion) +
           ",\"conversion_interval\":" + IntervalJson(f.conversionInterval) +
           ",\"time_to_install_seconds\":{\"median\":" + Int(f.medianSeconds) + ",\"p90\":" + Int(f.p90Seconds) +
           "},\"quality\":{\"installs_without_showing\":" + std::to_string(f.installsWithoutShowing) +
           ",\"machines_over_cap\":" + Int(f.overCap) + ",\"machines_shown_twice_a_day\":" + std::to_string(f.shownTwiceADay) +
           ",\"empty_identifier_reports\":" + std::to_string(f.emptyIdentifierReports) + "}}\n";
}

Comparison Compare(const CampaignFigures& a, const CampaignFigures& b) {
    Comparison c;
    c.difference = Newcombe(a.machinesInstalled, a.machinesShown, b.machinesInstalled, b.machinesShown);
    c.significant = Significant(a.machinesShown, b.machinesShown, c.difference);
    return c;
}

std::string CompareJson(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb) {
    const Comparison c = Compare(fa, fb);
    return "{\"a\":" + Conversion(a, fa) + ",\"b\":" + Conversion(b, fb) + ",\"difference\":" +
           JsonNumber(c.difference ? std::optional<double>(c.difference->difference) : std::nullopt) +
           ",\"difference_interval\":" +
           IntervalJson(c.difference ? std::optional<Interval>(c.difference->interval) : std::nullopt) +
           ",\"significant\":" + (c.significant ? (*c.significant ? "true" : "false") : "null") + "}\n";
}

}  // namespace reports
