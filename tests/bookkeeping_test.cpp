// Popup bookkeeping under HKEY_LOCAL_MACHINE "SOFTWARE\CorvelSafe\Tavrik":
// the stored types and byte counts, the stamp rules, and the purpose that
// restarts the record, through the functions and through the real exports.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "campaign/config.h"
#include "environment/bookkeeping.h"
#include "environment/stamp.h"
#include "support/deployed.h"
#include "support/campaign.h"
#include "support/sandbox.h"

namespace {

// The stored value as a reader sees it. Wine terminates every REG_SZ it is
// given, so one trailing zero of a text is the platform's; the byte count
// the plug-in passes is checked with a RegistryRecorder instead.
std::string Stored(const char* value, DWORD* type = nullptr) {
    DWORD t = 0;
    std::string bytes;
    if (!qt::GetRaw(deployed::kBookkeepingKey, value, &t, &bytes)) return "<missing>";
    if (type != nullptr) *type = t;
    if (t == REG_SZ && !bytes.empty() && bytes.back() == '\0') bytes.pop_back();
    return bytes;
}

// The calls as "set NAME TYPE COUNT" and "delete NAME" lines, for messages
// that show the whole sequence.
std::string Describe(const std::vector<qt::RegistryCall>& calls) {
    std::string out;
    for (const qt::RegistryCall& c : calls) {
        out += c.function + " " + c.value;
        if (c.function == "set") out += " type " + std::to_string(c.type) + " count " + std::to_string(c.count);
        out += "; ";
    }
    return out;
}

bool Missing(const char* value) { return Stored(value) == "<missing>"; }

std::string Dword(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

class Bookkeeping : public ::testing::Test {
protected:
    void SetUp() override { qt::ClearBookkeeping(); }
    void TearDown() override { qt::ClearBookkeeping(); }
};

// ---------------------------------------------------------------- the stamp

TEST(PopupStampRule, ParsingAndValidity) {
    struct Row {
        const char* name;
        const char* text;
        bool valid = false;  // refused rows give only a name and a text
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    } rows[] = {
        {"the written form", "2010-3-5 09:07:03", true, 2010, 3, 5, 9, 7, 3},
        {"single digits", "2010-3-5 9:7:3", true, 2010, 3, 5, 9, 7, 3},
        {"no upper bounds", "2010-3-5 25:99:99", true, 2010, 3, 5, 25, 99, 99},
        {"month 13 and day 40 pass too", "2010-13-40 00:00:00", true, 2010, 13, 40, 0, 0, 0},
        {"midnight", "2024-12-31 00:00:00", true, 2024, 12, 31, 0, 0, 0},
        {"a tab instead of the blank", "2010-3-5\t09:07:03", true, 2010, 3, 5, 9, 7, 3},
        {"a run of blanks and a tab", "2010-3-5 \t  09:07:03", true, 2010, 3, 5, 9, 7, 3},
        {"blanks before the first number", "  2010-3-5 09:07:03", true, 2010, 3, 5, 9, 7, 3},
        {"three-digit second reads its first two", "2010-3-5 09:07:034", true, 2010, 3, 5, 9, 7, 3},
        {"text after the sixth number ignored", "2010-3-5 09:07:03 and more", true, 2010, 3, 5, 9, 7, 3},
        {"month 0", "2010-0-5 09:07:03"},
        {"year 0", "0-3-5 09:07:03"},
        {"day 0", "2010-3-0 09:07:03"},
        {"no time part", "2010-3-5"},
        {"only two time numbers", "2010-3-5 09:07"},
        {"negative hour", "2010-3-5 -1:07:03"},
        {"negative year", "-2010-3-5 09:07:03"},
        {"no blank: the day runs into the time", "2010-3-509:07:03"},
        {"time fields take two characters at most", "2010-3-5 123:07:03"},
        {"a blank before a dash", "2010 -3-5 09:07:03"},
        {"slashes", "2010/3/5 09:07:03"},
        {"empty", ""},
        {"letters", "yesterday"},
    };
    for (const Row& row : rows) {
        PopupStamp stamp;
        stamp.year = 77;
        EXPECT_EQ(row.valid, ParsePopupStamp(row.text, stamp)) << row.name;
        if (row.valid) {
            EXPECT_EQ(row.y, stamp.year) << row.name;
            EXPECT_EQ(row.mo, stamp.month) << row.name;
            EXPECT_EQ(row.d, stamp.day) << row.name;
            EXPECT_EQ(row.h, stamp.hour) << row.name;
            EXPECT_EQ(row.mi, stamp.minute) << row.name;
            EXPECT_EQ(row.s, stamp.second) << row.name;
        } else {
            EXPECT_EQ(0, stamp.year) << row.name << ": no stamp is all zero";
            EXPECT_EQ(0, stamp.month) << row.name;
            EXPECT_EQ(0, stamp.second) << row.name;
        }
    }
    PopupStamp stamp;
    EXPECT_FALSE(ParsePopupStamp(nullptr, stamp));
}

TEST_F(Bookkeeping, StoredStampsReadBack) {
    struct Row {
        const char* name;
        std::string stored;
        DWORD type;
        int year, month, day, hour;
    } rows[] = {
        {"written form", "2010-3-5 09:07:03", REG_SZ, 2010, 3, 5, 9},
        {"with a terminating zero", std::string("2010-3-5 09:07:03\0", 18), REG_SZ, 2010, 3, 5, 9},
        {"no upper bounds", "2010-3-5 25:99:99", REG_SZ, 2010, 3, 5, 25},
        {"month 0", "2010-0-5 09:07:03", REG_SZ, 0, 0, 0, 0},
        {"no time", "2010-3-5", REG_SZ, 0, 0, 0, 0},
        {"empty", "", REG_SZ, 0, 0, 0, 0},
        {"not a text", Dword(20100305), REG_DWORD, 0, 0, 0, 0},
        {"longer than its buffer", "2010-3-5 09:07:03" + std::string(400, ' '), REG_SZ, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        qt::SetRaw(deployed::kBookkeepingKey, deployed::kLastPopupValue, row.type, row.stored);
        PopupStamp stamp;
        stamp.day = 99;
        ReadLastPopupTime(stamp);
        EXPECT_EQ(row.year, stamp.year) << row.name;
        EXPECT_EQ(row.month, stamp.month) << row.name;
        EXPECT_EQ(row.day, stamp.day) << row.name;
        EXPECT_EQ(row.hour, stamp.hour) << row.name;
    }
}

TEST_F(Bookkeeping, WriteLastPopupTimeStoresTheLocalTimeWithoutATerminator) {
    qt::RegistryRecorder recorder(GetModuleHandleA(nullptr));
    ASSERT_TRUE(recorder.Active());
    SYSTEMTIME before;
    GetLocalTime(&before);
    ASSERT_TRUE(WriteLastPopupTime());
    SYSTEMTIME after;
    GetLocalTime(&after);
    const std::vector<qt::RegistryCall> calls = recorder.Take();
    ASSERT_EQ(1u, calls.size()) << Describe(calls);
    EXPECT_EQ(deployed::kLastPopupValue, calls[0].value);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), calls[0].type);
    const std::string text = calls[0].data;
    EXPECT_EQ(std::strlen(text.c_str()), calls[0].count) << "the byte count is the length: no terminating zero";
    EXPECT_EQ(text, Stored(deployed::kLastPopupValue));
    // The text is the format applied to one of the two readings around the
    // write (they differ only when a second boundary fell in between).
    char expectBefore[64], expectAfter[64];
    std::snprintf(expectBefore, sizeof expectBefore, "%d-%d-%d %02d:%02d:%02d", before.wYear, before.wMonth,
                  before.wDay, before.wHour, before.wMinute, before.wSecond);
    std::snprintf(expectAfter, sizeof expectAfter, "%d-%d-%d %02d:%02d:%02d", after.wYear, after.wMonth, after.wDay,
                  after.wHour, after.wMinute, after.wSecond);
    EXPECT_TRUE(text == expectBefore || text == expectAfter) << text;
    PopupStamp stamp;
    ReadLastPopupTime(stamp);
    EXPECT_EQ(after.wYear, stamp.year);
    EXPECT_EQ(after.wMonth, stamp.month);
    EXPECT_EQ(after.wDay, stamp.day);
}

// ---------------------------------------------------------------- the count

TEST_F(Bookkeeping, NoKeyAtAll) {
    EXPECT_EQ(0, ReadPopupCount());
    PopupStamp stamp;
    stamp.year = 5;
    ReadLastPopupTime(stamp);
    EXPECT_EQ(0, stamp.year);
    EXPECT_EQ(1, IsSamePurpose("")) << "a missing purpose is the empty purpose";
    EXPECT_EQ(0, IsSamePurpose("x"));
    EXPECT_EQ("<missing>", Stored(deployed::kPopupCountValue)) << "reading creates nothing";
}

TEST_F(Bookkeeping, CountsAsStored) {
    struct Row {
        const char* name;
        DWORD type;
        std::string bytes;
        std::int32_t read;
        std::uint32_t afterIncrease;
    } rows[] = {
        {"zero", REG_DWORD, Dword(0), 0, 1},
        {"two", REG_DWORD, Dword(2), 2, 3},
        {"negative -5 reads as 0", REG_DWORD, Dword(static_cast<std::uint32_t>(-5)), 0, 1},
        {"0x80000000 is negative", REG_DWORD, Dword(0x80000000u), 0, 1},
        {"0x7FFFFFFF stays there instead of wrapping to 0", REG_DWORD, Dword(0x7FFFFFFFu), 0x7FFFFFFF,
         0x7FFFFFFFu},
        {"a text is not a count", REG_SZ, "5", 0, 1},
        {"too short", REG_BINARY, std::string("\x02\x00", 2), 0, 1},
    };
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        qt::SetRaw(deployed::kBookkeepingKey, deployed::kPopupCountValue, row.type, row.bytes);
        EXPECT_EQ(row.read, ReadPopupCount()) << row.name;
        ASSERT_TRUE(IncreasePopupCount()) << row.name;
        DWORD type = 0;
        EXPECT_EQ(Dword(row.afterIncrease), Stored(deployed::kPopupCountValue, &type)) << row.name;
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type) << row.name;
    }
}

