#include "actions/url.h"

bool IsPlainCommandArgument(const LeadByteTable& table, const char* url) {
    if (url == nullptr) return false;
    for (const char* p = url; *p != '\0'; p = NextChar(table, p)) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (table.lead[c]) continue;  // a double-byte character is text
        if (c <= 0x20 || c == 0x7F || c == '"') return false;
    }
    return true;
}

TextString PercentEncode(const char* text) {
    static const char kHex[] = "0123456789ABCDEF";
    TextString out;
    if (text == nullptr) return out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        const unsigned char c = *p;
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}
