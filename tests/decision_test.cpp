// The popup decision through the real exports: each gate on a machine that
// passes every other one, with a control that flips the answer by changing
// only the factor under test. Also the pure gate rules, and the host
// simulator's dry run naming the gate that ended a check.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "decision/check.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "environment/stamp.h"
#include "common/handles.h"
#include "decision/gates.h"
#include "support/deployed.h"
#include "support/decision.h"

namespace {

using qt::CampaignFields;
using qt::DecisionMachine;
using qt::PluginInstance;

// A machine, a plug-in copy with a campaign, and one Quillstorm shortcut:
// a check answers 1 here until a test breaks something.
struct Rig {
    explicit Rig(const std::string& name, const CampaignFields& fields = CampaignFields()) : machine(name) {
        machine.Shortcut("Quillstorm.lnk");
        qt::LoadPlugin(plugin, name, qt::CampaignIni(fields));
    }
    void Campaign(const CampaignFields& fields) const { plugin.SetCampaign(qt::CampaignIni(fields)); }
    std::string CampaignPath() const { return qt::Join(plugin.dir, "quentracfg.dat"); }
    DecisionMachine machine;
    qt::Plugin plugin;
};

// A check on a fresh instance answers `expected`, and the message is the
// match only after a yes.
void ExpectCheck(const qt::Plugin& plugin, int expected) {
    PluginInstance in(plugin);
    EXPECT_EQ(expected, in.Check());
    EXPECT_EQ(expected == 1 ? "Quillstorm" : "", in.Message());
}

// ---------------------------------------------------------------------------
// The environment gates (vault product, suite, installer, installation). They come before the campaign is read, so
// they leave the message of an earlier yes and the stored record alone, even
// when the campaign on disk now has another Purpose.

TEST(DecisionGates, EnvironmentGatesLeaveMessageAndRecordUntouched) {
    struct Row {
        const char* name;
        std::function<void(Rig&, UniqueKernelHandle&)> breakIt;
        std::function<void(Rig&, UniqueKernelHandle&)> mendIt;
    } rows[] = {
        {"vault product installed",
         [](Rig& s, UniqueKernelHandle&) { qt::SetString(deployed::kVaultAppPathKey, nullptr, s.machine.suite.exe); },
         [](Rig&, UniqueKernelHandle&) { qt::DeleteKey(deployed::kVaultAppPathKey); }},
        {"suite not registered", [](Rig&, UniqueKernelHandle&) { qt::DeleteKey(deployed::kSuiteAppPathKey); },
         [](Rig& s, UniqueKernelHandle&) {
             qt::SetString(deployed::kSuiteAppPathKey, nullptr, s.machine.suite.exe);
             qt::SetString(deployed::kSuiteAppPathKey, "Path", s.machine.suite.root);
         }},
        {"suite executable deleted", [](Rig& s, UniqueKernelHandle&) { DeleteFileA(s.machine.suite.exe.c_str()); },
         [](Rig& s, UniqueKernelHandle&) { qt::WriteBytes(s.machine.suite.exe, "suite"); }},
        {"installer missing", [](Rig& s, UniqueKernelHandle&) { DeleteFileA(s.machine.suite.installer.c_str()); },
         [](Rig& s, UniqueKernelHandle&) { qt::WriteBytes(s.machine.suite.installer, "MZ"); }},
        {"installation mutex present",
         [](Rig&, UniqueKernelHandle& mutex) { mutex.reset(CreateMutexA(nullptr, FALSE, deployed::kInstallMutexName)); },
         [](Rig&, UniqueKernelHandle& mutex) { mutex.reset(); }},
    };
    int n = 0;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        CampaignFields first;
        first.purpose = "first campaign";
        // A plug-in copy per row: a report thread may still hold the last one.
        Rig s("gates-env-" + std::to_string(++n), first);
        PluginInstance in(s.plugin);
        ASSERT_EQ(1, in.Check());
        ASSERT_EQ("Quillstorm", in.Message());
        const qt::StoredBookkeeping afterYes = qt::ReadBookkeeping();

        CampaignFields second;
        second.purpose = "second campaign";
        second.message = "second: %s";
        second.id = "GS-2025";
        s.Campaign(second);
        UniqueKernelHandle mutex;
        row.breakIt(s, mutex);
        EXPECT_EQ(0, in.Check());
        EXPECT_EQ("Quillstorm", in.Message()) << "the message of the earlier yes stays";
        EXPECT_EQ("GS-2024", qt::Enum(s.plugin, in.get()).id) << "the configuration of the earlier yes stays";
        EXPECT_EQ(afterYes, qt::ReadBookkeeping())
            << "the campaign was read: " << qt::ReadBookkeeping().Describe() << " was " << afterYes.Describe();

        // Control: mended, the same instance loads the new campaign, whose
        // new Purpose resets the record, and shows again.
        row.mendIt(s, mutex);
        EXPECT_EQ(1, in.Check());
        EXPECT_EQ("second: Quillstorm", in.Message());
        EXPECT_EQ("GS-2025", qt::Enum(s.plugin, in.get()).id);
    }
}

