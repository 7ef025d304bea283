#include "pages.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace reports {

Summary MakeSummary(const DayRange& range, const std::vector<Figures>& byDay, const Figures& total) {
    Summary s;
    s.range = range;
    s.total = total;
    auto next = byDay.begin();
    for (std::int64_t day = range.from; day <= range.to; ++day) {
        while (next != byDay.end() && next->day < day) ++next;
        if (next != byDay.end() && next->day == day) {
            s.days.push_back(*next);
        } else {
            Figures empty;
            empty.day = day;
            s.days.push_back(empty);
        }
    }
    return s;
}

Summary ReadSummary(Store& store, const DayRange& range) {
    bool exact = true;
    const Figures total = store.FiguresOfRange(range, &exact);
    Summary s = MakeSummary(range, store.FiguresByDay(range), total);
    s.totalExact = exact;
    return s;
}

std::optional<double> Conversion(const Figures& f) {
    if (f.machinesShown == 0) return std::nullopt;
    return static_cast<double>(f.machinesInstalled) / static_cast<double>(f.machinesShown);
}

std::string ConversionText(const Figures& f) {
    const std::optional<double> c = Conversion(f);
    if (!c) return "-";
    char text[32];
    const double percent = std::round(*c * 1000.0) / 10.0;
    if (percent == std::floor(percent)) {
        std::snprintf(text, sizeof text, "%.0f %%", percent);
    } else {
        std::snprintf(text, sizeof text, "%.1f %%", percent);
    }
    return text;
}

namespace {

std::string Num(std::int64_t n) { return std::to_string(n); }

const char* KindName(ReportKind kind) { return kind == ReportKind::Installed ? "install" : "showing"; }

std::string FigureCells(const Figures& f, const char* cell) {
    std::string row;
    for (const std::string& v : {Num(f.showings), Num(f.installs), Num(f.machinesShown), Num(f.machinesInstalled),
                                 ConversionText(f)}) {
        row += std::string("<") + cell + ">" + v + "</" + cell + ">";
    }
    return row;
}

// Bars for showings and installs per day, and the conversion as a line over
// them on its own 0-100 % scale.
std::string Chart(const Summary& s) {
    const int width = 760, height = 260, left = 48, right = 48, top = 16, bottom = 40;
    const int plotW = width - left - right, plotH = height - top - bottom;
    std::int64_t peak = 1;
    for (const Figures& f : s.days) peak = std::max({peak, f.showings, f.installs});
    const double slot = static_cast<double>(plotW) / static_cast<double>(s.days.size());
    const double bar = std::max(1.0, slot * 0.38);
    char buf[768];
    std::string svg;
    std::snprintf(buf, sizeof buf,
                  "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                  "viewBox=\"0 0 %d %d\" role=\"img\" aria-label=\"showings, installs and conversion per day\">",
                  width, height, width, height);
    svg += buf;
    for (int i = 0; i <= 4; ++i) {
        const double y = top + plotH - plotH * i / 4.0;
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" class=\"grid\"/>"
                      "<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%" PRId64 "</text>"
                      "<text x=\"%d\" y=\"%.1f\" class=\"axis\">%d %%</text>",
                      left, y, width - right, y, left - 6, y + 4, peak * i / 4, width - right + 6, y + 4, 25 * i);
        svg += buf;
    }
    std::string line, points;
    const std::size_t labelEvery = std::max<std::size_t>(1, s.days.size() / 10);
    for (std::size_t i = 0; i < s.days.size(); ++i) {
        const Figures& f = s.days[i];
        const double x = left + slot * static_cast<double>(i) + slot / 2;
        const double hs = static_cast<double>(plotH) * static_cast<double>(f.showings) / static_cast<double>(peak);
        const double hi = static_cast<double>(plotH) * static_cast<double>(f.installs) / static_cast<double>(peak);
        const std::string day = FormatDay(f.day);
        std::snprintf(buf, sizeof buf,
                      "<rect class=\"showings\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
                      "<title>%s: %" PRId64 " showings</title></rect>",
                      x - bar, top + plotH - hs, bar, hs, day.c_str(), f.showings);
        svg += buf;
        std::snprintf(buf, sizeof buf,
                      "<rect class=\"installs\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
                      "<title>%s: %" PRId64 " installs</title></rect>",
                      x, top + plotH - hi, bar, hi, day.c_str(), f.installs);
        svg += buf;
        if (i % labelEvery == 0) {
            std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%s</text>",
                          x, height - bottom + 16, day.substr(5).c_str());
            svg += buf;
        }
        // A day nobody was shown has no conversion: the line breaks there
        // instead of suggesting a value.
        if (const std::optional<double> c = Conversion(f)) {
            const double y = top + plotH - plotH * std::min(*c, 1.0);
            std::snprintf(buf, sizeof buf, "%s%.1f,%.1f", line.empty() ? "" : " ", x, y);
            line += buf;
            std::snprintf(buf, sizeof buf, "<circle class=\"point\" cx=\"%.1f\" cy=\"%.1f\" r=\"2.5\"/>", x, y);
            points += buf;
        }
        if (!Conversion(f) || i + 1 == s.days.size()) {
            if (!line.empty()) svg += "<polyline class=\"conversion\" points=\"" + line + "\"/>";
            line.clear();
        }
    }
    svg += points;
    std::snprintf(buf, sizeof buf,
                  "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" class=\"showings\"/>"
                  "<text x=\"%d\" y=\"%d\" class=\"axis\">showings</text>"
                  "<rect x=\"%d\" y=\"%d\" width=\"10\" height=\"10\" class=\"installs\"/>"
                  "<text x=\"%d\" y=\"%d\" class=\"axis\">installs</text>"
                  "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" class=\"conversion\"/>"
                  "<text x=\"%d\" y=\"%d\" class=\"axis\">conversion (right scale)</text>",
                  left, height - 14, left + 14, height - 5, left + 90, height - 14, left + 104, height - 5,
                  left + 170, height - 9, left + 190, height - 9, left + 196, height - 5);
    svg += buf;
    return svg + "</svg>";
}

}  // namespace

