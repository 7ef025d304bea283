#include "campaign_pages.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

#include "campaign_charts.h"
#include "campaign_text.h"
#include "days.h"
#include "text.h"

namespace reports {

namespace {

std::string Head(const std::string& title) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><title>" +
           HtmlEscape(title) +
           "</title><style>"
           "body{font:14px/1.4 sans-serif;margin:24px;color:#1d2330;max-width:900px}"
           "h1{font-size:20px;margin:0 0 6px}h2{font-size:16px;margin:22px 0 6px}a{color:#2b5fb0}"
           ".nav,.note{color:#5a6272;font-size:12px}.building{border:1px dashed #b8c0cc;padding:8px;background:#f7f8fa}"
           "#headline{display:flex;flex-wrap:wrap;gap:8px;margin:12px 0}"
           ".card{flex:1 1 160px;border:1px solid #dde1e8;border-radius:6px;padding:8px 12px}"
           ".card b{display:block;font-size:22px}.card span{color:#5a6272;font-size:12px}"
           ".chart{width:100%;max-width:760px;height:auto;display:block}"
           ".shown{fill:#4a78c2}.installed{fill:#e08a2c}.grid{stroke:#e4e7ed}.zero{stroke:#1d2330;stroke-dasharray:3 2}"
           ".whisker{stroke:#2a9d4b;stroke-width:3}.dot{fill:#2a9d4b}.axis{font-size:12px;fill:#5a6272}"
           "table{border-collapse:collapse;margin:8px 0}th,td{padding:4px 8px;border-bottom:1px solid #dde1e8;"
           "text-align:right}th{background:#f2f4f8}td:first-child,th:first-child{text-align:left}"
           "#verdict{font-size:16px;font-weight:bold}select,button{font:inherit}"
           "@media (max-width:600px){body{margin:10px}.axis{font-size:20px}table{width:100%}"
           "th,td{padding:3px 2px;font-size:11px}.card b{font-size:18px}}"
           "</style></head><body>\n";
}

std::string Card(const std::string& name, const std::string& value, const std::string& note) {
    return "<div class=\"card\"><span>" + name + "</span><b>" + value + "</b><span>" + note + "</span></div>";
}

std::string Weekdays(std::int64_t mask) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    if ((mask & 127) == 127) return "every day";
    std::string days;
    for (int d = 0; d < 7; ++d) {
        if (mask & (1 << d)) days += (days.empty() ? "" : " ") + std::string(kDays[d]);
    }
    return days.empty() ? "no day" : days;
}

std::string Window(const Campaign& c) {
    std::string text = FormatWindowEnd(c.from) + " to " + (c.to ? FormatWindowEnd(c.to) : "now (open)") + ", days in " +
                       FormatZone(c.utcOffsetHours);
    if (!c.purpose.empty()) text += " · purpose “" + HtmlEscape(c.purpose) + "”";
    if (c.maxPopups) text += " · at most " + std::to_string(*c.maxPopups) + " showings a machine";
    if (c.weekdays) text += " · shown on " + Weekdays(*c.weekdays);
    return text;
}

std::string Quality(const CampaignFigures& f) {
    return "<p id=\"quality\"><b>Quality</b> installs without a showing before them: " +
           std::to_string(f.installsWithoutShowing) +
           " · machines over the cap: " + (f.overCap ? std::to_string(*f.overCap) : std::string("- (no cap given)")) +
           " · machines shown twice on one day: " + std::to_string(f.shownTwiceADay) +
           " · reports with an empty identifier: " + std::to_string(f.emptyIdentifierReports) +
           "</p>\n<p class=\"note\">Machines are identifiers: several machines that share one count as one, and "
           "show up as over the cap or shown twice a day.</p>\n";
}

// "4.5-32.1 %": narrow enough for a phone's table.
std::string ShortInterval(const std::optional<Interval>& i) {
    if (!i) return "-";
    char text[48];
    std::snprintf(text, sizeof text, "%.1f-%.1f %%", i->low * 100, i->high * 100);
    return text;
}

