// The message: the name-list rule, and the campaign's Message filled safely.
// The Message is the campaign author's text; it is never a printf format, so
// a stray conversion can neither read a missing argument nor write memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "decision/compose.h"
#include "support/decision.h"

namespace {

constexpr char kSentinel = static_cast<char>(0xCC);
const std::string kSep = "\xA3\xAC";

TEST(NameListRule, OneToThreeNames) {
    struct Row {
        const char* name;
        std::string smallest;
        std::vector<TextString> featured;
        std::string expected;
    } rows[] = {
        {"nothing featured", "M", {}, "M"},
        {"one featured, not the match", "M", {"A"}, "M"},
        {"two featured, not the match", "M", {"A", "B"}, "M" + kSep + "A"},
        {"three featured, not the match", "M", {"A", "B", "C"}, "M" + kSep + "A" + kSep + "B"},
        {"five featured, not the match", "M", {"A", "B", "C", "D", "E"}, "M" + kSep + "A" + kSep + "B"},
        {"the match featured first", "A", {"A", "B", "C", "D"}, "A" + kSep + "B" + kSep + "C"},
        {"the match featured third", "C", {"A", "B", "C", "D"}, "A" + kSep + "B" + kSep + "C"},
        {"the match featured fourth: not named", "D", {"A", "B", "C", "D"}, "A" + kSep + "B" + kSep + "C"},
        {"the match the only featured", "A", {"A"}, "A"},
        {"the match featured among two", "B", {"A", "B"}, "A" + kSep + "B"},
        {"a featured name twice", "A", {"A", "A", "B"}, "A" + kSep + "A" + kSep + "B"},
        {"featured in other letter case is another name", "a", {"A", "B"}, "a" + kSep + "A"},
        {"a featured prefix of the match is another name", "AB", {"A", "B"}, "AB" + kSep + "A"},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, BuildNameListRule(row.smallest, row.featured)) << row.name;
}

TEST(ComposeMessage, AcceptedTemplatesAndSizes) {
    struct Row {
        const char* name;
        const char* messageTemplate;
        const char* list;
        const char* expected;
        std::size_t outSize = 64;
    } rows[] = {
        {"list alone", "%s", "Quillstorm", "Quillstorm"},
        {"percent sign", "100%% %s", "Q", "100% Q"},
        {"%%s is a literal", "%%s", "Q", "%s"},
        {"%% then %s", "%%%s", "Q", "%Q"},
        {"no conversion: names do not appear", "Install now", "Q", "Install now"},
        {"empty template", "", "Q", ""},
        {"conversions in the list stay text", "[%s]", "%d%n%s", "[%d%n%s]"},
        {"no list", "[%s]", nullptr, "[]"},
        {"exact fit", "ab%s", "cd", "abcd", 5},
        {"one short", "ab%s", "cd", "abc", 4},
        {"room for the terminator only", "ab%s", "cd", "", 1},
        {"cut inside a double-byte character", "a\xD6\xD0%s", "", "a\xD6", 3},
    };
    for (const Row& row : rows) {
        char out[80];
        std::memset(out, kSentinel, sizeof out);
        ASSERT_TRUE(ComposeMessage(Cp936LeadBytes(), row.messageTemplate, row.list, out, row.outSize)) << row.name;
        EXPECT_STREQ(row.expected, out) << row.name;
        for (std::size_t i = std::strlen(out) + 1; i < sizeof out; ++i) {
            ASSERT_EQ(kSentinel, out[i]) << row.name << ": byte " << i << " written";
        }
        EXPECT_EQ(nullptr, MessageTemplateProblem(Cp936LeadBytes(), row.messageTemplate)) << row.name;
    }
}

TEST(ComposeMessage, DoubleByteTextAroundTheList) {
    const std::string templ = qt::Gbk("检测到您安装了%s，建议保护账号") ;
    char out[256];
    std::memset(out, kSentinel, sizeof out);
    ASSERT_TRUE(ComposeMessage(Cp936LeadBytes(), templ.c_str(), "Q", out, sizeof out));
    EXPECT_EQ(qt::Gbk("检测到您安装了Q，建议保护账号"), std::string(out));
}

TEST(ComposeMessage, RefusedTemplatesLeaveTheBufferAlone) {
    struct Row {
        const char* name;
        const char* messageTemplate;
        std::size_t outSize;
        const char* problem;  // a word of the reason; null: the size is the reason
        std::size_t at, length;  // the sequence the tools quote
    } rows[] = {
        {"two %s", "%s %s", 64, "second", 3, 2},
        {"%s twice, adjacent", "%s%s", 64, "second", 2, 2},
        {"%d", "count %d", 64, "other", 6, 2},
        {"%n", "%n", 64, "other", 0, 2},
        {"%x", "%x", 64, "other", 0, 2},
        {"%p", "%p %s", 64, "other", 0, 2},
        {"%c", "%c", 64, "other", 0, 2},
        {"%S (a wide string)", "%S", 64, "other", 0, 2},
        {"%ls", "%ls", 64, "other", 0, 2},
        {"%5s (a width)", "%5s", 64, "other", 0, 2},
        {"%-s (a flag)", "%-s", 64, "other", 0, 2},
        {"% s", "% s", 64, "other", 0, 2},
        {"a double-byte character after the percent", "\xB3\xA4%\xB3\xA4%s", 64, "other", 2, 3},
        {"after %% and a double-byte character", "%%\xB3\xA4%s %d", 64, "other", 7, 2},
        {"percent at the end", "abc%", 64, "end", 3, 1},
        {"percent alone", "%", 64, "end", 0, 1},
        {"%s then a percent at the end", "%s%", 64, "end", 2, 1},
        {"three percent signs", "%%%", 64, "end", 2, 1},
        {"size 0", "%s", 0, nullptr, 0, 0},
        {"size 0x80000000", "%s", 0x80000000u, nullptr, 0, 0},
        {"size 0xFFFFFFFF", "%s", 0xFFFFFFFFu, nullptr, 0, 0},
    };
    for (const Row& row : rows) {
        char out[16];
        std::memset(out, kSentinel, sizeof out);
        EXPECT_FALSE(ComposeMessage(Cp936LeadBytes(), row.messageTemplate, "Q", out, row.outSize)) << row.name;
        for (std::size_t i = 0; i < sizeof out; ++i) ASSERT_EQ(kSentinel, out[i]) << row.name << ": byte " << i;
        const char* problem = MessageTemplateProblem(Cp936LeadBytes(), row.messageTemplate);
        const TemplateFault fault = FindTemplateFault(Cp936LeadBytes(), row.messageTemplate);
        EXPECT_EQ(problem, fault.problem) << row.name;
        EXPECT_EQ(row.at, fault.at) << row.name << ": where the tools quote it";
        EXPECT_EQ(row.length, fault.length) << row.name << ": what the tools quote";
        if (row.problem == nullptr) {
            EXPECT_EQ(nullptr, problem) << row.name << ": the template itself is fine";
        } else {
            ASSERT_NE(nullptr, problem) << row.name;
            EXPECT_NE(nullptr, std::strstr(problem, row.problem)) << row.name << ": " << problem;
        }
    }
    char out[4];
    std::memset(out, kSentinel, sizeof out);
    EXPECT_FALSE(ComposeMessage(Cp936LeadBytes(), nullptr, "Q", out, sizeof out)) << "no template";
    EXPECT_EQ(kSentinel, out[0]);
}

// Through the real exports: a refused Message ends the check with 0, an
// empty message and nothing recorded, and the host process survives it.
TEST(MessageFormatExports, UnsafeMessagesAnswerNo) {
    struct Row {
        const char* name;
        const char* message;
        const char* expected;  // null: refused
    } rows[] = {
        {"two %s", "%s %s", nullptr},
        {"%d", "%d games", nullptr},
        {"%n", "%n", nullptr},
        {"%x", "%x%x%x%x", nullptr},
        {"percent at the end", "Install now 100%", nullptr},
        {"%% and %s", "100%% %s", "100% Quillstorm"},
        {"no %s", "Install now", "Install now"},
    };
    qt::DecisionMachine machine("format-exports");
    machine.Shortcut("Quillstorm.lnk");
    qt::Plugin plugin;
    qt::LoadPlugin(plugin, "format-exports");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qt::ClearBookkeeping();
        qt::CampaignFields fields;
        fields.message = row.message;
        plugin.SetCampaign(qt::CampaignIni(fields));
        qt::StorePurpose(fields.purpose);
        const qt::StoredBookkeeping before = qt::ReadBookkeeping();
        qt::PluginInstance in(plugin);
        EXPECT_EQ(row.expected != nullptr ? 1 : 0, in.Check());
        EXPECT_EQ(row.expected != nullptr ? row.expected : "", in.Message());
        if (row.expected == nullptr) {
            EXPECT_EQ(before, qt::ReadBookkeeping()) << "a refusal records nothing";
        }
    }
}

}  // namespace
