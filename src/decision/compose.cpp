#include "decision/compose.h"

#include <algorithm>
#include <cstring>

TextString BuildNameListRule(const TextString& smallestMatch, const std::vector<TextString>& featured) {
    const std::size_t taken = std::min<std::size_t>(featured.size(), 3);
    const bool isFeatured = std::find(featured.begin(), featured.end(), smallestMatch) != featured.end();
    TextString list;
    if (isFeatured) {
        for (std::size_t i = 0; i < taken; ++i) {
            if (i > 0) list += kNameSeparator;
            list += featured[i];
        }
        return list;
    }
    list = smallestMatch;
    for (std::size_t i = 0; i + 1 < taken; ++i) {
        list += kNameSeparator;
        list += featured[i];
    }
    return list;
}

TemplateFault FindTemplateFault(const LeadByteTable& table, const char* messageTemplate) {
    TemplateFault fault;
    if (messageTemplate == nullptr) return fault;
    int strings = 0;
    for (const char* p = messageTemplate; *p != '\0'; p = NextChar(table, p)) {
        if (*p != '%') continue;
        const char c = p[1];
        if (c == '%' || (c == 's' && ++strings == 1)) {
            ++p;  // the character after the '%'; NextChar steps past it
            continue;
        }
        fault.problem = c == 's' ? "a second %s" : c == '\0' ? "a '%' at the end" : "a conversion other than %s or %%";
        fault.at = static_cast<std::size_t>(p - messageTemplate);
        fault.length = c == '\0' ? 1 : static_cast<std::size_t>(NextChar(table, p + 1) - p);
        return fault;
    }
    return fault;
}

const char* MessageTemplateProblem(const LeadByteTable& table, const char* messageTemplate) {
    return FindTemplateFault(table, messageTemplate).problem;
}

bool ComposeMessage(const LeadByteTable& table, const char* messageTemplate, const char* nameList, char* out,
                    std::size_t outSize) {
    // Like the bounded formatter: a size of 0 or above 0x7FFFFFFF writes nothing.
    if (messageTemplate == nullptr || out == nullptr || outSize == 0 || outSize > 0x7FFFFFFFu) return false;
    if (MessageTemplateProblem(table, messageTemplate) != nullptr) return false;
    TextString text;
    for (const char* p = messageTemplate; *p != '\0';) {
        if (p[0] == '%' && p[1] == '%') {
            text.push_back('%');
            p += 2;
        } else if (p[0] == '%' && p[1] == 's') {
            text += nameList != nullptr ? nameList : "";
            p += 2;
        } else {
            const char* next = NextChar(table, p);
            text.append(p, next);
            p = next;
        }
    }
    const std::size_t n = std::min(text.size(), outSize - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return true;
}
