// The desktop shortcut scan: which shortcut names match which patterns, the
// name list the message receives, and the cut of the message. Through the
// real exports on the desktop of this prefix, and on the instance directly
// where the matched set itself is the point.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "common/ansi.h"
#include "decision/compose.h"
#include "campaign/config.h"
#include "decision/scan.h"
#include "support/decision.h"

namespace {

using qt::CampaignFields;
using GameScan = std::vector<std::pair<std::string, std::string>>;

const std::string kSep = "\xA3\xAC";  // the full-width comma of code page 936

std::string Names(std::initializer_list<const char*> names) {
    std::string list;
    for (const char* n : names) list += (list.empty() ? "" : kSep) + std::string(n);
    return list;
}

struct ScanRow {
    std::string name;
    GameScan gameScan;
    std::vector<std::string> shortcuts;  // files on the desktop; "Sub\\X.lnk" lies in a subfolder
    std::vector<std::string> folders;    // folders made on the desktop first
    std::string expected;                // the message; empty: the check answers 0
    std::string message = "%s";
};

// Runs every row on one machine: a fresh desktop, fresh bookkeeping and a
// new instance per row.
void RunScanRows(const std::string& name, const std::vector<ScanRow>& rows) {
    qt::DecisionMachine machine(name);
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, name);
    for (const ScanRow& row : rows) {
        SCOPED_TRACE(row.name);
        qt::CleanDesktop();
        for (const std::string& folder : row.folders) {
            qt::RemoveTree(qt::Join(machine.desktop, folder));
            ASSERT_TRUE(CreateDirectoryA(qt::Join(machine.desktop, folder).c_str(), nullptr)) << folder;
        }
        for (const std::string& file : row.shortcuts) machine.Shortcut(file);
        qt::ClearBookkeeping();
        CampaignFields fields;
        fields.gameScan = row.gameScan;
        fields.message = row.message;
        plugin.SetCampaign(qt::CampaignIni(fields));
        {
            qt::PluginInstance in(plugin);
            EXPECT_EQ(row.expected.empty() ? 0 : 1, in.Check());
            EXPECT_EQ(row.expected, in.Message());
        }
        for (const std::string& file : row.shortcuts) qt::RemoveTree(qt::Join(machine.desktop, file));
        for (const std::string& folder : row.folders) qt::RemoveTree(qt::Join(machine.desktop, folder));
    }
}

TEST(ScanExports, WorkedExamples) {
    const GameScan worked = qt::WorkedGameScan();
    const std::string firstThreeFeatured = Names({"Quillstorm", "Tidewarden", "Emberlane"});
    RunScanRows("scan-worked",
                {
                    {"example 1",
                     worked,
                     {"Copperwing.lnk", "Tidewarden Launcher.lnk", "Notes.lnk"},
                     {"Tools"},
                     Names({"Copperwing", "Quillstorm", "Tidewarden"})},
                    {"example 2: smallest match featured (fourth), not named", worked,
                     {"Brambleport.lnk", "Tidewarden.lnk"}, {}, firstThreeFeatured},
                    {"example 3: one shortcut with two patterns", worked, {"Emberlane and Quillstorm Pack.lnk"}, {},
                     firstThreeFeatured},
                    {"example 3: and a second such shortcut", worked,
                     {"Emberlane and Quillstorm Pack.lnk", "Emberlane and Quillstorm Pack 2.lnk"}, {},
                     firstThreeFeatured},
                    {"example 4: nothing featured",
                     {{"g1o", "Quillstorm"}, {"g2o", "Tidewarden"}, {"g3o", "Copperwing"}},
                     {"Copperwing.lnk"},
                     {},
                     "Copperwing"},
                    {"example 4: two featured",
                     {{"g1m", "Quillstorm"}, {"g2m", "Tidewarden"}, {"g3o", "Copperwing"}},
                     {"Copperwing.lnk"},
                     {},
                     Names({"Copperwing", "Quillstorm"})},
                    {"the message around the list",
                     worked,
                     {"Copperwing.lnk"},
                     {},
                     "Play " + Names({"Copperwing", "Quillstorm", "Tidewarden"}) + " safely",
                     "Play %s safely"},
                });
}

