#include "campaign/rules.h"

#include <cstring>

void MaskCampaignWords(unsigned char* bytes, std::size_t wordCount) {
    for (std::size_t i = 0; i < wordCount; ++i) {
        unsigned char* w = bytes + 4 * i;
        std::uint32_t v = static_cast<std::uint32_t>(w[0]) | (static_cast<std::uint32_t>(w[1]) << 8) |
                          (static_cast<std::uint32_t>(w[2]) << 16) | (static_cast<std::uint32_t>(w[3]) << 24);
        v ^= kCampaignXorMask;
        w[0] = static_cast<unsigned char>(v);
        w[1] = static_cast<unsigned char>(v >> 8);
        w[2] = static_cast<unsigned char>(v >> 16);
        w[3] = static_cast<unsigned char>(v >> 24);
    }
}

static std::vector<unsigned char> PaddedWords(const unsigned char* data, std::size_t length) {
    const std::size_t words = length / 4 + (length % 4 != 0 ? 1 : 0);
    std::vector<unsigned char> out(words * 4, 0x20);
    if (length != 0) std::memcpy(out.data(), data, length);
    MaskCampaignWords(out.data(), words);
    return out;
}

std::vector<unsigned char> DecodeCampaignBytes(const unsigned char* file, std::size_t length) {
    return PaddedWords(file, length);
}

std::vector<unsigned char> EncodeCampaignBytes(const unsigned char* plain, std::size_t length) {
    return PaddedWords(plain, length);
}

static int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::int32_t ReadNumber(const char* text, std::int32_t length, std::int32_t initial) {
    if (text == nullptr || length <= 0) return initial;
    while (length > 0 && (*text == ' ' || *text == '\t')) {
        ++text;
        --length;
    }
    if (length <= 0) return initial;
    std::uint32_t value;
    if (length >= 3 && length <= 10 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        value = 0;
        for (std::int32_t i = 2; i < length; ++i) {
            const int d = HexDigit(text[i]);
            if (d < 0) break;
            value = value * 16u + static_cast<std::uint32_t>(d);
        }
        return static_cast<std::int32_t>(value);
    }
    value = static_cast<std::uint32_t>(initial);
    for (std::int32_t i = 0; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    }
    return static_cast<std::int32_t>(value);
}

bool ParseAvEntry(char* text, std::int32_t length, AvEntry& entry) {
    entry = AvEntry{};
    if (text == nullptr || length <= 0) return false;
    // The terminator, but never beyond `length` bytes.
    char* const end = text + strnlen(text, static_cast<std::size_t>(length));
    // A comma (0x2C) is below every trail byte of the double-byte code pages,
    // so replacing it byte by byte cannot split a character.
    for (char* p = text; p < end; ++p) {
        if (*p == ',') *p = '\0';
    }
    std::int32_t numbers[3];
    char* part = text;
    for (int i = 0; i < 3; ++i) {
        const std::size_t partLength = strnlen(part, static_cast<std::size_t>(end - part));
        numbers[i] = ReadNumber(part, static_cast<std::int32_t>(partLength), 0);
        if (i < 2) {
            part += partLength + 1;
            if (part >= end) return false;
        }
    }
    for (int i = 0; i < 3; ++i) entry.values[i] = numbers[i];
    return true;
}

void ExpandLineFeeds(const LeadByteTable& table, TextString& text) {
    TextString out;
    out.reserve(text.size());
    const char* p = text.c_str();
    while (*p != '\0') {
        if (p[0] == '\\' && p[1] == 'n') {
            out.push_back('\n');
            p += 2;
            continue;
        }
        const char* next = NextChar(table, p);
        out.append(p, next);
        p = next;
    }
    text.swap(out);
}
