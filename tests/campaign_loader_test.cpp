// The campaign loader on encoded files, read through the system's profile
// functions under Wine: what each key gives, keeps, empties or defaults,
// the [GameScan] stop rules, the buffer cuts, and loads that follow each
// other in one process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "campaign/config.h"
#include "campaign/sections.h"
#include "environment/bookkeeping.h"
#include "support/campaign.h"
#include "support/sandbox.h"

namespace {

// Every key present with a value that differs from its default, so that a
// second load tells "keeps" from "empties" from "defaults".
const std::string kFull =
    "[Common]\r\n"
    "Purpose=full purpose\r\n"
    "DelayMinute=45\r\n"
    "MaxPopupTimes=5\r\n"
    "PopupFrequency=127\r\n"
    "DisableAvExamine=0\r\n"
    "AntiVirus1=1,2,3\r\n"
    "AntiVirus2=4,5,6\r\n"
    "[NoAntiVirus]\r\n"
    "Title=Full title\r\n"
    "Message=Full\\nmessage %s\r\n"
    "CommandText=Full command\r\n"
    "DownloadURL=http://download.corvelsafe.com/vault/full.exe\r\n"
    "Detail=Full detail\r\n"
    "Level=6\r\n"
    "CommandAction=4\r\n"
    "ID=full-id\r\n"
    "ShowCheckBox=0\r\n"
    "SuportX64=0\r\n"
    "[GameScan]\r\n"
    "k1m=Quillstorm\r\n"
    "k2o=Tidewarden\r\n";

// Loads kFull, then kFull with one line replaced (or removed when `line` is
// empty), into the same configuration.
void LoadFullThen(CampaignConfig& config, const char* section, const char* key, const std::string& line) {
    ASSERT_EQ(1, qt::LoadIni(config, kFull));
    ASSERT_EQ(1, qt::LoadIni(config, qt::ReplaceLine(kFull, section, key, line)));
}

std::vector<std::string> Texts(const std::vector<TextString>& list) { return {list.begin(), list.end()}; }

// Where a field is read back: the [Common] settings, or both notices, which
// [NoAntiVirus] fills alike.
template <class Value>
void ExpectField(const CampaignConfig& config, Value CommonSettings::*field, const Value& expected, const char* row) {
    EXPECT_EQ(expected, config.Common().*field) << row;
}
template <class Value>
void ExpectField(const CampaignConfig& config, Value NoticeRecord::*field, const Value& expected, const char* row) {
    EXPECT_EQ(expected, config.NoAvNotice().*field) << row << " (NoAvNotice)";
    EXPECT_EQ(expected, config.GameScanNotice().*field) << row << " (GameScanNotice)";
}

constexpr const char* kAbsent = nullptr;  // the key's line removed

// A key, the field it fills, and its cases: the value of its line in the
// second load (kAbsent: no line), and what the field then holds.
template <class Record, class Value>
struct KeyCases {
    const char* key;
    Value Record::*field;
    std::vector<std::pair<const char*, Value>> cases;
};

// Each case: kFull, then kFull with the key's line changed, into one
// configuration. A failure names the line, or "KEY absent".
template <class Record, class Value>
void ExpectKeyCases(const char* section, const std::vector<KeyCases<Record, Value>>& keys) {
    for (const KeyCases<Record, Value>& key : keys) {
        for (const auto& [value, expected] : key.cases) {
            const std::string line = value == kAbsent ? "" : std::string(key.key) + "=" + value;
            const std::string name = value == kAbsent ? std::string(key.key) + " absent" : line;
            CampaignConfig config;
            LoadFullThen(config, section, key.key, line);
            ExpectField(config, key.field, expected, name.c_str());
        }
    }
}

class CampaignLoader : public ::testing::Test {
protected:
    void SetUp() override { qt::ClearBookkeeping(); }
    void TearDown() override { qt::ClearBookkeeping(); }
};

TEST_F(CampaignLoader, CommonIntegerKeys) {
    ExpectKeyCases<CommonSettings, std::int32_t>(
        "Common",
        {
            {"DelayMinute", &CommonSettings::DelayMinute,
             {{kAbsent, 30}, {"0", 1}, {"-5", 1}, {"1", 1}, {"1000000", 1000000}, {"1000001", 1000000},
              {"2000000", 1000000}}},
            {"MaxPopupTimes", &CommonSettings::MaxPopupTimes,
             {{kAbsent, 3}, {"-1", 0}, {"0", 0}, {"1000001", 1000000}, {"8", 8}}},
            {"PopupFrequency", &CommonSettings::PopupFrequency,
             {{kAbsent, 7}, {"-1", 0}, {"0", 0}, {"2000000", 1000000}, {"42", 42}}},
            {"DisableAvExamine", &CommonSettings::DisableAvExamine, {{kAbsent, 1}, {"0", 0}, {"5", 1}, {"-1", 1}}},
        });
}

TEST_F(CampaignLoader, PurposeIsAlwaysStored) {
    // Absent or empty, it empties the last one.
    ExpectKeyCases<CommonSettings, TextString>(
        "Common", {{"Purpose", &CommonSettings::Purpose, {{kAbsent, ""}, {"", ""}, {"second", "second"}}}});
}

TEST_F(CampaignLoader, NoticeIntegerKeysFillBothNotices) {
    ExpectKeyCases<NoticeRecord, std::int32_t>(
        "NoAntiVirus",
        {
            // Level and CommandAction are taken unchecked.
            {"Level", &NoticeRecord::Level, {{kAbsent, 3}, {"-9", -9}, {"2000000", 2000000}}},
            {"CommandAction", &NoticeRecord::CommandAction, {{kAbsent, 2}, {"0", 0}, {"-7", -7}}},
            {"ShowCheckBox", &NoticeRecord::ShowCheckBox, {{kAbsent, 1}, {"0", 0}, {"5", 1}, {"-1", 1}}},
            {"SuportX64", &NoticeRecord::SuportX64, {{kAbsent, 1}, {"0", 0}, {"2", 1}}},
        });
}

TEST_F(CampaignLoader, NoticeTextKeysKeepEmptyOrReplace) {
    const std::string url = "http://download.corvelsafe.com/vault/full.exe";
    ExpectKeyCases<NoticeRecord, TextString>(
        "NoAntiVirus",
        {
            // Absent or empty keeps the last value.
            {"Title", &NoticeRecord::Title, {{kAbsent, "Full title"}, {"", "Full title"}, {"Second", "Second"}}},
            // A backslash and n becomes a line feed; a backslash and N does not, nor
            // a trail byte 0x5C and n.
            {"Message", &NoticeRecord::Message,
             {{kAbsent, "Full\nmessage %s"},
              {"", "Full\nmessage %s"},
              {"one\\ntwo", "one\ntwo"},
              {"one\\Ntwo", "one\\Ntwo"},
              {"\x81\x5Cn\\n", "\x81\x5Cn\n"}}},
            {"CommandText", &NoticeRecord::CommandText,
             {{kAbsent, "Full command"}, {"", "Full command"}, {"Go", "Go"}}},
            {"DownloadURL", &NoticeRecord::DownloadURL,
             {{kAbsent, url}, {"", url}, {"http://127.0.0.1/x.exe", "http://127.0.0.1/x.exe"}}},
            // Absent or empty empties it.
            {"Detail", &NoticeRecord::Detail, {{kAbsent, ""}, {"", ""}, {"More", "More"}}},
            {"ID", &NoticeRecord::ID, {{kAbsent, ""}, {"", ""}, {"second-id", "second-id"}}},
        });
}

TEST_F(CampaignLoader, AFirstLoadWithoutNoAntiVirusKeepsTheBuiltInTexts) {
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, "[GameScan]\r\nk1o=Tidewarden\r\n"));
    const CampaignConfig fresh;
    EXPECT_EQ(fresh.NoAvNotice().Message, config.NoAvNotice().Message) << "the two-line default";
    EXPECT_EQ("", config.GameScanNotice().Message);
    for (const NoticeRecord* n : {&config.NoAvNotice(), static_cast<const NoticeRecord*>(&config.GameScanNotice())}) {
        EXPECT_EQ(qt::Gbk("您的系统可能存在安全风险！"), n->Title);
        EXPECT_EQ(qt::Gbk("立即安装"), n->CommandText);
        EXPECT_EQ("", n->Detail) << "Detail is always stored";
        EXPECT_EQ(1, n->ShowCheckBox);
        EXPECT_EQ(1, n->SuportX64);
        EXPECT_EQ(3, n->Level);
        EXPECT_EQ(2, n->CommandAction);
    }
    EXPECT_EQ(fresh.Is64Bit(), config.Is64Bit()) << "a load never changes Is64Bit";
}

