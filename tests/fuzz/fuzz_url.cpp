// Percent-encoding: the result holds only unreserved bytes and %XX escapes,
// and decodes back to the input. The install command's argument rule: what
// it accepts, stepping by GBK character, never holds a single-byte blank,
// quote or control character, and the percent-encoded form is always taken.
#include <string>

#include "actions/url.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string text = std::string(reinterpret_cast<const char*>(data), size).c_str();
    const std::string encoded = PercentEncode(text.c_str());
    std::string back;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '%') {
            if (i + 2 >= encoded.size()) __builtin_trap();
            back.push_back(static_cast<char>(std::stoi(encoded.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                    c == '-' || c == '.' || c == '_' || c == '~';
            if (!unreserved) __builtin_trap();
            back.push_back(c);
        }
    }
    if (back != text) __builtin_trap();

    const LeadByteTable gbk = Cp936LeadBytes();
    if (IsPlainCommandArgument(gbk, text.c_str())) {
        for (const char* p = text.c_str(); *p != '\0'; p = NextChar(gbk, p)) {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (!gbk.lead[c] && (c <= 0x20 || c == 0x7F || c == '"')) __builtin_trap();
        }
    }
    if (!IsPlainCommandArgument(gbk, encoded.c_str())) __builtin_trap();
    return 0;
}