TEST(ScanExports, WhichShortcutNamesMatch) {
    const GameScan quill = {{"g1o", "Quillstorm"}};
    RunScanRows("scan-names",
                {
                    {"pattern only in the extension", {{"g1o", "lnk"}}, {"Notes.lnk"}, {}, ""},
                    {"only the last extension is removed", {{"g1o", "beta"}}, {"Copperwing.beta.lnk"}, {}, "beta"},
                    {"a pattern in an inner extension", {{"g1o", "lnk"}}, {"Notes.lnk.lnk"}, {}, "lnk"},
                    {"a directory named X.lnk", quill, {}, {"Quillstorm.lnk"}, ""},
                    {"a directory named X.lnk beside a shortcut", quill, {"Quillstorm Two.lnk"}, {"Quillstorm.lnk"},
                     "Quillstorm"},
                    {"letter case differs", {{"g1o", "quillstorm"}}, {"Quillstorm.lnk"}, {}, ""},
                    {"letter case differs, the other way", quill, {"QUILLSTORM.lnk"}, {}, ""},
                    {"not a .lnk file", quill, {"Quillstorm.url", "Quillstorm.txt"}, {}, ""},
                    {"a shortcut in a desktop subfolder", quill, {"Sub\\Quillstorm.lnk"}, {"Sub"}, ""},
                    {"pattern inside the name", quill, {"Play Quillstorm Now.lnk"}, {}, "Quillstorm"},
                    {"two patterns in one name: the earlier in the list", {{"g1o", "Zeta"}, {"g2o", "Alpha"}},
                     {"Zeta Alpha.lnk"}, {}, "Zeta"},
                    {"two patterns, seen by two shortcuts: both held", {{"g1o", "Zeta"}, {"g2o", "Alpha"}},
                     {"Zeta Alpha.lnk", "Alpha Zeta.lnk"}, {}, "Alpha"},
                    {"no shortcut at all", quill, {}, {}, ""},
                });
}

TEST(ScanExports, DoubleByteNamesUnderCodePage936) {
    const std::string zhongwen = qt::Gbk("中文");  // D6 D0 CE C4
    const std::string xing = qt::Gbk("形");        // D0 CE: trail of 中 and lead of 文
    const std::string can = qt::Gbk("蠶");         // D0 51: its trail byte is 'Q'
    ASSERT_EQ("\xD6\xD0\xCE\xC4", zhongwen);
    ASSERT_EQ("\xD0\xCE", xing);
    ASSERT_EQ("\xD0\x51", can);
    RunScanRows("scan-dbcs",
                {
                    {"pattern only across a character boundary", {{"g1o", xing}}, {zhongwen + ".lnk"}, {}, ""},
                    {"control: the same pattern as a character", {{"g1o", xing}}, {xing + qt::Gbk("状") + ".lnk"},
                     {}, xing},
                    {"ASCII pattern equal to a trail byte", {{"g1o", "Q"}}, {can + ".lnk"}, {}, ""},
                    {"control: the ASCII letter itself", {{"g1o", "Q"}}, {can + "Q.lnk"}, {}, "Q"},
                    {"double-byte pattern and name", {{"g1m", zhongwen}}, {qt::Gbk("我的中文游戏.lnk")}, {},
                     zhongwen},
                    {"ASCII sorts before Chinese", {{"g1o", zhongwen}, {"g2o", "Zeta"}},
                     {zhongwen + ".lnk", "Zeta.lnk"}, {}, "Zeta"},
                });
}

