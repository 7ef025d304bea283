// Decoding the campaign file into a plain INI file, on real files under Wine,
// and the decoded copy that every load makes and removes in %TEMP%.
#include <gtest/gtest.h>

#include <string>

#include "campaign/config.h"
#include "campaign/decode.h"
#include "support/campaign.h"
#include "support/sandbox.h"

namespace {

TEST(DecodeCampaignFile, LengthsAndTheFillerOfAPartialWord) {
    struct Row {
        const char* name;
        std::size_t length;   // bytes of the encoded text kept in the file
        std::string decoded;  // the whole decoded file
    } rows[] = {
        {"whole words", 12, "[Common]\r\nA="},
        {"five bytes give eight", 5, std::string("[Comm\x1C\x0A\x4D", 8)},
        {"six bytes", 6, std::string("[Commo\x0A\x4D", 8)},
        {"seven bytes", 7, std::string("[Common\x4D", 8)},
        {"one byte gives a whole word", 1, std::string("[\x1C\x0A\x4D", 4)},
        {"exactly one word", 4, "[Com"},
    };
    const std::string dir = qt::FreshDir("decode-lengths");
    const std::string encoded = qt::Encode("[Common]\r\nA=");
    for (const Row& row : rows) {
        const std::string source = qt::Join(dir, "in.dat");
        const std::string target = qt::Join(dir, "out.ini");
        qt::WriteBytes(source, encoded.substr(0, row.length));
        DeleteFileA(target.c_str());
        EXPECT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str())) << row.name;
        EXPECT_EQ(row.decoded, qt::ReadBytes(target)) << row.name;
        EXPECT_EQ(encoded.substr(0, row.length), qt::ReadBytes(source)) << row.name << ": the source is never changed";
    }
}

TEST(DecodeCampaignFile, FailuresCreateNoTarget) {
    const std::string dir = qt::FreshDir("decode-failures");
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    const std::string good = qt::Join(dir, "good.dat");
    qt::WriteBytes(good, qt::Encode("[Common]\r\n"));
    const std::string target = qt::Join(dir, "out.ini");
    struct Row {
        const char* name;
        const char* source;
        const char* target;
    } rows[] = {
        {"no source path", nullptr, target.c_str()},
        {"empty source path", "", target.c_str()},
        {"no target path", good.c_str(), nullptr},
        {"missing source", "C:\\nowhere\\quentracfg.dat", target.c_str()},
        {"empty source", empty.c_str(), target.c_str()},
        {"a folder as source", dir.c_str(), target.c_str()},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(0, DecodeCampaignFile(row.source, row.target)) << row.name;
        EXPECT_FALSE(qt::Exists(target)) << row.name;
    }
    const std::string missingFolder = qt::Join(qt::Join(dir, "no-such-folder"), "out.ini");
    EXPECT_EQ(0, DecodeCampaignFile(good.c_str(), missingFolder.c_str())) << "target not creatable";
}

TEST(DecodeCampaignFile, ASecondDecodeReplacesTheFirstAndKeepsCrLf) {
    const std::string dir = qt::FreshDir("decode-twice");
    const std::string source = qt::Join(dir, "in.dat");
    const std::string target = qt::Join(dir, "out.ini");
    qt::WriteBytes(source, qt::Encode("[Common]\r\nPurpose=first one\r\n"));
    ASSERT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str()));
    qt::WriteBytes(source, qt::Encode("[A]\r\n"));
    ASSERT_EQ(1, DecodeCampaignFile(source.c_str(), target.c_str()));
    EXPECT_EQ("[A]\r\n   ", qt::ReadBytes(target)) << "truncated and rewritten, not appended or merged";
}

// Every load decodes into a name of its own in %TEMP% and removes it, on
// success and on every failure.
TEST(CampaignTempFile, NothingIsLeftBehindOnAnyPath) {
    qt::ClearBookkeeping();
    qt::RemoveDecodedLeftovers();
    const std::string dir = qt::FreshDir("decode-temp");
    const std::string good = qt::WriteCampaign(dir, "[GameScan]\r\nk1o=Tidewarden\r\n", "good.dat");
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    struct Row {
        const char* name;
        std::string path;
        int result;
    } rows[] = {
        {"a good file", good, 1},
        {"a missing file", qt::Join(dir, "missing.dat"), 0},
        {"an empty file", empty, 0},
        {"a folder", dir, 0},
        {"an empty path", "", 0},
    };
    for (const Row& row : rows) {
        CampaignConfig config;
        EXPECT_EQ(row.result, config.LoadCampaignFile(row.path.c_str())) << row.name;
        EXPECT_TRUE(qt::DecodedLeftovers().empty()) << row.name;
    }
    CampaignConfig config;
    EXPECT_EQ(0, config.LoadCampaignFile(nullptr));
    EXPECT_TRUE(qt::DecodedLeftovers().empty()) << "null path";
}

TEST(CampaignTempFile, AFailedLoadChangesNothing) {
    qt::ClearBookkeeping();
    const std::string dir = qt::FreshDir("decode-failed-load");
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, "[Common]\r\nMaxPopupTimes=9\r\n[NoAntiVirus]\r\nID=first\r\n"
                                     "[GameScan]\r\nk1m=Quillstorm\r\n"));
    const std::string empty = qt::Join(dir, "empty.dat");
    qt::WriteBytes(empty, "");
    EXPECT_EQ(0, config.LoadCampaignFile(empty.c_str()));
    EXPECT_EQ(9, config.Common().MaxPopupTimes);
    EXPECT_EQ("first", config.GameScanNotice().ID);
    ASSERT_EQ(1u, config.GameScanNotice().ScanPatterns.size());
    EXPECT_EQ("Quillstorm", config.GameScanNotice().ScanPatterns[0]);
}

TEST(CampaignTempFile, ALoadDoesNotTouchAFixedNameOfAnotherProcess) {
    // A decoded copy that an older plug-in left under the fixed name is
    // neither read nor deleted.
    qt::ClearBookkeeping();
    const std::string stale = qt::Join(qt::TempDir(), "~tc2710.tmp");
    qt::WriteBytes(stale, "[GameScan]\r\nk1o=Stale\r\n");
    CampaignConfig config;
    ASSERT_EQ(1, qt::LoadIni(config, "[GameScan]\r\nk1o=Fresh\r\n"));
    ASSERT_EQ(1u, config.GameScanNotice().ScanPatterns.size());
    EXPECT_EQ("Fresh", config.GameScanNotice().ScanPatterns[0]);
    EXPECT_EQ("[GameScan]\r\nk1o=Stale\r\n", qt::ReadBytes(stale));
    DeleteFileA(stale.c_str());
}

}  // namespace
