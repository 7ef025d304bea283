#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

LeadByteTable Cp936LeadBytes() {
    LeadByteTable t{};
    for (int b = 0x81; b <= 0xFE; ++b) t.lead[b] = true;
    return t;
}

LeadByteTable SingleByteTable() { return LeadByteTable{}; }

const char* NextChar(const LeadByteTable& table, const char* p) {
    if (table.lead[static_cast<unsigned char>(*p)] && p[1] != '\0') return p + 2;
    return p + 1;
}

std::size_t FindText(const LeadByteTable& table, const char* hay, const char* needle) {
    const std::size_t n = std::strlen(needle);
    if (n == 0) return 0;
    // The first byte is compared before the rest: a desktop of thousands of
    // names against hundreds of patterns makes this the scan's inner loop.
    const char first = needle[0];
    for (const char* p = hay; *p != '\0'; p = NextChar(table, p)) {
        if (*p == first && std::strncmp(p, needle, n) == 0) return static_cast<std::size_t>(p - hay);
    }
    return kNotFound;
}

void BoundedCopy(char* dest, std::uint32_t size, const char* source) {
    if (size == 0 || size > 0x7FFFFFFFu) return;
    std::uint32_t i = 0;
    for (; i < size; ++i) {
        dest[i] = source[i];
        if (source[i] == '\0') return;
    }
    dest[size - 1] = '\0';
}

std::int32_t FormatBounded(char* buffer, std::size_t len, const char* format, ...) {
    if (len == 0 || len > 0x7FFFFFFFu) return kFormatInvalidArg;
    va_list args;
    va_start(args, format);
    // One path on every platform, so the fuzzers run what the plug-in runs.
    // The terminator is set here whatever the runtime's vsnprintf does when
    // the text does not fit: some leave the buffer unterminated.
    const int written = std::vsnprintf(buffer, len, format, args);
    va_end(args);
    buffer[len - 1] = '\0';
    if (written < 0 || static_cast<std::size_t>(written) > len - 1) return kFormatTruncated;
    return 0;
}

bool InstallerArgument(const LeadByteTable& table, const char* url, TextString& argument) {
    argument.clear();
    if (url == nullptr) return false;
    for (const char* p = url; *p != '\0';) {
        const char* next = NextChar(table, p);
        const unsigned char c = static_cast<unsigned char>(*p);
        if (next - p > 1) {
            argument.append(p, next);  // a double-byte character is text
        } else if (c == ' ') {
            argument += "%20";
        } else if (c == '"') {
            argument += "%22";
        } else if (c < 0x20 || c == 0x7F) {
            argument.clear();
            return false;
        } else {
            argument.push_back(static_cast<char>(c));
        }
        p = next;
    }
    return true;
}
