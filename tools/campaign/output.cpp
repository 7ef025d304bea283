#include "output.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "common/text.h"

namespace {

std::string Widen(const std::string& text, UINT codePage, bool* valid) {
    if (valid != nullptr) *valid = true;
    if (text.empty()) return std::string();
    const int in = static_cast<int>(text.size());
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), in, nullptr, 0);
    DWORD flags = MB_ERR_INVALID_CHARS;
    if (n == 0) {
        if (valid != nullptr) *valid = false;
        flags = 0;
        n = MultiByteToWideChar(codePage, 0, text.data(), in, nullptr, 0);
    }
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), in, &wide[0], n);
    const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(m), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

// Writes UTF-8 to a standard handle: through the console's wide interface
// when it is a console, as bytes otherwise (a pipe, a file, a terminal under
// Wine), so that no code page stands in between.
void Emit(DWORD which, const std::string& utf8) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || utf8.empty()) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(h, &mode)) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(n), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], n);
        WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

}  // namespace

std::string Utf8(const std::string& cp936, bool* valid) { return Widen(cp936, 936, valid); }
std::string PathUtf8(const std::string& ansi) { return Widen(ansi, CP_ACP, nullptr); }

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
            char escaped[8];
            if (c == '\n') {
                std::strcpy(escaped, "\\n");
            } else if (c == '\r') {
                std::strcpy(escaped, "\\r");
            } else if (c == '\t') {
                std::strcpy(escaped, "\\t");
            } else if (c == '"' || c == '\\') {
                escaped[0] = '\\';
                escaped[1] = static_cast<char>(c);
                escaped[2] = '\0';
            } else {
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            }
            out += escaped;
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

void Out(const std::string& utf8) { Emit(STD_OUTPUT_HANDLE, utf8); }
void ErrText(const std::string& utf8) { Emit(STD_ERROR_HANDLE, utf8); }
void Note(const std::string& utf8) { Emit(STD_ERROR_HANDLE, "quentra-campaign: " + utf8 + "\n"); }

int Error(const std::string& utf8, int code) {
    Note(utf8);
    return code;
}
