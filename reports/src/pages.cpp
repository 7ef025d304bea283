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

Summary ReadSummary(Store& store, const DayRange& range, std::int64_t today, bool previous) {
    bool exact = true;
    const Figures total = store.FiguresOfRange(range, &exact);
    Summary s = MakeSummary(range, store.FiguresByDay(range), total);
    s.totalExact = exact;
    s.today = today;
    const std::int64_t length = range.to - range.from + 1;
    if (previous && range.from - length >= 0) {
        DayRange before = range;
        before.from = range.from - length;
        before.to = range.from - 1;
        s.previous = store.FiguresOfRange(before);
    }
    return s;
}

Axis ChooseAxis(std::int64_t peak) {
    Axis axis;
    const std::int64_t reach = std::max<std::int64_t>(peak, 4);
    const double raw = static_cast<double>(reach) / 4.0;
    std::int64_t magnitude = 1;
    while (static_cast<double>(magnitude * 10) <= raw) magnitude *= 10;
    // 1, 2, 2.5, 5 and 10 times the magnitude; 2.5 only where it stays whole.
    for (const std::int64_t tenths : {10, 20, 25, 50, 100}) {
        if (tenths == 25 && magnitude < 10) continue;
        if (static_cast<double>(tenths * magnitude / 10) >= raw) {
            axis.step = tenths * magnitude / 10;
            break;
        }
    }
    axis.steps = static_cast<int>((reach + axis.step - 1) / axis.step);
    return axis;
}

