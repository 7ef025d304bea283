// The campaign format's pure rules: the word mask of the file, the numbers of
// the AntiVirus entries, and the "\n" escape of messages.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "campaign/rules.h"
#include "common/text.h"

namespace {

constexpr char kSentinel = static_cast<char>(0xCC);

std::string Bytes(const std::vector<unsigned char>& v) { return std::string(v.begin(), v.end()); }

std::string EncodeText(const std::string& plain) {
    return Bytes(EncodeCampaignBytes(reinterpret_cast<const unsigned char*>(plain.data()), plain.size()));
}

std::string DecodeText(const std::string& file) {
    return Bytes(DecodeCampaignBytes(reinterpret_cast<const unsigned char*>(file.data()), file.size()));
}

// ---------------------------------------------------------------- the mask

TEST(CampaignMask, EachByteIsMaskedWithItsKeyByteLittleEndian) {
    // Byte j of the file is byte j of the text XOR byte (j mod 4) of the key,
    // byte 0 being the key's least significant byte.
    const std::string plain("\x00\x00\x00\x00\xFF\xFF\xFF\xFF" "abcd", 12);
    const std::string file = EncodeText(plain);
    ASSERT_EQ(12u, file.size());
    EXPECT_EQ(std::string("\x95\x3C\x2A\x6D", 4), file.substr(0, 4)) << "zero word gives the key";
    EXPECT_EQ(std::string("\x6A\xC3\xD5\x92", 4), file.substr(4, 4)) << "all ones give the inverted key";
    EXPECT_EQ(std::string("\xF4\x5E\x49\x09", 4), file.substr(8, 4)) << "abcd";
}

TEST(CampaignMask, EncodePadsWithSpacesToWholeWordsAndDecodingRestoresThem) {
    for (std::size_t length = 0; length <= 9; ++length) {
        std::string plain;
        for (std::size_t i = 0; i < length; ++i) plain.push_back(static_cast<char>('A' + i));
        const std::string file = EncodeText(plain);
        const std::size_t whole = (length + 3) / 4 * 4;
        EXPECT_EQ(whole, file.size()) << "length " << length;
        EXPECT_EQ(plain + std::string(whole - length, ' '), DecodeText(file)) << "length " << length;
    }
}

TEST(CampaignMask, DecodingCompletesAPartialWordWithSpacesBeforeTheMask) {
    // The filler is masked too, so it comes out as 0x20 XOR the key bytes,
    // not as spaces: 0x1C, a line feed (0x0A) and 'M' (0x4D).
    struct Row {
        const char* name;
        std::size_t length;
        std::string tail;  // decoded bytes after the file's own bytes
    } rows[] = {
        {"one byte over", 5, std::string("\x1C\x0A\x4D", 3)},
        {"two bytes over", 6, std::string("\x0A\x4D", 2)},
        {"three bytes over", 7, std::string("\x4D", 1)},
        {"whole words", 8, std::string()},
        {"a single byte", 1, std::string("\x1C\x0A\x4D", 3)},
    };
    const std::string plain = "[Common]";
    const std::string encoded = EncodeText(plain);
    for (const Row& row : rows) {
        const std::string decoded = DecodeText(encoded.substr(0, row.length));
        EXPECT_EQ(plain.substr(0, row.length) + row.tail, decoded) << row.name;
        EXPECT_EQ(0u, decoded.size() % 4) << row.name;
    }
    EXPECT_TRUE(DecodeText(std::string()).empty()) << "nothing to decode";
}

TEST(CampaignMask, LineEndsAndEveryByteValueSurvive) {
    std::string plain;
    for (int i = 0; i < 256; ++i) plain.push_back(static_cast<char>(i));
    plain += "\r\n\r\n";
    EXPECT_EQ(plain, DecodeText(EncodeText(plain)));
}

// ---------------------------------------------------------------- numbers

TEST(ReadNumber, DecimalHexadecimalBlanksAndLengths) {
    struct Row {
        const char* name;
        const char* text;
        std::int32_t length;
        std::int32_t expected;
        std::int32_t initial = 0;  // where decimal reading starts; hexadecimal starts from 0
    } rows[] = {
        {"plain decimal", "123", 3, 123},
        {"decimal added to the initial value", "12", 2, 512, 5},
        {"not a digit gives the initial value", "abc", 3, 7, 7},
        {"digits stop at the first other byte", "12ab34", 6, 12},
        {"no sign: minus stops at once", "-5", 2, 0},
        {"blanks and tabs skipped", " \t 42", 5, 42},
        {"only blanks gives the initial value", "   ", 3, 9, 9},
        {"length 0", "123", 0, 4, 4},
        {"negative length", "123", -1, 4, 4},
        {"length above 0x7FFFFFFF is negative", "123", INT32_MIN, 4, 4},
        {"length cuts the digits", "12345", 3, 123},
        {"length one short of the text", "1234", 3, 123},
        {"length beyond the terminator stops at it", "12\0" "34", 5, 12},
        {"blanks count against the length", "  12", 3, 1},
        {"hex lower", "0x1f", 4, 31},
        {"hex upper prefix and digits", "0XFF", 4, 255},
        {"hex does not start from the initial value", "0x10", 4, 16, 99},
        {"hex with no digit is 0", "0x", 3, 0, 5},
        {"hex stops at a non-digit", "0x1g", 4, 1},
        {"hex eight digits wrap to negative", "0xFFFFFFFF", 10, -1},
        {"two bytes are read as decimal", "0x", 2, 50, 5},
        {"eleven bytes are read as decimal", "0x123456789", 11, 0},
        {"hex after blanks", "  0x20", 6, 32},
        {"decimal wraps around", "4294967297", 10, 1},
        {"null text", nullptr, 3, 6, 6},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.expected, ReadNumber(row.text, row.length, row.initial)) << row.name;
    }
}

