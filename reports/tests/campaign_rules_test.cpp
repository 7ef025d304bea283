// The campaigns' pure rules: times and windows, the per-machine state and
// what it adds to the counts, the time buckets, the intervals, and the
// figures derived from the counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "campaign_facts.h"
#include "campaign_figures.h"
#include "days.h"
#include "ledger.h"
#include "machine_state.h"
#include "stats.h"

using namespace reports;

namespace {

constexpr std::int64_t kMar2 = 20514LL * 86400;  // 2026-03-02T00:00:00Z, a Monday

Campaign Window(const char* id, std::int64_t from, std::optional<std::int64_t> to) {
    Campaign c;
    c.id = id;
    c.from = from;
    c.to = to;
    return c;
}

TEST(Ledger, TimesWindowsAndWhatMayChange) {
    EXPECT_EQ("2026-03-02", FormatDay(kMar2 / 86400));
    struct TimeRow {
        const char* text;
        std::optional<int> zone;
        std::int64_t at;  // -1: refused
    } times[] = {
        {"2026-03-02T00:00Z", std::nullopt, kMar2},
        {"2026-03-02T08:00", 8, kMar2},
        {"2026-03-02T08:00:30", 8, kMar2 + 30},
        {"2026-03-02T08:00Z", 8, kMar2 + 8 * 3600},  // Z wins over the zone
        {"2026-03-01T19:00", -5, kMar2},
        {"2026-03-02T08:00", std::nullopt, -1},  // no zone: which 08:00?
        {"2026-03-02 08:00Z", std::nullopt, -1},
        {"2026-03-02T24:00Z", std::nullopt, -1},
        {"2026-03-02T08:60Z", std::nullopt, -1},
        {"2026-02-30T08:00Z", std::nullopt, -1},
        {"2026-03-02T08:00:5Z", std::nullopt, -1},
        {"2026-03-02T8:00Z", std::nullopt, -1},
        {"", 0, -1},
    };
    for (const TimeRow& row : times) {
        std::string why;
        const std::optional<std::int64_t> at = ParseTime(row.text, row.zone, why);
        EXPECT_EQ(row.at, at.value_or(-1)) << row.text;
        EXPECT_EQ(at.has_value(), why.empty()) << row.text;
    }

    const std::int64_t day = 86400;
    const Ledger ledger{Window("winter", kMar2 - 10 * day, kMar2), Window("spring", kMar2 + 5 * day, std::nullopt)};
    struct AtRow {
        std::int64_t at;
        const char* campaign;  // "" for none
    } ats[] = {{kMar2 - 10 * day - 1, ""}, {kMar2 - 10 * day, "winter"}, {kMar2 - 1, "winter"}, {kMar2, ""},
               {kMar2 + 5 * day, "spring"}, {kMar2 + 5000 * day, "spring"}};
    for (const AtRow& row : ats) {
        const Campaign* c = CampaignAt(ledger, row.at);
        EXPECT_EQ(row.campaign, c ? c->id : std::string()) << FormatTime(row.at);
    }

    Campaign control = Window("a\tb", kMar2, std::nullopt), notUtf8 = Window("x", kMar2, std::nullopt);
    notUtf8.purpose = "\xB2\xE2\xCA\xD4";  // code page 936, not UTF-8
    Campaign badPattern = Window("p", kMar2, kMar2 + day);
    badPattern.patterns = {"ok", "two\nlines"};
    struct AddRow {
        const char* name;
        Campaign campaign;
        const char* says;  // "" for added
    } adds[] = {
        {"between the two, touching both", Window("gap", kMar2, kMar2 + 5 * day), ""},
        {"into the gap and one second over", Window("over", kMar2, kMar2 + 5 * day + 1), "overlaps campaign spring"},
        {"open, before the first", Window("early", kMar2 - 20 * day, std::nullopt), "overlaps campaign winter"},
        {"ends before it starts", Window("back", kMar2 + day, kMar2), "--to must come after --from"},
        {"an id taken", Window("winter", kMar2 - 30 * day, kMar2 - 20 * day), "has a campaign winter"},
        {"an empty id", Window("", kMar2, kMar2 + day), "may not be empty"},
        {"a control character", control, "control characters"},
        {"a purpose not UTF-8", notUtf8, "the purpose is not UTF-8"},
        {"a pattern of two lines", badPattern, "a pattern holds a control character"},
        {"an id of 101 bytes", Window(std::string(101, 'x').c_str(), kMar2, kMar2 + day), "at most 100 bytes"},
    };
    for (const AddRow& row : adds) {
        const std::string why = CheckNewCampaign(ledger, row.campaign);
        EXPECT_NE(std::string::npos, why.find(row.says)) << row.name << ": " << why;
        EXPECT_EQ(row.says[0] == '\0', why.empty()) << row.name << ": " << why;
    }
    struct EndRow {
        const char* id;
        std::int64_t at;
        const char* says;
    } ends[] = {{"winter", kMar2 - day, ""},           {"winter", kMar2 + 5 * day, ""},
                {"winter", kMar2 + 5 * day + 1, "overlap campaign spring"},
                {"spring", kMar2 + 5 * day, "after the campaign's start"},
                {"autumn", kMar2, "no campaign autumn"}};
    for (const EndRow& row : ends) {
        const std::string why = CheckEnd(ledger, row.id, row.at);
        EXPECT_NE(std::string::npos, why.find(row.says)) << row.id << " " << FormatTime(row.at) << ": " << why;
        EXPECT_EQ(row.says[0] == '\0', why.empty()) << row.id << " " << FormatTime(row.at) << ": " << why;
    }
    EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Tidewarden"}), SplitLines(JoinLines({"Quillstorm", "Tidewarden"})));
    EXPECT_TRUE(SplitLines("").empty());
}

// A machine's reports, in the order they arrive; the times are seconds
// after 2026-03-02T00:00Z.
struct Sequence {
    const char* name;
    std::vector<std::pair<ReportKind, std::int64_t>> reports;
    std::int64_t shownTimes;  // the n of ShownTimes, 0 for none
    std::int64_t installedAfter;  // -1: no install; 0: before any showing
    std::int64_t reach;
    std::int64_t waited;  // -1: no time to install
    bool twiceADay;
};

TEST(MachineState, TheSameCountsInEveryOrderOfArrival) {
    const auto S = ReportKind::Shown, I = ReportKind::Installed;
    const std::int64_t h = 3600, d = 86400;
    const Sequence rows[] = {
        {"shown once", {{S, 9 * h}}, 1, -1, 1, -1, false},
        {"installed after the first", {{S, 9 * h}, {I, 9 * h + 90}}, 1, 1, 1, 90, false},
        {"installed after the second", {{S, 9 * h}, {S, d + 9 * h}, {I, d + 10 * h}}, 2, 2, 2, h, false},
        {"install in the showing's second", {{S, 9 * h}, {I, 9 * h}}, 1, 1, 1, 0, false},
        {"install before any showing", {{I, 8 * h}, {S, 9 * h}, {S, d + 9 * h}}, 2, 0, 0, -1, false},
        {"install between showings", {{S, 9 * h}, {I, 10 * h}, {S, 2 * d}}, 2, 1, 1, h, false},
        {"a later install changes nothing", {{S, 9 * h}, {I, 10 * h}, {I, 3 * d}}, 1, 1, 1, h, false},
        {"twice on one day", {{S, 9 * h}, {S, 20 * h}}, 2, -1, 2, -1, true},
        {"on two days, an hour apart", {{S, d - 1800}, {S, d + 1800}}, 2, -1, 2, -1, false},
        {"install without any showing", {{I, 9 * h}}, 0, 0, 0, -1, false},
    };
    for (const Sequence& row : rows) {
        Counts expected;
        if (row.shownTimes > 0) expected[{Count::ShownTimes, row.shownTimes}] = 1;
        if (row.installedAfter == 0) expected[{Count::InstallsWithoutShowing, 0}] = 1;
        if (row.installedAfter > 0) expected[{Count::InstalledAfter, row.installedAfter}] = 1;
        if (row.reach > 0) expected[{Count::Reach, row.reach}] = 1;
        if (row.waited >= 0) expected[{Count::TimeToInstall, TimeBucket(row.waited)}] = 1;
        if (row.twiceADay) expected[{Count::ShownTwiceADay, 0}] = 1;
        std::vector<std::pair<ReportKind, std::int64_t>> order = row.reports;
        std::sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.second < b.second; });
        std::optional<MachineState> first;
        do {
            // Each report as the intake applies it: the machine's counts
            // before taken away, after added.
            MachineState state;
            Counts counts;
            for (const auto& [kind, at] : order) {
                AddMachine(counts, state, 0, -1);
                Apply(state, kind, kMar2 + at);
                AddMachine(counts, state, 0, 1);
            }
            DropZeros(counts);
            EXPECT_EQ(expected, counts) << row.name;
            if (first) {
                EXPECT_EQ(*first, state) << row.name;
            }
            first = state;
        } while (std::next_permutation(order.begin(), order.end(), [](auto& a, auto& b) {
            return a.second != b.second ? a.second < b.second : a.first < b.first;
        }));
    }
    // Its day is cut in the campaign's zone: 23:30 and 00:30 UTC are one day
    // at UTC+8.
    Counts counts;
    MachineState state;
    Apply(state, S, kMar2 + d - 1800);
    Apply(state, S, kMar2 + d + 1800);
    AddMachine(counts, state, 8, 1);
    EXPECT_EQ(1, (counts[{Count::ShownTwiceADay, 0}]));
}

