// BoundedCopy, FormatBounded, FindText, NextChar and the "\n" expansion on
// arbitrary bytes, under code page 936 and a single-byte code page.
#include <cstring>
#include <string>
#include <vector>

#include "campaign/rules.h"
#include "common/text.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t cut = data[0] % size;
    const std::string a(reinterpret_cast<const char*>(data + 1), cut > 0 ? cut - 1 : 0);
    const std::string b(reinterpret_cast<const char*>(data + 1 + a.size()), size - 1 - a.size());
    const std::string hay = a.c_str();    // up to the first NUL, like the plug-in's texts
    const std::string needle = b.c_str();

    for (const LeadByteTable& table : {Cp936LeadBytes(), SingleByteTable()}) {
        const std::size_t at = FindText(table, hay.c_str(), needle.c_str());
        if (at != kNotFound && hay.compare(at, needle.size(), needle) != 0) __builtin_trap();
        for (const char* p = hay.c_str(); *p != '\0'; p = NextChar(table, p)) {
            if (p > hay.c_str() + hay.size()) __builtin_trap();
        }
        std::string expanded = hay;
        ExpandLineFeeds(table, expanded);
        if (expanded.size() > hay.size()) __builtin_trap();
    }

    const std::size_t size1 = data[0];
    std::vector<char> buffer(size1 + 1, static_cast<char>(0xCC));
    BoundedCopy(buffer.data(), static_cast<std::uint32_t>(size1), hay.c_str());
    if (buffer[size1] != static_cast<char>(0xCC)) __builtin_trap();
    if (size1 > 0 && std::strlen(buffer.data()) >= size1) __builtin_trap();

    std::vector<char> formatted(size1 + 1, static_cast<char>(0xCC));
    const std::int32_t r = FormatBounded(formatted.data(), size1, "%s|%s", hay.c_str(), needle.c_str());
    if (formatted[size1] != static_cast<char>(0xCC)) __builtin_trap();
    if (size1 == 0 && r != kFormatInvalidArg) __builtin_trap();
    if (size1 > 0 && r == 0 && std::string(formatted.data()) != hay + "|" + needle) __builtin_trap();
    return 0;
}
