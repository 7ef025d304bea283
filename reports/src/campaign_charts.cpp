#include "campaign_charts.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "campaign_text.h"
#include "text.h"

namespace reports {

namespace {

constexpr int kWidth = 760;

std::string Open(const char* id, int height, const char* label) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "<svg id=\"%s\" class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" "
                  "role=\"img\" aria-label=\"%s\">",
                  id, kWidth, height, label);
    return buf;
}

std::string Label(double x, double y, const char* anchor, const std::string& text, const char* cls = "axis") {
    char buf[128];
    std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%.1f\" class=\"%s\" text-anchor=\"%s\">", x, y, cls, anchor);
    return buf + HtmlEscape(text) + "</text>";
}

std::string Bar(const char* cls, double x, double y, double w, double h, const std::string& title) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "<rect class=\"%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"><title>", cls,
                  x, y, std::max(w, 0.0), std::max(h, 0.0));
    return buf + HtmlEscape(title) + "</title></rect>";
}

// A point with its interval as a whisker, horizontal or vertical.
std::string Whisker(bool horizontal, double at, double from, double to, double across, const std::string& title) {
    char buf[320];
    if (horizontal) {
        std::snprintf(buf, sizeof buf,
                      "<g><title>%s</title><line class=\"whisker\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
                      "<circle class=\"dot\" cx=\"%.1f\" cy=\"%.1f\" r=\"5\"/></g>",
                      HtmlEscape(title).c_str(), from, across, to, across, at, across);
    } else {
        std::snprintf(buf, sizeof buf,
                      "<g><title>%s</title><line class=\"whisker\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>"
                      "<circle class=\"dot\" cx=\"%.1f\" cy=\"%.1f\" r=\"5\"/></g>",
                      HtmlEscape(title).c_str(), across, from, across, to, across, at);
    }
    return buf;
}

std::string Ordinal(std::int64_t n) {
    const char* suffix = n % 100 / 10 == 1 ? "th" : n % 10 == 1 ? "st" : n % 10 == 2 ? "nd" : n % 10 == 3 ? "rd" : "th";
    return std::to_string(n) + suffix;
}

std::int64_t Shown(std::size_t steps) { return std::min<std::int64_t>(static_cast<std::int64_t>(steps), kChartShowings); }

}  // namespace

std::string FunnelChart(const CampaignFigures& f) {
    const std::int64_t rows = Shown(f.steps.size());
    const int left = 64, right = 90, row = 44, top = 8;
    const int height = top + static_cast<int>(std::max<std::int64_t>(rows, 1)) * row + 8;
    const double peak = static_cast<double>(std::max<std::int64_t>(1, f.machinesShown)), plotW = kWidth - left - right;
    std::string svg = Open("funnel", height, "machines shown n times or more, and installed after their n-th showing");
    if (rows == 0) svg += Label(kWidth / 2.0, height / 2.0 + 4, "middle", "no machine shown yet");
    for (std::int64_t n = 1; n <= rows; ++n) {
        const ShowingStep& s = f.steps[static_cast<std::size_t>(n - 1)];
        const double y = top + static_cast<double>(n - 1) * row;
        const double shownW = plotW * static_cast<double>(s.shownAtLeast) / peak;
        const double installedW = plotW * static_cast<double>(s.installed) / peak;
        const std::string shown = std::to_string(s.shownAtLeast), installed = std::to_string(s.installed);
        svg += Label(left - 10, y + 27, "end", Ordinal(n));
        svg += Bar("shown", left, y + 3, shownW, 16, shown + " machines shown at least " + std::to_string(n) + " times");
        svg += Bar("installed", left, y + 21, installedW, 16,
                   installed + " machines installed after their showing " + std::to_string(n));
        svg += Label(left + shownW + 6, y + 15, "start", shown);
        svg += Label(left + installedW + 6, y + 33, "start", installed);
    }
    return svg + "</svg>";
}

std::string StepChart(const CampaignFigures& f) {
    const std::int64_t columns = Shown(f.steps.size());
    const int left = 56, right = 16, top = 12, bottom = 30, height = 220;
    const double plotW = kWidth - left - right, plotH = height - top - bottom;
    double reach = 0.05;
    for (std::int64_t n = 1; n <= columns; ++n) {
        const ShowingStep& s = f.steps[static_cast<std::size_t>(n - 1)];
        if (s.interval) reach = std::max(reach, s.interval->high);
    }
    // A scale of whole percents that holds the highest interval.
    reach = std::min(1.0, static_cast<double>(static_cast<int>(reach * 20) + 1) / 20);
    std::string svg = Open("steps", height, "each showing's own conversion with its 95 % interval");
    for (int i = 0; i <= 4; ++i) {
        const double y = top + plotH - plotH * i / 4;
        char line[160];
        std::snprintf(line, sizeof line, "<line class=\"grid\" x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>", left, y,
                      kWidth - right, y);
        char percent[32];
        std::snprintf(percent, sizeof percent, "%g %%", reach * i / 4 * 100);
        svg += line + Label(left - 6, y + 4, "end", percent);
    }
    const double slot = plotW / static_cast<double>(std::max<std::int64_t>(columns, 1));
    for (std::int64_t n = 1; n <= columns; ++n) {
        const ShowingStep& s = f.steps[static_cast<std::size_t>(n - 1)];
        const double x = left + slot * static_cast<double>(n - 1) + slot / 2;
        svg += Label(x, height - bottom + 18, "middle", "showing " + std::to_string(n));
        if (!s.interval) continue;
        auto y = [&](double share) { return top + plotH - plotH * std::min(share, reach) / reach; };
        svg += Whisker(false, y(*s.conversion()), y(s.interval->low), y(s.interval->high), x,
                       "showing " + std::to_string(n) + ": " + std::to_string(s.installed) + " of " +
                           std::to_string(s.reached) + " installed, " + PercentText(s.conversion()) + " (95 %: " +
                           IntervalText(s.interval) + ")");
    }
    return svg + "</svg>";
}

