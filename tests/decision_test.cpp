// The popup decision through the real exports: each gate on a machine that
// passes every other one, with a control that flips the answer by changing
// only the factor under test. Also the pure gate rules, and the host
// simulator's dry run naming the gate that ended a check.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "decision/check.h"
#include "environment/bookkeeping.h"
#include "environment/probes.h"
#include "environment/stamp.h"
#include "plugin/instance.h"
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

// ---------------------------------------------------------------------------
// Gates 1 to 4: the environment. They come before the campaign is read, so
// they leave the message of an earlier yes and the stored record alone, even
// when the campaign on disk now has another Purpose.

TEST(DecisionGates, EnvironmentGatesLeaveMessageAndRecordUntouched) {
    struct Row {
        const char* name;
        std::function<void(Rig&, HANDLE&)> breakIt;
        std::function<void(Rig&, HANDLE&)> mendIt;
    } rows[] = {
        {"vault product installed",
         [](Rig& s, HANDLE&) { qt::SetString(kVaultAppPathKey, nullptr, s.machine.suite.exe); },
         [](Rig&, HANDLE&) { qt::DeleteKey(kVaultAppPathKey); }},
        {"suite not registered", [](Rig&, HANDLE&) { qt::DeleteKey(kSuiteAppPathKey); },
         [](Rig& s, HANDLE&) {
             qt::SetString(kSuiteAppPathKey, nullptr, s.machine.suite.exe);
             qt::SetString(kSuiteAppPathKey, "Path", s.machine.suite.root);
         }},
        {"suite executable deleted", [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.exe.c_str()); },
         [](Rig& s, HANDLE&) { qt::WriteBytes(s.machine.suite.exe, "suite"); }},
        {"installer missing", [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.installer.c_str()); },
         [](Rig& s, HANDLE&) { qt::WriteBytes(s.machine.suite.installer, "MZ"); }},
        {"installation mutex present",
         [](Rig&, HANDLE& mutex) { mutex = CreateMutexA(nullptr, FALSE, kInstallMutexName); },
         [](Rig&, HANDLE& mutex) {
             CloseHandle(mutex);
             mutex = nullptr;
         }},
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
        HANDLE mutex = nullptr;
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
    qt::SetString(kVaultAppPathKey, nullptr, qt::Join(s.machine.suite.root, "gone\\Corvelsafebox.exe"));
    PluginInstance in(s.plugin);
    EXPECT_EQ(1, in.Check());
    qt::DeleteKey(kVaultAppPathKey);
}

// ---------------------------------------------------------------------------
// Gate 7: the campaign file. From here on the message is emptied first.

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
// Gate 8: no usable [GameScan] value.

TEST(DecisionGates, GameScanWithoutUsableValue) {
    struct Row {
        const char* name;
        std::vector<std::pair<std::string, std::string>> gameScan;
        int expected;
    } rows[] = {
        {"no keys", {}, 0},
        {"first value empty", {{"g1o", ""}, {"g2o", "Quillstorm"}}, 0},
        {"first key ends in x", {{"g1x", "Quillstorm"}}, 0},
        {"first key ends in capital M", {{"g1M", "Quillstorm"}}, 0},
        {"first key ends in capital O", {{"g1O", "Quillstorm"}}, 0},
        {"control: key ends in m", {{"g1m", "Quillstorm"}}, 1},
        {"control: key ends in o, then a stop", {{"g1o", "Quillstorm"}, {"g2x", "Other"}}, 1},
    };
    Rig s("gates-gamescan");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        CampaignFields fields;
        fields.gameScan = row.gameScan;
        s.Campaign(fields);
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check());
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
    }
}

// ---------------------------------------------------------------------------
// Gate 9: SuportX64. The tests run in a 64-bit prefix; the 32-bit case is
// the pure rule below.