std::string StepTable(const CampaignFigures& f) {
    std::string rows;
    for (const ShowingStep& s : f.steps) {
        if (s.n > kChartShowings) break;
        const std::int64_t exactly = f.shownTimes.count(s.n) ? f.shownTimes.at(s.n) : 0;
        rows += "<tr data-n=\"" + std::to_string(s.n) + "\"><td>" + std::to_string(s.n) + "</td><td>" +
                std::to_string(exactly) + "</td><td>" + std::to_string(s.shownAtLeast) + "</td><td>" +
                std::to_string(s.reached) + "</td><td>" + std::to_string(s.installed) + "</td><td>" +
                PercentText(s.conversion()) + "<br><span class=\"note\">" + ShortInterval(s.interval) + "</span></td></tr>\n";
    }
    std::int64_t more = 0;
    for (const auto& [n, machines] : f.shownTimes) more += n > kChartShowings ? machines : 0;
    return "<table id=\"steps\"><thead><tr><th>Showing</th><th>Shown exactly n times</th><th>Shown n+ times</th>"
           "<th>Not installed before it</th><th>Installed after it</th><th>Its conversion, 95 %</th></tr>"
           "</thead><tbody>\n" +
           rows + "</tbody></table>\n" +
           (more ? "<p class=\"note\">" + std::to_string(more) + " machines were shown more than " +
                       std::to_string(kChartShowings) + " times (see campaign.json).</p>\n"
                 : "");
}

}  // namespace

std::string QueryValue(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out += {'%', kHex[b >> 4], kHex[b & 15]};
        }
    }
    return out;
}

std::string CampaignPage(const Campaign& c, const CampaignFigures& f) {
    const std::string id = HtmlEscape(c.id), query = QueryValue(c.id);
    std::string page = Head("Campaign " + c.id) + "<p class=\"nav\"><a href=\"/\">Dashboard</a> · <a href=\"/compare?a=" +
                       query + "\">Compare with another campaign</a> · <a href=\"/campaign.json?id=" + query +
                       "\">campaign.json</a></p>\n<h1>Campaign " + id + "</h1>\n<p id=\"window\">" + Window(c) + "</p>\n";
    if (!c.Built()) {
        page += "<p class=\"building\" id=\"building\">Its state is " + HtmlEscape(BuildText(c)) +
                ": the figures below are partial. <code>quentra-reports campaign build " + id +
                "</code> goes on with it.</p>\n";
    }
    const std::string wait = f.medianSeconds ? DurationText(*f.medianSeconds) : "-";
    page += "<div id=\"headline\">" + Card("Machines shown", std::to_string(f.machinesShown), std::to_string(f.showings) + " showings") +
            Card("Machines installed", std::to_string(f.machinesInstalled),
                 "after a showing of theirs; " + std::to_string(f.installs) + " install reports") +
            Card("Conversion", PercentText(f.conversion), "95 %: " + IntervalText(f.conversionInterval)) +
            Card("Time to install", wait, f.p90Seconds ? "median; 90 % within " + DurationText(*f.p90Seconds) : "median") +
            "</div>\n<h2>The funnel</h2>\n" + FunnelChart(f) +
            "\n<p class=\"note\">For the 1st, 2nd, 3rd… showing: in blue the machines shown at least that often, in "
            "orange those whose first install came after that showing.</p>\n<h2>Each showing's own conversion</h2>\n" +
            StepChart(f) +
            "\n<p class=\"note\">Of the machines shown an n-th time that had not installed before it, those that "
            "installed after it; the bars are 95 % intervals (Wilson).</p>\n" +
            StepTable(f) + "<h2>Time to install</h2>\n" + WaitChart(f) +
            "\n<p class=\"note\">From a machine's latest showing before its first install to that install. Median " +
            wait + (f.p90Seconds ? ", 90 % within " + DurationText(*f.p90Seconds) : std::string()) +
            " (from a histogram: exact below 128 s, within 1/128 above).</p>\n" + Quality(f);
    std::string patterns;
    for (const std::string& p : c.patterns) patterns += (patterns.empty() ? "" : ", ") + HtmlEscape(p);
    if (!c.title.empty() || !patterns.empty()) {
        page += "<p class=\"note\">From the campaign file: title “" + HtmlEscape(c.title) + "”; patterns " + patterns + "</p>\n";
    }
    return page + "</body></html>\n";
}