TEST_F(Bookkeeping, WritePopupCountNeverStoresANegativeNumber) {
    struct Row {
        std::int32_t count;
        std::uint32_t stored;
    } rows[] = {{-3, 0}, {0, 0}, {1, 1}, {INT32_MIN, 0}, {INT32_MAX, 0x7FFFFFFFu}};
    qt::RegistryRecorder recorder(GetModuleHandleA(nullptr));
    ASSERT_TRUE(recorder.Active());
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        ASSERT_TRUE(WritePopupCount(row.count)) << "count " << row.count;
        DWORD type = 0;
        EXPECT_EQ(Dword(row.stored), Stored(deployed::kPopupCountValue, &type)) << "count " << row.count;
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type) << "count " << row.count;
        const std::vector<qt::RegistryCall> calls = recorder.Take();
        ASSERT_EQ(1u, calls.size()) << "count " << row.count;
        EXPECT_EQ(4u, calls[0].count) << "count " << row.count;
    }
}

TEST_F(Bookkeeping, ResetAndRecord) {
    ASSERT_TRUE(WritePurpose("campaign"));
    ASSERT_TRUE(WritePopupCount(2));
    ASSERT_TRUE(WriteLastPopupTime());
    ResetPopupRecord();
    EXPECT_EQ(0, ReadPopupCount());
    EXPECT_TRUE(Missing(deployed::kPopupCountValue));
    EXPECT_TRUE(Missing(deployed::kLastPopupValue));
    EXPECT_EQ("campaign", Stored(deployed::kPurposeValue)) << "the purpose stays";

    ASSERT_TRUE(RecordPopupShown());
    EXPECT_EQ(1, ReadPopupCount());
    PopupStamp stamp;
    ReadLastPopupTime(stamp);
    EXPECT_NE(0, stamp.year);
    ASSERT_TRUE(RecordPopupShown());
    EXPECT_EQ(2, ReadPopupCount());
}

