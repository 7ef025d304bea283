#include "text.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace reports {

Cp936ToUtf8::Cp936ToUtf8() {
    const iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("iconv cannot convert from CP936 to UTF-8: install glibc's gconv modules");
    }
    cd_.reset(cd);
}

std::string Cp936ToUtf8::operator()(std::string_view bytes) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    const iconv_t cd = static_cast<iconv_t>(cd_.get());
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out;
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char buffer[256];
    while (inLeft > 0) {
        char* to = buffer;
        std::size_t toLeft = sizeof buffer;
        const std::size_t r = iconv(cd, &in, &inLeft, &to, &toLeft);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL (cut short at the end): one byte replaced, go on.
        out += kReplacement;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

std::string CsvField(std::string_view text) {
    std::string field;
    if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' ||
                          text[0] == '\t' || text[0] == '\r')) {
        field.push_back('\'');
    }
    // Controls would act on a terminal that shows the file (ESC starts an
    // escape sequence) or split a row in a careless reader: C0, DEL and C1
    // (U+0080..U+009F, C2 80..C2 9F in UTF-8) are written as \u00XX.
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned code = 0x100;
        if (c < 0x20 || c == 0x7F) {
            code = c;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            code = static_cast<unsigned char>(text[++i]);
        }
        if (code == 0x100) {
            field.push_back(text[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
            field += escaped;
        }
    }
    if (field.find_first_of(",\"") == std::string::npos) return field;
    std::string out = "\"";
    for (const char c : field) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return out;
}

std::string Hex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        out.push_back(kDigits[u >> 4]);
        out.push_back(kDigits[u & 0x0F]);
    }
    return out;
}

}  // namespace reports