TEST(DecisionGates, VaultRegisteredWithoutItsFileIsNotInstalled) {
    Rig s("gates-vault-nofile");
    qt::SetString(deployed::kVaultAppPathKey, nullptr, qt::Join(s.machine.suite.root, "gone\\Corvelsafebox.exe"));
    PluginInstance in(s.plugin);
    EXPECT_EQ(1, in.Check());
    qt::DeleteKey(deployed::kVaultAppPathKey);
}

// ---------------------------------------------------------------------------
// The campaign file. From here on the message is emptied first.

TEST(DecisionGates, UnreadableCampaignAnswersNoWithAnEmptyMessage) {
    struct Row {
        const char* name;
        std::function<void(const std::string& path)> spoil;
    } rows[] = {
        {"file missing", [](const std::string& path) { DeleteFileA(path.c_str()); }},
        {"file empty", [](const std::string& path) { qt::WriteBytes(path, ""); }},
        {"a folder in its place",
         [](const std::string& path) {
             DeleteFileA(path.c_str());
             CreateDirectoryA(path.c_str(), nullptr);
         }},
    };
    int n = 0;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig s("gates-campaign-" + std::to_string(++n));
        PluginInstance in(s.plugin);
        ASSERT_EQ(1, in.Check());
        ASSERT_EQ("Quillstorm", in.Message());
        qt::StoreStamp("");  // so that only the campaign can end the next check
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();
        row.spoil(s.CampaignPath());
        EXPECT_EQ(0, in.Check());
        EXPECT_EQ("", in.Message());
        EXPECT_EQ(before, qt::ReadBookkeeping());
        RemoveDirectoryA(s.CampaignPath().c_str());
        s.Campaign(CampaignFields());
        EXPECT_EQ(1, in.Check()) << "control: the campaign back in place";
    }
}

// ---------------------------------------------------------------------------
// Campaign keys that end the check: no usable [GameScan] value, and
// SuportX64. The tests run in a 64-bit prefix; the 32-bit case is the pure
// rule below.

CampaignFields WithGameScan(std::vector<std::pair<std::string, std::string>> gameScan) {
    CampaignFields fields;
    fields.gameScan = std::move(gameScan);
    return fields;
}

CampaignFields WithSuportX64(int suportX64) {
    CampaignFields fields;
    fields.suportX64 = suportX64;
    return fields;
}

TEST(DecisionGates, CampaignKeysThatEndTheCheck) {
    struct Row {
        const char* name;
        CampaignFields fields;
        int expected;
    } rows[] = {
        {"no [GameScan] keys", WithGameScan({}), 0},
        {"first value empty", WithGameScan({{"g1o", ""}, {"g2o", "Quillstorm"}}), 0},
        {"first key ends in x", WithGameScan({{"g1x", "Quillstorm"}}), 0},
        {"first key ends in capital M", WithGameScan({{"g1M", "Quillstorm"}}), 0},
        {"first key ends in capital O", WithGameScan({{"g1O", "Quillstorm"}}), 0},
        {"control: key ends in m", WithGameScan({{"g1m", "Quillstorm"}}), 1},
        {"control: key ends in o, then a stop", WithGameScan({{"g1o", "Quillstorm"}, {"g2x", "Other"}}), 1},
        {"SuportX64=0: stops on 64-bit Windows only", WithSuportX64(0), qt::WindowsIs64Bit() ? 0 : 1},
        {"SuportX64=1", WithSuportX64(1), 1},
        {"SuportX64=5 counts as 1", WithSuportX64(5), 1},
        {"SuportX64=-1 counts as 1", WithSuportX64(-1), 1},
    };
    Rig s("gates-campaign-keys");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        s.Campaign(row.fields);
        ExpectCheck(s.plugin, row.expected);
    }
}

TEST(DecisionRules, X64Gate) {
    // [SuportX64][is64Bit]: only an unsupported campaign on 64-bit Windows stops.
    const bool passes[2][2] = {{true, false}, {true, true}};
    for (int suportX64 = 0; suportX64 < 2; ++suportX64) {
        for (int is64Bit = 0; is64Bit < 2; ++is64Bit) {
            EXPECT_EQ(passes[suportX64][is64Bit], PassesX64Gate(suportX64, is64Bit))
                << "SuportX64 " << suportX64 << ", is64Bit " << is64Bit;
        }
    }
}