TEST(DecisionGates, SixtyFourBitSupportInThisPrefix) {
    struct Row {
        const char* name;
        int suportX64;
        int expected;
    } rows[] = {
        {"SuportX64=0 on 64-bit Windows", 0, 0},
        {"SuportX64=1", 1, 1},
        {"SuportX64=5 counts as 1", 5, 1},
        {"SuportX64=-1 counts as 1", -1, 1},
    };
    Rig s("gates-x64");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        CampaignFields fields;
        fields.suportX64 = row.suportX64;
        s.Campaign(fields);
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check());
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
    }
}

TEST(DecisionRules, X64Gate) {
    struct Row {
        const char* name;
        int suportX64, is64Bit;
        bool passes;
    } rows[] = {
        {"unsupported on 64-bit: no", 0, 1, false},
        {"unsupported on 32-bit: goes on", 0, 0, true},
        {"supported on 64-bit", 1, 1, true},
        {"supported on 32-bit", 1, 0, true},
    };
    for (const Row& row : rows) EXPECT_EQ(row.passes, PassesX64Gate(row.suportX64, row.is64Bit)) << row.name;
}

// ---------------------------------------------------------------------------
// Gate 10: the host's opt-out, [NoNotify] in config.ini beside the host.

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
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check());
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
    }
}

// ---------------------------------------------------------------------------
// Gate 11: the number of showings.

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
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check());
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
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
// Gate 12: the weekday mask, against today's weekday of the local clock.

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
        SCOPED_TRACE(row.name);
        CampaignFields fields;
        fields.popupFrequency = row.mask;
        s.Campaign(fields);
        qt::ClearBookkeeping();
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check()) << "mask " << row.mask;
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
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
}

// ---------------------------------------------------------------------------
// Gate 13: once a day, by month and day only.

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
        PluginInstance in(s.plugin);
        EXPECT_EQ(row.expected, in.Check());
        EXPECT_EQ(row.expected == 1 ? "Quillstorm" : "", in.Message());
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

TEST(DecisionRules, CountGateIsSigned) {
    EXPECT_TRUE(PassesCountGate(0, 1));
    EXPECT_FALSE(PassesCountGate(0, 0));
    EXPECT_FALSE(PassesCountGate(3, 3));
    EXPECT_TRUE(PassesCountGate(-1, 0)) << "signed comparison";
    EXPECT_FALSE(PassesCountGate(0x7FFFFFFF, 1000000));
}

// ---------------------------------------------------------------------------
// Step 15: what a yes leaves behind.

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

