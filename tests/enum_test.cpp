// TCEnum through the real DLL: what lands in the host's buffers, byte for
// byte, with every buffer prefilled with 0xCC so that both what was written
// and what was left alone show.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "support/cycle.h"
#include "support/sandbox.h"

namespace {

constexpr unsigned char kSentinel = 0xCC;
constexpr int kIntSentinel = static_cast<int>(0xCCCCCCCCu);
constexpr std::size_t kBufferBytes = 1100;

enum Field { kTitle, kMessage, kCommand, kId, kFieldCount };
const char* const kFieldNames[] = {"title", "message", "command", "id"};

// One TCEnum call into sentinel-filled buffers.
struct Call {
    std::vector<char> buffers[kFieldCount];
    int sizes[kFieldCount] = {1024, 1024, 1024, 1024};
    int level = kIntSentinel;
    int flag = kIntSentinel;
    int result = kIntSentinel;

    Call() {
        for (std::vector<char>& b : buffers) b.assign(kBufferBytes, static_cast<char>(kSentinel));
    }
    Call& Run(const qt::Plugin& p, QUENTRA_INSTANCE in, int index = 0) {
        result = p.enumerate(in, index, buffers[kTitle].data(), sizes[kTitle], buffers[kMessage].data(),
                             sizes[kMessage], &level, buffers[kCommand].data(), sizes[kCommand], &flag,
                             buffers[kId].data(), sizes[kId]);
        return *this;
    }
    // The text up to and including its terminator (the whole buffer when
    // there is none).
    std::string Written(Field f) const {
        const std::vector<char>& b = buffers[f];
        const void* zero = std::memchr(b.data(), 0, b.size());
        const std::size_t end = zero != nullptr ? static_cast<const char*>(zero) - b.data() + 1 : b.size();
        return std::string(b.data(), b.data() + end);
    }
    bool Untouched(Field f) const {
        for (char c : buffers[f]) {
            if (static_cast<unsigned char>(c) != kSentinel) return false;
        }
        return true;
    }
    bool SentinelAfter(Field f, std::size_t n) const {
        for (std::size_t i = n; i < buffers[f].size(); ++i) {
            if (static_cast<unsigned char>(buffers[f][i]) != kSentinel) return false;
        }
        return true;
    }
};

// With a terminator, as a buffer holds it.
std::string Z(const std::string& text) { return text + std::string(1, '\0'); }

// A plug-in on a machine where TCCheck answers 1 for its campaign.
class EnumContent : public ::testing::Test {
protected:
    void Shown(const std::string& name, const std::string& campaignExtra) {
        suite_ = qc::PrepareShowable("enum-" + name);
        qt::LoadPlugin(plugin_, "enum-" + name, qc::ShowableCampaign(campaignExtra, "enum-" + name));
        in_ = plugin_.create();
        ASSERT_NE(nullptr, in_);
    }
    void TearDown() override {
        if (in_ != nullptr) plugin_.destroy(in_);
        // The yes started a report; let it end before the next test.
        EXPECT_TRUE(qc::UnloadAndWaitForReports(plugin_));
    }
    qt::Suite suite_;
    qt::Plugin plugin_;
    QUENTRA_INSTANCE in_ = nullptr;
};

const std::string kCampaignTexts = "Title=" + qt::Gbk("中文标题") +
                                   "\r\nCommandText=Install\r\nID=enum-id-42\r\nLevel=7\r\nMessage=Found %s!\r\n";

TEST_F(EnumContent, DefaultsBeforeAnyCheck) {
    qt::LoadPlugin(plugin_, "enum-defaults");
    in_ = plugin_.create();
    const Call c = Call().Run(plugin_, in_);
    EXPECT_EQ(1, c.result);
    EXPECT_EQ(Z(qt::Gbk("您的系统可能存在安全风险！")), c.Written(kTitle));
    EXPECT_EQ(Z(""), c.Written(kMessage));
    EXPECT_EQ(Z(qt::Gbk("立即安装")), c.Written(kCommand));
    EXPECT_EQ(Z(""), c.Written(kId));
    for (int f = 0; f < kFieldCount; ++f) {
        EXPECT_TRUE(c.SentinelAfter(static_cast<Field>(f), c.Written(static_cast<Field>(f)).size()))
            << kFieldNames[f] << ": bytes written past the terminator";
    }
    EXPECT_EQ(3, c.level);
    EXPECT_EQ(1, c.flag);
}

TEST_F(EnumContent, IndexOtherThanZeroWritesNothing) {
    ASSERT_NO_FATAL_FAILURE(Shown("index", kCampaignTexts));
    ASSERT_EQ(1, plugin_.check(in_));
    struct Row {
        const char* name;
        int index;
    } rows[] = {{"1", 1}, {"2", 2}, {"-1", -1}, {"INT_MAX", INT_MAX}, {"INT_MIN", INT_MIN}};
    for (const Row& row : rows) {
        const Call c = Call().Run(plugin_, in_, row.index);
        EXPECT_EQ(0, c.result) << "index " << row.name;
        EXPECT_EQ(kIntSentinel, c.level) << "index " << row.name;
        EXPECT_EQ(kIntSentinel, c.flag) << "index " << row.name;
        for (int f = 0; f < kFieldCount; ++f) {
            EXPECT_TRUE(c.Untouched(static_cast<Field>(f))) << "index " << row.name << ", " << kFieldNames[f];
        }
    }
    EXPECT_EQ(1, Call().Run(plugin_, in_, 0).result) << "index 0 after the others";
}

TEST_F(EnumContent, EachSizeRuleOnEachBuffer) {
    ASSERT_NO_FATAL_FAILURE(Shown("sizes", kCampaignTexts));
    ASSERT_EQ(1, plugin_.check(in_));
    const std::string title = qt::Gbk("中文标题");  // 8 bytes, four double-byte characters
    const std::string message = "Found Quillstorm!";  // 17 bytes
    const std::string command = "Install";            // 7 bytes
    const std::string id = "enum-id-42";              // 10 bytes
    const std::string whole[kFieldCount] = {title, message, command, id};
    struct Row {
        const char* name;
        Field field;
        int size;
        std::string written;  // the bytes that must land; empty: none at all
    };
    // Every buffer: nothing below size 1, the terminator alone at 1, the text
    // at exact fit, and one short cuts its last byte. For the title the cut
    // falls inside the last double-byte character: its lead byte stays before
    // the terminator. Bytes are counted, not characters.
    std::vector<Row> rows;
    for (int f = 0; f < kFieldCount; ++f) {
        const Field field = static_cast<Field>(f);
        const std::string& text = whole[f];
        const int fit = static_cast<int>(text.size()) + 1;
        rows.insert(rows.end(), {{"size 0", field, 0, ""},
                                 {"size -1", field, -1, ""},
                                 {"size 1", field, 1, Z("")},
                                 {"exact fit", field, fit, Z(text)},
                                 {"one short", field, fit - 1, Z(text.substr(0, text.size() - 1))}});
    }
    // Sizes tried on some buffers only.
    rows.insert(rows.end(), {{"size 0x80000000", kTitle, INT_MIN, ""},
                             {"size 0x7FFFFFFF", kTitle, INT_MAX, Z(title)},
                             {"size 0x80000000", kMessage, INT_MIN, ""},
                             {"size 1024", kMessage, 1024, Z(message)},
                             {"size 0x80000000", kCommand, INT_MIN, ""},
                             {"size 0x7FFFFFFF", kId, INT_MAX, Z(id)}});
    for (const Row& row : rows) {
        const std::string name = std::string(kFieldNames[row.field]) + ", " + row.name;
        Call c;
        c.sizes[row.field] = row.size;
        c.Run(plugin_, in_);
        EXPECT_EQ(1, c.result) << name;
        if (row.written.empty()) {
            EXPECT_TRUE(c.Untouched(row.field)) << name << ": buffer must stay untouched";
        } else {
            EXPECT_EQ(row.written, std::string(c.buffers[row.field].data(), row.written.size())) << name;
            EXPECT_TRUE(c.SentinelAfter(row.field, row.written.size())) << name << ": bytes written past the terminator";
        }
        // Every other output is still written, whatever this size was.
        for (int f = 0; f < kFieldCount; ++f) {
            if (f == row.field) continue;
            EXPECT_EQ(Z(whole[f]), c.Written(static_cast<Field>(f))) << name << ", then " << kFieldNames[f];
        }
        EXPECT_EQ(7, c.level) << name;
        EXPECT_EQ(1, c.flag) << name;
    }
}

// After a check that answered 0 the content is what that check left: the
// campaign as last loaded, and the message as the check left it.
TEST_F(EnumContent, ValuesAfterACheckThatAnsweredZero) {
    struct Row {
        const char* name;
        bool yesFirst;             // a check that answered 1 comes before
        void (*arrange)(const qt::Suite&);
        std::string message;       // what TCEnum then hands out
    } rows[] = {
        {"no matching shortcut", false, [](const qt::Suite&) { qt::CleanDesktop(); }, ""},
        {"second check the same day", true, [](const qt::Suite&) {}, ""},
        // An environment gate ends the check before the message is emptied.
        {"installer gone after a yes", true,
         [](const qt::Suite& s) { DeleteFileA(s.installer.c_str()); }, "Found Quillstorm!"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::Suite suite = qc::PrepareShowable("enum-zero");
        qt::Plugin p;
        qt::LoadPlugin(p, "enum-zero", qc::ShowableCampaign(kCampaignTexts, "enum-zero"));
        QUENTRA_INSTANCE in = p.create();
        if (row.yesFirst) {
            ASSERT_EQ(1, p.check(in));
        }
        row.arrange(suite);
        ASSERT_EQ(0, p.check(in));
        const Call c = Call().Run(p, in);
        EXPECT_EQ(1, c.result);
        EXPECT_EQ(Z(qt::Gbk("中文标题")), c.Written(kTitle));
        EXPECT_EQ(Z(row.message), c.Written(kMessage));
        EXPECT_EQ(Z("Install"), c.Written(kCommand));
        EXPECT_EQ(Z("enum-id-42"), c.Written(kId));
        EXPECT_EQ(7, c.level);
        EXPECT_EQ(1, c.flag);
        p.destroy(in);
        EXPECT_TRUE(qc::UnloadAndWaitForReports(p));
    }
}

// ID is stored at every load, absent or not: a campaign without one hands
// out an empty identifier, even after a campaign that had one.
TEST_F(EnumContent, CampaignWithoutIdGivesEmptyId) {
    ASSERT_NO_FATAL_FAILURE(Shown("noid", kCampaignTexts));
    ASSERT_EQ(1, plugin_.check(in_));
    EXPECT_EQ(Z("enum-id-42"), Call().Run(plugin_, in_).Written(kId));
    plugin_.SetCampaign(qc::ShowableCampaign("Title=" + qt::Gbk("中文标题") + "\r\nLevel=7", "enum-noid"));
    plugin_.check(in_);  // answers 0 (shown today) after loading the campaign
    const Call c = Call().Run(plugin_, in_);
    EXPECT_EQ(1, c.result);
    EXPECT_EQ(Z(""), c.Written(kId));
    EXPECT_TRUE(c.SentinelAfter(kId, 1));
    // Title and CommandText keep what the earlier load gave them.
    EXPECT_EQ(Z(qt::Gbk("中文标题")), c.Written(kTitle));
    EXPECT_EQ(Z("Install"), c.Written(kCommand));
}

// A host that passes a null buffer or a null integer pointer gets the other
// outputs; nothing is written through the null pointer.
TEST_F(EnumContent, NullOutputsAreSkipped) {
    ASSERT_NO_FATAL_FAILURE(Shown("null", kCampaignTexts));
    ASSERT_EQ(1, plugin_.check(in_));
    Call c;
    EXPECT_EQ(1, plugin_.enumerate(in_, 0, nullptr, 64, c.buffers[kMessage].data(), 1024, nullptr,
                                   c.buffers[kCommand].data(), 64, nullptr, nullptr, 64));
    EXPECT_EQ(Z("Found Quillstorm!"), c.Written(kMessage));
    EXPECT_EQ(Z("Install"), c.Written(kCommand));
    int level = kIntSentinel, flag = kIntSentinel;
    EXPECT_EQ(1, plugin_.enumerate(in_, 0, nullptr, 64, nullptr, 1024, &level, nullptr, 64, &flag, nullptr, 64));
    EXPECT_EQ(7, level);
    EXPECT_EQ(1, flag);
}

}  // namespace