// Signed on both sides: a negative MaxPopupTimes never shows, and a count at
// the top of the range is not wrapped to a small one.
TEST(DecisionRules, CountGate) {
    struct Row {
        const char* name;
        std::int32_t count, max;
        bool passes;
    } rows[] = {
        {"first showing of one", 0, 1, true},
        {"limit reached", 1, 1, false},
        {"past the limit", 2, 1, false},
        {"a limit of 0 never shows", 0, 0, false},
        {"a negative limit never shows", 0, -1, false},
        {"a negative count is below any positive limit", -1, 1, true},
        {"one below the top of the range", INT32_MAX - 1, INT32_MAX, true},
        {"the top of the range", INT32_MAX, INT32_MAX, false},
    };
    for (const Row& row : rows) EXPECT_EQ(row.passes, PassesCountGate(row.count, row.max)) << row.name;
    // Whatever the machine stores, a limit below 1 lets no showing through.
    const struct {
        std::int32_t max;
        bool never;
    } limits[] = {{INT32_MIN, true}, {-1, true}, {0, true}, {1, false}, {3, false}, {INT32_MAX, false}};
    for (const auto& l : limits) EXPECT_EQ(l.never, CountGateNeverPasses(l.max)) << "MaxPopupTimes " << l.max;
}

// ---------------------------------------------------------------------------
// The host's opt-out, [NoNotify] in config.ini beside the host.

TEST(DecisionGates, OptOutByCampaignId) {
    struct Row {
        const char* name;
        const char* configIni;  // null: no file
        int expected;
    } rows[] = {
        {"no config.ini", nullptr, 1},
        {"this ID set to 1", "[NoNotify]\r\nGS-2024=1\r\n", 0},
        {"this ID set to 7", "[NoNotify]\r\nGS-2024=7\r\n", 0},
        {"this ID set to -1", "[NoNotify]\r\nGS-2024=-1\r\n", 0},
        {"this ID set to 0", "[NoNotify]\r\nGS-2024=0\r\n", 1},
        {"this ID not a number", "[NoNotify]\r\nGS-2024=off\r\n", 1},
        {"another ID opted out", "[NoNotify]\r\nGS-2023=1\r\n", 1},
        {"another ID opted out, this one not", "[NoNotify]\r\nGS-2023=1\r\nGS-2024=0\r\n", 1},
        {"this ID in another section", "[Notify]\r\nGS-2024=1\r\n", 1},
        {"empty NoNotify section", "[NoNotify]\r\n", 1},
    };
    Rig s("gates-optout");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        if (row.configIni != nullptr) {
            s.machine.HostConfig(row.configIni);
        } else {
            s.machine.RemoveHostConfig();
        }
        ExpectCheck(s.plugin, row.expected);
    }
}

// ---------------------------------------------------------------------------
// The number of showings.

TEST(DecisionGates, PopupCountAgainstMaxPopupTimes) {
    struct Row {
        const char* name;
        int maxPopupTimes;
        int storedCount;  // -100: none stored
        int expected;
    } rows[] = {
        {"MaxPopupTimes 0, fresh machine", 0, -100, 0},
        {"MaxPopupTimes -1 is bounded to 0", -1, -100, 0},
        {"count Max-1", 3, 2, 1},
        {"count Max", 3, 3, 0},
        {"count above Max", 3, 4, 0},
        {"negative stored count reads as 0", 3, -5, 1},
        {"MaxPopupTimes 1, fresh machine", 1, -100, 1},
    };
    Rig s("gates-count");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CampaignFields fields;
        fields.maxPopupTimes = row.maxPopupTimes;
        s.Campaign(fields);
        qt::ClearBookkeeping();
        qt::StorePurpose(fields.purpose);
        if (row.storedCount != -100) qt::StoreCount(row.storedCount);
        ExpectCheck(s.plugin, row.expected);
    }
}

TEST(DecisionGates, LastShowingThenNeverAgainUntilThePurposeChanges) {
    CampaignFields fields;
    fields.maxPopupTimes = 3;
    Rig s("gates-count-last", fields);
    qt::StorePurpose(fields.purpose);
    qt::StoreCount(2);
    PluginInstance in(s.plugin);
    ASSERT_EQ(1, in.Check()) << "count Max-1: shown once more";
    qt::StoreStamp(qt::StampOf(qt::LocalDaysFrom(-1)));  // not the day that stops it
    EXPECT_EQ(0, in.Check()) << "count Max: never again";
    EXPECT_EQ("", in.Message());
    fields.purpose = "next campaign";
    s.Campaign(fields);
    EXPECT_EQ(1, in.Check()) << "a new Purpose starts the count afresh";
    EXPECT_EQ(std::string("\x01\0\0\0", 4), qt::ReadBookkeeping().count);
}