TEST(ScanExports, FeaturedNamesInTheList) {
    RunScanRows("scan-featured",
                {
                    {"a featured name twice",
                     {{"g1m", "Quillstorm"}, {"g2m", "Quillstorm"}, {"g3m", "Tidewarden"}, {"g4m", "Emberlane"}},
                     {"Quillstorm.lnk"},
                     {},
                     Names({"Quillstorm", "Quillstorm", "Tidewarden"})},
                    {"smallest match featured fifth",
                     {{"g1m", "Quillstorm"},
                      {"g2m", "Tidewarden"},
                      {"g3m", "Emberlane"},
                      {"g4m", "Copperwing"},
                      {"g5m", "Brambleport"}},
                     {"Brambleport.lnk", "Quillstorm.lnk"},
                     {},
                     Names({"Quillstorm", "Tidewarden", "Emberlane"})},
                    {"smallest match featured third",
                     {{"g1m", "Quillstorm"}, {"g2m", "Tidewarden"}, {"g3m", "Emberlane"}, {"g4m", "Copperwing"}},
                     {"Emberlane.lnk"},
                     {},
                     Names({"Quillstorm", "Tidewarden", "Emberlane"})},
                    {"only one featured, and it is the match", {{"g1m", "Quillstorm"}}, {"Quillstorm.lnk"}, {},
                     "Quillstorm"},
                    {"featured in other letter case is not the match",
                     {{"g1m", "quillstorm"}, {"g2m", "Tidewarden"}, {"g3o", "Quillstorm"}},
                     {"Quillstorm.lnk"},
                     {},
                     Names({"Quillstorm", "quillstorm"})},
                });
}

TEST(ScanExports, MessageCutAt1023Bytes) {
    const std::string zhongwen = qt::Gbk("中文");
    RunScanRows("scan-cut",
                {
                    {"exact fit", {{"g1o", "Quillstorm"}}, {"Quillstorm.lnk"}, {},
                     std::string(1013, 'a') + "Quillstorm", std::string(1013, 'a') + "%s"},
                    {"one byte over", {{"g1o", "Quillstorm"}}, {"Quillstorm.lnk"}, {},
                     std::string(1014, 'a') + "Quillstor", std::string(1014, 'a') + "%s"},
                    {"far over", {{"g1o", "Quillstorm"}}, {"Quillstorm.lnk"}, {},
                     std::string(1020, 'a') + "Qui", std::string(1020, 'a') + "%s tail"},
                    {"cut inside a double-byte character", {{"g1o", zhongwen}}, {zhongwen + ".lnk"}, {},
                     std::string(1022, 'a') + "\xD6", std::string(1022, 'a') + "%s"},
                });
}

TEST(ScanExports, AttributesDoNotExcludeAShortcut) {
    qt::DecisionMachine machine("scan-attributes");
    machine.Shortcut("Quillstorm.lnk");
    const std::string file = qt::Join(machine.desktop, "Quillstorm.lnk");
    ASSERT_TRUE(SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                                     FILE_ATTRIBUTE_READONLY));
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "scan-attributes", qt::CampaignIni(CampaignFields()));
    qt::PluginInstance in(plugin);
    EXPECT_EQ(1, in.Check());
    EXPECT_EQ("Quillstorm", in.Message());
}

TEST(ScanExports, CommonDesktopIsNotScanned) {
    qt::DecisionMachine machine("scan-common");
    char common[MAX_PATH] = {};
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, common, CSIDL_COMMON_DESKTOPDIRECTORY, TRUE));
    ASSERT_NE(qt::Join(common, ""), qt::Join(machine.desktop, ""));
    // The common desktop is the machine's: what the test puts there goes
    // however the test ends (run-tests.cmd saved the tester's shortcuts).
    struct Made {
        std::string file;
        ~Made() { DeleteFileA(file.c_str()); }
    } made{qt::Join(common, "Quillstorm.lnk")};
    qt::AddShortcut(common, "Quillstorm.lnk");
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "scan-common", qt::CampaignIni(CampaignFields()));
    {
        qt::PluginInstance in(plugin);
        EXPECT_EQ(0, in.Check());
        EXPECT_EQ("", in.Message());
    }
}

// ---------------------------------------------------------------------------
// The matched set on the instance itself: ordered, unique, at most one new
// pattern per shortcut.

