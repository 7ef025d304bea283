// The sample campaign in examples/: its encoded file is its INI text, and the
// plug-in loads and shows it as its author meant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "campaign/config.h"
#include "campaign/decode.h"
#include "decision/compose.h"
#include "support/campaign.h"
#include "support/sandbox.h"

namespace {

class SampleCampaign : public ::testing::Test {
protected:
    void SetUp() override {
        ini_ = qt::SourceFile("examples/quentracfg.ini");
        dat_ = qt::SourceFile("examples/quentracfg.dat");
        ASSERT_FALSE(ini_.empty()) << "examples/quentracfg.ini is missing";
        ASSERT_FALSE(dat_.empty()) << "examples/quentracfg.dat is missing";
        qt::ClearBookkeeping();
    }
    void TearDown() override { qt::ClearBookkeeping(); }
    std::string ini_, dat_;
};

TEST_F(SampleCampaign, TheEncodedFileDecodesToTheIniPlusPadding) {
    const std::string dir = qt::FreshDir("sample-decode");
    const std::string dat = qt::Join(dir, "quentracfg.dat");
    const std::string out = qt::Join(dir, "decoded.ini");
    qt::WriteBytes(dat, dat_);
    ASSERT_EQ(1, DecodeCampaignFile(dat.c_str(), out.c_str()));
    const std::string decoded = qt::ReadBytes(out);
    EXPECT_EQ(0u, dat_.size() % 4) << "whole words";
    ASSERT_EQ(dat_.size(), decoded.size());
    ASSERT_GE(decoded.size(), ini_.size());
    EXPECT_LT(decoded.size() - ini_.size(), 4u) << "padding completes the last word only";
    EXPECT_TRUE(decoded.compare(0, ini_.size(), ini_) == 0) << "the .dat is not the encoding of the .ini";
    EXPECT_EQ(std::string(decoded.size() - ini_.size(), ' '), decoded.substr(ini_.size())) << "spaces";
}

TEST_F(SampleCampaign, LoadsAsWritten) {
    CampaignConfig config;
    const std::string dir = qt::FreshDir("sample-load");
    const std::string dat = qt::Join(dir, "quentracfg.dat");
    qt::WriteBytes(dat, dat_);
    ASSERT_EQ(1, config.LoadCampaignFile(dat.c_str()));
    EXPECT_EQ("vault-games-2010-spring", config.Common().Purpose);
    EXPECT_EQ(3, config.Common().MaxPopupTimes);
    EXPECT_EQ(127, config.Common().PopupFrequency);
    const GameScanNoticeRecord& n = config.GameScanNotice();
    EXPECT_EQ(qt::Gbk("您的游戏账号可能存在被盗风险！"), n.Title);
    EXPECT_EQ(qt::Gbk("检测到您的电脑上安装了%s，盗号木马常以这些游戏为目标。\n"
                      "建议您安装永久免费的Corvel保险箱，保护游戏账号安全。"),
              n.Message);
    EXPECT_EQ(nullptr, MessageTemplateProblem(Cp936LeadBytes(), n.Message.c_str()));
    EXPECT_EQ("http://download.corvelsafe.com/vault/setup.exe", n.DownloadURL);
    EXPECT_EQ("vault-games-2010", n.ID);
    EXPECT_EQ(1, n.SuportX64);
    EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Tidewarden", "Copperwing", "Emberlane", "Brambleport"}),
              std::vector<std::string>(n.ScanPatterns.begin(), n.ScanPatterns.end()));
    EXPECT_EQ((std::vector<std::string>{"Quillstorm", "Tidewarden", "Emberlane", "Brambleport"}),
              std::vector<std::string>(n.FeaturedNames.begin(), n.FeaturedNames.end()));
}

TEST_F(SampleCampaign, ShowsThroughTheExports) {
    qt::InstallSuite("sample-suite");
    const std::string desktop = qt::CleanDesktop();
    qt::AddShortcut(desktop, "Copperwing.lnk");
    qt::Plugin p;
    qt::LoadPlugin(p, "sample-exports");
    qt::WriteBytes(qt::Join(p.dir, "quentracfg.dat"), dat_);
    QUENTRA_INSTANCE in = p.create();
    ASSERT_NE(nullptr, in);
    EXPECT_EQ(1, p.check(in));
    const qt::Content c = qt::Enum(p, in);
    EXPECT_EQ(qt::Gbk("您的游戏账号可能存在被盗风险！"), c.title);
    EXPECT_EQ(qt::Gbk("立即安装"), c.command);
    EXPECT_EQ("vault-games-2010", c.id);
    EXPECT_EQ(3, c.level);
    EXPECT_NE(std::string::npos, c.message.find("Copperwing")) << "the found name is in the message";
    EXPECT_NE(std::string::npos, c.message.find('\n')) << "two lines";
    EXPECT_EQ(std::string::npos, c.message.find("%s"));
    p.destroy(in);
    qt::CleanDesktop();
    qt::RemoveSuiteRegistration();
}

}  // namespace