TEST_F(CampaignLoader, AntiVirusEntries) {
    struct Row {
        const char* name;
        std::string lines;
        std::vector<std::vector<std::int32_t>> expected;
    } rows[] = {
        {"gap at 2 ends the list", "AntiVirus1=1,2,3\r\nAntiVirus3=4,5,6\r\n", {{1, 2, 3}}},
        {"two numbers only", "AntiVirus1=1,2\r\nAntiVirus2=4,5,6\r\n", {}},
        {"a fourth number ignored", "AntiVirus1=1,2,3,4\r\n", {{1, 2, 3}}},
        {"blanks around numbers", "AntiVirus1=7, 8 ,9\r\n", {{7, 8, 9}}},
        {"empty middle part", "AntiVirus1=1,,3\r\n", {{1, 0, 3}}},
        {"letters with two commas", "AntiVirus1=abc,def,ghi\r\n", {{0, 0, 0}}},
        {"hexadecimal parts", "AntiVirus1=0x1F,0x10,255\r\n", {{31, 16, 255}}},
        {"malformed second ends the list", "AntiVirus1=1,2,3\r\nAntiVirus2=5\r\nAntiVirus3=7,8,9\r\n", {{1, 2, 3}}},
        {"empty first value", "AntiVirus1=\r\nAntiVirus2=1,2,3\r\n", {}},
        {"none", "", {}},
        {"numbering from 1, not 0", "AntiVirus0=1,2,3\r\n", {}},
        {"case-insensitive key names", "antivirus1=1,2,3\r\n", {{1, 2, 3}}},
    };
    for (const Row& row : rows) {
        CampaignConfig config;
        ASSERT_EQ(1, qt::LoadIni(config, kFull)) << row.name;
        ASSERT_EQ(1, qt::LoadIni(config, "[Common]\r\n" + row.lines));
        std::vector<std::vector<std::int32_t>> got;
        for (const AvEntry& e : config.Common().AntiVirus) got.push_back({e.values[0], e.values[1], e.values[2]});
        EXPECT_EQ(row.expected, got) << row.name;
    }
}