std::string WaitChart(const CampaignFigures& f) {
    struct Span {
        std::int64_t below;
        const char* name;
    } const spans[] = {{60, "<1 min"}, {300, "1-5 min"}, {900, "5-15 min"}, {3600, "15-60 min"},
                       {21600, "1-6 h"}, {86400, "6-24 h"}, {259200, "1-3 d"}, {INT64_MAX, ">3 d"}};
    std::int64_t counts[std::size(spans)] = {};
    for (const auto& [bucket, machines] : f.timeToInstall) {
        std::size_t i = 0;
        while (BucketValue(bucket) >= spans[i].below) ++i;
        counts[i] += machines;
    }
    const int left = 16, right = 16, top = 20, bottom = 40, height = 200;
    const double plotW = kWidth - left - right, plotH = height - top - bottom;
    const double peak = static_cast<double>(std::max<std::int64_t>(1, *std::max_element(std::begin(counts), std::end(counts))));
    const double slot = plotW / static_cast<double>(std::size(spans));
    std::string svg = Open("wait", height, "machines by the time from their latest showing to their install");
    for (std::size_t i = 0; i < std::size(spans); ++i) {
        const double x = left + slot * static_cast<double>(i), h = plotH * static_cast<double>(counts[i]) / peak;
        svg += Bar("installed", x + slot * 0.15, top + plotH - h, slot * 0.7, h,
                   std::to_string(counts[i]) + " machines installed " + spans[i].name + " after their latest showing");
        svg += Label(x + slot / 2, top + plotH - h - 4, "middle", std::to_string(counts[i]));
        // Two lines where a phone's larger letters would run into the next.
        const std::string name = spans[i].name;
        const std::size_t blank = name.find(' ');
        svg += Label(x + slot / 2, height - bottom + 16, "middle", name.substr(0, blank));
        if (blank != std::string::npos) svg += Label(x + slot / 2, height - bottom + 32, "middle", name.substr(blank + 1));
    }
    return svg + "</svg>";
}

std::string CompareChart(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb) {
    const Comparison c = Compare(fa, fb);
    // Each row's name above its line, so that a phone's larger letters fit.
    const int left = 24, right = 24, height = 214;
    const double plotW = kWidth - left - right;
    double reach = 0.05;
    for (const CampaignFigures* f : {&fa, &fb}) {
        if (f->conversionInterval) reach = std::max(reach, f->conversionInterval->high);
    }
    reach = std::min(1.0, reach * 1.1);
    std::string svg = Open("comparison", height, "the two conversions with their 95 % intervals, and b - a");
    auto x = [&](double share) { return left + plotW * share / reach; };
    const std::pair<const Campaign*, const CampaignFigures*> rows[] = {{&a, &fa}, {&b, &fb}};
    for (int i = 0; i < 2; ++i) {
        const double y = 44 + i * 48;
        const CampaignFigures& f = *rows[i].second;
        svg += Label(left, y - 14, "start", (i == 0 ? "a: " : "b: ") + rows[i].first->id + " " + PercentText(f.conversion));
        if (f.conversion) {
            svg += Whisker(true, x(*f.conversion), x(f.conversionInterval->low), x(f.conversionInterval->high), y,
                           rows[i].first->id + ": " + PercentText(f.conversion) + " (95 %: " +
                               IntervalText(f.conversionInterval) + ")");
        }
    }
    svg += Label(left, 124, "start", "0 %") + Label(kWidth - right, 124, "end", PercentText(reach));
    // b - a on a scale symmetric around 0.
    const double y = 180;
    svg += Label(left, y - 14, "start", "b - a");
    if (c.difference) {
        const double span = std::max({0.01, std::abs(c.difference->interval.low), std::abs(c.difference->interval.high)}) * 1.1;
        auto d = [&](double diff) { return left + plotW / 2 + plotW / 2 * diff / span; };
        char zero[160];
        std::snprintf(zero, sizeof zero, "<line class=\"zero\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", d(0),
                      y - 12, d(0), y + 12);
        svg += zero + Whisker(true, d(c.difference->difference), d(c.difference->interval.low),
                              d(c.difference->interval.high), y, "b - a: " + DifferenceText(*c.difference));
        svg += Label(d(0), y + 30, "middle", "0");
    }
    return svg + "</svg>";
}

}  // namespace reports