// ---------------------------------------------------------------------------
// The weekday mask, against today's weekday of the local clock.

TEST(DecisionGates, WeekdayMaskWithAndWithoutToday) {
    const int today = qt::TodayBit();
    struct Row {
        const char* name;
        int mask;
        int expected;
    } rows[] = {
        {"only today's bit", today, 1},
        {"every day but today", 127 & ~today, 0},
        {"no day", 0, 0},
        {"bits from 7 upwards only", 128 | 256 | 1024, 0},
        {"today's bit among high bits", 128 | today, 1},
        {"every day", 127, 1},
    };
    Rig s("gates-weekday");
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + ", mask " + std::to_string(row.mask));
        CampaignFields fields;
        fields.popupFrequency = row.mask;
        s.Campaign(fields);
        qt::ClearBookkeeping();
        ExpectCheck(s.plugin, row.expected);
    }
}

TEST(DecisionRules, WeekdayGate) {
    // Bit d allows weekday d, 0 = Sunday. The default 7 allows Sunday,
    // Monday and Tuesday only.
    const bool byDefault[7] = {true, true, true, false, false, false, false};
    for (int day = 0; day < 7; ++day) {
        EXPECT_EQ(byDefault[day], PassesWeekdayGate(7, day)) << "default 7, day " << day;
        EXPECT_TRUE(PassesWeekdayGate(127, day)) << "127, day " << day;
        EXPECT_FALSE(PassesWeekdayGate(0, day)) << "0, day " << day;
        EXPECT_EQ(day == 6, PassesWeekdayGate(64, day)) << "Saturday only, day " << day;
        EXPECT_FALSE(PassesWeekdayGate(0x7FFFFF80, day)) << "only bits from 7 up, day " << day;
    }
    // A mask that allows no day of the week never shows, whatever today is.
    const struct {
        std::int32_t mask;
        bool never;
    } masks[] = {{0, true}, {0x7FFFFF80, true}, {-128, true}, {1, false}, {64, false}, {7, false}, {-1, false}};
    for (const auto& m : masks) EXPECT_EQ(m.never, WeekdayGateNeverPasses(m.mask)) << "PopupFrequency " << m.mask;
}

// ---------------------------------------------------------------------------
// Once a day, by month and day only.

TEST(DecisionGates, OncePerDayStamp) {
    const SYSTEMTIME now = qt::LocalNow();
    const SYSTEMTIME yesterday = qt::LocalDaysFrom(-1);
    const SYSTEMTIME tomorrow = qt::LocalDaysFrom(1);
    auto date = [](int y, int m, int d, const char* time) {
        return std::to_string(y) + "-" + std::to_string(m) + "-" + std::to_string(d) + time;
    };
    const int otherMonth = now.wMonth == 1 ? 2 : now.wMonth - 1;
    struct Row {
        std::string name;
        std::string stamp;
        int expected;
    } rows[] = {
        {"today, now", qt::StampOf(now), 0},
        {"today at midnight", date(now.wYear, now.wMonth, now.wDay, " 00:00:00"), 0},
        {"today, single-digit time", date(now.wYear, now.wMonth, now.wDay, " 1:2:3"), 0},
        {"today, time out of range", date(now.wYear, now.wMonth, now.wDay, " 25:99:99"), 0},
        {"today's month and day a year ago", date(now.wYear - 1, now.wMonth, now.wDay, " 12:00:00"), 0},
        {"today's month and day in year 1", date(1, now.wMonth, now.wDay, " 12:00:00"), 0},
        {"yesterday", qt::StampOf(yesterday), 1},
        {"tomorrow", qt::StampOf(tomorrow), 1},
        {"today's day in another month", date(now.wYear, otherMonth, now.wDay, " 12:00:00"), 1},
        {"unparsable: words", "yesterday", 1},
        {"unparsable: empty text", "", 1},
        {"unparsable: year 0", date(0, now.wMonth, now.wDay, " 12:00:00"), 1},
        {"unparsable: no time part", date(now.wYear, now.wMonth, now.wDay, ""), 1},
        {"unparsable: slashes", std::to_string(now.wYear) + "/" + std::to_string(now.wMonth) + "/" +
                                    std::to_string(now.wDay) + " 12:00:00",
         1},
    };
    Rig s("gates-stamp");
    const CampaignFields fields;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + ": \"" + row.stamp + "\"");
        qt::ClearBookkeeping();
        qt::StorePurpose(fields.purpose);
        qt::StoreCount(1);
        qt::StoreStamp(row.stamp);
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();
        ExpectCheck(s.plugin, row.expected);
        if (row.expected == 0) {
            EXPECT_EQ(before, qt::ReadBookkeeping()) << "a no writes nothing";
        }
    }
}

