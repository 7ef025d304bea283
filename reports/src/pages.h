// What people read: the dashboard page, summary.json, reports.csv and the
// terminal table, all made from the same Summary, which ReadSummary reads
// from a store's rollups; the rest is pure: no database, no sockets. Every identifier is shown as UTF-8 converted from code page 936
// and escaped for where it goes.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "days.h"
#include "store.h"
#include "text.h"

namespace reports {

struct Summary {
    DayRange range;
    std::vector<Figures> days;  // every day of the range, oldest first, zeros where nothing came
    Figures total;              // machines counted once over the whole range
    bool totalExact = true;     // false: the total's machines are an estimate (see sketch.h)
};

// Fills the days that had no reports with zeros; `byDay` is sorted by day.
Summary MakeSummary(const DayRange& range, const std::vector<Figures>& byDay, const Figures& total);

// The range's figures from the store's rollups.
Summary ReadSummary(Store& store, const DayRange& range);

// Machines that installed ÷ machines shown; nullopt when none was shown.
std::optional<double> Conversion(const Figures& f);
// "100 %", "33.3 %", or "-" when nothing was shown.
std::string ConversionText(const Figures& f);

std::string DashboardPage(const Summary& summary, const std::vector<Report>& latest, Cp936ToUtf8& toUtf8);
std::string SummaryJson(const Summary& summary);
std::string SummaryTable(const Summary& summary);

std::string CsvHeader();
std::string CsvRow(const Report& report, Cp936ToUtf8& toUtf8);

}  // namespace reports