TEST(DecisionOrder, TheEarlierOfTwoFailingGatesEndsTheCheck) {
    using Fn = std::function<void(Rig&, HANDLE&)>;
    const Fn vault = [](Rig& s, HANDLE&) {
        const std::string box = qt::Join(s.machine.suite.root, "Corvelsafebox.exe");
        qt::WriteBytes(box, "vault");
        qt::SetString(kVaultAppPathKey, nullptr, box);
    };
    const Fn noSuite = [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.exe.c_str()); };
    const Fn noInstaller = [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.installer.c_str()); };
    const Fn running = [](Rig&, HANDLE& m) { m = CreateMutexA(nullptr, FALSE, kInstallMutexName); };
    const Fn noCampaign = [](Rig& s, HANDLE&) { DeleteFileA(s.CampaignPath().c_str()); };
    const Fn optedOut = [](Rig& s, HANDLE&) { s.machine.HostConfig("[NoNotify]\r\nGS-2024=1\r\n"); };
    const Fn countReached = [](Rig&, HANDLE&) { qt::StoreCount(3); };
    const Fn shownToday = [](Rig&, HANDLE&) { qt::StoreStamp(qt::StampOf(qt::LocalNow())); };
    const Fn noMatch = [](Rig&, HANDLE&) { qt::CleanDesktop(); };
    struct Row {
        const char* name;
        std::vector<Fn> arrange;
        CampaignFields fields;
        CheckOutcome expected;
    };
    CampaignFields plain;
    CampaignFields noPatterns;
    noPatterns.gameScan = {};
    CampaignFields noX64;
    noX64.suportX64 = 0;
    CampaignFields noPatternsNoX64 = noPatterns;
    noPatternsNoX64.suportX64 = 0;
    CampaignFields noX64Weekday = noX64;
    noX64Weekday.popupFrequency = 0;
    CampaignFields weekday;
    weekday.popupFrequency = 127 & ~qt::TodayBit();
    CampaignFields refused;
    refused.message = "%d";
    const Row rows[] = {
        {"vault and no suite", {vault, noSuite}, plain, CheckOutcome::VaultInstalled},
        {"vault and install running", {vault, running}, plain, CheckOutcome::VaultInstalled},
        {"no suite and install running", {noSuite, running}, plain, CheckOutcome::SuiteMissing},
        {"no installer and install running", {noInstaller, running}, plain, CheckOutcome::InstallerMissing},
        {"install running and no campaign", {running, noCampaign}, plain, CheckOutcome::InstallRunning},
        {"no campaign", {noCampaign}, plain, CheckOutcome::CampaignUnreadable},
        {"no patterns and no 64-bit support", {}, noPatternsNoX64, CheckOutcome::NoPatterns},
        {"no 64-bit support and opted out", {optedOut}, noX64, CheckOutcome::No64BitSupport},
        {"no 64-bit support and no weekday", {}, noX64Weekday, CheckOutcome::No64BitSupport},
        {"opted out and count reached", {optedOut, countReached}, plain, CheckOutcome::OptedOut},
        {"count reached and weekday", {countReached}, weekday, CheckOutcome::CountReached},
        {"weekday and shown today", {shownToday}, weekday, CheckOutcome::WeekdayNotAllowed},
        {"shown today and no match", {shownToday, noMatch}, plain, CheckOutcome::ShownToday},
        {"no match and a refused message", {noMatch}, refused, CheckOutcome::NoShortcutMatch},
        {"a refused message", {}, refused, CheckOutcome::MessageRefused},
        {"nothing fails", {}, plain, CheckOutcome::Show},
    };
    int n = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig s("order-" + std::to_string(++n), row.fields);
        qt::StorePurpose(row.fields.purpose);
        HANDLE mutex = nullptr;
        for (const Fn& f : row.arrange) f(s, mutex);
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();
        TcInstance instance;
        CheckTrace trace;
        const CheckOutcome got = instance.EvaluatePopup(s.CampaignPath().c_str(), false, &trace);
        if (mutex != nullptr) CloseHandle(mutex);
        EXPECT_EQ(CheckOutcomeName(row.expected), std::string(CheckOutcomeName(got)));
        EXPECT_EQ(before, qt::ReadBookkeeping()) << "a dry evaluation records nothing";
    }
}

// ---------------------------------------------------------------------------
// quentra-host doctor: the dry run names the gate that ended the check and
// leaves the stored record as it found it.

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