// ---------------------------------------------------------------- the purpose

TEST_F(Bookkeeping, PurposeIsStoredWithoutATerminator) {
    struct Row {
        const char* name;
        std::string purpose;
    } rows[] = {
        {"ASCII", "spring-2010"},
        {"Chinese", qt::Gbk("春季推广活动")},
        {"empty", ""},
        {"4095 bytes", std::string(4095, 'p')},
    };
    qt::RegistryRecorder recorder(GetModuleHandleA(nullptr));
    ASSERT_TRUE(recorder.Active());
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        EXPECT_TRUE(WritePurpose(row.purpose)) << row.name;
        const std::vector<qt::RegistryCall> calls = recorder.Take();
        ASSERT_EQ(1u, calls.size()) << row.name;
        EXPECT_EQ(deployed::kPurposeValue, calls[0].value) << row.name;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), calls[0].type) << row.name;
        EXPECT_EQ(row.purpose.size(), calls[0].count) << row.name << ": byte count equals the length";
        EXPECT_TRUE(calls[0].data == row.purpose) << row.name;
        DWORD type = 0;
        EXPECT_TRUE(row.purpose == Stored(deployed::kPurposeValue, &type)) << row.name;
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), type) << row.name;
        EXPECT_EQ(1, IsSamePurpose(row.purpose)) << row.name << ": reads back as the same";
    }
}

