// Hostile campaign files: whatever lies beside the DLL as quentracfg.dat, a
// check leaves the process alive, answers 0 or 1, and the content that TCEnum
// hands out afterwards is terminated text within its limits.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "common/handles.h"
#include "campaign/config.h"
#include "support/campaign.h"
#include "support/decision.h"
#include "support/sandbox.h"

namespace {

using qt::CampaignIni;
using qt::CampaignFields;

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_unique<qt::DecisionMachine>("hostile");
        machine_->Shortcut("Copperwing.lnk");
        // A folder per test: a report thread of the previous test may still
        // hold its copy of the DLL mapped.
        qt::LoadPlugin(plugin_, std::string("hostile-") +
                                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        instance_ = plugin_.create();
    }
    void TearDown() override {
        if (instance_ != nullptr) plugin_.destroy(instance_);
        plugin_.Unload();
        machine_.reset();
    }

    // The file as it lies beside the DLL, bytes as given (not encoded).
    int CheckRaw(const std::string& file, const std::string& row) {
        qt::WriteBytes(qt::Join(plugin_.dir, "quentracfg.dat"), file);
        qt::ClearBookkeeping();
        const int answer = plugin_.check(instance_);
        EXPECT_TRUE(answer == 0 || answer == 1) << row;
        ExpectSaneContent(row);
        return answer;
    }
    int CheckIni(const std::string& ini, const std::string& row) { return CheckRaw(qt::Encode(ini), row); }

    void ExpectSaneContent(const std::string& row) {
        std::vector<char> title(8192, '\xCC'), message(2048, '\xCC'), command(8192, '\xCC'), id(8192, '\xCC');
        int level = 0, flag = 0;
        ASSERT_EQ(1, plugin_.enumerate(instance_, 0, title.data(), 8192, message.data(), 2048, &level, command.data(),
                                       8192, &flag, id.data(), 8192))
            << row;
        EXPECT_LT(strnlen(title.data(), 8192), 4096u) << row;
        EXPECT_LT(strnlen(message.data(), 2048), 1024u) << row;
        EXPECT_LT(strnlen(command.data(), 8192), 4096u) << row;
        EXPECT_LT(strnlen(id.data(), 8192), 4096u) << row;
        EXPECT_EQ(1, flag) << row;
    }

    std::unique_ptr<qt::DecisionMachine> machine_;
    qt::Plugin plugin_;
    QUENTRA_INSTANCE instance_ = nullptr;
};

std::string RandomBytes(std::mt19937& rng, std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

TEST_F(Hostile, EmptyAndTinyFilesAnswerZero) {
    std::mt19937 rng(7);
    EXPECT_EQ(0, CheckRaw("", "empty file"));
    for (std::size_t n = 1; n <= 7; ++n) {
        EXPECT_EQ(0, CheckRaw(RandomBytes(rng, n), "raw " + std::to_string(n) + " bytes"));
        EXPECT_EQ(0, CheckRaw(qt::Encode(RandomBytes(rng, n)), "encoded " + std::to_string(n) + " bytes"));
    }
    // No decoded copy is left behind by any of them.
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    EXPECT_TRUE(qt::List(temp, "~tc*.tmp").empty());
}

TEST_F(Hostile, RandomBytesRawAndEncoded) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < 20; ++i) {
        const std::string bytes = RandomBytes(rng, 1 + rng() % 20000);
        CheckRaw(bytes, "raw random #" + std::to_string(i));
        CheckRaw(qt::Encode(bytes), "encoded random #" + std::to_string(i));
    }
}

TEST_F(Hostile, NulBytesInsideValues) {
    CampaignFields fields;
    fields.gameScan = {{"g1o", std::string("Copper\0wing", 11)}, {"g2o", "Copperwing"}};
    std::string ini = CampaignIni(fields);
    ini.insert(ini.find("[NoAntiVirus]") + 15, std::string("Title=ab\0cd\r\n", 13));
    CheckIni(ini, "NUL inside values");
    CheckIni(std::string("\0\0\0[GameScan]\r\ng1o=Copperwing\r\n", 33), "NUL before the first section");
}

TEST_F(Hostile, LinesLongerThanTheReadBuffers) {
    CampaignFields fields;
    fields.gameScan = {{"g1o", std::string(2000, 'x')}, {"g2o", "Copperwing"}};
    std::string ini = CampaignIni(fields);
    ini.insert(ini.find("[NoAntiVirus]") + 15, "Title=" + std::string(5000, 'T') + "\r\n");
    ini.insert(0, "; " + std::string(70000, ';') + "\r\n");
    EXPECT_EQ(1, CheckIni(ini, "long lines"));
    const qt::Content c = qt::Enum(plugin_, instance_);
    EXPECT_EQ(std::string(4095, 'T'), c.title) << "a [NoAntiVirus] value is cut at 4095 bytes";
}