TEST_F(CampaignLoader, AtMostAHundredAntiVirusEntries) {
    std::string ini = "[Common]\r\n";
    for (int n = 1; n <= 101; ++n) {
        ini += "AntiVirus" + std::to_string(n) + "=" + std::to_string(n) + ",0,0\r\n";
    }
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, ini));
    ASSERT_EQ(100u, config.Common().AntiVirus.size());
    EXPECT_EQ(1, config.Common().AntiVirus.front().values[0]);
    EXPECT_EQ(100, config.Common().AntiVirus.back().values[0]);
}

TEST_F(CampaignLoader, TwoLoadsOfTheSameFileGiveTheSameLists) {
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, kFull));
    const auto av = config.Common().AntiVirus.size();
    const auto patterns = Texts(config.GameScanNotice().ScanPatterns);
    const auto featured = Texts(config.GameScanNotice().FeaturedNames);
    ASSERT_EQ(1, qt::LoadIni(config, kFull));
    EXPECT_EQ(2u, av);
    EXPECT_EQ(av, config.Common().AntiVirus.size());
    EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Tidewarden"}), patterns);
    EXPECT_EQ(patterns, Texts(config.GameScanNotice().ScanPatterns));
    EXPECT_EQ((std::vector<std::string>{"Quillstorm"}), featured);
    EXPECT_EQ(featured, Texts(config.GameScanNotice().FeaturedNames));
}

