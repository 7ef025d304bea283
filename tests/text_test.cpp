// The shared text rules: FormatBounded, BoundedCopy, the character-wise
// substring search. Sentinel-filled buffers show what was written and what
// was not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/text.h"

namespace {

constexpr char kSentinel = static_cast<char>(0xCC);

TEST(FormatBounded, ResultsAndBufferForEveryLength) {
    struct Row {
        const char* name;
        std::size_t len;
        std::int32_t result;
        const char* text;  // null: nothing written
    } rows[] = {
        {"len 0", 0, kFormatInvalidArg, nullptr},
        {"len above 0x7FFFFFFF", 0x80000000u, kFormatInvalidArg, nullptr},
        {"len 1: only the terminator", 1, kFormatTruncated, ""},
        {"one short", 5, kFormatTruncated, "abcd"},
        {"exact fit", 6, 0, "abcde"},
        {"room to spare", 16, 0, "abcde"},
    };
    for (const Row& row : rows) {
        char buffer[32];
        std::memset(buffer, kSentinel, sizeof buffer);
        const std::int32_t r = FormatBounded(buffer, row.len, "%s%s", "abc", "de");
        EXPECT_EQ(row.result, r) << row.name;
        if (row.text == nullptr) {
            EXPECT_EQ(kSentinel, buffer[0]) << row.name;
        } else {
            EXPECT_STREQ(row.text, buffer) << row.name;
            // Nothing written past len.
            if (row.len < sizeof buffer) {
                EXPECT_EQ(kSentinel, buffer[row.len]) << row.name;
            }
        }
    }
}

TEST(BoundedCopy, SizesAndSentinels) {
    struct Row {
        const char* name;
        std::uint32_t size;
        const char* expected;  // null: untouched
    } rows[] = {
        {"size 0", 0, nullptr},
        {"size -1", 0xFFFFFFFFu, nullptr},
        {"size 0x80000000", 0x80000000u, nullptr},
        {"size 1: empty text", 1, ""},
        {"one short", 5, "abcd"},
        {"exact fit", 6, "abcde"},
        {"larger", 20, "abcde"},
    };
    for (const Row& row : rows) {
        char buffer[24];
        std::memset(buffer, kSentinel, sizeof buffer);
        BoundedCopy(buffer, row.size, "abcde");
        if (row.expected == nullptr) {
            for (char c : buffer) ASSERT_EQ(kSentinel, c) << row.name;
            continue;
        }
        EXPECT_STREQ(row.expected, buffer) << row.name;
        const std::size_t written = std::min<std::size_t>(row.size, 6);
        for (std::size_t i = written; i < sizeof buffer; ++i) ASSERT_EQ(kSentinel, buffer[i]) << row.name << " byte " << i;
    }
}

TEST(BoundedCopy, CutsBytesNotCharacters) {
    // Two GBK characters; a size of 4 keeps the first and the lead byte of
    // the second is replaced by the terminator... a size of 3 leaves a lone
    // lead byte before it.
    const char text[] = "\xC4\xFA\xB5\xC4";
    char buffer[8];
    std::memset(buffer, kSentinel, sizeof buffer);
    BoundedCopy(buffer, 4, text);
    EXPECT_EQ(std::string("\xC4\xFA\xB5"), buffer);
}

TEST(FindText, MatchesBeginOnCharacterBoundaries) {
    const LeadByteTable gbk = Cp936LeadBytes();
    struct Row {
        const char* name;
        const char* hay;
        const char* needle;
        std::size_t expected;
    } rows[] = {
        {"plain", "Copperwing Launcher", "Launcher", 11},
        {"case-sensitive", "copperwing", "Copperwing", kNotFound},
        {"absent", "Notes", "Tide", kNotFound},
        // 你好 is C4 E3 BA C3: the bytes E3 BA straddle the boundary.
        {"across a boundary", "\xC4\xE3\xBA\xC3", "\xE3\xBA", kNotFound},
        {"trail byte 0x5C is not a backslash", "\x81\x5C", "\\", kNotFound},
        {"whole double-byte character", "ab\xC4\xE3\xBA\xC3", "\xBA\xC3", 4},
        {"needle longer than hay", "ab", "abc", kNotFound},
    };
    for (const Row& row : rows) EXPECT_EQ(row.expected, FindText(gbk, row.hay, row.needle)) << row.name;
    // In a single-byte code page the straddling bytes are characters.
    EXPECT_EQ(1u, FindText(SingleByteTable(), "\xC4\xE3\xBA\xC3", "\xE3\xBA"));
}

TEST(NextChar, NeverStepsPastACutLeadByte) {
    const LeadByteTable gbk = Cp936LeadBytes();
    const char cut[] = "a\xC4";
    EXPECT_EQ(cut + 1, NextChar(gbk, cut));
    EXPECT_EQ(cut + 2, NextChar(gbk, cut + 1));
}

}  // namespace
