// The plug-in spine through the real exports of the DLL: versions, null
// handles, independent instances, the defaults, many load/unload cycles.
#include <gtest/gtest.h>

#include <cstring>

#include "common/handles.h"
#include "campaign/config.h"
#include "environment/arch.h"
#include "decision/check.h"
#include "support/sandbox.h"

namespace {

TEST(Locale, AnsiCodePageIs936) { EXPECT_EQ(936u, GetACP()); }

TEST(Exports, VersionAndHandlesThatAreNotLive) {
    qt::Plugin p;
    qt::LoadPlugin(p, "spine-null");
    int version = 0xCC;
    EXPECT_EQ(1, p.getVer(&version));
    EXPECT_EQ(1, version);
    EXPECT_EQ(0, p.getVer(nullptr));

    QUENTRA_INSTANCE destroyed = p.create();
    ASSERT_EQ(1, p.destroy(destroyed));
    unsigned char foreign[64];
    std::memset(foreign, 0xCC, sizeof foreign);
    const struct Row {
        const char* name;
        QUENTRA_INSTANCE handle;
    } rows[] = {{"null", nullptr}, {"destroyed already", destroyed}, {"not from TCCreate", foreign}};
    for (const Row& row : rows) {
        EXPECT_EQ(0, p.check(row.handle)) << row.name;
        EXPECT_EQ(0, p.doCommand(row.handle, 0)) << row.name;
        char buffer[16];
        std::memset(buffer, 0xCC, sizeof buffer);
        int level = 0xCC, flag = 0xCC;
        EXPECT_EQ(0, p.enumerate(row.handle, 0, buffer, 16, buffer, 16, &level, buffer, 16, &flag, buffer, 16))
            << row.name;
        EXPECT_EQ(0xCC, level) << row.name;
        EXPECT_EQ(0xCC, flag) << row.name;
        for (char c : buffer) EXPECT_EQ(static_cast<char>(0xCC), c) << row.name;
        EXPECT_EQ(0, p.destroy(row.handle)) << row.name << ": no second free";
    }
    for (unsigned char c : foreign) EXPECT_EQ(0xCC, c) << "a foreign handle's memory was touched";
}

TEST(Exports, InstancesAreIndependent) {
    qt::Plugin p;
    qt::LoadPlugin(p, "spine-two");
    QUENTRA_INSTANCE a = p.create();
    QUENTRA_INSTANCE b = p.create();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(1, p.destroy(a));
    const qt::Content c = qt::Enum(p, b);
    EXPECT_EQ(1, c.result);
    EXPECT_EQ(3, c.level);
    EXPECT_EQ(1, p.destroy(b));
    // Create after every instance was destroyed.
    QUENTRA_INSTANCE again = p.create();
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(1, qt::Enum(p, again).result);
    EXPECT_EQ(1, p.destroy(again));
}

// The tools and the tests resolve the exports by one list of names; the
// built DLL holds each at its ordinal in that order, as Quentra.def says.
TEST(Exports, ListedNamesAreAtTheirOrdinals) {
    qt::Plugin p;
    qt::LoadPlugin(p, "spine-ordinals");
    auto at = [&](LPCSTR name) { return reinterpret_cast<void*>(GetProcAddress(p.module.get(), name)); };
    for (int i = 0; i < kPluginExportCount; ++i) {
        EXPECT_EQ(at(MAKEINTRESOURCEA(i + 1)), at(kPluginExportNames[i])) << kPluginExportNames[i];
    }
    EXPECT_EQ(nullptr, at(MAKEINTRESOURCEA(kPluginExportCount + 1)));
}

TEST(Exports, ThousandLoadCreateDestroyUnloadCycles) {
    qt::Plugin p;
    qt::LoadPlugin(p, "spine-cycles");
    const std::string dll = qt::Join(p.dir, "Quentra.dll");
    p.Unload();
    for (int i = 0; i < 1000; ++i) {
        UniqueModule m(LoadLibraryA(dll.c_str()));
        ASSERT_TRUE(m) << "cycle " << i;
        PluginExports x;
        std::string missing;
        ASSERT_TRUE(ResolveExports(m.get(), x, missing)) << "cycle " << i << ": " << missing;
        QUENTRA_INSTANCE in = x.create();
        ASSERT_NE(nullptr, in) << "cycle " << i;
        ASSERT_EQ(1, x.destroy(in)) << "cycle " << i;
        m.reset();
        ASSERT_EQ(nullptr, GetModuleHandleA(dll.c_str())) << "cycle " << i << ": still loaded";
    }
}

TEST(Instance, HostConfigPathLiesBesideTheHostExecutable) {
    const PopupWorkspace workspace;
    EXPECT_EQ(qt::Join(qt::BinDir(), "config.ini"), workspace.hostConfigPath);
    EXPECT_STREQ("", workspace.composedMessage);
    EXPECT_TRUE(workspace.matchedNames.empty());
}

TEST(CampaignConfig, ConstructionDefaultsByteForByte) {
    const CampaignConfig config;
    const CommonSettings& common = config.Common();
    EXPECT_EQ(30, common.DelayMinute);
    EXPECT_EQ(3, common.MaxPopupTimes);
    EXPECT_EQ(7, common.PopupFrequency);
    EXPECT_EQ("", common.Purpose);
    EXPECT_TRUE(common.AntiVirus.empty());
    const NoticeRecord* notices[] = {&config.NoAvNotice(), &config.GameScanNotice()};
    for (const NoticeRecord* n : notices) {
        EXPECT_EQ(3, n->Level);
        EXPECT_EQ(2, n->CommandAction);
        EXPECT_EQ("", n->ID);
        EXPECT_EQ("", n->DownloadURL);
        EXPECT_EQ(qt::Gbk("您的系统可能存在安全风险！"), n->Title);
        EXPECT_EQ(qt::Gbk("立即安装"), n->CommandText);
        EXPECT_EQ(qt::Gbk("了解详情"), n->Detail);
    }
    EXPECT_EQ(qt::Gbk("您没有安装杀毒软件，有较大的安全风险。\n建议您安装永久免费的Corvel杀毒，为计算机提供全面的安全保护。"),
              config.NoAvNotice().Message);
    EXPECT_EQ("", config.GameScanNotice().Message);
    EXPECT_TRUE(config.GameScanNotice().ScanPatterns.empty());
    EXPECT_TRUE(config.GameScanNotice().FeaturedNames.empty());
}

TEST(Architecture, SixtyFourBitPrefixAndTheRule) {
#if defined(_WIN64)
    EXPECT_EQ(1, IsSystem64Bit());
    EXPECT_EQ(1, PopupWorkspace().config.Is64Bit());
#endif
    struct Row {
        std::uint16_t architecture;
        int expected;
    } rows[] = {{0, 0}, {6, 1}, {9, 1}, {12, 0}, {5, 0}, {0xFFFF, 0}};
    for (const Row& row : rows) EXPECT_EQ(row.expected, ArchitectureIs64Bit(row.architecture)) << row.architecture;
    EXPECT_EQ(0, IsSystem64BitWith(nullptr)) << "GetNativeSystemInfo missing";
}

}  // namespace