TEST(MachineState, TimesKeptStoredAndRefused) {
    MachineState state;
    for (int i = 100; i > 0; --i) Apply(state, ReportKind::Shown, kMar2 + i * 86400);
    EXPECT_EQ(100, state.shown);
    ASSERT_EQ(kKeptShowingTimes, state.times.size());
    EXPECT_EQ(kMar2 + 86400, state.times.front()) << "the earliest are kept";
    EXPECT_EQ(kMar2 + 64 * 86400, state.times.back());
    std::vector<std::int64_t> back;
    ASSERT_TRUE(ParseTimes(SerializeTimes(state.times), back));
    EXPECT_EQ(state.times, back);
    ASSERT_TRUE(ParseTimes(SerializeTimes({-5, 0, 1}), back));
    EXPECT_EQ((std::vector<std::int64_t>{-5, 0, 1}), back);
    EXPECT_FALSE(ParseTimes(std::string(7, '\0'), back)) << "not whole times";
    EXPECT_FALSE(ParseTimes(SerializeTimes({2, 1}), back)) << "not ascending";
    EXPECT_FALSE(ParseTimes(std::string(8 * (kKeptShowingTimes + 1), '\0'), back)) << "too many";
}

TEST(TimeBuckets, ExactBelow128AndWithin1In128Above) {
    std::int64_t last = -1;
    for (std::int64_t s = 0; s < 40000000; s = s < 300 ? s + 1 : s + s / 97) {
        const std::int64_t bucket = TimeBucket(s), value = BucketValue(bucket);
        ASSERT_GE(bucket, last) << s;
        last = bucket;
        if (s < 128) {
            ASSERT_EQ(s, value);
        } else {
            ASSERT_LE(std::abs(static_cast<double>(value - s)), s / 128.0 + 0.5) << s;
        }
    }
}