TEST_F(CampaignLoader, GameScanStopRules) {
    struct Row {
        const char* name;
        std::string ini;
        std::vector<std::string> patterns;
        std::vector<std::string> featured;
    } rows[] = {
        {"m, o, x, o: the x stops and R is never read", "[GameScan]\r\nk1m=P\r\nk2o=Q\r\nk3x=S\r\nk4o=R\r\n",
         {"P", "Q"}, {"P"}},
        {"the sample's game names",
         "[GameScan]\r\ng1m=Quillstorm\r\ng2m=Tidewarden\r\ng3o=Copperwing\r\ng4m=Emberlane\r\ng5m=Brambleport\r\n",
         {"Quillstorm", "Tidewarden", "Copperwing", "Emberlane", "Brambleport"},
         {"Quillstorm", "Tidewarden", "Emberlane", "Brambleport"}},
        {"an empty first value stops everything", "[GameScan]\r\nk1o=\r\nk2m=P\r\n", {}, {}},
        {"an empty value in the middle", "[GameScan]\r\nk1m=P\r\nk2o=\r\nk3o=Q\r\n", {"P"}, {"P"}},
        {"capital M stops", "[GameScan]\r\nk1M=P\r\nk2m=Q\r\n", {}, {}},
        {"capital O stops", "[GameScan]\r\nk1o=P\r\nk2O=Q\r\nk3o=R\r\n", {"P"}, {}},
        {"duplicates stay", "[GameScan]\r\na1m=Same\r\na2m=Same\r\na3o=Same\r\n", {"Same", "Same", "Same"},
         {"Same", "Same"}},
        {"one-letter keys", "[GameScan]\r\nm=P\r\no=Q\r\n", {"P", "Q"}, {"P"}},
        {"blanks inside a value stay", "[GameScan]\r\nk1o=Tide  warden\r\n", {"Tide  warden"}, {}},
        {"a Chinese value", "[GameScan]\r\nk1m=" + qt::Gbk("潮汐守望") + "\r\n", {qt::Gbk("潮汐守望")},
         {qt::Gbk("潮汐守望")}},
        {"no [GameScan] section", "[Common]\r\n", {}, {}},
    };
    for (const Row& row : rows) {
        CampaignConfig config;
        ASSERT_EQ(1, qt::LoadIni(config, kFull)) << row.name;
        ASSERT_EQ(1, qt::LoadIni(config, row.ini)) << row.name;
        EXPECT_EQ(row.patterns, Texts(config.GameScanNotice().ScanPatterns)) << row.name;
        EXPECT_EQ(row.featured, Texts(config.GameScanNotice().FeaturedNames)) << row.name;
    }
}

TEST_F(CampaignLoader, AddGameScanEntryRefusesWhatItCannotRead) {
    const std::string dir = qt::FreshDir("loader-add-entry");
    const std::string ini = qt::Join(dir, "plain.ini");
    qt::WriteBytes(ini, "[GameScan]\r\nk1m=P\r\n");
    GameScanNoticeRecord notice;
    EXPECT_EQ(0, AddGameScanEntry(nullptr, ini.c_str(), notice)) << "no key name";
    EXPECT_EQ(0, AddGameScanEntry("", ini.c_str(), notice)) << "empty key name";
    EXPECT_EQ(0, AddGameScanEntry("k1m", nullptr, notice)) << "no file";
    EXPECT_TRUE(notice.ScanPatterns.empty());
    EXPECT_EQ(1, AddGameScanEntry("k1m", ini.c_str(), notice));
    EXPECT_EQ((std::vector<std::string>{"P"}), Texts(notice.ScanPatterns));
    EXPECT_EQ(0, LoadGameScan(nullptr, notice));
    EXPECT_TRUE(notice.ScanPatterns.empty()) << "the lists are emptied even when the call fails";
    CommonSettings common;
    EXPECT_EQ(0, LoadCommonSection(nullptr, common));
    EXPECT_EQ(0, LoadNoticeSection(nullptr, notice));
}

TEST_F(CampaignLoader, TheGameScanKeyListIsCutAt1024Bytes) {
    // 80 keys of 16 bytes each (with their zero) are 1280 bytes of names: only
    // the keys whose names fit in the list are read, in order.
    std::string section = "[GameScan]\r\n";
    std::vector<std::string> all;
    for (int i = 0; i < 80; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "pattern_key_%02dm", i);
        section += std::string(name) + "=v" + std::to_string(i) + "\r\n";
        all.push_back("v" + std::to_string(i));
    }
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, section));
    const std::vector<std::string> got = Texts(config.GameScanNotice().ScanPatterns);
    EXPECT_GE(got.size(), 60u);
    EXPECT_LE(got.size(), 64u);
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + static_cast<long>(got.size())), got);
}