TEST(DecisionRules, OncePerDayGate) {
    struct Row {
        const char* name;
        PopupStamp last;
        int month, day;
        bool passes;
    } rows[] = {
        {"no stamp", {}, 3, 5, true},
        {"same date", {2010, 3, 5, 9, 7, 3}, 3, 5, false},
        {"same month and day, other year", {1999, 3, 5, 0, 0, 0}, 3, 5, false},
        {"day before", {2010, 3, 4, 23, 59, 59}, 3, 5, true},
        {"same day, other month", {2010, 4, 5, 0, 0, 0}, 3, 5, true},
        {"year 0 means no stamp", {0, 3, 5, 0, 0, 0}, 3, 5, true},
    };
    for (const Row& row : rows) EXPECT_EQ(row.passes, PassesOncePerDayGate(row.last, row.month, row.day)) << row.name;
}

// ---------------------------------------------------------------------------
// What a yes leaves behind.

std::int64_t Seconds(const SYSTEMTIME& t) {
    FILETIME ft;
    SystemTimeToFileTime(&t, &ft);
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) /
                                     10000000ULL);
}

TEST(DecisionBookkeeping, AYesOnAFreshMachine) {
    CampaignFields fields;
    fields.purpose = "fresh purpose";
    Rig s("yes-fresh", fields);
    ASSERT_FALSE(qt::ReadBookkeeping().keyPresent);
    PluginInstance in(s.plugin);
    const SYSTEMTIME before = qt::LocalNow();
    ASSERT_EQ(1, in.Check());
    const SYSTEMTIME after = qt::LocalNow();
    EXPECT_EQ("Quillstorm", in.Message());

    const qt::StoredBookkeeping b = qt::ReadBookkeeping();
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), b.countType);
    EXPECT_EQ(std::string("\x01\0\0\0", 4), b.count);
    // How the texts are stored byte for byte is the bookkeeping's own rule,
    // tested there; here, what a yes leaves.
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), b.purposeType);
    EXPECT_STREQ("fresh purpose", b.purpose.c_str());
    ASSERT_TRUE(b.stampPresent);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), b.stampType);
    const std::string text = b.stamp.c_str();
    PopupStamp stamp;
    ASSERT_TRUE(ParsePopupStamp(text.c_str(), stamp)) << text;
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(stamp.year);
    st.wMonth = static_cast<WORD>(stamp.month);
    st.wDay = static_cast<WORD>(stamp.day);
    st.wHour = static_cast<WORD>(stamp.hour);
    st.wMinute = static_cast<WORD>(stamp.minute);
    st.wSecond = static_cast<WORD>(stamp.second);
    EXPECT_GE(Seconds(st), Seconds(before) - 2) << text;
    EXPECT_LE(Seconds(st), Seconds(after) + 2) << text;
    // Hour, minute and second always with two digits.
    ASSERT_GE(text.size(), 14u) << text;
    EXPECT_EQ(':', text[text.size() - 3]) << text;
    EXPECT_EQ(':', text[text.size() - 6]) << text;
    EXPECT_EQ(' ', text[text.size() - 9]) << text;

    // A second check the same day ends at the stamp, with an empty message.
    EXPECT_EQ(0, in.Check());
    EXPECT_EQ("", in.Message());
    EXPECT_EQ(b, qt::ReadBookkeeping());
}

TEST(DecisionBookkeeping, WorkedExampleCountOneStampOfTheDayBefore) {
    const CampaignFields fields;  // MaxPopupTimes 3
    Rig s("yes-worked", fields);
    qt::StorePurpose(fields.purpose);
    qt::StoreCount(1);
    const std::string old = qt::StampOf(qt::LocalDaysFrom(-1));
    qt::StoreStamp(old);
    PluginInstance in(s.plugin);
    ASSERT_EQ(1, in.Check());
    const qt::StoredBookkeeping b = qt::ReadBookkeeping();
    EXPECT_EQ(std::string("\x02\0\0\0", 4), b.count);
    EXPECT_NE(old, b.stamp);
    PopupStamp stamp;
    ASSERT_TRUE(ParsePopupStamp(b.stamp.c_str(), stamp));
    const SYSTEMTIME now = qt::LocalNow();
    EXPECT_EQ(now.wMonth, stamp.month);
    EXPECT_EQ(now.wDay, stamp.day);
}