TEST(Stats, WilsonAndNewcombeAsPublished) {
    // Newcombe (1998), Statistics in Medicine 17: the score interval of one
    // proportion, and his method 10 for a difference, p1 - p2.
    struct WilsonRow {
        std::int64_t hits, trials;
        double low, high;
    } singles[] = {{81, 263, 0.2553, 0.3662}, {15, 148, 0.0624, 0.1605}, {0, 20, 0, 0.1611}, {1, 29, 0.0061, 0.1718}};
    for (const WilsonRow& row : singles) {
        const std::optional<Interval> i = Wilson(row.hits, row.trials);
        ASSERT_TRUE(i);
        EXPECT_NEAR(row.low, i->low, 5e-5) << row.hits << "/" << row.trials;
        EXPECT_NEAR(row.high, i->high, 5e-5) << row.hits << "/" << row.trials;
    }
    EXPECT_FALSE(Wilson(0, 0));
    struct DifferenceRow {
        std::int64_t h1, n1, h2, n2;
        double low, high;
    } pairs[] = {{56, 70, 48, 80, 0.0524, 0.3339}, {9, 10, 3, 10, 0.1705, 0.8090}, {6, 7, 2, 7, 0.0582, 0.8062},
                 {5, 56, 0, 29, -0.0381, 0.1926}, {0, 10, 0, 20, -0.1611, 0.2775}, {0, 10, 0, 10, -0.2775, 0.2775},
                 {10, 10, 0, 20, 0.6791, 1.0}, {10, 10, 0, 10, 0.6075, 1.0}};
    for (const DifferenceRow& row : pairs) {
        // b - a with b the first: the published p1 - p2.
        const std::optional<Difference> d = Newcombe(row.h2, row.n2, row.h1, row.n1);
        ASSERT_TRUE(d);
        const std::string name = std::to_string(row.h1) + "/" + std::to_string(row.n1) + " - " +
                                 std::to_string(row.h2) + "/" + std::to_string(row.n2);
        EXPECT_NEAR(row.low, d->interval.low, 5e-5) << name;
        EXPECT_NEAR(row.high, d->interval.high, 5e-5) << name;
    }
    struct SignificantRow {
        std::int64_t shownA, shownB;
        double low, high;
        std::optional<bool> significant;
    } verdicts[] = {{100, 100, 0.01, 0.2, true},   {100, 100, -0.2, -0.01, true}, {100, 100, -0.01, 0.2, false},
                    {99, 5000, 0.01, 0.2, std::nullopt}, {5000, 99, 0.01, 0.2, std::nullopt}};
    for (const SignificantRow& row : verdicts) {
        EXPECT_EQ(row.significant, Significant(row.shownA, row.shownB, Difference{0, {row.low, row.high}}))
            << row.shownA << " " << row.shownB << " " << row.low << ".." << row.high;
    }
}