TEST_F(CampaignLoader, ValuesAreCutToTheirBuffers) {
    const std::size_t kPatternMax = 1023;  // a [GameScan] value's buffer, less its terminator
    const std::size_t kTextMax = 4095;     // every other value's
    struct Row {
        const char* name;
        const char* section;
        const char* key;
        std::size_t length, kept;
    } rows[] = {
        {"GameScan one short of 1023", "GameScan", "k1m", 1022, 1022},
        {"GameScan exact fit 1023", "GameScan", "k1m", 1023, 1023},
        {"GameScan 1024 cut", "GameScan", "k1m", 1024, kPatternMax},
        {"GameScan 3000 cut", "GameScan", "k1m", 3000, kPatternMax},
        {"Title exact fit 4095", "NoAntiVirus", "Title", 4095, 4095},
        {"Title 4096 cut", "NoAntiVirus", "Title", 4096, kTextMax},
        {"Title 5000 cut", "NoAntiVirus", "Title", 5000, kTextMax},
        {"Purpose 4095", "Common", "Purpose", 4095, 4095},
        {"Purpose 6000 cut", "Common", "Purpose", 6000, kTextMax},
        {"ID 4096 cut", "NoAntiVirus", "ID", 4096, kTextMax},
    };
    for (const Row& row : rows) {
        std::string value;
        for (std::size_t i = 0; i < row.length; ++i) value.push_back(static_cast<char>('a' + i % 26));
        CampaignConfig config;
        ASSERT_EQ(1, qt::LoadIni(config, std::string("[") + row.section + "]\r\n" + row.key + "=" + value + "\r\n"))
            << row.name;
        std::string got;
        if (std::string(row.section) == "GameScan") {
            ASSERT_EQ(1u, config.GameScanNotice().ScanPatterns.size()) << row.name;
            got = config.GameScanNotice().ScanPatterns[0];
            EXPECT_EQ(got, config.GameScanNotice().FeaturedNames.at(0)) << row.name;
        } else if (std::string(row.key) == "Title") {
            got = config.GameScanNotice().Title;
        } else if (std::string(row.key) == "ID") {
            got = config.NoAvNotice().ID;
        } else {
            got = config.Common().Purpose;
        }
        EXPECT_EQ(value.substr(0, row.kept), got) << row.name;
    }
}

TEST_F(CampaignLoader, APartialLastWordAfterALineEndStillLoads) {
    // A file cut short of a whole word: the filler that decoding adds comes
    // after the last line end, so no value takes it in.
    const std::string body =
        "[NoAntiVirus]\r\nID=cut-file\r\n[GameScan]\r\ng1m=Quillstorm\r\ng2o=Copperwing\r\ng3m=Brambleport\r\n";
    for (const std::string& pad : {std::string(""), std::string("\n"), std::string("\r\n\r\n")}) {
        for (std::size_t extra = 1; extra <= 3; ++extra) {
            // A comment line of the right length at the top gives the residue.
            const std::size_t fixed = 3 + body.size() + pad.size();  // ";" and "\r\n" included
            const std::string ini = ";" + std::string((extra + 4 - fixed % 4) % 4, 'c') + "\r\n" + body + pad;
            ASSERT_EQ(extra, ini.size() % 4);
            const std::string dir = qt::FreshDir("loader-partial");
            const std::string path = qt::Join(dir, "quentracfg.dat");
            qt::WriteBytes(path, qt::Encode(ini).substr(0, ini.size()));
            CampaignConfig config;
            const std::string row = "length mod 4 = " + std::to_string(extra) + ", pad '" + pad + "'";
            ASSERT_EQ(1, config.LoadCampaignFile(path.c_str())) << row;
            EXPECT_EQ("cut-file", config.GameScanNotice().ID) << row;
            EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Copperwing", "Brambleport"}),
                      Texts(config.GameScanNotice().ScanPatterns))
                << row;
            EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Brambleport"}),
                      Texts(config.GameScanNotice().FeaturedNames))
                << row;
        }
    }
}