TEST(Doctor, NamesTheGateThatEndedTheCheck) {
    using Fn = std::function<void(Rig&, HANDLE&)>;
    struct Row {
        const char* name;
        Fn arrange;
        CheckOutcome outcome;
        const char* gateLine;  // the gate printed as [STOP]; null: none
    } rows[] = {
        {"vault installed", [](Rig& s, HANDLE&) { qt::SetString(kVaultAppPathKey, nullptr, s.machine.suite.exe); },
         CheckOutcome::VaultInstalled, "vault product absent"},
        {"suite executable missing", [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.exe.c_str()); },
         CheckOutcome::SuiteMissing, "suite executable"},
        {"installer missing", [](Rig& s, HANDLE&) { DeleteFileA(s.machine.suite.installer.c_str()); },
         CheckOutcome::InstallerMissing, "installer present"},
        {"installation running",
         [](Rig&, HANDLE& mutex) { mutex = CreateMutexA(nullptr, FALSE, kInstallMutexName); },
         CheckOutcome::InstallRunning, "no installation running"},
        {"campaign missing", [](Rig& s, HANDLE&) { DeleteFileA(s.CampaignPath().c_str()); },
         CheckOutcome::CampaignUnreadable, "campaign loads"},
        {"no patterns",
         [](Rig& s, HANDLE&) {
             CampaignFields fields;
             fields.gameScan = {{"g1x", "Quillstorm"}};
             s.Campaign(fields);
         },
         CheckOutcome::NoPatterns, "patterns present"},
        {"SuportX64=0",
         [](Rig& s, HANDLE&) {
             CampaignFields fields;
             fields.suportX64 = 0;
             s.Campaign(fields);
         },
         CheckOutcome::No64BitSupport, "64-bit support"},
        {"opted out", [](Rig& s, HANDLE&) { s.machine.HostConfig("[NoNotify]\r\nGS-2024=1\r\n"); },
         CheckOutcome::OptedOut, "not opted out"},
        {"count reached",
         [](Rig&, HANDLE&) {
             qt::StorePurpose(CampaignFields().purpose);
             qt::StoreCount(3);
         },
         CheckOutcome::CountReached, "popup count"},
        {"weekday not allowed",
         [](Rig& s, HANDLE&) {
             CampaignFields fields;
             fields.popupFrequency = 127 & ~qt::TodayBit();
             s.Campaign(fields);
         },
         CheckOutcome::WeekdayNotAllowed, "weekday"},
        {"shown today",
         [](Rig&, HANDLE&) {
             qt::StorePurpose(CampaignFields().purpose);
             qt::StoreStamp(qt::StampOf(qt::LocalNow()));
         },
         CheckOutcome::ShownToday, "once a day"},
        {"no shortcut matches", [](Rig&, HANDLE&) { qt::CleanDesktop(); }, CheckOutcome::NoShortcutMatch,
         "desktop scan"},
        {"message refused",
         [](Rig& s, HANDLE&) {
             CampaignFields fields;
             fields.message = "%s and %s";
             s.Campaign(fields);
         },
         CheckOutcome::MessageRefused, "desktop scan"},
        {"every gate passes", [](Rig&, HANDLE&) {}, CheckOutcome::Show, nullptr},
    };
    int n = 0;
    for (Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig s("doctor-" + std::to_string(++n));
        // The stored purpose is the campaign's: loading it changes nothing.
        qt::StorePurpose(CampaignFields().purpose);
        HANDLE mutex = nullptr;
        row.arrange(s, mutex);
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();
        int code = -1;
        const std::string out = Doctor(s.plugin, &code);
        if (mutex != nullptr) CloseHandle(mutex);
        EXPECT_EQ(0, code) << out;
        if (row.gateLine != nullptr) {
            EXPECT_TRUE(StoppedAt(out, row.gateLine)) << "expected [STOP] " << row.gateLine << "\n" << out;
        } else {
            EXPECT_EQ("(no STOP line)", StoppedLine(out)) << out;
        }
        EXPECT_NE(std::string::npos, out.find(std::string("ended by: ") + CheckOutcomeName(row.outcome) + "\n"))
            << out;
        EXPECT_NE(std::string::npos,
                  out.find(row.outcome == CheckOutcome::Show ? "answer: 1 " : "answer: 0 "))
            << out;
        EXPECT_EQ(before, qt::ReadBookkeeping()) << "the dry run recorded something: " << out;
        EXPECT_EQ(std::string::npos, out.find("Purpose differs")) << "the record changed during the dry run:\n" << out;
        if (row.outcome == CheckOutcome::Show) {
            EXPECT_NE(std::string::npos, out.find("message: Quillstorm\n")) << out;
            EXPECT_NE(std::string::npos, out.find("matched: Quillstorm")) << out;
        }
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
                                    std::string("Quillstorm | Copperwing"), std::string("SuportX64=1 Is64Bit=1"),
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
    struct Row {
        const char* name;
        std::string args;
        int code;
        const char* says;
    } rows[] = {
        {"no DLL named", " doctor", 2, "usage:"},
        {"DLL missing", " doctor \"" + qt::Join(dir, "Quentra.dll") + "\"", 1, "DLL not found"},
        {"a folder for the DLL", " doctor \"" + dir + "\"", 1, "DLL not found"},
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
