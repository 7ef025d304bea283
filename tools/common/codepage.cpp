#include "codepage.h"

#include <cstdarg>
#include <cstdio>

std::wstring Widen(const std::string& text, UINT codePage, bool* valid) {
    if (valid != nullptr) *valid = true;
    if (text.empty()) return std::wstring();
    const int in = static_cast<int>(text.size());
    DWORD flags = MB_ERR_INVALID_CHARS;
    int n = MultiByteToWideChar(codePage, flags, text.data(), in, nullptr, 0);
    if (n == 0) {
        if (valid != nullptr) *valid = false;
        flags = 0;
        n = MultiByteToWideChar(codePage, flags, text.data(), in, nullptr, 0);
    }
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(codePage, flags, text.data(), in, &wide[0], n);
    return wide;
}

std::string Narrow(const std::wstring& text, UINT codePage, bool* complete) {
    if (complete != nullptr) *complete = true;
    if (text.empty()) return std::string();
    // UTF-8 holds every character, and takes neither the flag nor the question.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL defaulted = FALSE;
    const int in = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(codePage, flags, text.data(), in, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(codePage, flags, text.data(), in, &out[0], n, nullptr, utf8 ? nullptr : &defaulted);
    if (complete != nullptr) *complete = n > 0 && !defaulted;
    return out;
}

std::string Recode(const std::string& text, UINT from, UINT to, bool* valid) {
    return Narrow(Widen(text, from, valid), to);
}

void WriteUtf8(DWORD which, const std::string& utf8) {
    HANDLE h = GetStdHandle(which);
    if (h == nullptr || h == INVALID_HANDLE_VALUE || utf8.empty()) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(h, &mode)) {
        const std::wstring wide = Widen(utf8, CP_UTF8);
        WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    WriteFile(h, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

namespace {

void Format(DWORD which, const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0) + 1, '\0');
    if (n > 0) std::vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    text.resize(text.size() - 1);
    WriteUtf8(which, text);
}

}  // namespace

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Format(STD_OUTPUT_HANDLE, format, args);
    va_end(args);
}

int Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Format(STD_ERROR_HANDLE, format, args);
    va_end(args);
    return 1;
}