std::string ChangeText(std::int64_t now, std::int64_t before) {
    if (before == 0) return now == 0 ? "-" : "new";
    const double change = std::round((static_cast<double>(now) / static_cast<double>(before) - 1) * 1000.0) / 10.0;
    char text[32];
    std::snprintf(text, sizeof text, change == std::floor(change) ? "%+.0f %%" : "%+.1f %%", change);
    return change == 0 ? "0 %" : text;
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
// them on its own 0-100 % scale. Today's bars are lighter and labelled: the
// day is not over. The SVG scales to the page's width.
std::string Chart(const Summary& s) {
    const int width = 760, height = 250, left = 52, right = 56, top = 16, bottom = 30;
    const int plotW = width - left - right, plotH = height - top - bottom;
    std::int64_t peak = 0;
    for (const Figures& f : s.days) peak = std::max({peak, f.showings, f.installs});
    const Axis axis = ChooseAxis(peak);
    const double top_ = static_cast<double>(axis.step * axis.steps);
    const double slot = static_cast<double>(plotW) / static_cast<double>(s.days.size());
    const double bar = std::max(1.0, slot * 0.38);
    char buf[768];
    std::string svg;
    std::snprintf(buf, sizeof buf,
                  "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %d %d\" role=\"img\" "
                  "aria-label=\"showings, installs and conversion per day\">",
                  width, height);
    svg += buf;
    for (int i = 0; i <= axis.steps; ++i) {
        const double y = top + plotH - plotH * i / static_cast<double>(axis.steps);
        std::snprintf(buf, sizeof buf,
                      "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" class=\"grid\"/>"
                      "<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%" PRId64 "</text>",
                      left, y, width - right, y, left - 6, y + 4, axis.step * i);
        svg += buf;
    }
    for (int i = 0; i <= 4; ++i) {
        const double y = top + plotH - plotH * i / 4.0;
        std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%.1f\" class=\"axis\" text-anchor=\"end\">%d %%</text>",
                      width - 2, y + 4, 25 * i);
        svg += buf;
    }
    std::string line, points;
    const std::size_t labelEvery = std::max<std::size_t>(1, (s.days.size() + 7) / 8);
    for (std::size_t i = 0; i < s.days.size(); ++i) {
        const Figures& f = s.days[i];
        const bool today = f.day == s.today;
        const double x = left + slot * static_cast<double>(i) + slot / 2;
        const double hs = plotH * static_cast<double>(f.showings) / top_;
        const double hi = plotH * static_cast<double>(f.installs) / top_;
        const std::string day = FormatDay(f.day);
        const char* sofar = today ? " so far today" : "";
        std::snprintf(buf, sizeof buf,
                      "<rect class=\"showings%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
                      "<title>%s: %" PRId64 " showings%s</title></rect>",
                      today ? " partial" : "", x - bar, top + plotH - hs, bar, hs, day.c_str(), f.showings, sofar);
        svg += buf;
        std::snprintf(buf, sizeof buf,
                      "<rect class=\"installs%s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">"
                      "<title>%s: %" PRId64 " installs%s</title></rect>",
                      today ? " partial" : "", x, top + plotH - hi, bar, hi, day.c_str(), f.installs, sofar);
        svg += buf;
        if (i % labelEvery == 0 || today) {
            std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%d\" class=\"axis\" text-anchor=\"middle\">%s</text>",
                          x, height - bottom + 16, today ? "today" : day.substr(5).c_str());
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
    return svg + "</svg>\n<p class=\"legend\"><span class=\"key s\"></span>showings <span class=\"key i\"></span>installs "
                 "<span class=\"key c\"></span>conversion (right scale)</p>";
}

// The range's headline figures, each with its change from the previous
// period of the same length.
std::string Headline(const Summary& s) {
    const std::int64_t length = s.range.to - s.range.from + 1;
    const std::string period = "the " + std::to_string(length) + (length == 1 ? " day" : " days") + " before";
    const Figures* p = s.previous ? &*s.previous : nullptr;
    auto card = [&](const char* name, const std::string& value, const std::string& change) {
        return std::string("<div class=\"card\"><div class=\"label\">") + name + "</div><div class=\"value\">" +
               value + "</div><div class=\"change\">" +
               (!p                ? "no earlier period"
                : change == "-"   ? "nothing to compare in " + period
                : change == "new" ? "none in " + period
                                  : change + " vs " + period) +
               "</div></div>";
    };
    std::string change = "-";
    if (p) {
        const std::optional<double> now = Conversion(s.total), before = Conversion(*p);
        if (now && before) {
            char text[32];
            std::snprintf(text, sizeof text, "%+.1f points", (*now - *before) * 100.0);
            change = text;
        }
    }
    return "<div id=\"headline\">" + card("Showings", Num(s.total.showings), p ? ChangeText(s.total.showings, p->showings) : "") +
           card("Installs", Num(s.total.installs), p ? ChangeText(s.total.installs, p->installs) : "") +
           card(s.totalExact ? "Machines shown" : "Machines shown (estimate)", Num(s.total.machinesShown),
                p ? ChangeText(s.total.machinesShown, p->machinesShown) : "") +
           card("Conversion", ConversionText(s.total), change) + "</div>\n";
}

}  // namespace