TEST_F(Bookkeeping, PurposeComparison) {
    struct Row {
        const char* name;
        DWORD type;
        std::optional<std::string> stored;  // none: no value
        std::string purpose;
        int same;
    } rows[] = {
        {"equal", REG_SZ, "spring", "spring", 1},
        {"letter case differs", REG_SZ, "spring", "Spring", 0},
        {"stored with its terminator", REG_SZ, std::string("spring\0", 7), "spring", 1},
        {"a prefix of the stored", REG_SZ, "spring", "spr", 0},
        {"longer than the stored", REG_SZ, "spr", "spring", 0},
        {"nothing stored, empty purpose", REG_SZ, std::nullopt, "", 1},
        {"nothing stored, a purpose", REG_SZ, std::nullopt, "spring", 0},
        {"stored empty, empty purpose", REG_SZ, "", "", 1},
        {"stored empty, a purpose", REG_SZ, "", "spring", 0},
        {"1023 bytes", REG_SZ, std::string(1023, 'q'), std::string(1023, 'q'), 1},
        {"1024 bytes", REG_SZ, std::string(1024, 'q'), std::string(1024, 'q'), 1},
        {"1025 bytes", REG_SZ, std::string(1025, 'q'), std::string(1025, 'q'), 1},
        {"2000 bytes", REG_SZ, std::string(2000, 'q'), std::string(2000, 'q'), 1},
        {"4095 bytes", REG_SZ, std::string(4095, 'q'), std::string(4095, 'q'), 1},
        {"2000 bytes, the last differs", REG_SZ, std::string(1999, 'q') + "r", std::string(2000, 'q'), 0},
        {"2000 stored, the first 1023 given", REG_SZ, std::string(2000, 'q'), std::string(1023, 'q'), 0},
        {"not a text", REG_DWORD, Dword(0x6E697073), "spin", 0},
        {"Chinese", REG_SZ, qt::Gbk("春季"), qt::Gbk("春季"), 1},
    };
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        if (row.stored) qt::SetRaw(deployed::kBookkeepingKey, deployed::kPurposeValue, row.type, *row.stored);
        EXPECT_EQ(row.same, IsSamePurpose(row.purpose)) << row.name;
    }
}