TEST(DecisionBookkeeping, NoMatchingShortcutWritesNothing) {
    const CampaignFields fields;
    Rig s("yes-nomatch", fields);
    qt::CleanDesktop();
    s.machine.Shortcut("Notes.lnk");
    qt::StorePurpose(fields.purpose);
    qt::StoreCount(1);
    qt::StoreStamp(qt::StampOf(qt::LocalDaysFrom(-1)));
    const qt::StoredBookkeeping before = qt::ReadBookkeeping();
    PluginInstance in(s.plugin);
    EXPECT_EQ(0, in.Check());
    EXPECT_EQ("", in.Message());
    EXPECT_EQ(before, qt::ReadBookkeeping());
    s.machine.Shortcut("Quillstorm.lnk");
    EXPECT_EQ(1, in.Check()) << "control: a matching shortcut";
}

// ---------------------------------------------------------------------------
// The order of the gates: with two gates failing at once, the earlier one
// ends the check. Run on the decision code itself, which names the gate.

// ---------------------------------------------------------------------------
// The gate table, row by row: each row's breaker, together with the breaker
// of a later row, ends the check at that row, both in the decision and in
// quentra-host doctor's dry run, which leaves the stored record as it was.

std::string Doctor(const qt::Plugin& plugin, int* exitCode) {
    const std::string command =
        "\"" + qt::Join(qt::BinDir(), "quentra-host.exe") + "\" doctor \"" + qt::Join(plugin.dir, "Quentra.dll") + "\"";
    std::string out;
    *exitCode = qt::RunProgram(command, &out);
    return out;
}

// The gate line marked [STOP]: its gate name and what follows it, or a
// note when there is no such line or more than one.
std::string StoppedLine(const std::string& out) {
    const std::string mark = "[STOP] ";
    const std::size_t at = out.find(mark);
    if (at == std::string::npos) return "(no STOP line)";
    if (out.find(mark, at + 1) != std::string::npos) return "(more than one STOP line)";
    return out.substr(at + mark.size(), out.find('\n', at) - at - mark.size());
}

bool StoppedAt(const std::string& out, const char* gate) {
    const std::string line = StoppedLine(out);
    const std::string name = gate;
    return line.compare(0, name.size(), name) == 0 && line.size() > name.size() && line[name.size()] == ' ';
}