TEST(ParseAvEntry, TheDocumentedValues) {
    struct Row {
        const char* name;
        const char* text;
        int result = 0;  // refused rows leave these at 0: a refused entry is cleared
        std::int32_t a = 0, b = 0, c = 0;
    } rows[] = {
        {"three numbers", "1,2,3", 1, 1, 2, 3},
        {"a fourth number is ignored", "1,2,3,4", 1, 1, 2, 3},
        {"blanks around the numbers", "7, 8 ,9", 1, 7, 8, 9},
        {"an empty middle part is 0", "1,,3", 1, 1, 0, 3},
        {"letters read as 0 and still count", "abc,def,ghi", 1, 0, 0, 0},
        {"three empty parts", ",,,", 1, 0, 0, 0},
        {"hexadecimal parts read", "0x1F,0X10,0xff", 1, 31, 16, 255},
        {"hexadecimal with blanks", " 0x1F , 2 , 0x3", 1, 31, 2, 3},
        {"two numbers only", "1,2"},
        {"one number", "7"},
        {"a trailing comma after two numbers fails", "1,2,"},
        {"an empty third part after two commas fails", ",,"},
        {"empty text", ""},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        AvEntry entry;
        entry.values[0] = entry.values[1] = entry.values[2] = 0x5A5A;
        EXPECT_EQ(row.result, ParseAvEntry(&text[0], static_cast<std::int32_t>(text.size()), entry)) << row.name;
        EXPECT_EQ(row.a, entry.values[0]) << row.name;
        EXPECT_EQ(row.b, entry.values[1]) << row.name;
        EXPECT_EQ(row.c, entry.values[2]) << row.name;
    }
}

TEST(ParseAvEntry, CommasBecomeZerosOnlyWithinTheLength) {
    struct Row {
        const char* name;
        std::int32_t length;
        int result;
        std::string buffer;  // the first 12 bytes afterwards
    } rows[] = {
        {"whole text", 9, 1, std::string("1\0" "2\0" "3\0" "4\0" "5\0\xCC\xCC", 12)},
        {"exact fit of three parts", 5, 1, std::string("1\0" "2\0" "3,4,5\0\xCC\xCC", 12)},
        {"one short of the third part", 4, 0, std::string("1\0" "2\0" "3,4,5\0\xCC\xCC", 12)},
        {"length 0 changes nothing", 0, 0, std::string("1,2,3,4,5\0\xCC\xCC", 12)},
        {"negative length changes nothing", -1, 0, std::string("1,2,3,4,5\0\xCC\xCC", 12)},
        {"above 0x7FFFFFFF changes nothing", INT32_MIN, 0, std::string("1,2,3,4,5\0\xCC\xCC", 12)},
        {"beyond the terminator stops at it", 12, 1, std::string("1\0" "2\0" "3\0" "4\0" "5\0\xCC\xCC", 12)},
    };
    for (const Row& row : rows) {
        char buffer[12];
        std::memset(buffer, kSentinel, sizeof buffer);
        std::memcpy(buffer, "1,2,3,4,5", 10);
        AvEntry entry;
        EXPECT_EQ(row.result, ParseAvEntry(buffer, row.length, entry)) << row.name;
        EXPECT_EQ(row.buffer, std::string(buffer, sizeof buffer)) << row.name;
    }
    AvEntry entry;
    entry.values[1] = 3;
    EXPECT_EQ(0, ParseAvEntry(nullptr, 5, entry)) << "null text";
    EXPECT_EQ(0, entry.values[1]) << "null text still clears the entry";
}

TEST(ParseAvEntry, ThirdPartCutByTheLengthIsReadOnlyWithinIt) {
    char text[] = "1,2,345";
    AvEntry entry;
    ASSERT_EQ(1, ParseAvEntry(text, 5, entry));
    EXPECT_EQ(3, entry.values[2]);
}

// ---------------------------------------------------------------- line feeds

TEST(ExpandLineFeeds, BackslashNByCharacterInCodePage936) {
    struct Row {
        const char* name;
        std::string text;
        std::string expected;
    } rows[] = {
        {"two lines", "ab\\ncd", "ab\ncd"},
        {"capital N stays", "ab\\Ncd", "ab\\Ncd"},
        {"several", "\\n\\n", "\n\n"},
        {"at the end", "ab\\n", "ab\n"},
        {"a lone backslash at the end stays", "ab\\", "ab\\"},
        {"left to right without overlap", "a\\\\nb", "a\\\nb"},
        {"a trail byte 0x5C is not a backslash", "\x81\x5Cn", "\x81\x5Cn"},
        {"a trail byte 0x5C then a real escape", "\x81\x5C\\n", "\x81\x5C\n"},
        {"Chinese around an escape", "\xC4\xFA\\n\xBA\xC3", "\xC4\xFA\n\xBA\xC3"},
        {"a lead byte at the very end", "ab\x81", "ab\x81"},
        {"empty", "", ""},
    };
    const LeadByteTable cp936 = Cp936LeadBytes();
    for (const Row& row : rows) {
        TextString text = row.text;
        ExpandLineFeeds(cp936, text);
        EXPECT_EQ(row.expected, text) << row.name;
    }
}

TEST(ExpandLineFeeds, ASingleByteCodePageTakesEveryBackslash) {
    TextString text = "\x81\x5Cn";
    ExpandLineFeeds(SingleByteTable(), text);
    EXPECT_EQ("\x81\n", text);
}

}  // namespace