// The loader's use of the purpose: a changed one restarts the record, the
// same one (however long) leaves it alone.
TEST_F(Bookkeeping, LoaderRestartsTheRecordOnlyForAChangedPurpose) {
    struct Row {
        const char* name;
        std::optional<std::string> stored;   // none: no purpose stored
        std::optional<std::string> purpose;  // the campaign's Purpose; none: no such line
        bool reset;
    } rows[] = {
        {"same purpose", "spring", "spring", false},
        {"another purpose", "spring", "autumn", true},
        {"letter case only", "spring", "SPRING", true},
        {"purpose removed from the file", "spring", std::nullopt, true},
        {"none stored, none given", std::nullopt, std::nullopt, false},
        {"none stored, one given", std::nullopt, "spring", true},
        {"2000 bytes unchanged", std::string(2000, 'z'), std::string(2000, 'z'), false},
        {"4095 bytes unchanged", std::string(4095, 'z'), std::string(4095, 'z'), false},
        {"2000 bytes, last one changed", std::string(2000, 'z'), std::string(1999, 'z') + "y", true},
    };
    qt::RegistryRecorder recorder(GetModuleHandleA(nullptr));
    ASSERT_TRUE(recorder.Active());
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        if (row.stored) qt::SetRaw(deployed::kBookkeepingKey, deployed::kPurposeValue, REG_SZ, *row.stored);
        qt::SetRaw(deployed::kBookkeepingKey, deployed::kPopupCountValue, REG_DWORD, Dword(2));
        qt::SetRaw(deployed::kBookkeepingKey, deployed::kLastPopupValue, REG_SZ, "2010-3-5 09:07:03");
        recorder.Take();
        CampaignConfig config;
        ASSERT_EQ(1, qt::LoadIni(config, "[Common]\r\n" + (row.purpose ? "Purpose=" + *row.purpose + "\r\n" : "")))
            << row.name;
        ASSERT_TRUE(RestartRecordForPurpose(config.Common().Purpose)) << row.name;
        const std::vector<qt::RegistryCall> calls = recorder.Take();
        const std::string purpose = row.purpose.value_or("");
        if (row.reset) {
            // The new purpose first, then the stamp, then the count.
            ASSERT_EQ(3u, calls.size()) << row.name << ": " << Describe(calls);
            EXPECT_EQ("set", calls[0].function) << row.name;
            EXPECT_EQ(deployed::kPurposeValue, calls[0].value) << row.name;
            EXPECT_EQ(purpose.size(), calls[0].count) << row.name << ": without a terminator";
            EXPECT_EQ("delete", calls[1].function) << row.name;
            EXPECT_EQ(deployed::kLastPopupValue, calls[1].value) << row.name;
            EXPECT_EQ("delete", calls[2].function) << row.name;
            EXPECT_EQ(deployed::kPopupCountValue, calls[2].value) << row.name;
            EXPECT_TRUE(Missing(deployed::kPopupCountValue)) << row.name;
            EXPECT_TRUE(Missing(deployed::kLastPopupValue)) << row.name;
            EXPECT_TRUE(purpose == Stored(deployed::kPurposeValue)) << row.name;
        } else {
            EXPECT_TRUE(calls.empty()) << row.name << ": no registry write at all: " << Describe(calls);
            EXPECT_EQ(Dword(2), Stored(deployed::kPopupCountValue)) << row.name;
            EXPECT_EQ("2010-3-5 09:07:03", Stored(deployed::kLastPopupValue)) << row.name;
        }
    }
}

// A load only reads: what is stored is the decision's business.
TEST_F(Bookkeeping, ALoadLeavesTheRecordAlone) {
    qt::SetRaw(deployed::kBookkeepingKey, deployed::kPurposeValue, REG_SZ, "spring");
    qt::SetRaw(deployed::kBookkeepingKey, deployed::kPopupCountValue, REG_DWORD, Dword(2));
    qt::RegistryRecorder recorder(GetModuleHandleA(nullptr));
    ASSERT_TRUE(recorder.Active());
    const std::string dir = qt::FreshDir("bookkeeping-tool-load");
    const std::string dat = qt::WriteCampaign(dir, "[Common]\r\nPurpose=autumn\r\n");
    CampaignConfig config;
    ASSERT_EQ(1, config.LoadCampaignFile(dat.c_str()));
    EXPECT_EQ("autumn", config.Common().Purpose);
    EXPECT_EQ("spring", Stored(deployed::kPurposeValue));
    EXPECT_EQ(Dword(2), Stored(deployed::kPopupCountValue));
    const std::string ini = qt::Join(dir, "plain.ini");
    qt::WriteBytes(ini, "[Common]\r\nPurpose=winter\r\n");
    ASSERT_EQ(1, config.LoadPlainFile(ini.c_str()));
    EXPECT_EQ("winter", config.Common().Purpose);
    EXPECT_EQ("spring", Stored(deployed::kPurposeValue));
    EXPECT_EQ(Dword(2), Stored(deployed::kPopupCountValue));
    EXPECT_EQ("", Describe(recorder.Take())) << "no registry write";
}