namespace {

std::string CompareChoice(const Ledger& ledger, const std::string& a) {
    std::string first, second;
    for (const Campaign& c : ledger) {
        const std::string value = "<option value=\"" + HtmlEscape(c.id) + "\"";
        first += value + (c.id == a ? " selected>" : ">") + HtmlEscape(c.id) + "</option>";
        second += value + ">" + HtmlEscape(c.id) + "</option>";
    }
    return "<form method=\"get\" action=\"/compare\"><label>a <select name=\"a\">" + first +
           "</select></label> <label>b <select name=\"b\">" + second +
           "</select></label> <button type=\"submit\">Compare</button></form>\n";
}

}  // namespace

std::string CompareChoicePage(const Ledger& ledger, const std::string& a) {
    return Head("Compare two campaigns") + "<p class=\"nav\"><a href=\"/\">Dashboard</a></p>\n<h1>Compare two "
           "campaigns</h1>\n<p>Whether b converted better or worse than a, and whether the difference is more than "
           "chance.</p>\n" + CompareChoice(ledger, a) + "</body></html>\n";
}

std::string ComparePage(const Campaign& a, const CampaignFigures& fa, const Campaign& b, const CampaignFigures& fb,
                        const Ledger& ledger) {
    const Comparison c = Compare(fa, fb);
    std::string rows;
    for (const auto& [campaign, f] : {std::make_pair(&a, &fa), std::make_pair(&b, &fb)}) {
        rows += "<tr><td><a href=\"/campaign?id=" + QueryValue(campaign->id) + "\">" + HtmlEscape(campaign->id) +
                "</a></td><td>" + std::to_string(f->machinesShown) + "</td><td>" + std::to_string(f->machinesInstalled) +
                "</td><td>" + PercentText(f->conversion) + "</td><td>" + IntervalText(f->conversionInterval) + "</td></tr>\n";
    }
    return Head("Compare " + a.id + " and " + b.id) +
           "<p class=\"nav\"><a href=\"/\">Dashboard</a> · <a href=\"/compare.json?a=" + QueryValue(a.id) +
           "&amp;b=" + QueryValue(b.id) + "\">compare.json</a></p>\n<h1>" + HtmlEscape(b.id) + " against " +
           HtmlEscape(a.id) + "</h1>\n<p id=\"verdict\">" + HtmlEscape(VerdictText(c)) + "</p>\n" +
           (c.difference ? "<p id=\"difference\">b - a: " + HtmlEscape(DifferenceText(*c.difference)) +
                               " (Newcombe's interval for the difference of two conversions)</p>\n"
                         : "") +
           CompareChart(a, fa, b, fb) +
           "\n<table id=\"conversions\"><thead><tr><th>Campaign</th><th>Machines shown</th><th>Installed</th>"
           "<th>Conversion</th><th>95 %</th></tr></thead><tbody>\n" +
           rows + "</tbody></table>\n<h2>Compare others</h2>\n" + CompareChoice(ledger, a.id) + "</body></html>\n";
}

std::string CampaignList(const Ledger& ledger) {
    std::string list = "<h2>Campaigns</h2>\n";
    if (ledger.empty()) {
        return list + "<p id=\"campaigns\">No campaign in the ledger: <code>quentra-reports campaign add</code> tells "
                      "this receiver which campaign was live when, and each gets a page of its figures.</p>\n";
    }
    list += "<ul id=\"campaigns\">\n";
    for (const Campaign& c : ledger) {
        list += "<li><a href=\"/campaign?id=" + QueryValue(c.id) + "\">" + HtmlEscape(c.id) + "</a> " +
                FormatWindowEnd(c.from) + " to " + (c.to ? FormatWindowEnd(c.to) : "now") +
                (c.purpose.empty() ? "" : " · " + HtmlEscape(c.purpose)) + "</li>\n";
    }
    return list + "</ul>\n<p><a href=\"/compare\">Compare two campaigns</a></p>\n";
}

}  // namespace reports