TEST(GateTable, EachRowEndsTheCheckBeforeTheRowsAfterIt) {
    struct Breaker {
        const char* gate;  // the kGates label it breaks
        CheckOutcome outcome;
        std::function<void(CampaignFields&)> campaign;  // before the campaign is written
        std::function<void(Rig&, UniqueKernelHandle&)> machine;
        bool never = false;  // the campaign fails this gate on every machine and every day
    };
    const auto none = [](Rig&, UniqueKernelHandle&) {};
    const auto same = [](CampaignFields&) {};
    const std::vector<Breaker> breakers = {
        {"vault product absent", CheckOutcome::VaultInstalled, same,
         [](Rig& s, UniqueKernelHandle&) {
             const std::string box = qt::Join(s.machine.suite.root, "Corvelsafebox.exe");
             qt::WriteBytes(box, "vault");
             qt::SetString(deployed::kVaultAppPathKey, nullptr, box);
         }},
        {"suite executable", CheckOutcome::SuiteMissing, same,
         [](Rig& s, UniqueKernelHandle&) { DeleteFileA(s.machine.suite.exe.c_str()); }},
        {"installer present", CheckOutcome::InstallerMissing, same,
         [](Rig& s, UniqueKernelHandle&) { DeleteFileA(s.machine.suite.installer.c_str()); }},
        {"no installation running", CheckOutcome::InstallRunning, same,
         [](Rig&, UniqueKernelHandle& m) { m.reset(CreateMutexA(nullptr, FALSE, deployed::kInstallMutexName)); }},
        {"campaign loads", CheckOutcome::CampaignUnreadable, same,
         [](Rig& s, UniqueKernelHandle&) { DeleteFileA(s.CampaignPath().c_str()); }},
        // A blank is escaped (the default address has one); a control
        // character would make a button that starts nothing.
        {"download address passable", CheckOutcome::DownloadUrlUnusable,
         [](CampaignFields& f) { f.downloadUrl = "http://dl.example.test/a\x01" "b"; }, none, true},
        {"patterns present", CheckOutcome::NoPatterns, [](CampaignFields& f) { f.gameScan = {{"g1x", "Quillstorm"}}; },
         none, true},
        {"64-bit support", CheckOutcome::No64BitSupport, [](CampaignFields& f) { f.suportX64 = 0; }, none},
        {"not opted out", CheckOutcome::OptedOut, same,
         [](Rig& s, UniqueKernelHandle&) { s.machine.HostConfig("[NoNotify]\r\nGS-2024=1\r\n"); }},
        {"popup count", CheckOutcome::CountReached, same, [](Rig&, UniqueKernelHandle&) { qt::StoreCount(3); }},
        {"weekday", CheckOutcome::WeekdayNotAllowed, [](CampaignFields& f) { f.popupFrequency = 127 & ~qt::TodayBit(); },
         none},
        {"once a day", CheckOutcome::ShownToday, same,
         [](Rig&, UniqueKernelHandle&) { qt::StoreStamp(qt::StampOf(qt::LocalNow())); }},
        // Refused before the desktop is looked at: a desktop with no match
        // (the next row's breaker) does not hide it.
        {"message template", CheckOutcome::MessageRefused, [](CampaignFields& f) { f.message = "%s and %s"; }, none,
         true},
        {"desktop scan", CheckOutcome::NoShortcutMatch, same, [](Rig&, UniqueKernelHandle&) { qt::CleanDesktop(); }},
    };
    // Every row that a dry run can meet has a breaker; the last, recording
    // the showing, fails only when the registry cannot be written (Faults).
    for (std::size_t g = 0; g + 1 < kGateCount; ++g) {
        const bool covered = std::any_of(breakers.begin(), breakers.end(),
                                         [&](const Breaker& b) { return kGates[g].label == std::string(b.gate); });
        EXPECT_TRUE(covered) << "no breaker for the gate " << kGates[g].label;
    }
    for (std::size_t i = 0; i <= breakers.size(); ++i) {
        // The row's breaker and the next one of another gate; past the end,
        // nothing is broken and the balloon shows.
        std::vector<const Breaker*> applied;
        if (i < breakers.size()) applied.push_back(&breakers[i]);
        for (std::size_t j = i + 1; j < breakers.size() && applied.size() < 2; ++j) {
            if (std::string(breakers[j].gate) != breakers[i].gate) applied.push_back(&breakers[j]);
        }
        // On 32-bit Windows nothing breaks the 64-bit gate (SixtyFourBitSupport
        // proves that it lets the campaign through there).
        if (i < breakers.size() && breakers[i].outcome == CheckOutcome::No64BitSupport && !qt::WindowsIs64Bit()) continue;
        const std::string name = i < breakers.size() ? breakers[i].gate : "nothing broken";
        SCOPED_TRACE(name + (applied.size() > 1 ? std::string(" and ") + applied[1]->gate : std::string()));
        CampaignFields fields;
        for (const Breaker* b : applied) b->campaign(fields);
        Rig s("gate-table-" + std::to_string(i), fields);
        qt::StorePurpose(fields.purpose);
        UniqueKernelHandle mutex;
        for (const Breaker* b : applied) b->machine(s, mutex);
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();

        PopupWorkspace workspace;
        CheckFacts facts;
        const CheckOutcome expected = i < breakers.size() ? breakers[i].outcome : CheckOutcome::Show;
        EXPECT_EQ(CheckOutcomeName(expected), std::string(CheckOutcomeName(
                                                  EvaluatePopup(workspace, s.CampaignPath().c_str(), CheckMode::DryRun, &facts))));
        EXPECT_EQ(name, facts.stoppedAt < kGateCount ? kGates[facts.stoppedAt].label : "nothing broken");

        int code = -1;
        const std::string out = Doctor(s.plugin, &code);
        mutex.reset();
        // A campaign that fails a gate on every machine and every day exits
        // 4, with that gate's fix; one that this machine or today stops, 0,
        // and so does a missing one: there is no campaign to judge.
        const bool never =
            std::any_of(applied.begin(), applied.end(), [](const Breaker* b) { return b->never; }) &&
            std::none_of(applied.begin(), applied.end(),
                         [](const Breaker* b) { return b->outcome == CheckOutcome::CampaignUnreadable; });
        EXPECT_EQ(never ? 4 : 0, code) << out;
        EXPECT_EQ(never, out.find("\nnever: this campaign never shows") != std::string::npos) << out;
        if (i < breakers.size()) {
            EXPECT_TRUE(StoppedAt(out, breakers[i].gate)) << "expected [STOP] " << breakers[i].gate << "\n" << out;
            EXPECT_NE(std::string::npos, out.find("read: ")) << "the STOP line names what it read\n" << out;
        } else {
            EXPECT_EQ("(no STOP line)", StoppedLine(out)) << out;
            EXPECT_NE(std::string::npos, out.find("message: Quillstorm\n")) << out;
        }
        EXPECT_NE(std::string::npos, out.find(std::string("ended by: ") + CheckOutcomeName(expected) + "\n")) << out;
        EXPECT_NE(std::string::npos, out.find(expected == CheckOutcome::Show ? "answer: 1 " : "answer: 0 ")) << out;
        EXPECT_EQ(before, qt::ReadBookkeeping()) << "the dry runs recorded something: " << out;
    }
}