TEST_F(CampaignLoader, DifferentCampaignsBackToBackInOneProcess) {
    // Loads follow each other faster than the file times change; each must
    // read its own file, never a cached copy of the one before.
    const std::string dirA = qt::FreshDir("loader-back-to-back-a");
    const std::string dirB = qt::FreshDir("loader-back-to-back-b");
    const std::string a =
        qt::WriteCampaign(dirA, "[NoAntiVirus]\r\nID=alpha\r\nLevel=1\r\n[GameScan]\r\nk1m=Emberlane\r\n");
    const std::string b =
        qt::WriteCampaign(dirB, "[NoAntiVirus]\r\nID=bravo-longer\r\nLevel=2\r\n[GameScan]\r\nk1o=Tidewarden\r\n");
    CampaignConfig shared;
    for (int i = 0; i < 40; ++i) {
        CampaignConfig ca, cb;
        ASSERT_EQ(1, ca.LoadCampaignFile(a.c_str())) << "round " << i;
        ASSERT_EQ(1, cb.LoadCampaignFile(b.c_str())) << "round " << i;
        ASSERT_EQ("alpha", ca.GameScanNotice().ID) << "round " << i;
        ASSERT_EQ(1, ca.GameScanNotice().Level) << "round " << i;
        ASSERT_EQ((std::vector<std::string>{"Emberlane"}), Texts(ca.GameScanNotice().FeaturedNames)) << "round " << i;
        ASSERT_EQ("bravo-longer", cb.GameScanNotice().ID) << "round " << i;
        ASSERT_EQ(2, cb.GameScanNotice().Level) << "round " << i;
        ASSERT_TRUE(cb.GameScanNotice().FeaturedNames.empty()) << "round " << i;

        ASSERT_EQ(1, shared.LoadCampaignFile(i % 2 == 0 ? a.c_str() : b.c_str())) << "round " << i;
        ASSERT_EQ(i % 2 == 0 ? "alpha" : "bravo-longer", shared.GameScanNotice().ID) << "round " << i;
    }
    EXPECT_TRUE(qt::DecodedLeftovers().empty());
}

// The same rules, seen through the real exports: TCCheck loads the campaign
// once the suite is installed, and TCEnum shows what the load left.
TEST_F(CampaignLoader, ExportsKeepATitleAndEmptyAnIdAcrossChecks) {
    qt::InstallSuite("loader-exports-suite");
    qt::CleanDesktop();
    qt::Plugin p;
    qt::LoadPlugin(p, "loader-exports",
                   "[NoAntiVirus]\r\nTitle=Alpha title\r\nID=alpha\r\nLevel=5\r\nCommandText=Install alpha\r\n"
                   "[GameScan]\r\nk1m=Quillstorm\r\n");
    QUENTRA_INSTANCE in = p.create();
    ASSERT_NE(nullptr, in);
    p.check(in);
    qt::Content c = qt::Enum(p, in);
    EXPECT_EQ("Alpha title", c.title);
    EXPECT_EQ("alpha", c.id);
    EXPECT_EQ(5, c.level);
    EXPECT_EQ("Install alpha", c.command);

    p.SetCampaign("[NoAntiVirus]\r\nCommandText=\r\n[GameScan]\r\nk1m=Quillstorm\r\n");
    p.check(in);
    c = qt::Enum(p, in);
    EXPECT_EQ("Alpha title", c.title) << "kept from the first check";
    EXPECT_EQ("", c.id) << "emptied by the second";
    EXPECT_EQ(3, c.level) << "back to the default";
    EXPECT_EQ("Install alpha", c.command) << "an empty value keeps";
    p.destroy(in);
    qt::RemoveSuiteRegistration();
}

TEST_F(CampaignLoader, ExportsAnswerNoWhenGameScanStopsAtItsFirstKey) {
    qt::InstallSuite("loader-exports-stop-suite");
    const std::string desktop = qt::CleanDesktop();
    qt::AddShortcut(desktop, "Tidewarden.lnk");
    struct Row {
        const char* name;
        const char* section;
        int expected;
    } rows[] = {
        {"a pattern that matches the desktop", "k1o=Tidewarden\r\n", 1},
        {"the first key empty", "k1o=\r\nk2o=Tidewarden\r\n", 0},
        {"the first key ends in x", "k1x=Tidewarden\r\nk2o=Tidewarden\r\n", 0},
    };
    int serial = 0;
    for (const Row& row : rows) {
        qt::ClearBookkeeping();
        qt::Plugin p;
        // A folder per row: a showing's report thread keeps its copy loaded.
        qt::LoadPlugin(p, "loader-exports-stop-" + std::to_string(++serial),
                       std::string("[Common]\r\nPopupFrequency=127\r\n[NoAntiVirus]\r\nMessage=Play %s\r\n"
                                   "[GameScan]\r\n") +
                           row.section);
        QUENTRA_INSTANCE in = p.create();
        EXPECT_EQ(row.expected, p.check(in)) << row.name;
        p.destroy(in);
    }
    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
}

}  // namespace