std::string DashboardPage(const Summary& s, const std::vector<Report>& latest, Cp936ToUtf8& toUtf8,
                          const std::string& health, const std::string& campaigns) {
    const std::string from = FormatDay(s.range.from), to = FormatDay(s.range.to);
    const std::string zone = FormatZone(s.range.utcOffsetHours);
    const std::string query = "?from=" + from + "&amp;to=" + to + "&amp;tz=" + std::to_string(s.range.utcOffsetHours);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
        "<title>Quentra reports " + from + " to " + to + "</title><style>"
        "body{font:14px/1.4 sans-serif;margin:24px;color:#1d2330;background:#fff;max-width:900px}"
        "h1{font-size:20px;margin:0 0 12px}h2{font-size:16px;margin:24px 0 8px}"
        "form{margin:0 0 16px}input,button{font:inherit}"
        "#headline{display:flex;flex-wrap:wrap;gap:8px;margin:0 0 16px}"
        ".card{flex:1 1 150px;border:1px solid #dde1e8;border-radius:6px;padding:8px 12px}"
        ".card .label{color:#5a6272;font-size:12px}.card .value{font-size:24px;font-weight:bold}"
        ".card .change{color:#5a6272;font-size:12px}"
        ".empty{border:1px dashed #b8c0cc;border-radius:6px;padding:12px;background:#f7f8fa}"
        "#chart{width:100%;max-width:760px;height:auto;display:block}"
        "table{border-collapse:collapse}th,td{padding:4px 10px;border-bottom:1px solid #dde1e8}"
        "th{text-align:left;background:#f2f4f8}tfoot th,tfoot td{font-weight:bold}"
        "#figures td,#figures tfoot th{text-align:right}#figures td:first-child,#figures tfoot th:first-child{text-align:left}"
        "#latest td{overflow-wrap:anywhere}small{color:#5a6272;font-weight:normal}"
        ".showings{fill:#4a78c2}.installs{fill:#e08a2c}.partial{fill-opacity:.45;stroke:#1d2330;stroke-dasharray:3 2}"
        ".conversion{stroke:#2a9d4b;stroke-width:2;fill:none}"
        ".point{fill:#2a9d4b}.grid{stroke:#e4e7ed}.axis{font-size:11px;fill:#5a6272}"
        ".legend{margin:4px 0 0;color:#5a6272;font-size:12px}.key{display:inline-block;width:10px;height:10px;"
        "margin:0 4px 0 8px}.key.s{background:#4a78c2}.key.i{background:#e08a2c}"
        ".key.c{height:2px;vertical-align:middle;background:#2a9d4b}#figures td:first-child{white-space:nowrap}"
        // A phone: the chart shrinks to the width, so its text grows to stay
        // readable; tables take the width and their cells wrap.
        "@media (max-width:600px){body{margin:10px}.axis{font-size:18px}table{width:100%}"
        "th,td{padding:3px 3px;font-size:11px}.card .value{font-size:20px}}"
        "</style></head><body>\n<h1>Quentra reports: showings, installs and conversion</h1>\n"
        "<form method=\"get\" action=\"/\"><label>From <input type=\"date\" name=\"from\" value=\"" + from +
        "\"></label> <label>to <input type=\"date\" name=\"to\" value=\"" + to +
        "\"></label> <input type=\"hidden\" name=\"tz\" value=\"" + std::to_string(s.range.utcOffsetHours) +
        "\"><button type=\"submit\">Show</button> (days in " + zone + ")</form>\n" + Headline(s) + health;
    if (s.total.showings == 0 && s.total.installs == 0) {
        page += "<p class=\"empty\" id=\"empty\">No reports from " + from + " to " + to + " (" + zone +
                ") yet. This page waits for the plug-in's reports, <code>GET /traycast.html?t=0&amp;m=…</code> "
                "when a machine shows the balloon and <code>t=1</code> when it installs; each appears here as soon "
                "as it is stored. Check that the plug-in's report address points at this receiver.</p>\n";
    }
    page += Chart(s) +
            "\n<h2>Per day</h2>\n<table id=\"figures\"><thead><tr><th>Day</th><th>Show&shy;ings</th><th>In&shy;stalls</th>"
            "<th>Machines shown</th><th>Machines installed</th><th>Conver&shy;sion</th></tr></thead><tbody>\n";
    for (const Figures& f : s.days) {
        const std::string day = FormatDay(f.day);
        page += "<tr data-day=\"" + day + "\"><td>" + day + (f.day == s.today ? " <small>today, so far</small>" : "") +
                "</td>" + FigureCells(f, "td") + "</tr>\n";
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
    page += "</tbody></table>\n" + campaigns + "<p><a href=\"/summary.json" + query + "\">summary.json</a> · <a href=\"/reports.csv" +
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
    // "x" before the hex: a spreadsheet reads 1e05 or 0001 as a number.
    return FormatTime(r.at) + "," + KindName(r.kind) + "," + CsvField(toUtf8(r.machine)) + ",x" + Hex(r.machine) +
           "," + CsvField(r.client) + "\r\n";
}

}  // namespace reports