// Three machines: m1 installed after its 1st showing (300 s), m2 after its
// 3rd (one hour), m3 shown 4 times and never installed; one install came
// with no showing, and one report with an empty identifier.
TEST(Figures, DerivedFromTheCountsAndWritten) {
    Counts counts;
    const auto add = [&](std::vector<std::pair<ReportKind, std::int64_t>> reports) {
        MachineState state;
        for (const auto& [kind, at] : reports) {
            Apply(state, kind, kMar2 + at);
            AddReport(counts, kind, false);
        }
        AddMachine(counts, state, 0, 1);
    };
    const auto S = ReportKind::Shown, I = ReportKind::Installed;
    add({{S, 0}, {I, 300}});
    add({{S, 0}, {S, 86400}, {S, 2 * 86400}, {I, 2 * 86400 + 3600}});
    add({{S, 0}, {S, 86400}, {S, 2 * 86400}, {S, 3 * 86400}});
    add({{I, 100}});
    AddReport(counts, S, true);
    const CampaignFigures f = DeriveFigures(counts, 3);
    EXPECT_EQ(3, f.machinesShown);
    EXPECT_EQ(9, f.showings);
    EXPECT_EQ(3, f.installs);
    EXPECT_EQ(2, f.machinesInstalled);
    ASSERT_EQ(4u, f.steps.size());
    struct StepRow {
        std::int64_t atLeast, reached, installed;
    } steps[] = {{3, 3, 1}, {2, 2, 0}, {2, 2, 1}, {1, 1, 0}};
    for (std::size_t n = 0; n < 4; ++n) {
        EXPECT_EQ(steps[n].atLeast, f.steps[n].shownAtLeast) << "showing " << n + 1;
        EXPECT_EQ(steps[n].reached, f.steps[n].reached) << "showing " << n + 1;
        EXPECT_EQ(steps[n].installed, f.steps[n].installed) << "showing " << n + 1;
    }
    Campaign c = Window("spring \"26\"", kMar2, std::nullopt);
    c.maxPopups = 3;
    EXPECT_EQ(
        "{\"id\":\"spring \\\"26\\\"\",\"purpose\":\"\",\"from\":\"2026-03-02T00:00:00Z\",\"to\":null,\"max_popups\":3,"
        "\"complete\":true,\"machines_shown\":3,\"showings\":9,\"installs\":3,\"shown_times\":{\"1\":1,\"3\":1,\"4\":1},"
        "\"installed_after_showing\":{\"1\":1,\"3\":1},\"machines_installed\":2,\"conversion\":0.666667,"
        "\"conversion_interval\":[0.207660,0.938508],\"time_to_install_seconds\":{\"median\":302,\"p90\":3600},"
        "\"quality\":{\"installs_without_showing\":1,\"machines_over_cap\":1,\"machines_shown_twice_a_day\":0,"
        "\"empty_identifier_reports\":1}}\n",
        CampaignJson(c, f));
    EXPECT_FALSE(Quantile({}, 0.5));
    EXPECT_EQ(3, *Quantile({{1, 1}, {2, 1}, {3, 8}}, 0.5)) << "nearest rank";
    EXPECT_EQ(1, *Quantile({{1, 5}, {2, 5}}, 0.5));
    EXPECT_EQ(2, *Quantile({{1, 5}, {2, 5}}, 0.9));
}