TEST_F(Hostile, TenThousandGameScanKeysAndManyAntiVirusKeys) {
    std::string ini = "[Common]\r\nPopupFrequency=127\r\n";
    for (int i = 1; i <= 150; ++i) ini += "AntiVirus" + std::to_string(i) + "=1,2,3\r\n";
    ini += "[NoAntiVirus]\r\nMessage=%s\r\n[GameScan]\r\ng0o=Copperwing\r\n";
    for (int i = 1; i <= 10000; ++i) ini += "k" + std::to_string(i) + "o=Game " + std::to_string(i) + "\r\n";
    EXPECT_EQ(1, CheckIni(ini, "10000 GameScan keys"));

    // The lists stop where the 1024-byte key list was cut; the AntiVirus list at 100.
    const std::string path = qt::Join(qt::FreshDir("hostile-keys"), "c.dat");
    qt::WriteBytes(path, qt::Encode(ini));
    CampaignConfig config;
    ASSERT_EQ(1, config.LoadCampaignFile(path.c_str()));
    EXPECT_EQ(100u, config.Common().AntiVirus.size());
    EXPECT_GT(config.GameScanNotice().ScanPatterns.size(), 50u);
    EXPECT_LT(config.GameScanNotice().ScanPatterns.size(), 200u);
}

TEST_F(Hostile, LargeFiles) {
    CampaignFields fields;
    fields.gameScan = {{"g1o", "Copperwing"}};
    const std::string head = CampaignIni(fields) + "[Padding]\r\n";
    const struct Row {
        std::size_t size;
        int answer;
    } rows[] = {{std::size_t(1) << 20, 1}, {(std::size_t(1) << 20) + 4, 0}, {std::size_t(64) << 20, 0}};
    for (const Row& row : rows) {
        std::string ini = head;
        const std::string line = "key=" + std::string(120, 'p') + "\r\n";
        while (ini.size() + line.size() <= row.size) ini += line;
        ini += std::string(row.size - ini.size(), ';');
        EXPECT_EQ(row.answer, CheckIni(ini, std::to_string(row.size) + " bytes")) << row.size << " bytes";
        EXPECT_TRUE(qt::DecodedLeftovers().empty()) << row.size << " bytes";
    }
}

TEST_F(Hostile, MessagesFullOfPercentSequences) {
    const char* messages[] = {"%n%n%n%n%n%n%n%n", "%s%s%s%s%s%s%s%s", "%x%x%x%x%p%p%p", "%99999999s", "%",
                              "100%", "%%%%%%%%%%%s%", "%ls", "%S", "%.9999f %e %g %c"};
    for (const char* m : messages) {
        CampaignFields fields;
        fields.message = m;
        fields.gameScan = {{"g1o", "Copperwing"}};
        EXPECT_EQ(0, CheckIni(CampaignIni(fields), std::string("message ") + m)) << "refused: " << m;
        EXPECT_EQ("", qt::Enum(plugin_, instance_).message) << m;
    }
    CampaignFields safe;
    safe.message = "%%%%%s%%";
    safe.gameScan = {{"g1o", "Copperwing"}};
    EXPECT_EQ(1, CheckIni(CampaignIni(safe), "escaped percents"));
    EXPECT_EQ("%%Copperwing%", qt::Enum(plugin_, instance_).message);
}

TEST_F(Hostile, DoubleByteCharactersCutAtEveryBoundary) {
    CampaignFields fields;
    fields.message = qt::Gbk("检测到您正在玩%s，建议安装保险箱。\\n请立即行动");
    fields.gameScan = {{"g1m", qt::Gbk("铜翼") + "Copperwing"}, {"g2o", "Copperwing"}};
    const std::string ini = CampaignIni(fields);
    for (std::size_t cut = ini.size() > 80 ? ini.size() - 80 : 0; cut <= ini.size(); ++cut) {
        CheckIni(ini.substr(0, cut), "cut at " + std::to_string(cut));
    }
    // A lone lead byte right before the line end, and at the very end.
    CheckIni("[NoAntiVirus]\r\nMessage=%s\xD6\r\n[GameScan]\r\ng1o=Copperwing\xD6\r\n", "lead byte before CR LF");
    CheckIni("[NoAntiVirus]\r\nMessage=\\\xD6\r\n[GameScan]\r\ng1o=Copperwing\r\ng2o=\xD6", "lead byte at the end");
}

TEST_F(Hostile, CampaignReplacedWhileChecksRun) {
    CampaignFields a, b;
    a.id = "A";
    a.gameScan = {{"g1o", "Copperwing"}};
    b.id = "B";
    b.message = "B %s";
    b.gameScan = {{"g1o", "Copperwing"}};
    const std::string fileA = qt::Encode(CampaignIni(a)), fileB = qt::Encode(CampaignIni(b));
    const std::string target = qt::Join(plugin_.dir, "quentracfg.dat");
    qt::WriteBytes(target, fileA);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            // Half the time rewritten in place (a reader may see it short),
            // half the time replaced whole.
            const std::string& bytes = (i % 2) ? fileA : fileB;
            if (i % 4 < 2) {
                UniqueFile f(std::fopen(target.c_str(), "wb"));
                if (f) std::fwrite(bytes.data(), 1, bytes.size(), f.get());
            } else {
                const std::string next = target + ".next";
                qt::WriteBytes(next, bytes);
                MoveFileExA(next.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING);
            }
        }
    });
    int answers[2] = {0, 0};
    for (int i = 0; i < 200; ++i) {
        qt::ClearBookkeeping();
        const int answer = plugin_.check(instance_);
        ASSERT_TRUE(answer == 0 || answer == 1) << "check " << i;
        ++answers[answer];
        const qt::Content c = qt::Enum(plugin_, instance_);
        if (answer == 1) {
            EXPECT_TRUE(c.message == "Copperwing" || c.message == "B Copperwing") << "check " << i << ": " << c.message;
        }
    }
    stop = true;
    writer.join();
    EXPECT_GT(answers[1], 0) << "most checks see a whole campaign";
}

}  // namespace