std::string DashboardPage(const Summary& s, const std::vector<Report>& latest, Cp936ToUtf8& toUtf8) {
    const std::string from = FormatDay(s.range.from), to = FormatDay(s.range.to);
    const std::string query = "?from=" + from + "&amp;to=" + to;
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>Quentra reports " + from + " to " + to + "</title><style>"
        "body{font:14px/1.4 sans-serif;margin:24px;color:#1d2330;background:#fff}"
        "h1{font-size:20px;margin:0 0 12px}h2{font-size:16px;margin:24px 0 8px}"
        "form{margin:0 0 16px}input,button{font:inherit}"
        "table{border-collapse:collapse}th,td{padding:4px 10px;border-bottom:1px solid #dde1e8}"
        "th{text-align:left;background:#f2f4f8}td.n,th.n{text-align:right}tfoot th,tfoot td{font-weight:bold}"
        "#figures td,#figures tfoot th{text-align:right}#figures td:first-child,#figures tfoot th:first-child{text-align:left}"
        ".showings{fill:#4a78c2}.installs{fill:#e08a2c}.conversion{stroke:#2a9d4b;stroke-width:2;fill:none}"
        ".point{fill:#2a9d4b}.grid{stroke:#e4e7ed}.axis{font-size:11px;fill:#5a6272}"
        "</style></head><body>\n<h1>Quentra reports: showings, installs and conversion</h1>\n"
        "<form method=\"get\" action=\"/\"><label>From <input type=\"date\" name=\"from\" value=\"" + from +
        "\"></label> <label>to <input type=\"date\" name=\"to\" value=\"" + to +
        "\"></label> <input type=\"hidden\" name=\"tz\" value=\"" + std::to_string(s.range.utcOffsetHours) +
        "\"><button type=\"submit\">Show</button> (days in " + FormatZone(s.range.utcOffsetHours) + ")</form>\n" + Chart(s) +
        "\n<h2>Per day</h2>\n<table id=\"figures\"><thead><tr><th>Day</th><th>Showings</th><th>Installs</th>"
        "<th>Machines shown</th><th>Machines installed</th><th>Conversion</th></tr></thead><tbody>\n";
    for (const Figures& f : s.days) {
        const std::string day = FormatDay(f.day);
        page += "<tr data-day=\"" + day + "\"><td>" + day + "</td>" + FigureCells(f, "td") + "</tr>\n";
    }
    page += std::string("</tbody><tfoot><tr data-day=\"total\"><th>") +
            (s.totalExact ? "Range, machines once" : "Range, machines once (estimate ±5 %)") + "</th>" +
            FigureCells(s.total, "td") +
            "</tr></tfoot></table>\n<p>Conversion: machines that installed ÷ machines shown. A machine counts once "
            "per day, and once in the range's row: its conversion is over distinct machines of the whole range, "
            "not the days' added up.</p>\n<h2>Latest reports</h2>\n<table id=\"latest\"><thead><tr><th>Time "
            "(UTC)</th><th>Kind</th><th>Machine</th><th>Client</th></tr></thead><tbody>\n";
    for (const Report& r : latest) {
        page += "<tr><td>" + FormatTime(r.at) + "</td><td>" + KindName(r.kind) + "</td><td>" +
                HtmlEscape(toUtf8(r.machine)) + "</td><td>" + HtmlEscape(r.client) + "</td></tr>\n";
    }
    if (latest.empty()) page += "<tr><td colspan=\"4\">No reports in this range.</td></tr>\n";
    page += "</tbody></table>\n<p><a href=\"/summary.json" + query + "\">summary.json</a> · <a href=\"/reports.csv" +
            query + "\">reports.csv</a></p>\n</body></html>\n";
    return page;
}