TEST(Doctor, ShowsTheValuesEachGateSaw) {
    CampaignFields fields;
    fields.popupFrequency = 127;
    fields.gameScan = {{"g1m", "Quillstorm"}, {"g2o", "Copperwing"}};
    Rig s("doctor-values", fields);
    qt::StorePurpose(fields.purpose);
    qt::StoreCount(2);
    const std::string yesterday = qt::StampOf(qt::LocalDaysFrom(-1));
    qt::StoreStamp(yesterday);
    s.machine.HostConfig("[NoNotify]\r\nGS-2024=0\r\n");
    int code = -1;
    const std::string out = Doctor(s.plugin, &code);
    EXPECT_EQ(0, code) << out;
    for (const std::string& seen : {std::string("BoxPopupCount=2 MaxPopupTimes=3"),
                                    std::string("PopupFrequency=127 (Sunday, Monday, Tuesday, Wednesday, Thursday, Friday, Saturday)"),
                                    std::string("matched: Quillstorm"), std::string("message: Quillstorm\n"),
                                    std::string("[NoNotify] GS-2024=0 in ") + s.machine.HostConfigPath(),
                                    std::string("Quillstorm | Copperwing"),
                                    std::string("SuportX64=1 Is64Bit=") + (qt::WindowsIs64Bit() ? "1" : "0"),
                                    "BoxLastestPopupDay=\"" + yesterday + "\"", s.machine.suite.exe,
                                    std::string("Purpose=decision-tests")}) {
        EXPECT_NE(std::string::npos, out.find(seen)) << "missing \"" << seen << "\" in\n" << out;
    }
}

TEST(Doctor, ChangedPurposeIsReportedAndNothingWritten) {
    CampaignFields fields;
    fields.purpose = "new campaign";
    Rig s("doctor-purpose", fields);
    qt::StorePurpose("old campaign");
    qt::StoreCount(3);
    qt::StoreStamp(qt::StampOf(qt::LocalNow()));
    const qt::StoredBookkeeping before = qt::ReadBookkeeping();
    int code = -1;
    const std::string out = Doctor(s.plugin, &code);
    EXPECT_EQ(0, code) << out;
    // The gates see what the next real check would: count 0, no stamp.
    EXPECT_NE(std::string::npos, out.find("ended by: " + std::string(CheckOutcomeName(CheckOutcome::Show)))) << out;
    EXPECT_NE(std::string::npos, out.find("Purpose differs from the stored BoxPurpose")) << out;
    EXPECT_NE(std::string::npos, out.find("stored: BoxPurpose=\"old campaign\" BoxPopupCount=3 ")) << out;
    EXPECT_NE(std::string::npos, out.find("BoxPopupCount=0 MaxPopupTimes=3")) << out;
    EXPECT_EQ(before, qt::ReadBookkeeping())
        << "written: " << qt::ReadBookkeeping().Describe() << " was " << before.Describe();

    // Without any stored record the dry run leaves no key behind either.
    qt::ClearBookkeeping();
    const std::string again = Doctor(s.plugin, &code);
    EXPECT_EQ(0, code) << again;
    EXPECT_FALSE(qt::ReadBookkeeping().keyPresent) << qt::ReadBookkeeping().Describe();
}

TEST(Doctor, BadInputIsReportedWithANonZeroExit) {
    const std::string host = "\"" + qt::Join(qt::BinDir(), "quentra-host.exe") + "\"";
    const std::string dir = qt::FreshDir("doctor-bad");
    qt::WriteBytes(qt::Join(dir, "notes.dll"), "# Notes\n");
    struct Row {
        const char* name;
        std::string args;
        int code;
        const char* says;
    } rows[] = {
        {"no DLL named", " doctor", 2, "usage:"},
        {"DLL missing", " doctor \"" + qt::Join(dir, "Quentra.dll") + "\"", 1, "DLL not found"},
        {"a folder for the DLL", " doctor \"" + dir + "\"", 1, "is a folder"},
        {"not a DLL at all", " doctor \"" + qt::Join(dir, "notes.dll") + "\"", 1, "is not a Windows DLL"},
        {"campaign missing", " doctor \"" + qt::Join(dir, "quentracfg.ini") + "\"", 1, "campaign file not found"},
        {"extra argument", " doctor \"" + qt::Join(dir, "Quentra.dll") + "\" more", 2, "usage:"},
    };
    for (const Row& row : rows) {
        std::string out;
        EXPECT_EQ(row.code, qt::RunProgram(host + row.args, &out)) << row.name << "\n" << out;
        EXPECT_NE(std::string::npos, out.find(row.says)) << row.name << "\n" << out;
    }
    qt::RemoveTree(dir);
}

}  // namespace