// Through the real exports: a long purpose that did not change keeps the
// count, so MaxPopupTimes holds; a changed one starts again.
TEST_F(Bookkeeping, ExportsKeepTheCountOfALongUnchangedPurpose) {
    qt::InstallSuite("bookkeeping-exports-suite");
    const std::string desktop = qt::CleanDesktop();
    qt::AddShortcut(desktop, "Copperwing.lnk");
    const std::string longPurpose(2000, 'L');
    const std::string campaign = "[Common]\r\nPurpose=" + longPurpose +
                                 "\r\nMaxPopupTimes=3\r\nPopupFrequency=127\r\n"
                                 "[NoAntiVirus]\r\nMessage=%s\r\n[GameScan]\r\nk1o=Copperwing\r\n";
    qt::SetRaw(deployed::kBookkeepingKey, deployed::kPurposeValue, REG_SZ, longPurpose);
    qt::SetRaw(deployed::kBookkeepingKey, deployed::kPopupCountValue, REG_DWORD, Dword(3));
    qt::Plugin p;
    qt::LoadPlugin(p, "bookkeeping-exports", campaign);
    qt::RegistryRecorder recorder(p.module.get());
    ASSERT_TRUE(recorder.Active());
    QUENTRA_INSTANCE in = p.create();
    EXPECT_EQ(0, p.check(in)) << "the count has reached MaxPopupTimes";
    EXPECT_EQ("", Describe(recorder.Take())) << "the same purpose: no registry write";
    EXPECT_EQ(Dword(3), Stored(deployed::kPopupCountValue)) << "not reset by the load";

    // A changed purpose: the record restarts and the balloon shows once.
    p.SetCampaign("[Common]\r\nPurpose=" + longPurpose + "2\r\nPopupFrequency=127\r\n"
                  "[NoAntiVirus]\r\nMessage=%s\r\n[GameScan]\r\nk1o=Copperwing\r\n");
    EXPECT_EQ(1, p.check(in)) << "a new campaign starts from 0";
    const std::vector<qt::RegistryCall> calls = recorder.Take();
    ASSERT_EQ(5u, calls.size()) << Describe(calls);
    EXPECT_EQ(deployed::kPurposeValue, calls[0].value);
    EXPECT_EQ(2001u, calls[0].count) << "the purpose's length, no terminator";
    EXPECT_EQ(deployed::kLastPopupValue, calls[1].value);
    EXPECT_EQ(deployed::kPopupCountValue, calls[2].value);
    EXPECT_EQ(deployed::kLastPopupValue, calls[3].value) << "the showing: its stamp first";
    EXPECT_EQ(std::strlen(calls[3].data.c_str()), calls[3].count) << "the stamp's length, no terminator";
    EXPECT_EQ(deployed::kPopupCountValue, calls[4].value) << "then its count";
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), calls[4].type);
    EXPECT_EQ(Dword(1), calls[4].data);
    EXPECT_EQ(Dword(1), Stored(deployed::kPopupCountValue));
    EXPECT_TRUE(longPurpose + "2" == Stored(deployed::kPurposeValue));
    EXPECT_EQ(0, p.check(in)) << "once a day";
    EXPECT_EQ(Dword(1), Stored(deployed::kPopupCountValue));
    p.destroy(in);
    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
}

}  // namespace