class ScanInstance : public ::testing::Test {
protected:
    void SetUp() override { qt::ClearBookkeeping(); }
    void TearDown() override { qt::ClearBookkeeping(); }

    // The notice of a plain campaign with these [GameScan] keys.
    static GameScanNoticeRecord Notice(const GameScan& gameScan) {
        CampaignFields fields;
        fields.gameScan = gameScan;
        const std::string dir = qt::FreshDir("scan-instance-ini");
        const std::string ini = qt::Join(dir, "campaign.ini");
        qt::WriteBytes(ini, qt::CampaignIni(fields));
        CampaignConfig config;
        EXPECT_TRUE(config.LoadPlainFile(ini.c_str())) << ini;
        qt::RemoveTree(dir);
        return config.GameScanNotice();
    }

    static std::vector<std::string> Set(const MatchedNames& matched) {
        return std::vector<std::string>(matched.begin(), matched.end());
    }
};

TEST_F(ScanInstance, WorkedExampleThreeShortcutByShortcut) {
    const GameScanNoticeRecord notice = Notice(qt::WorkedGameScan());
    MatchedNames matched;
    const LeadByteTable table = AnsiLeadBytes();
    MatchShortcutName("Emberlane and Quillstorm Pack", table, notice.ScanPatterns, matched);
    EXPECT_EQ((std::vector<std::string>{"Quillstorm"}), Set(matched));
    EXPECT_EQ(Names({"Quillstorm", "Tidewarden", "Emberlane"}), BuildNameList(matched, notice.FeaturedNames));
    MatchShortcutName("Emberlane and Quillstorm Pack 2", table, notice.ScanPatterns, matched);
    EXPECT_EQ((std::vector<std::string>{"Emberlane", "Quillstorm"}), Set(matched));
    EXPECT_EQ(Names({"Quillstorm", "Tidewarden", "Emberlane"}), BuildNameList(matched, notice.FeaturedNames));
    MatchShortcutName("Emberlane and Quillstorm Pack 3", table, notice.ScanPatterns, matched);
    EXPECT_EQ((std::vector<std::string>{"Emberlane", "Quillstorm"}), Set(matched)) << "nothing new to add";
}

TEST_F(ScanInstance, FolderWalkOrderAndUniqueness) {
    const std::string zhongwen = qt::Gbk("中文");
    const GameScanNoticeRecord notice =
        Notice({{"g1o", "beta"}, {"g2o", zhongwen}, {"g3o", "Zeta"}, {"g4o", "Alpha"}, {"g5o", "Quillstorm"}});
    const std::string dir = qt::FreshDir("scan-instance-folder");
    for (const char* name : {"beta.lnk", "Alpha.lnk", "Alpha 2.lnk", "Zeta.lnk", "Alpha Copy.lnk", "Notes.lnk"}) {
        qt::AddShortcut(dir, name);
    }
    qt::AddShortcut(dir, zhongwen + ".lnk");
    CreateDirectoryA(qt::Join(dir, "Quillstorm.lnk").c_str(), nullptr);
    CreateDirectoryA(qt::Join(dir, "Sub").c_str(), nullptr);
    qt::AddShortcut(qt::Join(dir, "Sub"), "Quillstorm.lnk");
    MatchedNames matched;
    CollectShortcutMatches(dir.c_str(), notice.ScanPatterns, matched);
    // Ascending byte order: capitals before small letters, ASCII before
    // Chinese; each pattern once however many shortcuts hold it.
    EXPECT_EQ((std::vector<std::string>{"Alpha", "Zeta", "beta", zhongwen}), Set(matched));
    EXPECT_EQ("Alpha", BuildNameList(matched, notice.FeaturedNames)) << "nothing featured: the smallest match alone";
    qt::RemoveTree(dir);

    MatchedNames none;
    CollectShortcutMatches(qt::Join(dir, "gone").c_str(), Notice({{"g1o", "Alpha"}}).ScanPatterns, none);
    EXPECT_TRUE(none.empty()) << "a missing folder matches nothing";
}

}  // namespace
