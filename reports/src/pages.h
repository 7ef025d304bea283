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
    std::int64_t today = -1;    // today in the range's zone: its figures are so far
    std::optional<Figures> previous;  // the period of the same length just before, when there is one
};

// Fills the days that had no reports with zeros; `byDay` is sorted by day.
Summary MakeSummary(const DayRange& range, const std::vector<Figures>& byDay, const Figures& total);

// The range's figures from the store's rollups, and with `previous` the
// previous period's of the same length; `today` is today in the range's zone.
Summary ReadSummary(Store& store, const DayRange& range, std::int64_t today, bool previous = false);

// The left axis of a chart whose tallest bar is `peak`: a whole step of 1,
// 2, 2.5 or 5 times a power of ten, and the 4 or fewer steps that reach the
// peak (an empty chart's axis reaches 4).
struct Axis {
    std::int64_t step = 1;
    int steps = 4;
};
Axis ChooseAxis(std::int64_t peak);

// "+12 %", "-3.5 %", "0 %", or "new" when the previous figure was 0 and this
// one is not; "-" when both are 0.
std::string ChangeText(std::int64_t now, std::int64_t before);

// Machines that installed ÷ machines shown; nullopt when none was shown.
std::optional<double> Conversion(const Figures& f);
// "100 %", "33.3 %", or "-" when nothing was shown.
std::string ConversionText(const Figures& f);

// `health`: the receiver's health strip (HealthStrip), put under the
// headline figures; `campaigns`: the list of campaigns (CampaignList), put
// under the latest reports.
std::string DashboardPage(const Summary& summary, const std::vector<Report>& latest, Cp936ToUtf8& toUtf8,
                          const std::string& health = "", const std::string& campaigns = "");
std::string SummaryJson(const Summary& summary);
std::string SummaryTable(const Summary& summary);

std::string CsvHeader();
std::string CsvRow(const Report& report, Cp936ToUtf8& toUtf8);

}  // namespace reports