TEST(CampaignFacts, WhatDescribePrintsReadBack) {
    struct Row {
        const char* name;
        std::string json;
        const char* says;  // "" for read
    } rows[] = {
        {"the tool's JSON",
         "{\"file\":\"q.dat\",\"ID\":\"vault-26\",\"Purpose\":\"春季\",\"MaxPopupTimes\":3,\"PopupFrequency\":62,"
         "\"Title\":\"T \\u00e9\",\"ScanPatterns\":[\"Quillstorm\",\"Tidewarden\"],\"FeaturedNames\":[\"Quillstorm\"]}",
         ""},
        {"no ID", "{\"ID\":\"\",\"Purpose\":\"\",\"MaxPopupTimes\":3,\"PopupFrequency\":7,\"Title\":\"\",\"ScanPatterns\":[]}",
         "no ID in [NoAntiVirus]"},
        {"a cap that is not a number",
         "{\"ID\":\"x\",\"Purpose\":\"\",\"MaxPopupTimes\":\"three\",\"PopupFrequency\":7,\"Title\":\"\",\"ScanPatterns\":[]}",
         "MaxPopupTimes must be a whole number"},
        {"patterns not a list",
         "{\"ID\":\"x\",\"Purpose\":\"\",\"MaxPopupTimes\":3,\"PopupFrequency\":7,\"Title\":\"\",\"ScanPatterns\":\"a\"}",
         "ScanPatterns must be a list"},
        {"Title missing", "{\"ID\":\"x\",\"Purpose\":\"\",\"MaxPopupTimes\":3,\"PopupFrequency\":7,\"ScanPatterns\":[]}",
         "has no Title"},
        {"not JSON", "ID=x", "is not the JSON of"},
    };
    for (const Row& row : rows) {
        Campaign c;
        const std::string why = ReadCampaignFacts(row.json, c);
        EXPECT_NE(std::string::npos, why.find(row.says)) << row.name << ": " << why;
        EXPECT_EQ(row.says[0] == '\0', why.empty()) << row.name << ": " << why;
    }
    Campaign c;
    ASSERT_EQ("", ReadCampaignFacts(rows[0].json, c));
    EXPECT_EQ("vault-26", c.id);
    EXPECT_EQ("春季", c.purpose);
    EXPECT_EQ(3, c.maxPopups);
    EXPECT_EQ(62, c.weekdays);
    EXPECT_EQ("T \xC3\xA9", c.title);
    EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Tidewarden"}), c.patterns);
}

}  // namespace