namespace {

std::string FiguresJson(const Figures& f, const std::string& dayKey) {
    char conversion[32] = "null";
    if (const std::optional<double> c = Conversion(f)) std::snprintf(conversion, sizeof conversion, "%.4f", *c);
    return "{" + dayKey + "\"showings\":" + Num(f.showings) + ",\"installs\":" + Num(f.installs) +
           ",\"machines_shown\":" + Num(f.machinesShown) + ",\"machines_installed\":" + Num(f.machinesInstalled) +
           ",\"conversion\":" + conversion + "}";
}

}  // namespace

std::string SummaryJson(const Summary& s) {
    std::string json = "{\"from\":\"" + FormatDay(s.range.from) + "\",\"to\":\"" + FormatDay(s.range.to) +
                       "\",\"tz\":\"" + FormatZone(s.range.utcOffsetHours) +
                       "\",\"total_machines_exact\":" + (s.totalExact ? "true" : "false") + ",\"days\":[";
    for (std::size_t i = 0; i < s.days.size(); ++i) {
        if (i > 0) json += ",";
        json += FiguresJson(s.days[i], "\"day\":\"" + FormatDay(s.days[i].day) + "\",");
    }
    return json + "],\"total\":" + FiguresJson(s.total, "") + "}\n";
}

std::string SummaryTable(const Summary& s) {
    std::string out;
    char line[160];
    const char* format = "%-10s %10s %10s %15s %19s %11s\n";
    std::snprintf(line, sizeof line, format, "day", "showings", "installs", "machines shown", "machines installed",
                  "conversion");
    out += line;
    auto row = [&](const std::string& label, const Figures& f) {
        std::snprintf(line, sizeof line, format, label.c_str(), Num(f.showings).c_str(), Num(f.installs).c_str(),
                      Num(f.machinesShown).c_str(), Num(f.machinesInstalled).c_str(), ConversionText(f).c_str());
        out += line;
    };
    for (const Figures& f : s.days) row(FormatDay(f.day), f);
    row(s.totalExact ? "range" : "range ~", s.total);
    return out;
}

std::string CsvHeader() { return "time,kind,machine,machine_hex,client\r\n"; }

std::string CsvRow(const Report& r, Cp936ToUtf8& toUtf8) {
    return FormatTime(r.at) + "," + KindName(r.kind) + "," + CsvField(toUtf8(r.machine)) + "," + Hex(r.machine) +
           "," + CsvField(r.client) + "\r\n";
}

}  // namespace reports
