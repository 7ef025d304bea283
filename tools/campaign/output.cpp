#include "output.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/text.h"

std::string Utf8(const std::string& cp936, bool* valid) { return Recode(cp936, 936, CP_UTF8, valid); }

std::string Quoted(const std::string& cp936) {
    std::string out = "\"";
    std::string run;
    auto flush = [&]() {
        out += Utf8(run);
        run.clear();
    };
    const LeadByteTable table = Cp936LeadBytes();
    for (const char* p = cp936.c_str(); *p != '\0';) {
        const char* next = NextChar(table, p);
        const unsigned char c = static_cast<unsigned char>(*p);
        if (next - p == 1 && (c < 0x20 || c == 0x7F || c == '"' || c == '\\')) {
            flush();
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t" : c == '"' ? "\\\""
                 : c == '\\' ? "\\\\" : hex;
        } else {
            run.append(p, next);
        }
        p = next;
    }
    flush();
    return out + "\"";
}

std::string Excerpt(const std::string& cp936, std::size_t from, std::size_t to, std::size_t context) {
    // The offsets where characters start, and the one past the end.
    std::vector<std::size_t> starts;
    const LeadByteTable table = Cp936LeadBytes();
    for (const char* p = cp936.c_str(); *p != '\0'; p = NextChar(table, p)) {
        starts.push_back(static_cast<std::size_t>(p - cp936.c_str()));
    }
    const std::size_t end = std::strlen(cp936.c_str());
    starts.push_back(end);
    std::size_t first = 0, last = 0;
    while (first + 1 < starts.size() && starts[first + 1] <= from) ++first;
    while (last < starts.size() && starts[last] < to) ++last;
    const std::size_t a = first > context ? starts[first - context] : 0;
    const std::size_t b = last + context < starts.size() ? starts[last + context] : end;
    return (a > 0 ? "…" : "") + Quoted(cp936.substr(a, b - a)) + (b < end ? "…" : "");
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char b[4];
        std::snprintf(b, sizeof b, "%s%02X", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

void Out(const std::string& utf8) { WriteUtf8(STD_OUTPUT_HANDLE, utf8); }
void Note(const std::string& utf8) { WriteUtf8(STD_ERROR_HANDLE, "quentra-campaign: " + utf8 + "\n"); }

int Error(const std::string& utf8, int code) {
    Note(utf8);
    return code;
}
